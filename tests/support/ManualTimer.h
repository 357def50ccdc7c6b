// A timer that ticks only when the test says so, recording every interval it was started with.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Timer.h"

namespace tavo::test {

class TManualTimer final : public TTimer {
 public:
  void SetOnTimer(std::function<void()> onTimer) override { onTimer_ = std::move(onTimer); }
  void SetInterval(uint32_t ms) override {
    interval_ = ms;
    if (enabled_) started.push_back(ms);
  }
  uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override {
    if (enabled && !enabled_) started.push_back(interval_);
    enabled_ = enabled;
  }
  bool Enabled() const override { return enabled_; }

  // Delivers one tick; false when the timer is disabled and nothing ticked.
  bool Fire() {
    if (!enabled_ || !onTimer_) return false;
    onTimer_();
    return true;
  }

  // The interval of every fresh start (enabling, or a new interval while enabled), in order.
  std::vector<uint32_t> started;

 private:
  std::function<void()> onTimer_;
  uint32_t interval_ = 0;
  bool enabled_ = false;
};

}  // namespace tavo::test
