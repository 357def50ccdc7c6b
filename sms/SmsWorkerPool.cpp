#include "sms/SmsWorkerPool.h"

#include <openssl/crypto.h>

#include <utility>

namespace tavo {

TSmsWorkerPool::TSmsWorkerPool(int workers, TAttemptFn attempt, std::function<void()> resultsReady)
    : attempt_(std::move(attempt)), resultsReady_(std::move(resultsReady)) {
  try {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Run(); });
  } catch (...) {
    Stop(std::chrono::milliseconds(0));
    throw;
  }
}

TSmsWorkerPool::~TSmsWorkerPool() { Stop(std::chrono::milliseconds(0)); }

void TSmsWorkerPool::Submit(TSmsJob job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  work_.notify_one();
}

std::vector<TSmsJobResult> TSmsWorkerPool::TakeResults() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(results_, {});
}

void TSmsWorkerPool::Run() {
  for (;;) {
    TSmsJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) break;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      ++running_;
    }
    TSmsJobResult done{job.Key, attempt_(job, abort_)};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      results_.push_back(std::move(done));
      --running_;
    }
    idle_.notify_all();
    if (resultsReady_) resultsReady_();
  }
  // The thread's TLS state goes with it, not at the exit of the process.
  OPENSSL_thread_stop();
}

std::vector<uint64_t> TSmsWorkerPool::Stop(std::chrono::milliseconds grace) {
  std::vector<uint64_t> unstarted;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const auto& job : jobs_) unstarted.push_back(job.Key);
    jobs_.clear();
    // A message on its way to the gateway is finished rather than cut off, within the grace.
    if (!idle_.wait_for(lock, grace, [this] { return running_ == 0; })) abort_ = true;
  }
  work_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  return unstarted;
}

}  // namespace tavo
