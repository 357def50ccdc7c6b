#include "database/ReconnectingDatabase.h"

#include <algorithm>
#include <cstdio>

namespace tavo {

TReconnectingDatabase::TReconnectingDatabase(std::unique_ptr<TDatabase> first, TOpener opener,
                                             TLogging& log, std::string name)
    : inner_(std::move(first)),
      opener_(std::move(opener)),
      log_(log),
      name_(std::move(name)),
      dbms_(inner_ ? inner_->Dbms() : TDbmsKind::Other),
      description_(inner_ ? inner_->Describe() : TDatabase::Describe()) {}

TReconnectingDatabase::~TReconnectingDatabase() { StopThread(); }

void TReconnectingDatabase::SetWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

void TReconnectingDatabase::SetOnBack(std::function<std::string()> onBack) {
  onBack_ = std::move(onBack);
}

std::string TReconnectingDatabase::Named() const {
  return name_.empty() ? std::string("the database") : "the database " + name_;
}

double TReconnectingDatabase::DownSeconds() const {
  if (state_ == TState::Up) return 0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - downSince_).count();
}

template <typename F>
auto TReconnectingDatabase::Guarded(F&& f) -> decltype(f(std::declval<TDatabase&>())) {
  if (closed_) throw EDatabaseError("The database connection is closed");
  if (state_ == TState::Down || !inner_)
    throw EDatabaseDown("The database cannot be reached: " + reason_);
  try {
    return f(*inner_);
  } catch (const EDatabaseUnreachable& e) {
    GoDown(e.what());
    throw EDatabaseDown(std::string("The database cannot be reached: ") + e.what());
  }
}

void TReconnectingDatabase::GoDown(const std::string& why) {
  if (state_ == TState::Up) {
    ++outages_;
    downSince_ = std::chrono::steady_clock::now();
    reason_ = why;
    // One entry for the whole outage; what fails meanwhile repeats it and is not logged.
    log_.EventLog().LogError("The connection to " + Named() + " was lost: " + why +
                                 ". Calls are served from memory and kept in the journal; "
                                 "reconnecting in the background.",
                             1);
  }
  state_ = TState::Down;
  if (inner_) {
    inner_->RollbackTransaction();
    inner_->Close();
    inner_.reset();
  }
  StartReconnecting();
}

void TReconnectingDatabase::StartReconnecting() {
  if (closed_) return;
  StopThread();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this, wait = nextWait_] { ReconnectLoop(wait); });
}

void TReconnectingDatabase::StopThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TReconnectingDatabase::ReconnectLoop(std::chrono::milliseconds wait) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (cv_.wait_for(lock, wait, [this] { return stop_; })) return;
    }
    wait = std::min(wait * 2, kLongestRetry);
    try {
      std::unique_ptr<TDatabase> fresh = opener_();
      // A connection that opens but cannot answer, or cannot write, is no return yet.
      fresh->CheckHealth();
      fresh->CheckWritable();
      std::function<void()> wake;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = std::move(fresh);
        threadWait_ = wait;
        wake = wake_;
      }
      if (wake) wake();
      return;
    } catch (...) {
      // Still unreachable: the next try after a longer pause.
    }
  }
}

bool TReconnectingDatabase::ReconnectWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_ != nullptr;
}

void TReconnectingDatabase::Resume() {
  std::unique_ptr<TDatabase> fresh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fresh = std::move(ready_);
    nextWait_ = threadWait_;
  }
  if (!fresh || closed_ || state_ == TState::Up) return;
  StopThread();  // it ended when it handed the connection over
  inner_ = std::move(fresh);
  ++generation_;
  state_ = TState::Resuming;
  std::string more;
  try {
    if (onBack_) more = onBack_();
  } catch (const std::exception& e) {
    if (!IsKnownOutage(e)) log_.LogFailure("DatabaseReconnect", e);
  }
  // A statement of the on-back step found the database gone again: the same outage goes on.
  if (state_ != TState::Resuming) return;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", DownSeconds());
  state_ = TState::Up;
  nextWait_ = kFirstRetry;
  reason_.clear();
  log_.Logg("The connection to " + Named() + " is back after " + seconds + " s" +
                (more.empty() ? std::string() : "; " + more),
            ltInfo);
}

void TReconnectingDatabase::Close() {
  StopThread();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.reset();
  }
  if (inner_) inner_->Close();
  inner_.reset();
  closed_ = true;
}

std::unique_ptr<TQuery> TReconnectingDatabase::Open(const std::string& sql,
                                                    const TSqlParams& params) {
  return Guarded([&](TDatabase& db) {
    // A read limit is set on this wrapper; the connection behind it is the one that reads.
    db.SetReadLimit(ReadLimit());
    return db.Open(sql, params);
  });
}

int64_t TReconnectingDatabase::Execute(const std::string& sql, const TSqlParams& params) {
  return Guarded([&](TDatabase& db) { return db.Execute(sql, params); });
}

void TReconnectingDatabase::CheckHealth() {
  Guarded([](TDatabase& db) { db.CheckHealth(); });
}

void TReconnectingDatabase::CheckWritable() {
  Guarded([](TDatabase& db) { db.CheckWritable(); });
}

std::optional<int64_t> TReconnectingDatabase::DataVersion() {
  const std::optional<int64_t> v = Guarded([](TDatabase& db) { return db.DataVersion(); });
  if (!v) return v;
  return *v + (generation_ << 40);
}

void TReconnectingDatabase::BeginTransaction() {
  Guarded([](TDatabase& db) { db.BeginTransaction(); });
}

void TReconnectingDatabase::CommitTransaction() {
  Guarded([](TDatabase& db) { db.CommitTransaction(); });
}

void TReconnectingDatabase::RollbackTransaction() noexcept {
  if (inner_ && state_ != TState::Down) inner_->RollbackTransaction();
}

}  // namespace tavo
