#include "database/SqliteDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/Win1252.h"
#include "database/WalCheckpointer.h"

namespace tavo {
namespace {

const char kSchema[] =
#include "database/SqliteSchema.inc"
    ;

// Waits this long for a lock held by another process (the sqlite3 tool, a backup).
constexpr int kBusyTimeoutMs = 5000;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool OnlyBlanksAndComments(const char* p) {
  while (*p) {
    if (std::isspace(static_cast<unsigned char>(*p)) || *p == ';') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else {
      return false;
    }
  }
  return true;
}

class TStatement {
 public:
  TStatement() = default;
  ~TStatement() { sqlite3_finalize(stmt_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt** Out() { return &stmt_; }
  sqlite3_stmt* Get() const { return stmt_; }
  sqlite3_stmt* Release() { return std::exchange(stmt_, nullptr); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The failures after which the file may work again later: the disk, the file system, a lock
// that another process holds too long. Everything else (a statement the database refuses) fails
// the same way every time.
bool Unreachable(int code) {
  switch (code & 0xFF) {
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_BUSY:
    case SQLITE_READONLY:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void Fail(sqlite3* db) {
  std::string text = Utf8ToAnsi(sqlite3_errmsg(db));
  if (Unreachable(sqlite3_extended_errcode(db))) throw EDatabaseUnreachable(text);
  throw EDatabaseError(text);
}

void Check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK) Fail(db);
}

// Binds the next parameters of the list to the statement's placeholders; advances next.
void Bind(sqlite3* db, sqlite3_stmt* stmt, const TSqlParams& params, size_t& next) {
  int count = sqlite3_bind_parameter_count(stmt);
  if (next + static_cast<size_t>(count) > params.size())
    throw EDatabaseError("The statement has more parameters than values were given");
  for (int i = 1; i <= count; ++i) {
    const TSqlValue& v = params[next++];
    int rc = SQLITE_OK;
    if (std::holds_alternative<std::monostate>(v)) {
      rc = sqlite3_bind_null(stmt, i);
    } else if (const auto* n = std::get_if<int64_t>(&v)) {
      rc = sqlite3_bind_int64(stmt, i, *n);
    } else if (const auto* f = std::get_if<double>(&v)) {
      rc = sqlite3_bind_double(stmt, i, *f);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      std::string utf8 = AnsiToUtf8(*s);
      rc = sqlite3_bind_text64(stmt, i, utf8.data(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (const auto* d = std::get_if<TDateTimeValue>(&v)) {
      std::string text = FormatIsoMillis(d->Value);
      rc = sqlite3_bind_text(stmt, i, text.c_str(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
    } else if (const auto* b = std::get_if<bool>(&v)) {
      rc = sqlite3_bind_int(stmt, i, *b ? 1 : 0);
    }
    Check(db, rc);
  }
}

// Binds every value of the list to one statement's placeholders; the counts must agree.
void BindAll(sqlite3* db, sqlite3_stmt* stmt, const TSqlParams& params) {
  size_t next = 0;
  Bind(db, stmt, params, next);
  if (next != params.size())
    throw EDatabaseError("More values were given than the statement has parameters");
}

// Leaves a kept statement reset whatever happens, so it holds no read lock between uses.
struct TStatementReset {
  sqlite3_stmt* s;
  ~TStatementReset() { sqlite3_reset(s); }
};

// One stored value, typed by the column's declared kind where the storage allows it.
TSqlValue ReadValue(sqlite3_stmt* stmt, int col, TFieldKind kind) {
  switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_NULL:
      return std::monostate{};
    case SQLITE_INTEGER: {
      int64_t n = sqlite3_column_int64(stmt, col);
      if (kind == TFieldKind::Boolean) return n != 0;
      if (kind == TFieldKind::DateTime) return TDateTimeValue{static_cast<TDateTime>(n)};
      return n;
    }
    case SQLITE_FLOAT: {
      double f = sqlite3_column_double(stmt, col);
      if (kind == TFieldKind::Boolean) return f != 0;
      if (kind == TFieldKind::DateTime) return TDateTimeValue{f};
      return f;
    }
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(stmt, col);
      int n = sqlite3_column_bytes(stmt, col);
      return std::string(static_cast<const char*>(p), static_cast<size_t>(n));
    }
    default: {
      const unsigned char* p = sqlite3_column_text(stmt, col);
      int n = sqlite3_column_bytes(stmt, col);
      std::string text = Utf8ToAnsi(
          std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(n)));
      if (kind == TFieldKind::DateTime) {
        TDateTime d = 0;
        if (ParseIsoDateTime(text, d)) return TDateTimeValue{d};
      }
      return text;
    }
  }
}

TFieldKind KindOfStorage(int type) {
  switch (type) {
    case SQLITE_INTEGER: return TFieldKind::Integer;
    case SQLITE_FLOAT: return TFieldKind::Float;
    case SQLITE_BLOB: return TFieldKind::Blob;
    case SQLITE_TEXT: return TFieldKind::Text;
    default: return TFieldKind::Unknown;
  }
}

}  // namespace

TFieldKind SqliteKindOfDeclType(const std::string& declType) {
  std::string t = Upper(declType);
  if (t.empty()) return TFieldKind::Unknown;
  auto has = [&t](const char* part) { return t.find(part) != std::string::npos; };
  if (has("BIT") || has("BOOL")) return TFieldKind::Boolean;
  if (has("DATE") || has("TIME")) return TFieldKind::DateTime;
  if (has("INT")) return TFieldKind::Integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return TFieldKind::Text;
  if (has("REAL") || has("FLOA") || has("DOUB") || has("NUM") || has("DEC") || has("MONEY"))
    return TFieldKind::Float;
  if (has("BLOB") || has("BINARY")) return TFieldKind::Blob;
  return TFieldKind::Unknown;
}

const char* TSqliteDatabase::Schema() { return kSchema; }

TSqliteDatabase::TSqliteDatabase(const std::filesystem::path& file, TLogging* log,
                                 bool createIfMissing)
    : log_(log) {
  std::error_code ec;
  bool exists = std::filesystem::exists(file, ec);
  if (exists || !createIfMissing) {
    OpenFile(file, false);
    return;
  }
  try {
    OpenFile(file, true);
    char* err = nullptr;
    std::string script = std::string("BEGIN;\n") + kSchema + "\nCOMMIT;";
    if (sqlite3_exec(db_, script.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string msg = err ? err : "schema script failed";
      sqlite3_free(err);
      throw EDatabaseError("Could not create the database " + Utf8ToAnsi(file.string()) + ": " +
                           Utf8ToAnsi(msg));
    }
  } catch (...) {
    // Leave no half-made file behind: the next start tries again from scratch.
    Close();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(file.string() + suffix, ec);
    throw;
  }
}

TSqliteDatabase::~TSqliteDatabase() { Close(); }

std::string TSqliteDatabase::Describe() const {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(file_, ec);
  return "SQLite file " + Utf8ToAnsi((ec ? file_ : full).string());
}

void TSqliteDatabase::OpenFile(const std::filesystem::path& file, bool create) {
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.string().c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    throw EDatabaseError(Utf8ToAnsi(msg) + ": " + Utf8ToAnsi(file.string()));
  }
  db_ = db;
  file_ = file;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) {
    fileDev_ = st.st_dev;
    fileIno_ = st.st_ino;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  char* err = nullptr;
  rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr,
                    &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errmsg(db_);
    sqlite3_free(err);
    Close();
    throw EDatabaseError(Utf8ToAnsi(msg) + ": " + Utf8ToAnsi(file.string()));
  }
  try {
    checkpointer_ = std::make_unique<TWalCheckpointer>(db_, log_);
  } catch (const std::exception& e) {  // no thread to be had
    Close();
    throw EDatabaseError(std::string(e.what()) + ": " + Utf8ToAnsi(file.string()));
  }
}

sqlite3_stmt* TSqliteDatabase::CachedStatement(const std::string& utf8) {
  auto it = statements_.find(utf8);
  if (it != statements_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  Check(db_, sqlite3_prepare_v2(db_, utf8.c_str(), static_cast<int>(utf8.size()), &stmt, &tail));
  if (!stmt) throw EDatabaseError("The statement is empty");
  if (tail && !OnlyBlanksAndComments(tail)) {
    sqlite3_finalize(stmt);
    throw EDatabaseError("A query must be a single statement");
  }
  // Remote SQL brings statements that never come again: start afresh when full.
  if (statements_.size() >= kStatementCacheSize) ClearStatementCache();
  statements_.emplace(utf8, stmt);
  return stmt;
}

void TSqliteDatabase::ClearStatementCache() {
  for (auto& [text, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
}

void TSqliteDatabase::Close() {
  checkpointer_.reset();
  ClearStatementCache();
  if (db_) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

void TSqliteDatabase::Require() const {
  if (!db_) throw EDatabaseError("The database connection is closed");
}

std::unique_ptr<TQuery> TSqliteDatabase::Open(const std::string& sql, const TSqlParams& params) {
  Require();
  std::string utf8 = AnsiToUtf8(sql);
  sqlite3_stmt* stmt = CachedStatement(utf8);
  TStatementReset resetter{stmt};
  BindAll(db_, stmt, params);

  int n = sqlite3_column_count(stmt);
  std::vector<TColumnInfo> columns(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    const char* decl = sqlite3_column_decltype(stmt, i);
    columns[i].Name = Utf8ToAnsi(name ? name : "");
    columns[i].Kind = SqliteKindOfDeclType(decl ? decl : "");
  }
  std::vector<std::vector<TSqlValue>> rows;
  TReadBudget budget(ReadLimit());
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) Fail(db_);
    std::vector<TSqlValue> row;
    row.reserve(columns.size());
    for (int i = 0; i < n; ++i) {
      // An expression column has no declared type: its first value decides its kind.
      if (columns[i].Kind == TFieldKind::Unknown)
        columns[i].Kind = KindOfStorage(sqlite3_column_type(stmt, i));
      row.push_back(ReadValue(stmt, i, columns[i].Kind));
      budget.Add(columns[i], row.back());
    }
    rows.push_back(std::move(row));
  }
  return std::make_unique<TQuery>(std::move(columns), std::move(rows));
}

std::optional<int64_t> TSqliteDatabase::DataVersion() {
  Require();
  sqlite3_stmt* stmt = CachedStatement("PRAGMA data_version");
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    sqlite3_reset(stmt);
    Fail(db_);
  }
  const int64_t version = sqlite3_column_int64(stmt, 0);
  sqlite3_reset(stmt);
  return version;
}

// Runs one prepared statement to its end and leaves it reset.
int64_t TSqliteDatabase::RunPrepared(sqlite3_stmt* stmt, const TSqlParams& params) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  TStatementReset resetter{stmt};
  BindAll(db_, stmt, params);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(db_);
  return sqlite3_changes64(db_);
}

int64_t TSqliteDatabase::Execute(const std::string& sql, const TSqlParams& params) {
  Require();
  std::string utf8 = AnsiToUtf8(sql);
  // The server's own statements come again with every call: one statement stays prepared, as
  // a query does.
  if (auto it = statements_.find(utf8); it != statements_.end()) return RunPrepared(it->second, params);
  const char* p = utf8.c_str();
  const char* end = p + utf8.size();
  size_t next = 0;
  int64_t changes = 0;
  // A text of several statements runs them in turn, each taking its share of the values.
  while (p < end) {
    TStatement stmt;
    const char* tail = nullptr;
    Check(db_, sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), stmt.Out(), &tail));
    const bool whole = p == utf8.c_str() && (!tail || OnlyBlanksAndComments(tail));
    p = tail ? tail : end;
    if (!stmt.Get()) continue;  // blanks or a comment
    if (whole) {
      if (statements_.size() >= kStatementCacheSize) ClearStatementCache();
      sqlite3_stmt* kept = stmt.Release();
      statements_.emplace(utf8, kept);
      return RunPrepared(kept, params);
    }
    Bind(db_, stmt.Get(), params, next);
    int rc;
    while ((rc = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(db_);
    changes += sqlite3_changes64(db_);
  }
  if (next != params.size())
    throw EDatabaseError("More values were given than the statement has parameters");
  return changes;
}

// The header's user version written back unchanged: a real commit, so it fails when the disk
// has no room for it, and it changes nothing anyone reads.
void TSqliteDatabase::CheckWritable() {
  Require();
  const int64_t version = Open("PRAGMA user_version")->AsInteger("user_version");
  Execute("PRAGMA user_version = " + std::to_string(version));
}

void TSqliteDatabase::CheckHealth() {
  TDatabase::CheckHealth();
  const std::string name = Utf8ToAnsi(file_.string());
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0 || st.st_dev != fileDev_ || st.st_ino != fileIno_)
    throw EDatabaseError("the database file " + name + " was removed or replaced");
  if (::access(file_.c_str(), R_OK | W_OK) != 0)
    throw EDatabaseError("the database file " + name + " cannot be read and written");
  static const char kMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  char head[sizeof kMagic] = {};
  // Read through the connection's own descriptor: opening and closing the file a second time
  // would drop the connection's POSIX locks on it.
  sqlite3_file* f = nullptr;
  const bool read = sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &f) == SQLITE_OK &&
                    f && f->pMethods &&
                    f->pMethods->xRead(f, head, static_cast<int>(sizeof head), 0) == SQLITE_OK;
  if (!read || std::memcmp(head, kMagic, sizeof head) != 0)
    throw EDatabaseError("the database file " + name + " is no longer an SQLite database");
}

// IMMEDIATE takes the write lock at once, so a busy file fails here and not half-way through.
// Kept prepared like the statements between them: every new call runs both.
void TSqliteDatabase::BeginTransaction() {
  Require();
  RunPrepared(CachedStatement("BEGIN IMMEDIATE"), {});
}

void TSqliteDatabase::CommitTransaction() {
  Require();
  RunPrepared(CachedStatement("COMMIT"), {});
}

void TSqliteDatabase::RollbackTransaction() noexcept {
  // SQLite may already have rolled back by itself after some failures.
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace tavo
