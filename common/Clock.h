// The one source of "now": tests inject a fixed or stepping clock.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/DateTime.h"

namespace tavo {

class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime Now() const = 0;
  // The monotonic clock, for how long something has lasted: only differences mean anything,
  // and setting the wall clock does not move it.
  virtual std::chrono::steady_clock::time_point Steady() const {
    return std::chrono::steady_clock::now();
  }
};

class TSystemClock final : public TClock {
 public:
  TDateTime Now() const override;
};

// Milliseconds of the monotonic clock as an unsigned 32-bit number (wraps after 49 days).
uint32_t GetTickCount();

}  // namespace tavo
