// TCP keepalives and a user timeout on a connection to a database server through psqlODBC, so
// that a link that dies without a word (a pulled cable, a dead switch, a host gone) fails the
// connection's statements within seconds instead of after the kernel's quarter of an hour, and
// the caller can carry on without the database.
#pragma once

#include <memory>
#include <string>

#include "database/OdbcDatabase.h"

namespace tavo {

struct TLinkKeepalives {
  int IdleSeconds;    // quiet time before the first probe
  int IntervalSeconds;
  int Count;          // probes lost before the connection is given up
  int UserTimeoutMs;  // how long sent data may stay unacknowledged
};

// The server's own connection: a statement on a dead link fails within 3 s (the main loop waits
// for it that long, once), an idle dead link is noticed within 8 s.
inline constexpr TLinkKeepalives kServerLinkKeepalives{5, 1, 3, 3000};

// The ODBC connection string with the settings added, each only where the string does not set
// it already (a site's own choice stands).
std::string WithLinkKeepalives(const std::string& odbcConnectionString, const TLinkKeepalives& k);

// Connects; when the driver turns out to be psqlODBC and the string did not carry the settings,
// connects again with them (the driver is known only once connected). Throws EDatabaseError.
std::unique_ptr<TOdbcDatabase> OpenWithLinkKeepalives(const std::string& odbcConnectionString,
                                                     const TLinkKeepalives& k);

}  // namespace tavo
