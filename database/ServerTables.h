// The tables the server keeps for itself beside the five tables of the clinic's schema: which
// stations are not supervised, the escalation steps per resource, and the steps taken. The
// upgrade creates whichever is missing, in the database's own dialect; the five tables are
// never touched by it.
#pragma once

#include <string>
#include <vector>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

// One table: its name and its CREATE TABLE statement for the given database product.
struct TServerTable {
  const char* Name;
  std::string (*CreateStatement)(TDbmsKind dbms);
};

const std::vector<TServerTable>& ServerTables();

// Creates the server's own tables that the database lacks (probed with a query of no rows).
// Each failure is counted and logged; the others are still tried.
void CreateMissingServerTables(TDatabase& db, TLogging& log);

// A station or resource was deleted: the server's own rows about it go too, so that a row
// that gets its number later (numbers are the highest + 1) starts clean. After the deletion's
// own commit; a failure is logged, never thrown: the deletion stands.
void ForgetStation(TDatabase& db, TLogging& log, int32_t stationLopnr) noexcept;
void ForgetResource(TDatabase& db, TLogging& log, int32_t resourceLopnr) noexcept;
// The same for rows whose station or resource another program deleted; reads first and
// writes only when there is something to remove. Returns how many rows went; throws
// EDatabaseError.
int RemoveOrphanRows(TDatabase& db);

}  // namespace tavo
