// TServingLock: the lock that decides which of two servers on one database serves. It is a
// session-level lock held on a connection of its own (a PostgreSQL advisory lock, an SQL Server
// application lock with a session owner), so that it ends with that session: when the holding
// process dies, when its link dies (keepalives and a user timeout on the connection make
// the database notice within seconds), or when the other server ends a frozen holder's session.
// Every statement on the connection moves the session's heartbeat, which the other server reads.
// Not thread-safe: one thread owns the object.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "database/Database.h"

namespace tavo {

// The session that holds the lock, as another session sees it.
struct TLockHolder {
  std::string Backend;    // the database's number of the session (PostgreSQL pid, SQL Server spid)
  std::string Heartbeat;  // when the session's last statement started; changes with every statement
  bool Mine = false;      // it is this connection's own session
};

class TServingLock {
 public:
  // Takes a connection of its own; throws EDatabaseError for a database that has no such lock.
  explicit TServingLock(std::unique_ptr<TDatabase> connection);
  ~TServingLock();
  TServingLock(const TServingLock&) = delete;
  TServingLock& operator=(const TServingLock&) = delete;

  // Takes the lock without waiting; true when this session holds it afterwards (a session
  // that already holds it does not take it a second time). Throws EDatabaseError.
  bool TryAcquire();
  // True while this session holds the lock. Throws EDatabaseError.
  bool Held();
  // Lets go of every hold of this session. Throws EDatabaseError.
  void Release();
  // The session holding the lock, if any. Throws EDatabaseError.
  std::optional<TLockHolder> Holder();
  // Ends another session (to free the lock of a holder that no longer moves). Throws
  // EDatabaseError, also when the database refuses (permissions).
  void EndSession(const std::string& backend);

  TDatabase& Connection() { return *db_; }

 private:
  std::unique_ptr<TDatabase> db_;
  int32_t pgVersion_ = 0;  // server_version_num, read when first needed
};

// Opens a connection to a database two servers share (the lock's own, and the main connection
// of a server in a standby pair) for the server's connection string (OLE DB form, from the
// data-link file). On PostgreSQL through psqlODBC the connection is opened with TCP keepalives
// (1 s idle, 1 s interval, 2 probes) and a 3 s user timeout, so that a dead link fails its
// statements within seconds instead of the kernel's quarter of an hour; its session asks the
// server for the same (2 s idle, 1 s, 2 probes, 4 s), so that the server ends the session, and
// frees the lock, within about 4 s of the link dying. Throws EDatabaseError, also for an SQLite
// database, which two servers cannot share.
std::unique_ptr<TDatabase> OpenSharedConnection(const std::string& connectionString,
                                                     const std::string& programDir);

// The psqlODBC connection string with the lock connection's keepalive settings added.
std::string WithLockKeepalives(const std::string& odbcConnectionString);

}  // namespace tavo
