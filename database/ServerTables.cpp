#include "database/ServerTables.h"

#include <algorithm>

#include "database/DatabaseConnection.h"

namespace tavo {
namespace {

// The declared types of the schema scripts, per product.
struct TTypes {
  const char* Int;
  const char* DateTime;
};

TTypes TypesOf(TDbmsKind dbms) {
  switch (dbms) {
    case TDbmsKind::SQLite: return {"INTEGER", "DATETIME"};
    case TDbmsKind::PostgreSQL: return {"INTEGER", "TIMESTAMP(3)"};
    default: return {"INT", "DATETIME"};
  }
}

// A station listed here with SUPERVISE 0 is never reported offline; stations without a row are
// supervised when they are display or hardware stations.
std::string StationSupervision(TDbmsKind dbms) {
  const TTypes t = TypesOf(dbms);
  return std::string("CREATE TABLE STATIONSUPERVISION (STATIONSLOPNR ") + t.Int +
         " NOT NULL PRIMARY KEY, SUPERVISE " + t.Int + " NOT NULL)";
}

// A step: calls to CALLABLESLOPNR unanswered for AFTERSECONDS go as SMS to the number of
// resource TOCALLABLESLOPNR, or to TONUMBER; REPEATCOUNT more times, AFTERSECONDS apart.
std::string Escalation(TDbmsKind dbms) {
  const TTypes t = TypesOf(dbms);
  return std::string("CREATE TABLE ESCALATION (LOPNR ") + t.Int + " NOT NULL PRIMARY KEY, " +
         "CALLABLESLOPNR " + t.Int + " NOT NULL, AFTERSECONDS " + t.Int + " NOT NULL, " +
         "TOCALLABLESLOPNR " + t.Int + " NULL, TONUMBER VARCHAR(250) NULL, REPEATCOUNT " + t.Int +
         " NOT NULL)";
}

// One row per step taken: the key makes a step of a call taken at most once, whoever tries.
std::string EscalationLog(TDbmsKind dbms) {
  const TTypes t = TypesOf(dbms);
  return std::string("CREATE TABLE ESCALATIONLOG (CALLLOGLOPNR ") + t.Int + " NOT NULL, " +
         "ESCALATIONLOPNR " + t.Int + " NOT NULL, REPEATNO " + t.Int + " NOT NULL, " +
         "SMSNUMMER VARCHAR(250) NULL, STEPTSTAMP " + t.DateTime + " NOT NULL, WAITSECONDS " +
         t.Int + " NOT NULL, PRIMARY KEY (CALLLOGLOPNR, ESCALATIONLOPNR, REPEATNO))";
}

}  // namespace

const std::vector<TServerTable>& ServerTables() {
  static const std::vector<TServerTable> tables = {
      {"STATIONSUPERVISION", &StationSupervision},
      {"ESCALATION", &Escalation},
      {"ESCALATIONLOG", &EscalationLog},
  };
  return tables;
}

void CreateMissingServerTables(TDatabase& db, TLogging& log) {
  for (const TServerTable& table : ServerTables()) {
    if (TestSQL(db, std::string("SELECT * FROM ") + table.Name + " WHERE 1 = 0")) continue;
    try {
      db.Execute(table.CreateStatement(db.Dbms()));
      log.Logg(std::string("Created table ") + table.Name, ltInfo);
    } catch (const std::exception& e) {
      log.IncErrorCount();
      log.Logg(std::string("Error creating table ") + table.Name + ": " + e.what(), ltError);
    }
  }
}

namespace {

// What refers to a station or a resource: the table, the condition on the number, and the
// condition that finds rows whose station or resource is gone.
struct TReference {
  const char* Table;
  const char* Where;
  const char* Orphaned;
};
constexpr TReference kStationRows[] = {
    {"STATIONSUPERVISION", "STATIONSLOPNR = ?",
     "STATIONSLOPNR NOT IN (SELECT LOPNR FROM STATIONS)"},
};
constexpr TReference kResourceRows[] = {
    {"ESCALATION", "CALLABLESLOPNR = ? OR TOCALLABLESLOPNR = ?",
     "CALLABLESLOPNR NOT IN (SELECT LOPNR FROM CALLABLES) OR "
     "TOCALLABLESLOPNR NOT IN (SELECT LOPNR FROM CALLABLES)"},
};

void Forget(TDatabase& db, TLogging& log, const TReference& ref, int32_t lopnr) noexcept {
  try {
    const std::string where = ref.Where;
    const TSqlParams params(std::count(where.begin(), where.end(), '?'), SqlInt(lopnr));
    db.Execute(std::string("DELETE FROM ") + ref.Table + " WHERE " + where, params);
  } catch (const std::exception& e) {
    log.Logg(std::string("Rows of ") + ref.Table + " about number " + std::to_string(lopnr) +
                 " could not be removed: " + e.what(),
             ltWarning);
  }
}

}  // namespace

void ForgetStation(TDatabase& db, TLogging& log, int32_t stationLopnr) noexcept {
  for (const auto& ref : kStationRows) Forget(db, log, ref, stationLopnr);
}

void ForgetResource(TDatabase& db, TLogging& log, int32_t resourceLopnr) noexcept {
  for (const auto& ref : kResourceRows) Forget(db, log, ref, resourceLopnr);
}

int RemoveOrphanRows(TDatabase& db) {
  int removed = 0;
  auto prune = [&](const TReference& ref) {
    const std::string where = std::string(" FROM ") + ref.Table + " WHERE " + ref.Orphaned;
    const auto found = db.Open("SELECT COUNT(*) AS N" + where)->AsInteger("N");
    if (found > 0) removed += static_cast<int>(db.Execute("DELETE" + where));
  };
  for (const auto& ref : kStationRows) prune(ref);
  for (const auto& ref : kResourceRows) prune(ref);
  return removed;
}

}  // namespace tavo
