#include "database/DatabaseConnection.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "database/DataLinkFile.h"
#include "database/ProviderMapping.h"
#include "database/ServerTables.h"
#include "database/SqlHelpers.h"

namespace tavo {
namespace {

bool FileExists(const std::string& ansiPath) {
  if (ansiPath.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(AnsiToUtf8(ansiPath)), ec);
}

std::string ValueAfter(const std::string& text, const char* key) {
  size_t pos = text.find(key);
  if (pos == std::string::npos) return {};
  pos += std::char_traits<char>::length(key);
  size_t end = text.find(';', pos);
  return text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

// A column added when its probe fails; the statements run in order.
struct TColumnStep {
  const char* Table;
  const char* Column;
  std::vector<std::string> Statements;
};

std::vector<TColumnStep> ColumnSteps(TDbmsKind dbms) {
  // PostgreSQL has no DATETIME type; its form of the same column is TIMESTAMP(3).
  std::string comingType = dbms == TDbmsKind::PostgreSQL ? "TIMESTAMP(3)" : "DATETIME";
  return {
      {"CALLLOG", "COMINGTSTAMP", {"ALTER TABLE CALLLOG ADD COMINGTSTAMP " + comingType + " NULL"}},
      {"CALLLOG", "COMINGLOPNR", {"ALTER TABLE CALLLOG ADD COMINGLOPNR INT NULL"}},
      {"STATIONS", "IMEINUMBER", {"ALTER TABLE STATIONS ADD IMEINUMBER VARCHAR(25)"}},
      {"CALLABLES", "AKTIV",
       {"ALTER TABLE CALLABLES ADD AKTIV VARCHAR(1) NULL", "UPDATE CALLABLES SET AKTIV = 'T'"}},
  };
}

// The widening of SMSNUMMER in the database's own form; empty where nothing needs doing
// (SQLite does not enforce widths).
std::string WidenSmsNummer(TDbmsKind dbms) {
  switch (dbms) {
    case TDbmsKind::SQLite: return {};
    case TDbmsKind::PostgreSQL: return "ALTER TABLE CALLABLES ALTER COLUMN SMSNUMMER TYPE VARCHAR(250)";
    default: return "ALTER TABLE CALLABLES ALTER COLUMN SMSNUMMER VARCHAR(250) NULL";
  }
}

// The indexes the server's lookups need, as the schema scripts create them. A database made
// before them, or by another program, gets them at its next start.
struct TIndexStep {
  const char* Name;
  const char* Table;
  const char* Columns;
};
constexpr TIndexStep kIndexes[] = {
    {"STATIONS_STATIONNAME", "STATIONS", "STATIONNAME"},
    {"CALLLIST_STATIONSLOPNR", "CALLLIST", "STATIONSLOPNR"},
    {"CALLLIST_CALLABLESLOPNR", "CALLLIST", "CALLABLESLOPNR"},
    {"CALLLOG_CALLABLES_CALLTSTAMP", "CALLLOG", "CALLABLESLOPNR, CALLTSTAMP"},
    {"SETTINGS_NYCKELNAMN", "SETTINGS", "NYCKELNAMN"},
};

// The names of the database's indexes, as one column INDEXNAME; empty where the product is
// not known (nothing is created then).
std::string IndexCatalogQuery(TDbmsKind dbms) {
  switch (dbms) {
    case TDbmsKind::SQLite: return "SELECT name AS INDEXNAME FROM sqlite_master WHERE type = 'index'";
    case TDbmsKind::PostgreSQL: return "SELECT indexname AS INDEXNAME FROM pg_indexes";
    case TDbmsKind::SqlServer: return "SELECT name AS INDEXNAME FROM sys.indexes WHERE name IS NOT NULL";
    default: return {};
  }
}

void CreateMissingIndexes(TDatabase& db, TLogging& log) {
  const std::string catalog = IndexCatalogQuery(db.Dbms());
  if (catalog.empty()) return;
  std::vector<std::string> present;
  try {
    auto rows = db.Open(catalog);
    // PostgreSQL folds unquoted names to lower case.
    for (; !rows->Eof(); rows->Next()) present.push_back(UpperAscii(rows->AsString("INDEXNAME")));
  } catch (const std::exception& e) {
    log.IncErrorCount();
    log.Logg(std::string("Error reading the indexes of the database: ") + e.what(), ltError);
    return;
  }
  for (const TIndexStep& index : kIndexes) {
    if (std::find(present.begin(), present.end(), index.Name) != present.end()) continue;
    try {
      db.Execute(std::string("CREATE INDEX ") + index.Name + " ON " + index.Table + " (" +
                 index.Columns + ")");
      log.Logg(std::string("Created index ") + index.Name + " on " + index.Table, ltInfo);
    } catch (const std::exception& e) {
      log.IncErrorCount();
      log.Logg(std::string("Error creating index ") + index.Name + " on " + index.Table + ": " +
                   e.what(),
               ltError);
    }
  }
}

}  // namespace

void ParseDBConnection(const std::string& connectionString, TDBConnection& into) {
  into.Databasename = ValueAfter(connectionString, "Initial Catalog=");
  into.ServerName = ValueAfter(connectionString, "Data Source=");
  into.Username = ValueAfter(connectionString, "User ID=");
  into.Password = ValueAfter(connectionString, "Password=");
}

TDatabaseConnector::TDatabaseConnector(TRegistryStore& registry, TLogging& log,
                                       std::string programDir, TDatabaseOpener opener)
    : registry_(registry),
      log_(log),
      programDir_(std::move(programDir)),
      opener_(opener ? std::move(opener)
                     : TDatabaseOpener([&log](const std::string& cs, const std::string& dir,
                                              bool createIfMissing) {
                         return OpenDatabase(cs, dir, &log, createIfMissing);
                       })) {}

std::unique_ptr<TDatabase> TDatabaseConnector::Reopen() const {
  std::unique_ptr<TDatabase> db = opener_(GlobConnectionString, programDir_, false);
  ChooseSqliteSync(*db);
  return db;
}

void TDatabaseConnector::FindDataLink() {
  GlobConnectionString.clear();
  GlobUDL = registry_.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UDL");
  if (!FileExists(GlobUDL)) {
    const std::string named = GlobUDL;
    GlobUDL = programDir_ + "TAVO.udl";
    // The fallback is quiet by design, which hides a mistyped path: say which file is used.
    if (!named.empty())
      log_.Logg("The registry value UDL in " + Utf8ToAnsi(registry_.FileName().string()) +
                    " names " + named + ", which does not exist or is no file; using " + GlobUDL +
                    " instead. Correct UDL or remove it",
                ltWarning);
  }
  if (FileExists(GlobUDL)) {
    GlobConnectionString =
        "Provider=" + ReadDataLinkValue(std::filesystem::path(AnsiToUtf8(GlobUDL)), "oledb",
                                        "Provider");
    ParseDBConnection(GlobConnectionString, DBConnection);
  } else {
    log_.Logg("Bad UDL-file: " + GlobUDL, ltError);
  }
}

void TDatabaseConnector::ConnectDatabase() {
  if (ADOConnection1) ADOConnection1->Close();
  ADOConnection1.reset();
  FindDataLink();

  try {
    ADOConnection1 = opener_(GlobConnectionString, programDir_, true);
    ChooseSqliteSync(*ADOConnection1);
    log_.Logg("Connected to " + DBConnection.ServerName + "." + DBConnection.Databasename, ltInfo);
    UpgradeSchema(*ADOConnection1, log_);
  } catch (const std::exception& e) {
    log_.IncErrorCount();
    log_.Logg("Error connecting to " + DBConnection.ServerName + "." + DBConnection.Databasename +
                  ": " + e.what(),
              ltError);
  }
}

// Every commit waits for the disk unless the clinic chose speed over the last commits before
// a power cut.
void TDatabaseConnector::ChooseSqliteSync(TDatabase& db) const {
  if (db.Dbms() != TDbmsKind::SQLite) return;
  const std::string chosen =
      Trim(registry_.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "SQLiteSynchronous"));
  if (SameTextAscii(chosen, "NORMAL")) db.Execute("PRAGMA synchronous=NORMAL");
}

bool TestSQL(TDatabase& db, const std::string& sql) {
  try {
    db.Open(sql);
    return true;
  } catch (...) {
    return false;
  }
}

bool TableExists(TDatabase& db, const std::string& table) {
  switch (db.Dbms()) {
    case TDbmsKind::SQLite:
      return db.Open("SELECT name FROM sqlite_master WHERE type = 'table' AND UPPER(name) = ?",
                     {SqlText(UpperAscii(table))})
                 ->RecordCount() > 0;
    case TDbmsKind::PostgreSQL:
    case TDbmsKind::SqlServer:
      return db.Open("SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE UPPER(TABLE_NAME) = ?",
                     {SqlText(UpperAscii(table))})
                 ->RecordCount() > 0;
    default: return TestSQL(db, "SELECT * FROM " + table + " WHERE 1 = 0");
  }
}

void UpgradeSchema(TDatabase& db, TLogging& log) {
  for (const TColumnStep& step : ColumnSteps(db.Dbms())) {
    try {
      if (!TestSQL(db, std::string("SELECT ") + step.Column + " FROM " + step.Table +
                           " WHERE 1 = 0")) {
        for (const std::string& sql : step.Statements) db.Execute(sql);
      }
    } catch (const std::exception& e) {
      log.IncErrorCount();
      log.Logg(std::string("Error creating field ") + step.Column + " in " + step.Table + ": " +
                   e.what(),
               ltError);
    }
  }
  try {
    if (GetIntSetting(db, log, "SMSNUMMERLENGTH") < 250) {
      std::string widen = WidenSmsNummer(db.Dbms());
      if (!widen.empty()) db.Execute(widen);
      SetIntSetting(db, log, "SMSNUMMERLENGTH", 250);
    }
  } catch (const std::exception& e) {
    log.IncErrorCount();
    log.Logg(std::string("Error altering field SMSNUMMER in CALLABLES: ") + e.what(), ltError);
  }
  CreateMissingIndexes(db, log);
  CreateMissingServerTables(db, log);
}

}  // namespace tavo
