// A PostgreSQL server for the database tests and benchmarks, reached through psqlODBC.
// Under CTest the server of the test fixture is used (TAVO_PG_STATE names its state file);
// otherwise the first use starts one of our own (pg_server.sh) and the object stops it.
#pragma once

#include <memory>
#include <string>

#include "database/Database.h"

namespace tavo::test {

class TPostgresServer {
 public:
  // ownServer: a server of its own even under CTest, for a test that stops and starts it.
  explicit TPostgresServer(bool ownServer = false) : ownServer_(ownServer) {}
  ~TPostgresServer();
  TPostgresServer(const TPostgresServer&) = delete;
  TPostgresServer& operator=(const TPostgresServer&) = delete;

  // The ODBC connection string of a database on the server (started on first use).
  std::string OdbcConnectionString(const std::string& database);
  // A new empty database with a name of its own; dropped by DropDatabase.
  std::string CreateDatabase();
  void DropDatabase(const std::string& name);

  // Only on a server of its own: stops it as an administrator would (fast shutdown, every
  // connection cut), and starts it again on the same port with the same data.
  void Pause();
  void Resume();

  // Path of the psqlODBC Unicode driver.
  static std::string DriverPath();

  int Port() { EnsureRunning(); return port_; }
  // A server of our own also listens on this address (set before first use).
  void AlsoListenOn(const std::string& address) { alsoListen_ = address; }

 private:
  void EnsureRunning();

  bool ownServer_ = false;
  std::string alsoListen_;
  int port_ = 0;
  std::string ownState_;  // state file of a server we started ourselves
  std::unique_ptr<TDatabase> admin_;
  int counter_ = 0;
};

}  // namespace tavo::test
