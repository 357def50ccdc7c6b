// The server's one database connection: found through the data-link file (registry value
// "UDL", else TAVO.udl in the program directory), opened once at start-up, and its schema
// brought up to date by adding the columns that later versions introduced.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/Registry.h"
#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

// The parts of the connection string that the log messages show.
struct TDBConnection {
  std::string Databasename;  // "Initial Catalog="
  std::string ServerName;    // "Data Source="
  std::string Username;      // "User ID="
  std::string Password;      // "Password="
  std::string SQLProcessID;  // not filled
};

// Fills the four fields from the first occurrence of each key, matched in exact letter case
// anywhere in the text; a value runs to the next ";" or the end. SQLProcessID stays as given.
void ParseDBConnection(const std::string& connectionString, TDBConnection& into);

// Opens a connection string; the default is OpenDatabase (ProviderMapping.h).
using TDatabaseOpener = std::function<std::unique_ptr<TDatabase>(
    const std::string& connectionString, const std::string& programDir, bool createIfMissing)>;

class TDatabaseConnector {
 public:
  // programDir: Windows-1252 text with its trailing "/".
  TDatabaseConnector(TRegistryStore& registry, TLogging& log, std::string programDir,
                     TDatabaseOpener opener = {});

  // Finds the data-link file, fills GlobUDL, GlobConnectionString and DBConnection, opens
  // ADOConnection1 and, when it opened, runs UpgradeSchema. Failures are logged (and counted,
  // except a missing data-link file); ADOConnection1 is then null.
  void ConnectDatabase();
  // The first half of ConnectDatabase: finds the data-link file and fills GlobUDL,
  // GlobConnectionString and DBConnection without opening anything.
  void FindDataLink();
  bool Connected() const { return ADOConnection1 && ADOConnection1->Connected(); }
  // A fresh connection to the database ConnectDatabase found, set up the same way (no schema
  // upgrade, and never a new SQLite file); throws when it cannot be opened. Safe on another
  // thread once ConnectDatabase has run.
  std::unique_ptr<TDatabase> Reopen() const;

  std::string GlobUDL;
  std::string GlobConnectionString;
  TDBConnection DBConnection;
  std::unique_ptr<TDatabase> ADOConnection1;

 private:
  // SQLite waits for the disk at every commit unless the registry value "SQLiteSynchronous"
  // is "NORMAL".
  void ChooseSqliteSync(TDatabase& db) const;

  TRegistryStore& registry_;
  TLogging& log_;
  std::string programDir_;
  TDatabaseOpener opener_;
};

// The five upgrade steps, always all five in order, then the indexes the lookups need and the
// server's own tables (ServerTables.h) where the database lacks them; each step counts and logs
// its own failure.
void UpgradeSchema(TDatabase& db, TLogging& log);

// True when the statement opens as a query; logs nothing.
bool TestSQL(TDatabase& db, const std::string& sql);

// True when the database has a table of that name (any letter case), asked of its catalog, so
// that a missing table is no failed statement; where the product is not known, a probe.
// Throws EDatabaseError when the catalog cannot be read.
bool TableExists(TDatabase& db, const std::string& table);

}  // namespace tavo
