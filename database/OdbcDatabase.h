// The ODBC backend on unixODBC: SQL Server through FreeTDS, PostgreSQL through psqlODBC, any
// other database through its own driver. Text goes through the wide (UTF-16) calls and is
// converted from and to Windows-1252 here; date-times travel as ODBC timestamps, Booleans as
// bit. Read-committed isolation; statements commit one by one outside a transaction.
#pragma once

#include <string>

#include "database/Database.h"

namespace tavo {

class TOdbcDatabase final : public TDatabase {
 public:
  // Connects with an ODBC connection string (DRIVER=...;... or DSN=...;...), never prompting;
  // throws EDatabaseError with the driver's message.
  explicit TOdbcDatabase(const std::string& connectionString);
  ~TOdbcDatabase() override;
  TOdbcDatabase(const TOdbcDatabase&) = delete;
  TOdbcDatabase& operator=(const TOdbcDatabase&) = delete;

  TDbmsKind Dbms() const override { return dbms_; }
  // As the driver reports them: "ODBC: PostgreSQL through psqlodbcw.so, server ..., database ...".
  std::string Describe() const override { return description_; }
  bool Connected() const override { return dbc_ != nullptr; }
  void Close() override;
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) override;
  int64_t Execute(const std::string& sql, const TSqlParams& params = {}) override;
  // Auto-commit is switched off for the length of a transaction.
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() noexcept override;

  // The product name the driver reports ("PostgreSQL", "Microsoft SQL Server", ...).
  const std::string& DbmsName() const { return dbmsName_; }

 private:
  void* env_ = nullptr;  // SQLHENV
  void* dbc_ = nullptr;  // SQLHDBC
  TDbmsKind dbms_ = TDbmsKind::Other;
  std::string dbmsName_;
  std::string description_;
};

}  // namespace tavo
