// TServingRole: whether this server serves or stands by, when two servers share one database.
// It holds the rules, not the I/O: the role keeper (RoleKeeper.h) feeds it what the lock
// connection and the other server's /health said, the main thread asks it before it handles
// anything, and the health endpoint answers from it.
//
// A server accepts input only while it holds a lease, which is one of:
//  - the lock lease: until Lease after it sent a statement that found the serving lock held by
//    its own session;
//  - a promise lease: until PromiseCounted after it sent a /health request that the other
//    server, standing by without a database, answered with a promise. A standby that gives such
//    an answer serves for none of the next Promise (longer than PromiseCounted).
// A lease is extended only by a confirmation or promise asked for while it still ran: once it
// has run out, nothing revives it, and the server steps down and starts again as a standby.
// A standby that took the lock serves only once the previous holder's lease must have run out:
// Lease after the lock came to it, or at once when the holder's heartbeat had stood still for
// StaleHeartbeat (longer than Lease), whose lease therefore ran out for good. So two leases
// never overlap, whatever the two servers' clocks read; only their rates are assumed alike.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "database/ServingLock.h"
#include "service/OperatingStatus.h"

namespace tavo {

struct TRoleTimings {
  using ms = std::chrono::milliseconds;
  ms ServingPeriod{500};     // the holder confirms its lock this often (its heartbeat)
  ms StandbyPeriod{250};     // a standby looks at the lock this often
  ms Lease{2500};
  ms StaleHeartbeat{3000};   // a holder whose heartbeat stood this long is ended
  ms Promise{3000};          // a standby's promise not to serve
  ms PromiseCounted{2000};   // what the holder counts of it, from its request
  ms Unreachable{1000};      // a lock statement under way this long: the database is unreachable
  ms PeerPeriod{500};        // the holder asks the other server this often
  ms PeerTimeout{400};
  ms HoldOff{5000};          // no serving for this long after a failed start
};

enum class TRole : uint8_t { Standby, Serving };
const char* RoleName(TRole role);

// What the other server's /health said.
enum class TPeerAnswer : uint8_t {
  None,      // no answer, or nothing that counts
  Serving,   // it serves
  Promise,   // it stands by without a database and promises not to serve for a while
  Itself,    // the answer came from this very server (StandbyPeer names it)
};

class TServingRole {
 public:
  using TClock = std::chrono::steady_clock;
  using TTime = TClock::time_point;
  // onChange runs outside the role's lock, on the thread that made the change.
  TServingRole(TRoleTimings timings, std::string instance,
               std::function<void(TRole, const std::string& reason)> onChange);

  const TRoleTimings& Timings() const { return t_; }
  const std::string& Instance() const { return instance_; }
  TRole Role() const;
  // Why the role is what it is (the last change's reason).
  std::string Reason() const;
  bool MayServe(TTime now) const;

  // --- the lock connection's thread ---
  void StatementStarted(TTime now);
  void StatementEnded(bool ok, TTime now);
  // The holder's lock was found held by a statement sent at sentAt.
  void LockConfirmed(TTime sentAt);
  // The lock is someone else's: the holder stops serving at once.
  void LockLost(const std::string& reason);
  // A standby may try to take the lock (it promised nothing that is still running).
  bool MayTake(TTime now) const;
  // What a standby saw of the lock's holder. A heartbeat it cannot read (empty) never counts as
  // standing still.
  enum class THolderState : uint8_t {
    Live,            // held by another session that moves, or stood still for less than StaleHeartbeat
    Stale,           // held by another session whose heartbeat stood still for StaleHeartbeat
    Free,            // nobody holds it (or this session does)
    FreeAfterStale,  // free now, and the last holder seen had stood still for StaleHeartbeat
  };
  THolderState ObserveHolder(const std::optional<TLockHolder>& holder, TTime now);
  // A standby took the lock with a statement whose answer came at answeredAt.
  void Acquired(TTime answeredAt, bool endedStaleHolder);
  // A standby that holds the lock serves once the old holder's lease ran out and its own
  // promises did; true when it became the serving server now.
  bool TryServe(TTime now);
  bool Holding() const;
  // Whether the lock thread should let go of the lock (set by every step-down).
  bool TakeReleaseRequest();

  // --- the other server's /health, asked by the holder ---
  void PeerAnswered(TPeerAnswer answer, TTime sentAt);

  // --- any thread ---
  // Serving -> standby; false when already standing by. The lock is let go.
  bool StepDown(const std::string& reason, bool holdOff = false);
  // Steps down when the lease has run out; true when it did.
  bool CheckLease(TTime now);
  // The keeper's threads sleep here between rounds; false once Stop was called.
  bool WaitRound(std::chrono::milliseconds period);
  void Stop();

  // /health: the HTTP status and body. A standby that cannot reach the database promises here.
  int Health(const TOperatingSnapshot& status, TTime now, std::string& body);

 private:
  bool ReachableLocked(TTime now) const;
  bool StepDownLocked(const std::string& reason, bool holdOff, TTime now);
  void Notify(TRole role, const std::string& reason);

  const TRoleTimings t_;
  const std::string instance_;
  std::function<void(TRole, const std::string&)> onChange_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  TRole role_ = TRole::Standby;
  std::string reason_ = "waiting for the serving lock";
  TTime leaseUntil_{};
  TTime promisedUntil_{};
  bool dbOk_ = false;
  bool dbTried_ = false;
  std::optional<TTime> inFlightSince_;
  bool holding_ = false;
  bool releaseWanted_ = false;
  TTime serveNotBefore_{};
  std::string holderBackend_, holderHeartbeat_;
  TTime holderSeen_{};
  bool holderWasStale_ = false;
  bool stopped_ = false;
};

}  // namespace tavo
