// The SMS workers: a fixed number of threads, each running one attempt at a time. The main
// thread hands them jobs; each result is kept for the main thread to take, and `resultsReady`
// (called on the worker) tells it to come and take them. However many SMS are queued, no more
// threads than this run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sms/USMSThread.h"

namespace tavo {

struct TSmsJob {
  uint64_t Key = 0;  // the outbox's own key of the SMS
  TSMSCall Call;
  std::chrono::milliseconds TryTimeout{30000};
  std::shared_ptr<std::atomic<bool>> Cancelled;  // set by the main thread when the call closes
  std::vector<std::filesystem::path> LeftFiles;  // of the SMS's previous attempt
};

struct TSmsJobResult {
  uint64_t Key = 0;
  TSmsAttemptResult Result;
};

class TSmsWorkerPool {
 public:
  // Runs one job; the flag is set when the pool stops and the attempt must end at once.
  using TAttemptFn = std::function<TSmsAttemptResult(const TSmsJob&, const std::atomic<bool>& abort)>;

  // Starts the threads; throws std::system_error when one cannot be started (those started
  // are stopped again).
  TSmsWorkerPool(int workers, TAttemptFn attempt, std::function<void()> resultsReady);
  ~TSmsWorkerPool();
  TSmsWorkerPool(const TSmsWorkerPool&) = delete;
  TSmsWorkerPool& operator=(const TSmsWorkerPool&) = delete;

  int Workers() const { return static_cast<int>(threads_.size()); }
  void Submit(TSmsJob job);
  std::vector<TSmsJobResult> TakeResults();

  // No job starts any more. Running attempts get `grace` to end, then they are aborted; the
  // threads are joined. Returns the keys of jobs that never started. Results stay to be taken.
  std::vector<uint64_t> Stop(std::chrono::milliseconds grace);

 private:
  void Run();

  TAttemptFn attempt_;
  std::function<void()> resultsReady_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::deque<TSmsJob> jobs_;
  std::vector<TSmsJobResult> results_;
  int running_ = 0;
  bool stopping_ = false;
  std::atomic<bool> abort_{false};
  std::vector<std::thread> threads_;
};

}  // namespace tavo
