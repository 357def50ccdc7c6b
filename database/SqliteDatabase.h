// The embedded backend: one SQLite file on the sqlite3 C API. WAL journal with
// synchronous=FULL, so a committed statement survives a crash of the server and a power cut
// (NORMAL, which may lose the last commits to a power cut, is the clinic's choice); a busy timeout
// so that the sqlite3 tool may look at the file while the server runs. A file that does not
// exist is a new installation and gets the schema of sql/sqlite.sql. The WAL is checkpointed
// by a thread of its own (TWalCheckpointer), never inside one of this connection's commits.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>

#include "database/Database.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tavo {

class TLogging;
class TWalCheckpointer;

class TSqliteDatabase final : public TDatabase {
 public:
  // Opens the file, creating it with the schema when it does not exist; throws EDatabaseError.
  // A failing checkpoint is logged to log (none: not logged), which must outlive the object.
  // Without createIfMissing a missing file fails (a reopen must not start a new database).
  explicit TSqliteDatabase(const std::filesystem::path& file, TLogging* log = nullptr,
                           bool createIfMissing = true);
  ~TSqliteDatabase() override;
  TSqliteDatabase(const TSqliteDatabase&) = delete;
  TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

  TDbmsKind Dbms() const override { return TDbmsKind::SQLite; }
  std::string Describe() const override;
  bool Connected() const override { return db_ != nullptr; }
  void Close() override;
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) override;
  int64_t Execute(const std::string& sql, const TSqlParams& params = {}) override;
  // Also fails when the file behind the connection was removed, replaced, made unreadable or
  // overwritten: an open connection keeps answering from its cache and its old file meanwhile.
  void CheckHealth() override;
  void CheckWritable() override;
  // PRAGMA data_version: changes when another connection, in this process or any other,
  // commits to the file.
  std::optional<int64_t> DataVersion() override;
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() noexcept override;

  // The schema a new file receives.
  static const char* Schema();

 private:
  void Require() const;
  void OpenFile(const std::filesystem::path& file, bool create);

  // Prepared queries by their text, reset before each use: the server runs the same few
  // queries all day, and parsing them again each time was a large part of a broadcast.
  struct sqlite3_stmt* CachedStatement(const std::string& utf8);
  int64_t RunPrepared(struct sqlite3_stmt* stmt, const TSqlParams& params);
  void ClearStatementCache();
  static constexpr size_t kStatementCacheSize = 64;
  std::unordered_map<std::string, struct sqlite3_stmt*> statements_;

  sqlite3* db_ = nullptr;
  TLogging* log_;
  // Stopped before db_ closes.
  std::unique_ptr<TWalCheckpointer> checkpointer_;
  std::filesystem::path file_;
  dev_t fileDev_ = 0;
  ino_t fileIno_ = 0;
};

// The field kind of a declared column type ("DATETIME", "BIT", "VARCHAR(25)", ...).
TFieldKind SqliteKindOfDeclType(const std::string& declType);

}  // namespace tavo
