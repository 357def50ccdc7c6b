// The escalation's SMS through the outbox: the row is written in the step's transaction, handed
// to the workers once that is committed, and cancelled with the call's other SMS when it no
// longer waits.
#pragma once

#include "sms/SmsOutbox.h"
#include "supervision/EscalationSms.h"

namespace tavo {

class TOutboxEscalationSms final : public TEscalationSmsQueue {
 public:
  explicit TOutboxEscalationSms(TSmsOutbox& outbox) : outbox_(outbox) {}

  THandOver Queue(const TEscalationSms& sms) override;
  void Cancel(int32_t callLogLopnr) noexcept override { outbox_.CancelCall(callLogLopnr); }

 private:
  TSmsOutbox& outbox_;
};

}  // namespace tavo
