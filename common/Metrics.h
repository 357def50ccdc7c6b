// TMetrics: the counters and histograms that the operating endpoint reports. The main thread
// and worker threads raise them; the endpoint's thread reads them. Atomics only, no locks.
// Owned by the service module and handed down by reference (by shared_ptr to workers).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tavo {

// A histogram with fixed upper bounds (seconds), as Prometheus reads them: bucket i counts the
// observations <= Bounds[i]; the last bucket is +Inf.
class THistogram {
 public:
  static constexpr size_t kMaxBounds = 16;
  explicit THistogram(std::vector<double> bounds);

  void Observe(double seconds) noexcept;

  struct TSnapshot {
    std::vector<double> Bounds;
    std::vector<uint64_t> Cumulative;  // one per bound, then +Inf (= Count)
    uint64_t Count = 0;
    double Sum = 0;
  };
  TSnapshot Snapshot() const;

 private:
  std::vector<double> bounds_;
  std::array<std::atomic<uint64_t>, kMaxBounds + 1> buckets_{};
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> sumMicros_{0};
};

enum class TRestartCause : uint8_t { Errors, Midnight, Update, CallState, Count_ };
const char* RestartCauseName(TRestartCause cause);

enum class TBroadcastKind : uint8_t { Displays, Resource, Station, Count_ };
const char* BroadcastKindName(TBroadcastKind kind);

// How an SMS of the outbox ended.
enum class TSmsFinal : uint8_t { Sent, Expired, Cancelled, Failed, Count_ };
const char* SmsFinalName(TSmsFinal state);

struct TMetrics {
  TMetrics();

  std::atomic<uint64_t> CallsOpened{0}, CallsAnswered{0}, CallsConfirmed{0};
  THistogram TimeToAnswer, TimeToClose;  // seconds from the call

  std::array<std::atomic<uint64_t>, static_cast<size_t>(TBroadcastKind::Count_)> Broadcasts{};
  THistogram BroadcastSeconds;
  void Broadcast(TBroadcastKind kind, double seconds) noexcept;

  // Attempts at the gateway: started, taken by the gateway, failed.
  std::atomic<uint64_t> SmsStarted{0}, SmsDelivered{0}, SmsFailed{0};
  // The outbox: SMS not finished yet, the age of the oldest of them (set by the outbox every
  // second), how each finished SMS ended, and its time from queue to gateway.
  std::atomic<int64_t> SmsQueued{0};
  std::atomic<double> SmsOldestQueuedSeconds{0};
  std::array<std::atomic<uint64_t>, static_cast<size_t>(TSmsFinal::Count_)> SmsFinished{};
  THistogram SmsDeliverySeconds;
  void SmsFinish(TSmsFinal state) noexcept {
    SmsFinished[static_cast<size_t>(state)].fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> DbStatements{0}, DbFailures{0};
  std::atomic<uint64_t> Escalations{0};  // escalation steps taken

  // Event streams of the browser pages: open now, refused at the bound, and closed because
  // their browser took nothing for the time-out.
  std::atomic<int64_t> WebStreams{0};
  std::atomic<uint64_t> WebStreamsRefused{0}, WebStreamsDropped{0};

  std::array<std::atomic<uint64_t>, static_cast<size_t>(TRestartCause::Count_)> Restarts{};
  void Restart(TRestartCause cause) noexcept {
    Restarts[static_cast<size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
  }
};

// Times one broadcast from construction to destruction; does nothing without metrics.
class TBroadcastTimer {
 public:
  TBroadcastTimer(TMetrics* metrics, TBroadcastKind kind)
      : metrics_(metrics), kind_(kind), start_(std::chrono::steady_clock::now()) {}
  ~TBroadcastTimer() {
    if (metrics_)
      metrics_->Broadcast(kind_, std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
  }
  TBroadcastTimer(const TBroadcastTimer&) = delete;
  TBroadcastTimer& operator=(const TBroadcastTimer&) = delete;

 private:
  TMetrics* metrics_;
  TBroadcastKind kind_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace tavo
