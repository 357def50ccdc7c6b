// TEscalationSmsQueue: where the escalation hands its SMS. Kept narrow so that the SMS path
// behind it can change without the escalation knowing: queue one SMS for a call (kept with the
// step's own row, sent once both are committed), and drop what is still queued for a call that
// no longer waits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tavo {

// One escalation SMS: about a call (its CALLLOG number, who calls, whom), to a number.
struct TEscalationSms {
  int32_t CallLogLopnr = 0;
  std::string CallerName;     // the calling station's friendly name
  std::string CallName;       // the resource called
  std::string Number;         // where the SMS goes
  int32_t ResourceLopnr = 0;  // the resource whose number that is; 0 for a number of the step
};

class TEscalationSmsQueue {
 public:
  // Hands a kept SMS on to be sent; run once the transaction that kept it is committed.
  using THandOver = std::function<void()>;

  virtual ~TEscalationSmsQueue() = default;
  // Keeps the SMS of one step. Called inside the transaction that records the step, on the
  // server's database connection, so that a queue kept in the same database keeps both or
  // neither; what it returns is run after the commit, and never after a rollback. Throws when
  // the SMS cannot be kept: the step is then not taken.
  virtual THandOver Queue(const TEscalationSms& sms) = 0;
  // The call was answered, confirmed or cancelled: whatever is still queued for it is not sent.
  // Never throws.
  virtual void Cancel(int32_t callLogLopnr) noexcept = 0;
};

}  // namespace tavo
