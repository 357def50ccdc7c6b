#include "platform/Timer.h"

namespace tavo {

TAsioTimer::TAsioTimer(asio::io_context& io, uint32_t intervalMs)
    : timer_(io), interval_(intervalMs) {}

void TAsioTimer::SetInterval(uint32_t ms) {
  interval_ = ms;
  if (enabled_) Schedule();
}

void TAsioTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  ++generation_;
  if (enabled)
    Schedule();
  else
    timer_.cancel();
}

void TAsioTimer::Schedule() {
  const uint64_t generation = ++generation_;
  timer_.expires_after(std::chrono::milliseconds(interval_));
  timer_.async_wait([this, generation](std::error_code ec) {
    if (ec || !enabled_ || generation != generation_) return;
    if (onTimer_) onTimer_();
    // The handler may have disabled the timer or started a fresh interval itself.
    if (enabled_ && generation == generation_) Schedule();
  });
}

}  // namespace tavo
