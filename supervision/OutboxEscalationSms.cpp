#include "supervision/OutboxEscalationSms.h"

namespace tavo {

TEscalationSmsQueue::THandOver TOutboxEscalationSms::Queue(const TEscalationSms& sms) {
  // The message names the caller and the resource called; only the number is the step's.
  TSmsRequest request;
  request.CallLogLopnr = sms.CallLogLopnr;
  request.ResourceLopnr = sms.ResourceLopnr;
  request.Number = sms.Number;
  request.CallerName = sms.CallerName;
  request.CallName = sms.CallName;
  TSmsRow row = outbox_.AddRow(request);
  return [&outbox = outbox_, row] { outbox.Dispatch(row); };
}

}  // namespace tavo
