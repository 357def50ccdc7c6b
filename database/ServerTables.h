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

}  // namespace tavo
