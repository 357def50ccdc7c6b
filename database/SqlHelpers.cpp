#include "database/SqlHelpers.h"

namespace tavo {
namespace {

const char kSettingQuery[] = "SELECT * FROM SETTINGS WHERE NYCKELNAMN = ?";

void SetSetting(TDatabase& db, TLogging& log, const std::string& key, const char* column,
                TSqlValue value) {
  auto query = RunSQLOrThrow(db, log, kSettingQuery, {SqlText(key)});
  if (query->RecordCount() > 0) {
    // A key stored twice all the same gets the value in every row, so whichever row a later
    // read sees first holds it.
    db.Execute(std::string("UPDATE SETTINGS SET ") + column + " = ? WHERE NYCKELNAMN = ?",
               {std::move(value), SqlText(key)});
  } else {
    db.Execute(std::string("INSERT INTO SETTINGS (NYCKELNAMN, ") + column + ") VALUES (?, ?)",
               {SqlText(key), std::move(value)});
  }
}

}  // namespace

std::unique_ptr<TQuery> RunSQLOrThrow(TDatabase& db, TLogging& log, const std::string& sql,
                                      const TSqlParams& params) {
  try {
    return db.Open(sql, params);
  } catch (const std::exception& e) {
    if (IsKnownOutage(e)) throw;  // reported once for the whole outage
    log.Logg("Det gick inte att utf\xF6ra SQL-fr\xE5gan: " + ExpandSqlForLog(sql, params) + ": " +
                 e.what(),
             ltError);
    throw;
  }
}

std::unique_ptr<TQuery> RunSQL(TDatabase& db, TLogging& log, const std::string& sql,
                               const TSqlParams& params) {
  try {
    return RunSQLOrThrow(db, log, sql, params);
  } catch (const std::exception&) {
    return nullptr;
  }
}

int32_t GetNextLopnr(TDatabase& db, TLogging& log, const std::string& table,
                     const std::string& column, int32_t& count) {
  try {
    auto query = RunSQLOrThrow(
        db, log, "SELECT MAX(" + column + ") AS COLUMN1, COUNT(*) AS COLUMN2 FROM " + table);
    int32_t next = query->AsInteger("COLUMN1") + 1;
    count = query->AsInteger("COLUMN2");
    return next;
  } catch (const std::exception& e) {
    if (IsKnownOutage(e)) throw;
    log.LogFailure("GetNextLopnr", e);
    return -1;
  }
}

int32_t GetNextLopnr(TDatabase& db, TLogging& log, const std::string& table,
                     const std::string& column) {
  try {
    return RunSQLOrThrow(db, log, "SELECT MAX(" + column + ") AS COLUMN1 FROM " + table)
               ->AsInteger("COLUMN1") + 1;
  } catch (const std::exception& e) {
    if (IsKnownOutage(e)) throw;
    log.LogFailure("GetNextLopnr", e);
    return -1;
  }
}

void SetStrSetting(TDatabase& db, TLogging& log, const std::string& key, const std::string& value) {
  try {
    SetSetting(db, log, key, "STRINGVALUE", SqlText(value));
  } catch (const std::exception& e) {
    log.LogFailure("SetStrSetting", e);
  }
}

void SetIntSetting(TDatabase& db, TLogging& log, const std::string& key, int32_t value) {
  try {
    SetSetting(db, log, key, "INTEGERVALUE", SqlInt(value));
  } catch (const std::exception& e) {
    log.LogFailure("SetIntSetting", e);
  }
}

std::string GetStrSetting(TDatabase& db, TLogging& log, const std::string& key) {
  try {
    return RunSQLOrThrow(db, log, kSettingQuery, {SqlText(key)})->AsString("STRINGVALUE");
  } catch (const std::exception& e) {
    log.LogFailure("GetStrSetting", e);
    return {};
  }
}

int32_t GetIntSettingOrThrow(TDatabase& db, TLogging& log, const std::string& key) {
  return RunSQLOrThrow(db, log, kSettingQuery, {SqlText(key)})->AsInteger("INTEGERVALUE");
}

int32_t GetIntSetting(TDatabase& db, TLogging& log, const std::string& key) {
  try {
    return GetIntSettingOrThrow(db, log, key);
  } catch (const std::exception& e) {
    log.LogFailure("GetIntSetting", e);
    return 0;
  }
}

}  // namespace tavo
