#include "database/OdbcDatabase.h"

#include <sql.h>
#include <sqlext.h>

#include <cctype>
#include <cmath>
#include <deque>

#include "common/Win1252.h"

namespace tavo {
namespace {

using WString = std::basic_string<SQLWCHAR>;

// Seconds a connection attempt may take before it fails (an unreachable server).
constexpr SQLULEN kLoginTimeoutSeconds = 15;
// Longest text that goes as a plain wide VARCHAR parameter; longer text goes as a long one.
constexpr size_t kMaxShortText = 4000;

WString ToWide(const std::string& ansi) {
  WString out;
  out.reserve(ansi.size());
  for (unsigned char c : ansi) out += static_cast<SQLWCHAR>(AnsiCharToCodePoint(c));
  return out;
}

std::string FromWide(const SQLWCHAR* p, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = p[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (p[i + 1] - 0xDC00);
      ++i;
    }
    out += CodePointToAnsi(cp);
  }
  return out;
}

// The driver's messages for a handle, joined; the first record's SQLSTATE into state.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle, std::string* firstState = nullptr) {
  std::string text;
  for (SQLSMALLINT rec = 1; rec <= 20; ++rec) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    WString msg(1024, 0);
    SQLRETURN rc = SQLGetDiagRecW(type, handle, rec, state, &native, msg.data(),
                                  static_cast<SQLSMALLINT>(msg.size()), &len);
    if (rc == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(len) >= msg.size()) {
      msg.assign(static_cast<size_t>(len) + 1, 0);
      rc = SQLGetDiagRecW(type, handle, rec, state, &native, msg.data(),
                          static_cast<SQLSMALLINT>(msg.size()), &len);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    if (firstState && rec == 1) *firstState = FromWide(state, 5);
    if (!text.empty()) text += " ";
    text += FromWide(msg.data(), std::min(static_cast<size_t>(len), msg.size()));
  }
  return text.empty() ? std::string("unknown ODBC failure") : text;
}

// SQLSTATE classes after which the database may answer again on a fresh connection: the
// connection itself (08), time-outs (HYT), the server shutting down or out of resources
// (PostgreSQL 57P, 53, 58). Anything else is the database refusing the statement.
bool UnreachableState(const std::string& state) {
  for (const char* prefix : {"08", "HYT", "57P", "53", "58"})
    if (state.rfind(prefix, 0) == 0) return true;
  return false;
}

// The failure of a handle of connection dbc; unreachable when the state says so or the driver
// finds the connection dead, whatever state it chose to report.
[[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, SQLHDBC dbc) {
  std::string state;
  std::string text = Diagnostics(type, handle, &state);
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (UnreachableState(state) ||
      (dbc && SQL_SUCCEEDED(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
       dead == SQL_CD_TRUE))
    throw EDatabaseUnreachable(text);
  throw EDatabaseError(text);
}

class TStmt {
 public:
  explicit TStmt(SQLHDBC dbc) : dbc_(dbc) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h_))) Fail(SQL_HANDLE_DBC, dbc, dbc);
  }
  ~TStmt() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;
  SQLHSTMT Get() const { return h_; }
  void Check(SQLRETURN rc) const {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail(SQL_HANDLE_STMT, h_, dbc_);
  }

 private:
  SQLHDBC dbc_;
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

// Storage of one bound value; it must stay put until the statement has run.
struct TParamBuf {
  WString text;
  SQLINTEGER i32 = 0;
  SQLBIGINT i64 = 0;
  double f = 0;
  SQL_TIMESTAMP_STRUCT ts{};
  unsigned char bit = 0;
  char dummy = 0;
  SQLLEN ind = 0;
};

void BindParams(const TStmt& stmt, const TSqlParams& params, std::deque<TParamBuf>& bufs) {
  SQLUSMALLINT n = 0;
  for (const TSqlValue& v : params) {
    TParamBuf& b = bufs.emplace_back();
    ++n;
    SQLRETURN rc;
    if (std::holds_alternative<std::monostate>(v)) {
      b.ind = SQL_NULL_DATA;
      rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0,
                            &b.dummy, 0, &b.ind);
    } else if (const auto* i = std::get_if<int64_t>(&v)) {
      if (*i >= INT32_MIN && *i <= INT32_MAX) {
        b.i32 = static_cast<SQLINTEGER>(*i);
        rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0,
                              &b.i32, 0, &b.ind);
      } else {
        b.i64 = *i;
        rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0,
                              &b.i64, 0, &b.ind);
      }
    } else if (const auto* f = std::get_if<double>(&v)) {
      b.f = *f;
      rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0,
                            &b.f, 0, &b.ind);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      b.text = ToWide(*s);
      b.ind = static_cast<SQLLEN>(b.text.size() * sizeof(SQLWCHAR));
      SQLSMALLINT type = b.text.size() > kMaxShortText ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
      rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_WCHAR, type,
                            std::max<size_t>(b.text.size(), 1), 0, b.text.data(), b.ind, &b.ind);
    } else if (const auto* d = std::get_if<TDateTimeValue>(&v)) {
      TDateTimeParts p = DecodeDateTime(d->Value);
      b.ts.year = static_cast<SQLSMALLINT>(p.Year);
      b.ts.month = static_cast<SQLUSMALLINT>(p.Month);
      b.ts.day = static_cast<SQLUSMALLINT>(p.Day);
      b.ts.hour = static_cast<SQLUSMALLINT>(p.Hour);
      b.ts.minute = static_cast<SQLUSMALLINT>(p.Minute);
      b.ts.second = static_cast<SQLUSMALLINT>(p.Second);
      b.ts.fraction = static_cast<SQLUINTEGER>(p.Millisecond) * 1000000u;
      rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                            SQL_TYPE_TIMESTAMP, 23, 3, &b.ts, 0, &b.ind);
    } else {
      b.bit = std::get<bool>(v) ? 1 : 0;
      rc = SQLBindParameter(stmt.Get(), n, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0, &b.bit, 0,
                            &b.ind);
    }
    stmt.Check(rc);
  }
}

TFieldKind KindOfSqlType(SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits) {
  switch (type) {
    case SQL_BIT:
      return TFieldKind::Boolean;
    case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT:
      return TFieldKind::Integer;
    case SQL_DECIMAL: case SQL_NUMERIC:
      return digits == 0 && size > 0 && size <= 18 ? TFieldKind::Integer : TFieldKind::Float;
    case SQL_REAL: case SQL_FLOAT: case SQL_DOUBLE:
      return TFieldKind::Float;
    case SQL_TYPE_TIMESTAMP: case SQL_TYPE_DATE: case SQL_TYPE_TIME:
    case SQL_TIMESTAMP: case SQL_DATE: case SQL_TIME:
      return TFieldKind::DateTime;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY:
      return TFieldKind::Blob;
    default:
      return TFieldKind::Text;
  }
}

bool IsBooleanTypeName(const TStmt& stmt, SQLUSMALLINT col) {
  SQLWCHAR name[64] = {};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLColAttributeW(stmt.Get(), col, SQL_DESC_TYPE_NAME, name, sizeof name, &len,
                                      nullptr)))
    return false;
  std::string type = FromWide(name, std::min<size_t>(static_cast<size_t>(len) / sizeof(SQLWCHAR), 63));
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "bool" || type == "boolean";
}

// Reads a value that may come in pieces (text, binary).
template <typename Unit>
bool ReadLong(const TStmt& stmt, SQLUSMALLINT col, SQLSMALLINT ctype,
              std::basic_string<Unit>& out) {
  Unit buf[2048];
  // Text pieces end in a terminator that the driver does not count.
  const size_t avail = sizeof buf - (ctype == SQL_C_BINARY ? 0 : sizeof(Unit));
  for (;;) {
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(stmt.Get(), col, ctype, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) return true;
    stmt.Check(rc);
    if (ind == SQL_NULL_DATA) return false;
    size_t got = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) > avail)
                     ? avail
                     : static_cast<size_t>(ind);
    out.append(buf, got / sizeof(Unit));
    if (rc == SQL_SUCCESS || got < avail) return true;
  }
}

TSqlValue ReadValue(const TStmt& stmt, SQLUSMALLINT col, SQLSMALLINT sqlType, TFieldKind kind) {
  SQLLEN ind = 0;
  switch (kind) {
    case TFieldKind::Integer: {
      SQLBIGINT v = 0;
      stmt.Check(SQLGetData(stmt.Get(), col, SQL_C_SBIGINT, &v, 0, &ind));
      if (ind == SQL_NULL_DATA) return std::monostate{};
      return static_cast<int64_t>(v);
    }
    case TFieldKind::Float: {
      double v = 0;
      stmt.Check(SQLGetData(stmt.Get(), col, SQL_C_DOUBLE, &v, 0, &ind));
      if (ind == SQL_NULL_DATA) return std::monostate{};
      return v;
    }
    case TFieldKind::Boolean: {
      unsigned char v = 0;
      stmt.Check(SQLGetData(stmt.Get(), col, SQL_C_BIT, &v, 0, &ind));
      if (ind == SQL_NULL_DATA) return std::monostate{};
      return v != 0;
    }
    case TFieldKind::DateTime: {
      if (sqlType == SQL_TYPE_TIME || sqlType == SQL_TIME) {
        SQL_TIME_STRUCT t{};
        stmt.Check(SQLGetData(stmt.Get(), col, SQL_C_TYPE_TIME, &t, 0, &ind));
        if (ind == SQL_NULL_DATA) return std::monostate{};
        return TDateTimeValue{EncodeTime(t.hour, t.minute, t.second)};
      }
      SQL_TIMESTAMP_STRUCT t{};
      stmt.Check(SQLGetData(stmt.Get(), col, SQL_C_TYPE_TIMESTAMP, &t, 0, &ind));
      if (ind == SQL_NULL_DATA) return std::monostate{};
      return TDateTimeValue{EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                           static_cast<int>(t.fraction / 1000000u))};
    }
    case TFieldKind::Blob: {
      std::basic_string<unsigned char> bytes;
      if (!ReadLong(stmt, col, SQL_C_BINARY, bytes)) return std::monostate{};
      return std::string(bytes.begin(), bytes.end());
    }
    default: {
      WString text;
      if (!ReadLong(stmt, col, SQL_C_WCHAR, text)) return std::monostate{};
      return FromWide(text.data(), text.size());
    }
  }
}

}  // namespace

TOdbcDatabase::TOdbcDatabase(const std::string& connectionString) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
    throw EDatabaseError("The ODBC environment could not be created");
  env_ = env;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    std::string msg = Diagnostics(SQL_HANDLE_ENV, env);
    Close();
    throw EDatabaseError(msg);
  }
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds),
                    0);
  WString conn = ToWide(connectionString);
  SQLWCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, conn.data(), static_cast<SQLSMALLINT>(conn.size()),
                                   out, 1024, &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    std::string msg = Diagnostics(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    Close();
    throw EDatabaseError(msg);
  }
  dbc_ = dbc;
  // Not every driver knows isolation levels; its own default then stands.
  SQLSetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_TXN_READ_COMMITTED)), 0);
  auto info = [dbc](SQLUSMALLINT what) {
    SQLWCHAR text[256] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, text, sizeof text, &len))) return std::string();
    return FromWide(text, std::min<size_t>(static_cast<size_t>(len) / sizeof(SQLWCHAR), 255));
  };
  dbmsName_ = info(SQL_DBMS_NAME);
  description_ = "ODBC: " + (dbmsName_.empty() ? std::string("a database") : dbmsName_) +
                 " through " + info(SQL_DRIVER_NAME) + ", server " + info(SQL_SERVER_NAME) +
                 ", database " + info(SQL_DATABASE_NAME);
  if (dbmsName_.find("PostgreSQL") != std::string::npos)
    dbms_ = TDbmsKind::PostgreSQL;
  else if (dbmsName_.find("SQL Server") != std::string::npos)
    dbms_ = TDbmsKind::SqlServer;
}

TOdbcDatabase::~TOdbcDatabase() { Close(); }

void TOdbcDatabase::Close() {
  if (dbc_) {
    SQLDisconnect(static_cast<SQLHDBC>(dbc_));
    SQLFreeHandle(SQL_HANDLE_DBC, static_cast<SQLHDBC>(dbc_));
    dbc_ = nullptr;
  }
  if (env_) {
    SQLFreeHandle(SQL_HANDLE_ENV, static_cast<SQLHENV>(env_));
    env_ = nullptr;
  }
}

std::unique_ptr<TQuery> TOdbcDatabase::Open(const std::string& sql, const TSqlParams& params) {
  if (!dbc_) throw EDatabaseError("The database connection is closed");
  TStmt stmt(static_cast<SQLHDBC>(dbc_));
  std::deque<TParamBuf> bufs;
  BindParams(stmt, params, bufs);
  WString text = ToWide(sql);
  stmt.Check(SQLExecDirectW(stmt.Get(), text.data(), static_cast<SQLINTEGER>(text.size())));

  // Row counts of statements before the query (triggers, SET) come first: skip to the rows.
  SQLSMALLINT n = 0;
  stmt.Check(SQLNumResultCols(stmt.Get(), &n));
  while (n == 0) {
    SQLRETURN rc = SQLMoreResults(stmt.Get());
    if (rc == SQL_NO_DATA) break;
    stmt.Check(rc);
    stmt.Check(SQLNumResultCols(stmt.Get(), &n));
  }

  std::vector<TColumnInfo> columns(static_cast<size_t>(n));
  std::vector<SQLSMALLINT> types(static_cast<size_t>(n));
  for (SQLUSMALLINT i = 1; i <= n; ++i) {
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    stmt.Check(SQLDescribeColW(stmt.Get(), i, name, 256, &nameLen, &type, &size, &digits,
                               &nullable));
    columns[i - 1].Name = FromWide(name, std::min<size_t>(static_cast<size_t>(nameLen), 255));
    columns[i - 1].Kind = KindOfSqlType(type, size, digits);
    // psqlODBC describes a BOOLEAN column as text unless told otherwise (BoolsAsChar); its
    // type name still says what it is.
    if (columns[i - 1].Kind == TFieldKind::Text && IsBooleanTypeName(stmt, i))
      columns[i - 1].Kind = TFieldKind::Boolean;
    types[i - 1] = type;
  }
  std::vector<std::vector<TSqlValue>> rows;
  TReadBudget budget(ReadLimit());
  if (n > 0) {
    for (;;) {
      SQLRETURN rc = SQLFetch(stmt.Get());
      if (rc == SQL_NO_DATA) break;
      stmt.Check(rc);
      std::vector<TSqlValue> row;
      row.reserve(columns.size());
      for (SQLUSMALLINT i = 1; i <= n; ++i) {
        row.push_back(ReadValue(stmt, i, types[i - 1], columns[i - 1].Kind));
        budget.Add(columns[i - 1], row.back());
      }
      rows.push_back(std::move(row));
    }
  }
  return std::make_unique<TQuery>(std::move(columns), std::move(rows));
}

int64_t TOdbcDatabase::Execute(const std::string& sql, const TSqlParams& params) {
  if (!dbc_) throw EDatabaseError("The database connection is closed");
  TStmt stmt(static_cast<SQLHDBC>(dbc_));
  std::deque<TParamBuf> bufs;
  BindParams(stmt, params, bufs);
  WString text = ToWide(sql);
  SQLRETURN rc = SQLExecDirectW(stmt.Get(), text.data(), static_cast<SQLINTEGER>(text.size()));
  stmt.Check(rc);
  int64_t total = 0;
  // A batch reports a failure of a later statement only when its result is reached.
  while (rc != SQL_NO_DATA) {
    SQLLEN count = -1;
    if (SQL_SUCCEEDED(SQLRowCount(stmt.Get(), &count)) && count > 0) total += count;
    rc = SQLMoreResults(stmt.Get());
    stmt.Check(rc);
  }
  return total;
}

void TOdbcDatabase::BeginTransaction() {
  if (!dbc_) throw EDatabaseError("The database connection is closed");
  SQLHDBC dbc = static_cast<SQLHDBC>(dbc_);
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
    Fail(SQL_HANDLE_DBC, dbc, dbc);
}

// Ends the transaction and returns to auto-commit; false when the driver refused either.
static bool EndTransaction(SQLHDBC dbc, SQLSMALLINT completion) {
  const bool ended = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc, completion));
  const bool restored = SQL_SUCCEEDED(SQLSetConnectAttr(
      dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0));
  return ended && restored;
}

void TOdbcDatabase::CommitTransaction() {
  if (!dbc_) throw EDatabaseError("The database connection is closed");
  SQLHDBC dbc = static_cast<SQLHDBC>(dbc_);
  if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) {
    try {
      Fail(SQL_HANDLE_DBC, dbc, dbc);
    } catch (...) {
      EndTransaction(dbc, SQL_ROLLBACK);
      throw;
    }
  }
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0)))
    Fail(SQL_HANDLE_DBC, dbc, dbc);
}

void TOdbcDatabase::RollbackTransaction() noexcept {
  if (dbc_) EndTransaction(static_cast<SQLHDBC>(dbc_), SQL_ROLLBACK);
}

}  // namespace tavo
