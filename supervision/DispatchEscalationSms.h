// The escalation's SMS through the SMS dispatch of today: each SMS is handed to a dispatch of
// its own at once, as a call's SMS is. A dispatch cannot be called back, so Cancel has nothing
// to drop; a durable outbox takes this place once the server has one.
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

  void Queue(const TEscalationSms& sms) override;
  void Cancel(int32_t) noexcept override {}

 private:
  std::function<TSMSDispatchContext()> context_;
};

}  // namespace tavo
