#include "PostgresServer.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "database/OdbcDatabase.h"

namespace tavo::test {
namespace {

const std::string kScript = std::string(TAVO_SOURCE_DIR) + "/tests/support/pg_server.sh";

int ReadPort(const std::string& stateFile) {
  std::ifstream in(stateFile);
  std::string dir;
  int port = 0;
  if (!(in >> dir >> port) || port <= 0)
    throw std::runtime_error("no PostgreSQL test server in " + stateFile);
  return port;
}

}  // namespace

TPostgresServer::~TPostgresServer() {
  admin_.reset();
  if (!ownState_.empty()) {
    std::string cmd = "'" + kScript + "' stop '" + ownState_ + "'";
    if (std::system(cmd.c_str()) != 0) {
      // Nothing more to do in a destructor; the next start clears what was left.
    }
  }
}

std::string TPostgresServer::DriverPath() {
  if (const char* env = std::getenv("TAVO_PSQLODBC")) return env;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib", ec)) {
    auto candidate = entry.path() / "odbc" / "psqlodbcw.so";
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  throw std::runtime_error("psqlODBC driver psqlodbcw.so not found (package odbc-postgresql)");
}

void TPostgresServer::EnsureRunning() {
  if (port_ != 0) return;
  const char* state = ownServer_ ? nullptr : std::getenv("TAVO_PG_STATE");
  if (state) {
    port_ = ReadPort(state);
  } else {
    static int servers = 0;  // a process may start more than one
    ownState_ = (std::filesystem::temp_directory_path() /
                 ("tavo-pg-" + std::to_string(getpid()) + "-" + std::to_string(++servers) + ".state"))
                    .string();
    std::string cmd = "'" + kScript + "' start '" + ownState_ + "' >/dev/null";
    if (!alsoListen_.empty()) cmd = "TAVO_PG_ALSO_LISTEN='" + alsoListen_ + "' " + cmd;
    if (std::system(cmd.c_str()) != 0) {
      ownState_.clear();
      throw std::runtime_error("could not start a PostgreSQL test server");
    }
    port_ = ReadPort(ownState_);
  }
  admin_ = std::make_unique<TOdbcDatabase>(OdbcConnectionString("postgres"));
}

void TPostgresServer::Pause() {
  if (ownState_.empty()) throw std::runtime_error("only a server of our own can be paused");
  admin_.reset();
  if (std::system(("'" + kScript + "' pause '" + ownState_ + "'").c_str()) != 0)
    throw std::runtime_error("could not pause the PostgreSQL test server");
}

void TPostgresServer::Resume() {
  if (ownState_.empty()) throw std::runtime_error("only a server of our own can be resumed");
  if (std::system(("'" + kScript + "' resume '" + ownState_ + "'").c_str()) != 0)
    throw std::runtime_error("could not start the PostgreSQL test server again");
  admin_ = std::make_unique<TOdbcDatabase>(OdbcConnectionString("postgres"));
}

std::string TPostgresServer::OdbcConnectionString(const std::string& database) {
  EnsureRunning();
  return "DRIVER=" + DriverPath() + ";SERVER=127.0.0.1;PORT=" + std::to_string(port_) +
         ";DATABASE=" + database + ";UID=tavo;";
}

std::string TPostgresServer::CreateDatabase() {
  EnsureRunning();
  std::string name = "tavo_" + std::to_string(getpid()) + "_" + std::to_string(++counter_);
  admin_->Execute("CREATE DATABASE " + name);
  return name;
}

void TPostgresServer::DropDatabase(const std::string& name) {
  if (admin_) admin_->Execute("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

}  // namespace tavo::test
