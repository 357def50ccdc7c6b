// One attempt of the SMS dispatch: it checks the SMS account, makes sure the gateway answers,
// writes the SMS message file and has TSMSDM encrypt and post it: the exchange every attempt
// makes, unchanged. The outbox decides when an attempt runs and what its outcome means.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Metrics.h"
#include "common/Registry.h"
#include "common/TAVOcommon.h"
#include "platform/Logging.h"
#include "sms/GatewayState.h"
#include "sms/SMSAccount.h"
#include "sms/USMSDM.h"

namespace tavo {

// What the attempts share with the service. Held by shared_ptr: the workers that run them may
// outlive the service module's shutdown by a moment.
struct TSMSDispatchContext {
  std::shared_ptr<TSMSAccount> Account;
  std::shared_ptr<TGatewayState> Gateway;
  std::shared_ptr<TRegistryStore> Registry;
  std::shared_ptr<TLogging> Logging;
  std::shared_ptr<const TClock> Clock;
  std::filesystem::path ProgramDir;
  // The millisecond tick count that names the message files; empty means GetTickCount.
  std::function<uint32_t()> TickCount;
  // Attempts started, delivered and failed are counted here; may be empty.
  std::shared_ptr<TMetrics> Metrics;
};

// The values of one call that the message needs, copied when the SMS is queued: the call model
// may release its entries at any moment afterwards.
struct TSMSCall {
  std::string CallerName;           // of the caller entry (ct)
  std::string CallName;             // of the resource entry (coco)
  std::string CallableMobilnummer;  // of the resource entry, as stored
  int32_t lopnr = 0;                // CALLLOG number of the call
};

// Everything the SMS message file holds besides its fixed texts.
struct TSMSMessage {
  TSMSAccountData Account;
  std::string ComputerName;
  TSMSCall Call;
  TDateTime Time = 0;  // already ten minutes back
};

// The SMS message file: INI text in Windows-1252, CRLF lines, sections and keys in the
// gateway's order.
std::string ComposeSMSMessageFile(const TSMSMessage& message);

// True when the number, without its blanks, holds only "+", "," and digits (empty is valid).
bool IsValidMobileNumber(const std::string& number);

enum class TSmsOutcome : uint8_t {
  Sent,       // the gateway took the message
  Retry,      // the gateway could not be reached, refused or failed the upload, or timed out
  Failed,     // the SMS account is incomplete: no attempt can succeed until it is set
  Cancelled,  // the call was closed before the message was written
};

struct TSmsAttemptResult {
  TSmsOutcome Outcome = TSmsOutcome::Retry;
  std::string Error;  // why it was not sent, naming the host and what failed
  // The message file and its encrypted copy that an upload answered without the marker left
  // for the administrator; the next attempt of the same SMS removes them.
  std::vector<std::filesystem::path> LeftFiles;
};

// The limits and signals of one attempt.
struct TSmsAttemptLimits {
  std::chrono::steady_clock::time_point Deadline;  // the whole attempt, connect check included
  const std::atomic<bool>* Cancelled = nullptr;    // the call was closed meanwhile
  const std::atomic<bool>* Abort = nullptr;        // the service is stopping
};

// One attempt; never throws. Removes `leftFiles` of the SMS's previous attempt first. Logs
// what the dispatch has always logged (the account messages, the gateway's failures).
TSmsAttemptResult SendSMSAttempt(const TSMSDispatchContext& context, const TSMSCall& call,
                                 const TSmsAttemptLimits& limits,
                                 const std::vector<std::filesystem::path>& leftFiles) noexcept;

}  // namespace tavo
