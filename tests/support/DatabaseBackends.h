// The two database backends the same test cases and benchmarks run against: SQLite files in a
// temporary directory, and PostgreSQL databases (one per case) on the test server through
// psqlODBC.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "database/Database.h"
#include "database/OdbcDatabase.h"
#include "database/SqliteDatabase.h"
#include "support/PostgresServer.h"
#include "support/TestSupport.h"

namespace tavo::test {

// Tables as an installation of an older version has them: without COMINGTSTAMP, COMINGLOPNR,
// IMEINUMBER and AKTIV, SMSNUMMER narrow, no SMSNUMMERLENGTH setting.
inline const std::vector<std::string> kOldSchema = {
    "CREATE TABLE STATIONS (LOPNR INTEGER NOT NULL PRIMARY KEY, STATIONNAME VARCHAR(100), "
    "FRIENDLYNAME VARCHAR(100), NAMECOLOUR INTEGER, STATIONTYPE INTEGER)",
    "CREATE TABLE CALLABLES (LOPNR INTEGER NOT NULL PRIMARY KEY, CALLNAME VARCHAR(50), "
    "FULLNAME VARCHAR(100), NAMECOLOUR INTEGER, SENDSMS INTEGER, SMSNUMMER VARCHAR(50))",
    "CREATE TABLE CALLLIST (STATIONSLOPNR INTEGER, CALLABLESLOPNR INTEGER, IXLOPNR INTEGER)",
    "CREATE TABLE CALLLOG (LOPNR INTEGER NOT NULL PRIMARY KEY, STATIONSLOPNR INTEGER, "
    "CALLABLESLOPNR INTEGER, SMSSENT BOOLEAN, CALLTSTAMP TIMESTAMP(3), "
    "CANCELTSTAMP TIMESTAMP(3), CONFIRMTSTAMP TIMESTAMP(3))",
    "CREATE TABLE SETTINGS (NYCKELNAMN VARCHAR(255), STRINGVALUE VARCHAR(4000), "
    "INTEGERVALUE INTEGER)",
};

// The statements of a schema script, comments dropped.
inline std::vector<std::string> ScriptStatements(const std::string& file) {
  std::ifstream in(file);
  std::string line, text;
  while (std::getline(in, line)) {
    size_t dash = line.find("--");
    text += (dash == std::string::npos ? line : line.substr(0, dash)) + "\n";
  }
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string stmt;
  while (std::getline(ss, stmt, ';'))
    if (stmt.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(stmt);
  return out;
}

class TTestBackend {
 public:
  virtual ~TTestBackend() = default;
  // A database without tables.
  virtual std::unique_ptr<TDatabase> OpenEmpty() = 0;
  // A database with the schema of a new installation.
  virtual std::unique_ptr<TDatabase> OpenNew() = 0;
  // The "Provider=" value of a data-link file naming a database with the schema of a new
  // installation (which for SQLite does not exist yet); programDir is where a relative file
  // is looked for.
  virtual std::string DataLinkProvider() = 0;
  virtual std::string ProgramDir() = 0;
};

class TSqliteBackend final : public TTestBackend {
 public:
  std::unique_ptr<TDatabase> OpenEmpty() override {
    auto file = dir_ / ("empty" + std::to_string(++n_) + ".db");
    WriteFile(file, "");  // an empty file is an empty database; no schema is created
    return std::make_unique<TSqliteDatabase>(file);
  }
  std::unique_ptr<TDatabase> OpenNew() override {
    return std::make_unique<TSqliteDatabase>(dir_ / ("new" + std::to_string(++n_) + ".db"));
  }
  std::string DataLinkProvider() override { return "SQLite;Data Source=tavo.db"; }
  std::string ProgramDir() override { return dir_.Path().string() + "/"; }

 private:
  TTempDir dir_;
  int n_ = 0;
};

inline TPostgresServer& PgServer() {
  static TPostgresServer server;  // stops a server it started itself at exit
  return server;
}

class TPostgresBackend final : public TTestBackend {
 public:
  ~TPostgresBackend() override {
    for (const auto& name : databases_) PgServer().DropDatabase(name);
  }
  std::unique_ptr<TDatabase> OpenEmpty() override {
    return std::make_unique<TOdbcDatabase>(PgServer().OdbcConnectionString(Create()));
  }
  std::unique_ptr<TDatabase> OpenNew() override {
    auto db = OpenEmpty();
    for (const auto& stmt : ScriptStatements(std::string(TAVO_SOURCE_DIR) + "/sql/postgresql.sql"))
      db->Execute(stmt);
    return db;
  }
  std::string DataLinkProvider() override {
    std::string name = databases_.empty() ? Create() : databases_.back();
    {
      TOdbcDatabase db(PgServer().OdbcConnectionString(name));
      for (const auto& stmt :
           ScriptStatements(std::string(TAVO_SOURCE_DIR) + "/sql/postgresql.sql"))
        db.Execute(stmt);
    }
    // The driver's string goes in Extended Properties; the catalog comes from Initial Catalog.
    std::string odbc = PgServer().OdbcConnectionString("postgres");
    odbc = odbc.substr(0, odbc.find(";DATABASE=")) + ";UID=tavo;";
    return "MSDASQL.1;Persist Security Info=False;Data Source=127.0.0.1;Initial Catalog=" + name +
           ";Extended Properties=\"" + odbc + "\"";
  }
  std::string ProgramDir() override { return dir_.Path().string() + "/"; }
  // The database that DataLinkProvider named last, for a test to seed and look at.
  std::unique_ptr<TDatabase> OpenDataLinkDatabase() {
    return std::make_unique<TOdbcDatabase>(PgServer().OdbcConnectionString(databases_.back()));
  }

 private:
  std::string Create() {
    databases_.push_back(PgServer().CreateDatabase());
    return databases_.back();
  }
  std::vector<std::string> databases_;
  TTempDir dir_;
};

enum class TBackendKind { SQLite, PostgreSQL };

inline std::unique_ptr<TTestBackend> MakeBackend(TBackendKind kind) {
  if (kind == TBackendKind::SQLite) return std::make_unique<TSqliteBackend>();
  return std::make_unique<TPostgresBackend>();
}

inline void PrintTo(TBackendKind kind, std::ostream* os) {
  *os << (kind == TBackendKind::SQLite ? "SQLite" : "PostgreSQL");
}

inline std::string BackendName(const testing::TestParamInfo<TBackendKind>& info) {
  return info.param == TBackendKind::SQLite ? "SQLite" : "PostgreSQL";
}

// Base of the cases that run on both backends.
class TBackendTest : public testing::TestWithParam<TBackendKind> {
 protected:
  void SetUp() override { backend = MakeBackend(GetParam()); }
  int32_t ErrorCount() const { return env.log.ErrorCount(); }
  bool Logged(const std::string& part) const { return env.sink->Contains(part); }

  TLogEnv env;
  std::unique_ptr<TTestBackend> backend;
};

#define TAVO_INSTANTIATE_BACKENDS(suite)                                                    \
  INSTANTIATE_TEST_SUITE_P(Backends, suite,                                                 \
                           testing::Values(tavo::test::TBackendKind::SQLite,                \
                                           tavo::test::TBackendKind::PostgreSQL),           \
                           tavo::test::BackendName)

}  // namespace tavo::test
