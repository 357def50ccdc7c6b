#include "service/RoleKeeper.h"

namespace tavo {

using TRoleClock = TServingRole::TClock;

TRoleKeeper::TRoleKeeper(TServingRole& role, std::function<std::unique_ptr<TDatabase>()> openLock,
                         std::string peerAddress, TLogging& log)
    : role_(role), openLock_(std::move(openLock)), peerAddress_(std::move(peerAddress)), log_(log) {}

TRoleKeeper::~TRoleKeeper() { Stop(); }

void TRoleKeeper::Start() {
  lockThread_ = std::thread([this] { LockLoop(); });
  peerThread_ = std::thread([this] { PeerLoop(); });
}

void TRoleKeeper::Stop() {
  role_.Stop();
  if (lockThread_.joinable()) lockThread_.join();
  if (peerThread_.joinable()) peerThread_.join();
}

void TRoleKeeper::LockLoop() {
  do {
    LockRound();
    role_.CheckLease(TRoleClock::now());
  } while (role_.WaitRound(role_.Role() == TRole::Serving ? role_.Timings().ServingPeriod
                                                          : role_.Timings().StandbyPeriod));
  if (lock_) {
    try {
      lock_->Release();
    } catch (...) {
      // Closing the connection below ends the session and its lock all the same.
    }
    lock_.reset();
  }
}

void TRoleKeeper::Failed(const std::string& what) {
  lock_.reset();
  if (lockDown_) return;  // once per outage
  lockDown_ = true;
  log_.Logg("Serving lock: " + what, ltWarning);
}

void TRoleKeeper::LockRound() {
  if (role_.TakeReleaseRequest() && lock_) {
    role_.StatementStarted(TRoleClock::now());
    try {
      lock_->Release();
      role_.StatementEnded(true, TRoleClock::now());
    } catch (const std::exception& e) {
      role_.StatementEnded(false, TRoleClock::now());
      Failed(std::string("the connection failed: ") + e.what());
    }
  }
  if (!lock_) {
    role_.StatementStarted(TRoleClock::now());
    try {
      lock_ = std::make_unique<TServingLock>(openLock_());
      role_.StatementEnded(true, TRoleClock::now());
      if (lockDown_) log_.Logg("Serving lock: the connection is open again", ltInfo);
      lockDown_ = false;
    } catch (const std::exception& e) {
      role_.StatementEnded(false, TRoleClock::now());
      Failed(std::string("the connection could not be opened: ") + e.what());
      return;
    }
  }
  try {
    if (role_.Role() == TRole::Serving) {
      const auto sent = TRoleClock::now();
      role_.StatementStarted(sent);
      // After a new connection the lock is taken again where it is free: nobody else serves
      // while this server's lease runs.
      const bool held = lock_->TryAcquire();
      role_.StatementEnded(true, TRoleClock::now());
      if (held)
        role_.LockConfirmed(sent);
      else
        role_.LockLost("another server holds the serving lock");
      return;
    }
    StandbyRound();
  } catch (const std::exception& e) {
    role_.StatementEnded(false, TRoleClock::now());
    Failed(std::string("the connection failed: ") + e.what());
  }
}

void TRoleKeeper::StandbyRound() {
  auto sent = TRoleClock::now();
  role_.StatementStarted(sent);
  const std::optional<TLockHolder> holder = lock_->Holder();
  auto now = TRoleClock::now();
  role_.StatementEnded(true, now);
  if (holder && holder->Mine) {  // taken earlier; waiting until it may serve
    role_.LockConfirmed(sent);
    role_.TryServe(now);
    return;
  }
  using TState = TServingRole::THolderState;
  const TState state = role_.ObserveHolder(holder, now);
  if (holder && holder->Heartbeat.empty() && !blindWarned_) {
    blindWarned_ = true;
    log_.Logg("Serving lock: the holder's heartbeat cannot be read (both servers must sign on "
              "as the same database user); a frozen holder is not ended",
              ltWarning);
  }
  if (state == TState::Live || !role_.MayTake(now)) return;
  // A holder that stood still has run out of lease for good: no need to wait for it.
  const bool pastLease = state != TState::Free;
  if (state == TState::Stale) {
    log_.Logg("Serving lock: the serving server's heartbeat has not moved for " +
                  std::to_string(role_.Timings().StaleHeartbeat.count() / 1000) +
                  " s; ending its database session " + holder->Backend + " to free the lock",
              ltWarning);
    role_.StatementStarted(TRoleClock::now());
    try {
      lock_->EndSession(holder->Backend);
    } catch (const EDatabaseError& e) {
      // Gone already, or not ours to end: taking the lock below tells which.
      log_.Logg(std::string("Serving lock: the session could not be ended: ") + e.what(), ltWarning);
    }
    role_.StatementEnded(true, TRoleClock::now());
  }
  sent = TRoleClock::now();
  role_.StatementStarted(sent);
  const bool got = lock_->TryAcquire();
  now = TRoleClock::now();
  role_.StatementEnded(true, now);
  if (!got) return;
  role_.LockConfirmed(sent);
  role_.Acquired(now, pastLease);
  role_.TryServe(now);
}

void TRoleKeeper::PeerLoop() {
  std::unique_ptr<TPeerHealth> peer;
  if (!peerAddress_.empty()) peer = std::make_unique<TPeerHealth>(peerAddress_, role_.Instance());
  bool selfWarned = false;
  while (role_.WaitRound(role_.Timings().PeerPeriod)) {
    if (peer && role_.Role() == TRole::Serving) {
      const auto sent = TRoleClock::now();
      const TPeerAnswer answer = peer->Ask(role_.Timings().PeerTimeout);
      if (answer == TPeerAnswer::Itself) {
        if (!selfWarned)
          log_.Logg("StandbyPeer " + peerAddress_ + " names this server itself, not the other one",
                    ltError);
        selfWarned = true;
      } else {
        role_.PeerAnswered(answer, sent);
      }
    }
    role_.CheckLease(TRoleClock::now());
  }
}

}  // namespace tavo
