#include "Replies.h"

#include <stdexcept>

namespace tavo::cli {

std::string RequestBlock(const std::string& keyword, const std::string& payload, char sep) {
  return kMarker + keyword + sep + payload + sep + keyword + kMarker;
}

std::optional<std::string> BlockPayload(const std::string& message, const std::string& keyword,
                                        const std::string& open, const std::string& close) {
  const std::string openTag = kMarker + keyword + open;
  const std::string closeTag = close + keyword + kMarker;
  const size_t a = message.find(openTag);
  if (a == std::string::npos) return std::nullopt;
  const size_t from = a + openTag.size();
  const size_t b = message.rfind(closeTag);
  if (b == std::string::npos || b < from) {
    // An empty payload shares its colon between the two tags ("¤X::X¤" has one for each).
    if (b != std::string::npos && b + close.size() == from) return std::string();
    return std::nullopt;
  }
  return message.substr(from, b - from);
}

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    const size_t next = text.find(sep, pos);
    if (next == std::string::npos) {
      out.push_back(text.substr(pos));
      return out;
    }
    out.push_back(text.substr(pos, next - pos));
    pos = next + sep.size();
  }
}

std::optional<std::string> ErrorText(const std::string& message) {
  const size_t p = message.find("ERROR: ");
  if (p == std::string::npos || message.find(kMarker) < p) return std::nullopt;
  return message.substr(p);
}

namespace {

// Records of `width` fields, each field followed by the separator.
std::vector<std::vector<std::string>> Records(const std::string& payload, size_t width,
                                              const std::string& sep = ":") {
  std::vector<std::string> f = Split(payload, sep);
  if (!f.empty() && f.back().empty()) f.pop_back();  // behind the last record's separator
  std::vector<std::vector<std::string>> out;
  for (size_t i = 0; i + width <= f.size(); i += width)
    out.emplace_back(f.begin() + static_cast<long>(i), f.begin() + static_cast<long>(i + width));
  return out;
}

}  // namespace

std::vector<TStationRow> ParseMachines(const std::string& payload) {
  std::vector<TStationRow> out;
  for (auto& r : Records(payload, 8)) {
    if (r[0].empty() && r[1] == "0") continue;
    out.push_back({r[0], r[1], r[2], r[3], r[4], r[5], r[6]});
  }
  return out;
}

std::vector<TCallableRow> ParseCallables(const std::string& payload) {
  std::vector<TCallableRow> out;
  for (auto& r : Records(payload, 7)) {
    if (r[0].empty() && r[1] == "0") continue;
    out.push_back({r[0], r[1], r[2], r[3], r[4], r[5], r[6]});
  }
  return out;
}

std::vector<TListPair> ParseStationCallables(const std::string& payload) {
  std::vector<TListPair> out;
  for (auto& r : Records(payload, 2)) {
    if (r[0] == "0" && r[1] == "0") continue;
    out.push_back({r[0], r[1]});
  }
  return out;
}

std::optional<TClientData> ParseClientData(const std::string& message) {
  auto p = BlockPayload(message, "TAVOCLIENTDATA");
  if (!p) return std::nullopt;
  auto f = Split(*p, ":");
  if (f.size() < 4) return std::nullopt;
  // The line-mode layout carries two more fields before the number, which comes last.
  return TClientData{f[0], f[1], f[2], f.back()};
}

std::vector<TStationEntry> ParseCallList(const std::string& payload) {
  std::vector<TStationEntry> out;
  for (auto& r : Records(payload, 10, "~")) {
    TStationEntry e;
    e.CallName = r[0];
    e.Lopnr = r[1];
    e.FullName = r[2];
    e.Colour = r[3];
    e.Cancel = r[4] == "-1";
    e.Open = r[5] == "-1";
    e.CallTime = r[6];
    e.ComingName = r[7];
    e.ComingTime = r[8];
    e.ComingLopnr = r[9];
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<TDisplayResource> ParseCurrentList(const std::string& payload) {
  std::vector<TDisplayResource> out;
  const std::string open = ":" + kMarker + "%";
  const std::string close = "%" + kMarker + ":";
  size_t pos = 0;
  for (;;) {
    const size_t o = payload.find(open, pos);
    if (o == std::string::npos) return out;
    const size_t c = payload.find(close, o + open.size());
    if (c == std::string::npos) throw std::runtime_error("CURRENTLIST: a resource part is not closed");
    auto head = Split(payload.substr(pos, o - pos), ":");
    if (head.size() != 4) throw std::runtime_error("CURRENTLIST: a resource part has no head");
    TDisplayResource r{head[0], head[1], head[2], head[3], {}};
    for (auto& f : Records(payload.substr(o + open.size(), c - o - open.size()), 7, "~"))
      r.Callers.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    out.push_back(std::move(r));
    pos = c + close.size();
  }
}

TSqlResult ParseSql(const std::string& payload) {
  TSqlResult out;
  const std::string open = ":" + kMarker + "%";
  const std::string close = "%" + kMarker + ":";
  size_t pos = 0;
  for (;;) {
    const size_t o = payload.find(open, pos);
    if (o == std::string::npos) return out;
    const size_t c = payload.find(close, o + open.size());
    if (c == std::string::npos) throw std::runtime_error("RETSQL: a row is not closed");
    std::vector<std::string> names, values;
    auto cols = Split(payload.substr(o + open.size(), c - o - open.size()), "~");
    if (!cols.empty() && cols.back().empty()) cols.pop_back();
    for (auto& col : cols) {
      const size_t bar = col.find('|');
      if (bar == std::string::npos) throw std::runtime_error("RETSQL: a column without a name");
      names.push_back(col.substr(0, bar));
      values.push_back(col.substr(bar + 1));
    }
    if (out.Rows.empty())
      out.Columns = names;
    else if (names != out.Columns)
      throw std::runtime_error("RETSQL: rows with different columns");
    out.Rows.push_back(std::move(values));
    pos = c + close.size();
  }
}

}  // namespace tavo::cli
