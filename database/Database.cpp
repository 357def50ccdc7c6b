#include "common/StrUtils.h"
#include "database/Database.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tavo {
namespace {

const TSqlValue kNull{};


// Shortest text that reads back as the same number; the process-wide separator is ",".
std::string FloatText(double v, char separator = ',') {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  std::string s = buf;
  for (char& c : s)
    if (c == '.') c = separator;
  return s;
}

bool ParseInt64(const std::string& text, int64_t& out) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool ParseDouble(const std::string& text, double& out) {
  std::string t = Trim(text);
  for (char& c : t)
    if (c == ',') c = '.';
  if (t.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (*end != '\0') return false;
  out = v;
  return true;
}

int32_t ClampToInt32(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

std::string QuoteLiteral(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace

TQuery::TQuery(std::vector<TColumnInfo> columns, std::vector<std::vector<TSqlValue>> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {}

size_t TQuery::ColumnIndex(const std::string& name) const {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (SameTextAscii(columns_[i].Name, name)) return i;
  throw EDatabaseError("Field '" + name + "' not found");
}

const TSqlValue& TQuery::Value(size_t column) const {
  if (Eof() || column >= rows_[row_].size()) return kNull;
  return rows_[row_][column];
}

bool TQuery::IsNull(const std::string& name) const {
  return std::holds_alternative<std::monostate>(Value(ColumnIndex(name)));
}

std::string TQuery::AsString(const std::string& name) const {
  return ToString(Value(ColumnIndex(name)));
}
int32_t TQuery::AsInteger(const std::string& name) const {
  return ToInteger(Value(ColumnIndex(name)));
}
double TQuery::AsFloat(const std::string& name) const { return ToFloat(Value(ColumnIndex(name))); }
bool TQuery::AsBoolean(const std::string& name) const {
  return ToBoolean(Value(ColumnIndex(name)));
}
TDateTime TQuery::AsDateTime(const std::string& name) const {
  return ToDateTime(Value(ColumnIndex(name)));
}

std::string TQuery::ToString(const TSqlValue& v) {
  struct {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const { return FloatText(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(TDateTimeValue d) const { return DateTimeToStr(d.Value); }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
  } visitor;
  return std::visit(visitor, v);
}

int32_t TQuery::ToInteger(const TSqlValue& v) {
  struct {
    int32_t operator()(std::monostate) const { return 0; }
    // Wider integers keep their low 32 bits, as a 32-bit read of them does.
    int32_t operator()(int64_t i) const { return static_cast<int32_t>(i); }
    int32_t operator()(double d) const { return ClampToInt32(d); }
    int32_t operator()(const std::string& s) const {
      if (Trim(s).empty()) return 0;
      int64_t i = 0;
      if (ParseInt64(s, i)) return static_cast<int32_t>(i);
      double d = 0;
      if (ParseDouble(s, d)) return ClampToInt32(d);
      throw EDatabaseError("'" + s + "' is not a valid integer value");
    }
    int32_t operator()(TDateTimeValue d) const { return ClampToInt32(d.Value); }
    int32_t operator()(bool b) const { return b ? 1 : 0; }
  } visitor;
  return std::visit(visitor, v);
}

double TQuery::ToFloat(const TSqlValue& v) {
  struct {
    double operator()(std::monostate) const { return 0; }
    double operator()(int64_t i) const { return static_cast<double>(i); }
    double operator()(double d) const { return d; }
    double operator()(const std::string& s) const {
      if (Trim(s).empty()) return 0;
      double d = 0;
      if (ParseDouble(s, d)) return d;
      throw EDatabaseError("'" + s + "' is not a valid floating point value");
    }
    double operator()(TDateTimeValue d) const { return d.Value; }
    double operator()(bool b) const { return b ? 1 : 0; }
  } visitor;
  return std::visit(visitor, v);
}

bool TQuery::ToBoolean(const TSqlValue& v) {
  struct {
    bool operator()(std::monostate) const { return false; }
    bool operator()(int64_t i) const { return i != 0; }
    bool operator()(double d) const { return d != 0; }
    bool operator()(const std::string& s) const {
      std::string t = Trim(s);
      if (t.empty()) return false;
      int64_t i = 0;
      if (ParseInt64(t, i)) return i != 0;
      switch (std::toupper(static_cast<unsigned char>(t[0]))) {
        case 'T': case 'Y': return true;
        case 'F': case 'N': return false;
        default: throw EDatabaseError("'" + s + "' is not a valid boolean value");
      }
    }
    bool operator()(TDateTimeValue d) const { return d.Value != 0; }
    bool operator()(bool b) const { return b; }
  } visitor;
  return std::visit(visitor, v);
}

TDateTime TQuery::ToDateTime(const TSqlValue& v) {
  struct {
    TDateTime operator()(std::monostate) const { return 0; }
    TDateTime operator()(int64_t i) const { return static_cast<TDateTime>(i); }
    TDateTime operator()(double d) const { return d; }
    TDateTime operator()(const std::string& s) const {
      std::string t = Trim(s);
      if (t.empty()) return 0;
      TDateTime d = 0;
      if (ParseIsoDateTime(t, d)) return d;
      throw EDatabaseError("'" + s + "' is not a valid date and time");
    }
    TDateTime operator()(TDateTimeValue d) const { return d.Value; }
    TDateTime operator()(bool) const { throw EDatabaseError("a Boolean is not a date and time"); }
  } visitor;
  return std::visit(visitor, v);
}

void TReadBudget::Add(const TColumnInfo& column, const TSqlValue& value) {
  if (limit_ == 0) return;
  const auto* text = std::get_if<std::string>(&value);
  used_ += column.Name.size() + 2 + (text && !text->empty() ? text->size() : 1);
  if (used_ > limit_)
    throw EReadLimitExceeded("the result of the query passes the limit of " +
                             std::to_string(limit_) + " bytes");
}

std::string ExpandSqlForLog(const std::string& sql, const TSqlParams& params) {
  std::string out;
  out.reserve(sql.size() + 16 * params.size());
  size_t next = 0;
  char quote = 0;  // inside a '...' literal or a "..." identifier
  for (char c : sql) {
    if (quote) {
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      continue;
    }
    if (c != '?' || next >= params.size()) {
      out += c;
      continue;
    }
    const TSqlValue& v = params[next++];
    if (std::holds_alternative<std::monostate>(v))
      out += "NULL";
    else if (const auto* s = std::get_if<std::string>(&v))
      out += QuoteLiteral(*s);
    else if (const auto* d = std::get_if<TDateTimeValue>(&v))
      out += QuoteLiteral(DateTimeToStr(d->Value));
    else if (const auto* b = std::get_if<bool>(&v))
      out += *b ? "1" : "0";
    else if (const auto* f = std::get_if<double>(&v))
      out += FloatText(*f, '.');
    else
      out += TQuery::ToString(v);
  }
  return out;
}

void TDatabase::CheckHealth() { Open("SELECT COUNT(*) AS N FROM SETTINGS WHERE 1 = 0"); }

}  // namespace tavo

namespace tavo {

void TDatabase::BeginTransaction() {
  throw EDatabaseError("This database connection does not support transactions");
}
void TDatabase::CommitTransaction() {
  throw EDatabaseError("This database connection does not support transactions");
}
void TDatabase::RollbackTransaction() noexcept {}

}  // namespace tavo
