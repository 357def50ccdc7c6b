// The database as the rest of the server sees it: read-only queries whose rows are read by
// column name, statements without a result, and bound parameters for every value the server
// supplies. Two backends implement it: SQLite (embedded default) and ODBC.
// Text in and out is Windows-1252; backends convert at their edge.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "common/DateTime.h"
#include "common/KnownOutage.h"

namespace tavo {

// A failure of the database layer; what() is the database's message.
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database cannot be reached through this connection: the connection was lost, the
// server stopped or is out of resources, the disk is full, the file cannot be read or written.
// Thrown by the backends; what was asked may work again on a fresh connection later.
class EDatabaseUnreachable : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// Refused without trying: the connection is known to be down and is being reopened
// (TReconnectingDatabase). Not counted and not logged again (EKnownOutage).
class EDatabaseDown : public EDatabaseError, public EKnownOutage {
 public:
  using EDatabaseError::EDatabaseError;
};

enum class TFieldKind : uint8_t { Unknown, Integer, Float, Text, DateTime, Boolean, Blob };

struct TColumnInfo {
  std::string Name;
  TFieldKind Kind = TFieldKind::Unknown;
};

// A bound parameter or a column value. A date-time is kept apart from a plain float.
struct TDateTimeValue {
  TDateTime Value = 0;
};
using TSqlValue = std::variant<std::monostate, int64_t, double, std::string, TDateTimeValue, bool>;

inline TSqlValue SqlNull() { return std::monostate{}; }
inline TSqlValue SqlInt(int64_t v) { return v; }
inline TSqlValue SqlText(std::string v) { return v; }
inline TSqlValue SqlDateTime(TDateTime v) { return TDateTimeValue{v}; }
inline TSqlValue SqlBool(bool v) { return v; }

using TSqlParams = std::vector<TSqlValue>;

// A read-only result, fully read. Reading a column of a missing row, or a null value, never
// fails: empty text, 0, the zero date-time or false. An unknown column name throws.
class TQuery {
 public:
  TQuery(std::vector<TColumnInfo> columns, std::vector<std::vector<TSqlValue>> rows);

  bool Eof() const { return row_ >= rows_.size(); }
  void Next() { if (row_ < rows_.size()) ++row_; }
  void First() { row_ = 0; }
  size_t RecordCount() const { return rows_.size(); }
  const std::vector<TColumnInfo>& Columns() const { return columns_; }

  // Column index by name, case-insensitive; throws EDatabaseError when absent.
  size_t ColumnIndex(const std::string& name) const;
  const TSqlValue& Value(size_t column) const;  // null on a missing row
  bool IsNull(const std::string& name) const;

  std::string AsString(const std::string& name) const;
  int32_t AsInteger(const std::string& name) const;
  double AsFloat(const std::string& name) const;
  bool AsBoolean(const std::string& name) const;
  TDateTime AsDateTime(const std::string& name) const;

  // The same conversions for one value (used for column-wise reads too).
  static std::string ToString(const TSqlValue& v);
  static int32_t ToInteger(const TSqlValue& v);
  static double ToFloat(const TSqlValue& v);
  static bool ToBoolean(const TSqlValue& v);
  static TDateTime ToDateTime(const TSqlValue& v);

 private:
  std::vector<TColumnInfo> columns_;
  std::vector<std::vector<TSqlValue>> rows_;
  size_t row_ = 0;
};

// A query read more than its connection's read limit allows.
class EReadLimitExceeded : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// Counts what a query reads against a limit: per value its column name, its text (at least
// one byte) and two separators, the least a reply listing name and value needs. Throws
// EReadLimitExceeded once the count passes the limit; 0 means no limit.
class TReadBudget {
 public:
  explicit TReadBudget(size_t limit) : limit_(limit) {}
  void Add(const TColumnInfo& column, const TSqlValue& value);

 private:
  size_t limit_;
  size_t used_ = 0;
};

// The database product behind a connection, for the few statements whose form differs.
enum class TDbmsKind : uint8_t { Other, SQLite, PostgreSQL, SqlServer };

class TDatabase {
 public:
  virtual ~TDatabase() = default;

  virtual TDbmsKind Dbms() const { return TDbmsKind::Other; }
  // What the start-up log says the server serves from: the product and where its data is
  // (a file's full path; a driver, server and database name), never a password.
  virtual std::string Describe() const { return "a database"; }

  virtual bool Connected() const = 0;
  virtual void Close() = 0;
  // Runs a query with "?" placeholders; throws EDatabaseError on failure.
  virtual std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) = 0;
  // Runs a statement without a result; returns the number of affected rows (or -1).
  virtual int64_t Execute(const std::string& sql, const TSqlParams& params = {}) = 0;
  // Throws EDatabaseError unless the database still answers: a trivial query that reads a
  // table; backends add what a query alone cannot see.
  virtual void CheckHealth();
  // Throws EDatabaseUnreachable unless a change could be written now: for a backend whose
  // writes fail while its reads still work (an SQLite file on a full disk). Writes nothing
  // that anyone reads. The default does nothing.
  virtual void CheckWritable() {}
  // A number that changes whenever another connection or program commits a change to the
  // database (this connection's own changes leave it as it is); nothing when the backend has
  // no such signal, and then whatever was read must be read again. Throws EDatabaseError.
  virtual std::optional<int64_t> DataVersion() { return std::nullopt; }

  // Statements between BeginTransaction and CommitTransaction take effect together, or not at
  // all after RollbackTransaction. Not nested. A connection that cannot do this throws.
  virtual void BeginTransaction();
  virtual void CommitTransaction();
  // Never throws: it runs on failure paths.
  virtual void RollbackTransaction() noexcept;

  // Bounds what one query may read (see TReadBudget), so that a client's query cannot fill
  // the memory; 0, the default, reads everything. Open throws EReadLimitExceeded past it.
  void SetReadLimit(size_t bytes) { readLimit_ = bytes; }
  size_t ReadLimit() const { return readLimit_; }

 private:
  size_t readLimit_ = 0;
};

// Rolls back on destruction unless committed: a failure in the middle leaves what was there.
class TTransaction {
 public:
  explicit TTransaction(TDatabase& db) : db_(db) { db_.BeginTransaction(); }
  ~TTransaction() {
    if (!done_) db_.RollbackTransaction();
  }
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;
  void Commit() {
    db_.CommitTransaction();
    done_ = true;
  }

 private:
  TDatabase& db_;
  bool done_ = false;
};

// Sets a connection's read limit for the life of the object and restores the one before.
class TReadLimitScope {
 public:
  TReadLimitScope(TDatabase& db, size_t bytes) : db_(db), before_(db.ReadLimit()) {
    db_.SetReadLimit(bytes);
  }
  ~TReadLimitScope() { db_.SetReadLimit(before_); }
  TReadLimitScope(const TReadLimitScope&) = delete;
  TReadLimitScope& operator=(const TReadLimitScope&) = delete;

 private:
  TDatabase& db_;
  size_t before_;
};

// The statement with its values in place of the placeholders, for log texts.
std::string ExpandSqlForLog(const std::string& sql, const TSqlParams& params);

}  // namespace tavo
