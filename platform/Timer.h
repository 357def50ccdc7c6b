// A repeating timer of the main loop: an interval, an enabled flag and a tick handler. Enabling
// it, or changing the interval while it is enabled, starts a fresh interval; each later tick
// comes one interval after the one before. Tests put in a timer they fire by hand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <asio.hpp>

namespace tavo {

class TTimer {
 public:
  virtual ~TTimer() = default;
  virtual void SetOnTimer(std::function<void()> onTimer) = 0;
  virtual void SetInterval(uint32_t ms) = 0;
  virtual uint32_t Interval() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// The timer on an io_context; ticks run on the thread that runs it.
class TAsioTimer final : public TTimer {
 public:
  TAsioTimer(asio::io_context& io, uint32_t intervalMs);
  void SetOnTimer(std::function<void()> onTimer) override { onTimer_ = std::move(onTimer); }
  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }

 private:
  void Schedule();

  asio::steady_timer timer_;
  std::function<void()> onTimer_;
  uint32_t interval_;
  bool enabled_ = false;
  // Bumped by every restart of the interval, so a wait that was overtaken does nothing.
  uint64_t generation_ = 0;
};

}  // namespace tavo
