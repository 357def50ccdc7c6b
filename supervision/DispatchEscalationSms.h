// The escalation's SMS through the SMS dispatch of today: once the step is committed, each SMS
// gets a dispatch of its own, as a call's SMS does. Nothing is kept before that, and a dispatch
// cannot be called back, so Cancel has nothing to drop.
#pragma once

#include <functional>

#include "sms/USMSThread.h"
#include "supervision/EscalationSms.h"

namespace tavo {

class TDispatchEscalationSms final : public TEscalationSmsQueue {
 public:
  // context: what each dispatch shares with the service, made afresh for each SMS.
  explicit TDispatchEscalationSms(std::function<TSMSDispatchContext()> context)
      : context_(std::move(context)) {}

  THandOver Queue(const TEscalationSms& sms) override;
  void Cancel(int32_t) noexcept override {}

 private:
  std::function<TSMSDispatchContext()> context_;
};

}  // namespace tavo
