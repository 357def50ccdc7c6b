// The embedded backend: one SQLite file on the sqlite3 C API. WAL journal with
// synchronous=NORMAL, so a committed statement survives a crash of the server; a busy timeout
// so that the sqlite3 tool may look at the file while the server runs. A file that does not
// exist is a new installation and gets the schema of sql/sqlite.sql.
#pragma once

#include <filesystem>
#include <string>

#include "database/Database.h"

struct sqlite3;

namespace tavo {

class TSqliteDatabase final : public TDatabase {
 public:
  // Opens the file, creating it with the schema when it does not exist; throws EDatabaseError.
  explicit TSqliteDatabase(const std::filesystem::path& file);
  ~TSqliteDatabase() override;
  TSqliteDatabase(const TSqliteDatabase&) = delete;
  TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

  TDbmsKind Dbms() const override { return TDbmsKind::SQLite; }
  bool Connected() const override { return db_ != nullptr; }
  void Close() override;
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) override;
  int64_t Execute(const std::string& sql, const TSqlParams& params = {}) override;

  // The schema a new file receives.
  static const char* Schema();

 private:
  void Require() const;
  void OpenFile(const std::filesystem::path& file, bool create);

  sqlite3* db_ = nullptr;
};

// The field kind of a declared column type ("DATETIME", "BIT", "VARCHAR(25)", ...).
TFieldKind SqliteKindOfDeclType(const std::string& declType);

}  // namespace tavo
