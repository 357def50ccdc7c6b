// The one source of "now": tests inject a fixed or stepping clock.
#pragma once

#include <cstdint>

#include "common/DateTime.h"

namespace tavo {

class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime Now() const = 0;
};

class TSystemClock final : public TClock {
 public:
  TDateTime Now() const override;
};

// Milliseconds of the monotonic clock as an unsigned 32-bit number (wraps after 49 days).
uint32_t GetTickCount();

}  // namespace tavo
