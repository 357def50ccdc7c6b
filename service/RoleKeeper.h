// TRoleKeeper: the two threads behind a server's role in a standby pair. The lock thread owns
// the serving lock's connection: the holder confirms its lock (its heartbeat), a standby watches
// the holder, ends one whose heartbeat stands still, and takes the lock when it is free. The
// peer thread asks the other server's /health while this one serves, for the promise that lets
// it serve on through a database outage, and steps down when the lease has run out.
// Blocking database and HTTP calls stay on these threads, never on the main loop.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "database/Database.h"
#include "platform/Logging.h"
#include "service/PeerHealth.h"
#include "service/ServingRole.h"

namespace tavo {

class TRoleKeeper {
 public:
  // openLock opens the lock's own connection (throws EDatabaseError); peerAddress may be
  // empty (no promises then: a database outage makes the holder step down).
  TRoleKeeper(TServingRole& role, std::function<std::unique_ptr<TDatabase>()> openLock,
              std::string peerAddress, TLogging& log);
  ~TRoleKeeper();
  TRoleKeeper(const TRoleKeeper&) = delete;
  TRoleKeeper& operator=(const TRoleKeeper&) = delete;

  void Start();
  // Ends both threads; the lock is let go and its connection closed.
  void Stop();

 private:
  void LockLoop();
  void LockRound();
  void StandbyRound();
  void PeerLoop();
  void Failed(const std::string& what);

  TServingRole& role_;
  std::function<std::unique_ptr<TDatabase>()> openLock_;
  std::string peerAddress_;
  TLogging& log_;
  std::unique_ptr<TServingLock> lock_;
  bool lockDown_ = false;          // the lock connection failed and has not come back yet
  bool blindWarned_ = false;       // told once that the holder's heartbeat cannot be read
  std::thread lockThread_, peerThread_;
};

}  // namespace tavo
