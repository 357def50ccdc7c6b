// From the OLE DB connection string of the data-link file to one of our backends:
//   SQLite                                -> SQLite file named by Data Source (relative to the
//                                            program directory)
//   SQLOLEDB, SQLNCLI*, MSOLEDBSQL*       -> ODBC through FreeTDS
//   MSDASQL                               -> ODBC with the string in Extended Properties (or a DSN)
//   Microsoft.Jet.OLEDB.*, Microsoft.ACE.OLEDB.* -> refused: Access files must be converted
// Provider names match without regard to case; a version suffix (".1") is ignored.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

// Key/value pairs of an OLE DB connection string, in order; keys trimmed, values trimmed and
// unquoted ("..." or '...', a doubled quote standing for one).
std::vector<std::pair<std::string, std::string>> ParseOleDbString(const std::string& text);

struct TBackendTarget {
  enum TKind : uint8_t { SQLite, Odbc } Kind = SQLite;
  std::string SqliteFile;        // UTF-8 path
  std::string OdbcConnection;    // Windows-1252 text, as given to the driver manager
};

// Throws EDatabaseError for a provider that cannot be served here.
TBackendTarget MapConnectionString(const std::string& connectionString,
                                   const std::string& programDir);

// Opens the backend the connection string names; throws EDatabaseError. Failures of work the
// backend does in the background go to log (none: not logged). A missing SQLite file is created
// with the schema unless createIfMissing is false.
std::unique_ptr<TDatabase> OpenDatabase(const std::string& connectionString,
                                        const std::string& programDir, TLogging* log = nullptr,
                                        bool createIfMissing = true);

}  // namespace tavo
