// The SQL operations every part of the server uses on its one connection: RunSQL opens a
// query, GetNextLopnr gives a table's next running number, and the four settings operations
// read and write the key/value table SETTINGS. Values the server supplies are bound
// parameters; a logged statement shows them in place of the placeholders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

// The query, or nullptr after logging "Det gick inte att utföra SQL-frågan: " + statement +
// ": " + the database's message (not counted; the caller fails in its own handling). Nothing
// is logged while the database is known to be down: the outage has its own entry.
std::unique_ptr<TQuery> RunSQL(TDatabase& db, TLogging& log, const std::string& sql,
                               const TSqlParams& params = {});

// Like RunSQL, but the failure is rethrown after it has been logged.
std::unique_ptr<TQuery> RunSQLOrThrow(TDatabase& db, TLogging& log, const std::string& sql,
                                      const TSqlParams& params = {});

// Highest number in table.column + 1, and the table's row count in count; on failure counted,
// logged as "Error in GetNextLopnr: " and -1, count untouched; a known outage (EDatabaseDown)
// is thrown on to the caller, whose write it stops. Table and column are the server's own
// names, never outside input.
int32_t GetNextLopnr(TDatabase& db, TLogging& log, const std::string& table,
                     const std::string& column, int32_t& count);
// The same number without the row count: no COUNT(*) over the whole table, so its cost does not
// grow with the call log (see bench/README.md). Same failure handling.
int32_t GetNextLopnr(TDatabase& db, TLogging& log, const std::string& table,
                     const std::string& column);

// Write a setting: the key's rows are updated, or one row is inserted for a new key (the
// column of the other kind stays null). Failures are counted and logged.
void SetStrSetting(TDatabase& db, TLogging& log, const std::string& key, const std::string& value);
void SetIntSetting(TDatabase& db, TLogging& log, const std::string& key, int32_t value);

// Read a setting from its first row: empty text / 0 when absent or null; on failure counted,
// logged, and the same defaults.
std::string GetStrSetting(TDatabase& db, TLogging& log, const std::string& key);
int32_t GetIntSetting(TDatabase& db, TLogging& log, const std::string& key);
// The same read, throwing after RunSQL's log entry instead of counting: for a caller that
// must tell a failed read from an absent key.
int32_t GetIntSettingOrThrow(TDatabase& db, TLogging& log, const std::string& key);

}  // namespace tavo
