// The SMS dispatch: one worker thread per call to an SMS-marked resource. It checks the SMS
// account, makes sure the gateway answers, writes the SMS message file and has TSMSDM encrypt
// and post it. Nobody waits for it; its outcome is only logged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

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

// What a dispatch shares with the service. Held by shared_ptr: a dispatch may outlive the
// call that started it, and even the service module's shutdown.
struct TSMSDispatchContext {
  std::shared_ptr<TSMSAccount> Account;
  std::shared_ptr<TGatewayState> Gateway;
  std::shared_ptr<TRegistryStore> Registry;
  std::shared_ptr<TLogging> Logging;
  std::shared_ptr<const TClock> Clock;
  std::filesystem::path ProgramDir;
  // Called on the worker as its very last act, after everything it held is released; the
  // service posts its end notice to the main loop from here. May be empty.
  std::function<void()> OnTerminate;
  // The millisecond tick count that names the message files; empty means GetTickCount.
  std::function<uint32_t()> TickCount;
  // Dispatches started, delivered and failed are counted here; may be empty.
  std::shared_ptr<TMetrics> Metrics;
};

// The values of one call that the message needs, copied when the dispatch is created: the
// call model may release its entries at any moment afterwards.
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

class TSendSMSThread {
 public:
  TSendSMSThread(TSMSDispatchContext context, const TCaller& ct, const TCallObject& coco,
                 int32_t lopnr);

  // Runs the dispatch on a detached thread of its own, which frees the object when it ends.
  // Throws when the thread cannot be started (the object is then freed at once).
  static void Start(std::unique_ptr<TSendSMSThread> thread);

  // The run itself; never throws.
  void Execute() noexcept;

 private:
  // True when the gateway accepted the message.
  bool ComposeAndSend(const TSMSAccountData& account);

  TSMSDispatchContext context_;
  std::unique_ptr<TSMSDM> SMSDM;
  TSMSCall call_;
};

// Starts the dispatch of one call and returns at once. Failures are counted and logged.
void SendSMS(const TSMSDispatchContext& context, const TCaller& caller, const TCallObject& resource,
             int32_t lopnr) noexcept;

}  // namespace tavo
