#include "Table.h"

#include <algorithm>
#include <cstdio>

namespace tavo::cli {

namespace {

// Characters on screen, counting each UTF-8 sequence once.
size_t Width(const std::string& s) {
  return static_cast<size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string TsvField(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else out += c;
  }
  return out + "\"";
}

// A number as JSON writes one: no leading zeros, no "+", no exponent.
bool DecimalNumber(const std::string& s) {
  size_t i = s[0] == '-' ? 1 : 0;
  if (i + 1 < s.size() && s[i] == '0' && s[i + 1] != '.') return false;
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9')
      digits = true;
    else if (s[i] == '.' && !point && digits)
      point = true;
    else
      return false;
  }
  return digits && s.back() != '.';
}

std::string JsonValue(const std::string& s, TCellKind kind) {
  switch (kind) {
    case TCellKind::Text:
      return JsonString(s);
    case TCellKind::Number:
      if (s.empty()) return "null";
      return DecimalNumber(s) ? s : JsonString(s);
    case TCellKind::Flag:
      if (s == "yes") return "true";
      if (s == "no") return "false";
      return s.empty() ? "null" : JsonString(s);
    case TCellKind::Optional:
      return s.empty() ? "null" : JsonString(s);
  }
  return JsonString(s);
}

void Line(std::ostream& out, const std::vector<std::string>& cells, const std::string& sep,
          std::string (*field)(const std::string&)) {
  for (size_t i = 0; i < cells.size(); ++i) out << (i ? sep : "") << field(cells[i]);
  out << "\n";
}

}  // namespace

void WriteTable(std::ostream& out, const TTable& t, TOutputFormat format) {
  if (t.Columns.empty()) {  // a query without rows names no columns
    if (format == TOutputFormat::Json) out << "[]\n";
    if (format == TOutputFormat::Pretty) out << "(0 rows)\n";
    return;
  }
  switch (format) {
    case TOutputFormat::Tsv:
      Line(out, t.Columns, "\t", TsvField);
      for (auto& r : t.Rows) Line(out, r, "\t", TsvField);
      return;
    case TOutputFormat::Csv:
      Line(out, t.Columns, ",", CsvField);
      for (auto& r : t.Rows) Line(out, r, ",", CsvField);
      return;
    case TOutputFormat::Json:
      out << "[";
      for (size_t r = 0; r < t.Rows.size(); ++r) {
        out << (r ? ",\n " : "") << "{";
        for (size_t c = 0; c < t.Columns.size(); ++c)
          out << (c ? ", " : "") << JsonString(t.Columns[c]) << ": "
              << JsonValue(c < t.Rows[r].size() ? t.Rows[r][c] : "",
                           c < t.Kinds.size() ? t.Kinds[c] : TCellKind::Text);
        out << "}";
      }
      out << "]\n";
      return;
    case TOutputFormat::Pretty: {
      std::vector<size_t> w(t.Columns.size());
      for (size_t c = 0; c < w.size(); ++c) {
        w[c] = Width(t.Columns[c]);
        for (auto& r : t.Rows) if (c < r.size()) w[c] = std::max(w[c], Width(r[c]));
      }
      auto row = [&](const std::vector<std::string>& cells) {
        for (size_t c = 0; c < w.size(); ++c) {
          const std::string& s = c < cells.size() ? cells[c] : std::string();
          out << (c ? "  " : "") << s;
          if (c + 1 < w.size()) out << std::string(w[c] - Width(s), ' ');
        }
        out << "\n";
      };
      row(t.Columns);
      std::vector<std::string> rule;
      for (size_t c : w) rule.push_back(std::string(c, '-'));
      row(rule);
      for (auto& r : t.Rows) row(r);
      out << "(" << t.Rows.size() << (t.Rows.size() == 1 ? " row" : " rows") << ")\n";
      return;
    }
  }
}

}  // namespace tavo::cli
