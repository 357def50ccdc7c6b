#include "service/ServingRole.h"

#include <cstdio>

namespace tavo {

namespace {

std::string JsonText(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return out;
}

}  // namespace

const char* RoleName(TRole role) { return role == TRole::Serving ? "serving" : "standby"; }

TServingRole::TServingRole(TRoleTimings timings, std::string instance,
                           std::function<void(TRole, const std::string&)> onChange)
    : t_(timings), instance_(std::move(instance)), onChange_(std::move(onChange)) {}

TRole TServingRole::Role() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return role_;
}

std::string TServingRole::Reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

bool TServingRole::MayServe(TTime now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return role_ == TRole::Serving && now < leaseUntil_;
}

void TServingRole::StatementStarted(TTime now) {
  std::lock_guard<std::mutex> lock(mutex_);
  inFlightSince_ = now;
}

void TServingRole::StatementEnded(bool ok, TTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  inFlightSince_.reset();
  dbOk_ = ok;
  dbTried_ = true;
}

bool TServingRole::ReachableLocked(TTime now) const {
  if (inFlightSince_ && now - *inFlightSince_ >= t_.Unreachable) return false;
  // Before its first statement has ended a server knows nothing to promise on.
  return dbOk_ || !dbTried_;
}

void TServingRole::LockConfirmed(TTime sentAt) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
    // A serving lease that ran out stays out; a standby's starts with the lock it took.
    const bool extends = role_ == TRole::Standby || sentAt < leaseUntil_;
    if (extends && sentAt + t_.Lease > leaseUntil_) leaseUntil_ = sentAt + t_.Lease;
  }
  cv_.notify_all();
}

void TServingRole::LockLost(const std::string& reason) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    changed = StepDownLocked(reason, false, TClock::now());
  }
  if (changed) Notify(TRole::Standby, reason);
}

bool TServingRole::MayTake(TTime now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now >= promisedUntil_;
}

TServingRole::THolderState TServingRole::ObserveHolder(const std::optional<TLockHolder>& holder,
                                                        TTime now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!holder || holder->Mine) {
    const bool wasStale = holderWasStale_;
    holderBackend_.clear();
    holderHeartbeat_.clear();
    holderWasStale_ = false;
    return wasStale ? THolderState::FreeAfterStale : THolderState::Free;
  }
  if (holder->Backend != holderBackend_ || holder->Heartbeat != holderHeartbeat_) {
    holderBackend_ = holder->Backend;
    holderHeartbeat_ = holder->Heartbeat;
    holderSeen_ = now;  // first seen now: the statement behind it started before
    holderWasStale_ = false;
    return THolderState::Live;
  }
  holderWasStale_ = !holder->Heartbeat.empty() && now - holderSeen_ >= t_.StaleHeartbeat;
  return holderWasStale_ ? THolderState::Stale : THolderState::Live;
}

void TServingRole::Acquired(TTime answeredAt, bool endedStaleHolder) {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
  // The old holder's last confirmation ran before the lock came free, so its lease ends at
  // the latest Lease after our answer; a holder ended for standing still is past its lease.
  serveNotBefore_ = endedStaleHolder ? answeredAt : answeredAt + t_.Lease;
  holderBackend_.clear();
  holderHeartbeat_.clear();
  holderWasStale_ = false;
}

bool TServingRole::TryServe(TTime now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (role_ == TRole::Serving || !holding_ || now < serveNotBefore_ || now < promisedUntil_ ||
        now >= leaseUntil_)
      return false;
    role_ = TRole::Serving;
    reason_ = "this server holds the serving lock";
  }
  cv_.notify_all();
  Notify(TRole::Serving, "this server holds the serving lock");
  return true;
}

bool TServingRole::Holding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return holding_;
}

bool TServingRole::TakeReleaseRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool wanted = releaseWanted_;
  releaseWanted_ = false;
  if (wanted) holding_ = false;
  return wanted;
}

void TServingRole::PeerAnswered(TPeerAnswer answer, TTime sentAt) {
  bool changed = false;
  const std::string reason = "the other server reports that it serves";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (role_ != TRole::Serving) return;
    if (answer == TPeerAnswer::Serving) {
      changed = StepDownLocked(reason, false, TClock::now());
    } else if (answer == TPeerAnswer::Promise && sentAt < leaseUntil_ &&
               sentAt + t_.PromiseCounted > leaseUntil_) {
      leaseUntil_ = sentAt + t_.PromiseCounted;
    }
  }
  cv_.notify_all();
  if (changed) Notify(TRole::Standby, reason);
}

bool TServingRole::StepDownLocked(const std::string& reason, bool holdOff, TTime now) {
  if (holdOff && now + t_.HoldOff > promisedUntil_) promisedUntil_ = now + t_.HoldOff;
  releaseWanted_ = true;
  leaseUntil_ = TTime{};
  serveNotBefore_ = TTime::max();  // until the lock is taken afresh
  if (role_ != TRole::Serving) return false;
  role_ = TRole::Standby;
  reason_ = reason;
  return true;
}

bool TServingRole::StepDown(const std::string& reason, bool holdOff) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = StepDownLocked(reason, holdOff, TClock::now());
  }
  cv_.notify_all();
  if (changed) Notify(TRole::Standby, reason);
  return changed;
}

bool TServingRole::CheckLease(TTime now) {
  bool changed = false;
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%.1f", t_.Lease.count() / 1000.0);
  const std::string reason = std::string("the serving lock could not be confirmed for ") +
                             seconds +
                             " s and the other server did not say that it cannot reach the database";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (role_ == TRole::Serving && now >= leaseUntil_)
      changed = StepDownLocked(reason, false, now);
  }
  if (changed) {
    cv_.notify_all();
    Notify(TRole::Standby, reason);
  }
  return changed;
}

bool TServingRole::WaitRound(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, period, [&] { return stopped_; });
  return !stopped_;
}

void TServingRole::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

int TServingRole::Health(const TOperatingSnapshot& st, TTime now, std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string head = "{\"instance\":\"" + JsonText(instance_) + "\",";
  if (role_ == TRole::Serving && now < leaseUntil_) {
    std::string reason;
    if (!st.Published)
      reason = "the server has not finished starting";
    else if (!st.MainListenerOpen)
      reason = "the main listener is not open yet";
    else if (now - st.LoopTurned > std::chrono::seconds(5))
      reason = "the main loop does not turn";
    if (reason.empty()) {
      // Serving through a database outage is serving: the calls reach the displays, the
      // journal keeps the call log's writes.
      const bool degraded = !st.DatabaseUp || !st.JournalInStep;
      body = head + "\"status\":\"" + (degraded ? "degraded" : "ok") +
             "\",\"role\":\"serving\",\"database\":\"" +
             (st.DatabaseOk && st.DatabaseUp ? "ok" : "down") + "\"";
      if (degraded) {
        body += ",\"journal_records\":" + std::to_string(st.JournalRecords);
        if (!st.JournalInStep) body += ",\"journal\":\"not written: " + JsonText(st.JournalProblem) + "\"";
      }
      body += "}\n";
      return 200;
    }
    body = head + "\"status\":\"unavailable\",\"role\":\"serving\",\"reason\":\"" + JsonText(reason) +
           "\"}\n";
    return 503;
  }
  if (role_ == TRole::Serving) {
    // Its lease ran out and the verdict is pending: not serving, but no promise either.
    body = head + "\"status\":\"unavailable\",\"role\":\"serving\",\"reason\":\"lease expired\"}\n";
    return 503;
  }
  body = head + "\"status\":\"standby\",\"role\":\"standby\",\"database\":\"";
  if (ReachableLocked(now)) {
    body += "ok\"}\n";
    return 503;
  }
  // Whoever asks may count on this server not serving for the promised time.
  if (now + t_.Promise > promisedUntil_) promisedUntil_ = now + t_.Promise;
  body += "unreachable\",\"promise_s\":" + std::to_string(t_.Promise.count() / 1000) + "}\n";
  return 503;
}

void TServingRole::Notify(TRole role, const std::string& reason) {
  if (onChange_) onChange_(role, reason);
}

}  // namespace tavo
