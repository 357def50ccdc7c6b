// TEscalationSmsQueue: where the escalation hands its SMS. Kept narrow so that the SMS path
// behind it can change without the escalation knowing: queue one SMS for a call, and drop what
// is still queued for a call that no longer waits.
#pragma once

#include <cstdint>
#include <string>

namespace tavo {

// One escalation SMS: about a call (its CALLLOG number, who calls, whom), to a number.
struct TEscalationSms {
  int32_t CallLogLopnr = 0;
  std::string CallerName;  // the calling station's friendly name
  std::string CallName;    // the resource called
  std::string Number;      // where the SMS goes
};

class TEscalationSmsQueue {
 public:
  virtual ~TEscalationSmsQueue() = default;
  // Queues the SMS of one step. Called inside the transaction that records the step, on the
  // server's database connection, so that a queue kept in the same database keeps both or
  // neither. Throws when the SMS cannot be queued: the step is then not taken.
  virtual void Queue(const TEscalationSms& sms) = 0;
  // The call was answered, confirmed or cancelled: whatever is still queued for it is not sent.
  // Never throws.
  virtual void Cancel(int32_t callLogLopnr) noexcept = 0;
};

}  // namespace tavo
