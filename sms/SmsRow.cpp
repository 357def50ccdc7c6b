#include "sms/SmsRow.h"

namespace tavo {

namespace {
constexpr const char* kStateNames[] = {"queued", "sending", "sent", "expired", "cancelled", "failed"};
}  // namespace

const char* SmsStateName(TSmsState state) { return kStateNames[static_cast<size_t>(state)]; }

bool ParseSmsState(const std::string& text, TSmsState& state) {
  for (size_t i = 0; i < std::size(kStateNames); ++i) {
    if (text == kStateNames[i]) {
      state = static_cast<TSmsState>(i);
      return true;
    }
  }
  return false;
}

}  // namespace tavo
