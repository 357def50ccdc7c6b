// One SMS of the outbox: what it says and where it goes (the inputs of its message, kept so
// that every attempt composes the same message), and where it stands.
#pragma once

#include <cstdint>
#include <string>

#include "common/DateTime.h"

namespace tavo {

// queued: waiting for its next attempt; sending: an attempt is at the gateway; the other four
// are final.
enum class TSmsState : uint8_t { Queued, Sending, Sent, Expired, Cancelled, Failed };

// "queued", "sending", "sent", "expired", "cancelled", "failed": the STATE column's texts.
const char* SmsStateName(TSmsState state);
// False for a text that names no state.
bool ParseSmsState(const std::string& text, TSmsState& state);
inline bool SmsFinished(TSmsState s) { return s != TSmsState::Queued && s != TSmsState::Sending; }

// "Queue an SMS for call N to number X with these text inputs."
struct TSmsRequest {
  int32_t CallLogLopnr = 0;   // the call it is about (UNIKNR of the message); 0 for none
  int32_t ResourceLopnr = 0;  // the resource whose number it goes to
  std::string Number;         // the number as stored with the resource (Windows-1252)
  std::string CallerName;     // the calling station's name, as the message names it
  std::string CallName;       // the resource's name, as the message names it
};

struct TSmsRow {
  int32_t Lopnr = 0;  // SMSOUTBOX.LOPNR: the queue's order
  TSmsRequest Request;
  TSmsState State = TSmsState::Queued;
  int32_t Attempts = 0;
  TDateTime NextAttempt = 0;  // 0 once finished
  std::string LastError;
  TDateTime QueuedAt = 0;
  TDateTime FinishedAt = 0;  // 0 while not finished
};

}  // namespace tavo
