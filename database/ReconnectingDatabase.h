// TReconnectingDatabase: the server's one connection as everything above the database layer
// sees it, kept alive across database outages. Statements go to the backend connection of the
// moment. When one fails because the database cannot be reached (EDatabaseUnreachable), the
// connection is marked down, the outage gets one error entry, and a thread of its own opens a
// fresh connection with backoff (0.5 s doubling to 5 s). While down, every statement is refused
// at once with EDatabaseDown, which nobody counts or logs again. A fresh connection is handed to
// the owner's thread through the wake-up function; Resume() installs it (so statements are
// prepared afresh on it), runs the on-back step (the journal's replay) and only then declares
// the database up, with one information entry giving the outage's length.
// Everything but the reconnect thread runs on the owner's thread (the main loop).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

class TReconnectingDatabase final : public TDatabase {
 public:
  // Opens a fresh connection; runs on the reconnect thread, throws when it cannot.
  using TOpener = std::function<std::unique_ptr<TDatabase>()>;
  static constexpr std::chrono::milliseconds kFirstRetry{500};
  static constexpr std::chrono::milliseconds kLongestRetry{5000};

  // first: the connection opened at start-up. name: how log entries name the database (may be
  // empty).
  TReconnectingDatabase(std::unique_ptr<TDatabase> first, TOpener opener, TLogging& log,
                        std::string name);
  ~TReconnectingDatabase() override;
  TReconnectingDatabase(const TReconnectingDatabase&) = delete;
  TReconnectingDatabase& operator=(const TReconnectingDatabase&) = delete;

  // Called on the reconnect thread once a fresh connection waits: it must have Resume() run on
  // the owner's thread. Without one, the owner calls Resume() itself (ReconnectWaiting()).
  void SetWake(std::function<void()> wake);
  // Runs on the owner's thread with the fresh connection in place, before the database counts
  // as up; a failure of a known outage keeps it down (the same outage goes on), any other
  // failure is logged and the database comes up all the same. Returns what the information
  // entry of the return adds (may be empty).
  void SetOnBack(std::function<std::string()> onBack);
  // Installs a waiting fresh connection; does nothing when none waits.
  void Resume();
  bool ReconnectWaiting();

  bool Up() const { return state_ == TState::Up; }
  // Outages since start, the current one included.
  uint64_t Outages() const { return outages_; }
  // Seconds the current outage has lasted; 0 while up.
  double DownSeconds() const;
  // What made the connection go down (the database's message); empty while up.
  const std::string& DownReason() const { return reason_; }

  TDbmsKind Dbms() const override { return dbms_; }
  // The first connection's description: the same database whichever connection is in.
  std::string Describe() const override { return description_; }
  bool Connected() const override { return !closed_; }
  void Close() override;
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) override;
  int64_t Execute(const std::string& sql, const TSqlParams& params = {}) override;
  void CheckHealth() override;
  void CheckWritable() override;
  // The backend's data version, moved on by every reconnection: what was kept from the old
  // connection is read again from the new one.
  std::optional<int64_t> DataVersion() override;
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() noexcept override;

 private:
  enum class TState : uint8_t { Up, Down, Resuming };

  template <typename F>
  auto Guarded(F&& f) -> decltype(f(std::declval<TDatabase&>()));
  void GoDown(const std::string& why);
  void StartReconnecting();
  void StopThread();
  void ReconnectLoop(std::chrono::milliseconds firstWait);
  std::string Named() const;

  std::unique_ptr<TDatabase> inner_;
  TOpener opener_;
  TLogging& log_;
  std::string name_;
  TDbmsKind dbms_;
  std::string description_;
  TState state_ = TState::Up;
  bool closed_ = false;
  std::string reason_;
  uint64_t outages_ = 0;
  int64_t generation_ = 0;
  std::chrono::steady_clock::time_point downSince_{};
  std::chrono::milliseconds nextWait_ = kFirstRetry;
  std::function<std::string()> onBack_;

  // Shared with the reconnect thread.
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::unique_ptr<TDatabase> ready_;
  std::chrono::milliseconds threadWait_ = kFirstRetry;  // the thread's backoff when it ended
  std::function<void()> wake_;
  std::thread thread_;
};

}  // namespace tavo
