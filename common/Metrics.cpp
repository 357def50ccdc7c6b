#include "common/Metrics.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tavo {

THistogram::THistogram(std::vector<double> bounds) : bounds_(std::move(bounds)) {
  if (bounds_.size() > kMaxBounds || !std::is_sorted(bounds_.begin(), bounds_.end()))
    throw std::invalid_argument("histogram bounds: at most 16, ascending");
}

void THistogram::Observe(double seconds) noexcept {
  if (!(seconds >= 0)) seconds = 0;  // a clock set back must not make the sum negative
  const size_t i = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), seconds) - bounds_.begin());
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  sumMicros_.fetch_add(static_cast<uint64_t>(std::llround(seconds * 1e6)), std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
}

THistogram::TSnapshot THistogram::Snapshot() const {
  TSnapshot s;
  s.Bounds = bounds_;
  uint64_t running = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    s.Cumulative.push_back(running);
  }
  // Count is the +Inf bucket, so the two always agree within one snapshot.
  s.Count = running;
  s.Sum = static_cast<double>(sumMicros_.load(std::memory_order_relaxed)) / 1e6;
  return s;
}

const char* RestartCauseName(TRestartCause cause) {
  switch (cause) {
    case TRestartCause::Errors: return "errors";
    case TRestartCause::Midnight: return "midnight";
    case TRestartCause::Update: return "update";
    case TRestartCause::CallState: return "call_state";
    case TRestartCause::Count_: break;
  }
  return "unknown";
}

const char* BroadcastKindName(TBroadcastKind kind) {
  switch (kind) {
    case TBroadcastKind::Displays: return "displays";
    case TBroadcastKind::Resource: return "resource";
    case TBroadcastKind::Station: return "station";
    case TBroadcastKind::Count_: break;
  }
  return "unknown";
}

const char* SmsFinalName(TSmsFinal state) {
  switch (state) {
    case TSmsFinal::Sent: return "sent";
    case TSmsFinal::Expired: return "expired";
    case TSmsFinal::Cancelled: return "cancelled";
    case TSmsFinal::Failed: return "failed";
    case TSmsFinal::Count_: break;
  }
  return "unknown";
}

TMetrics::TMetrics()
    : TimeToAnswer({1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600}),
      TimeToClose({5, 10, 30, 60, 120, 300, 600, 1200, 1800, 3600, 7200}),
      BroadcastSeconds({0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                        0.25, 0.5, 1}),
      SmsDeliverySeconds({1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800}) {}

void TMetrics::Broadcast(TBroadcastKind kind, double seconds) noexcept {
  Broadcasts[static_cast<size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  BroadcastSeconds.Observe(seconds);
}

}  // namespace tavo
