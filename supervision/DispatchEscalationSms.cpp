#include "supervision/DispatchEscalationSms.h"

namespace tavo {

TEscalationSmsQueue::THandOver TDispatchEscalationSms::Queue(const TEscalationSms& sms) {
  return [context = context_, sms] {
    // The message names the caller and the resource called; only the number is the step's.
    TCaller caller;
    caller.CallerName = sms.CallerName;
    TCallObject resource;
    resource.CallName = sms.CallName;
    resource.CallableMobilnummer = sms.Number;
    SendSMS(context(), caller, resource, sms.CallLogLopnr);
  };
}

}  // namespace tavo
