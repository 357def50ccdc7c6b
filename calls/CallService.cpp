#include "calls/CallService.h"

#include "database/SqlHelpers.h"

namespace tavo {

TCallService::TCallService(TDatabase& db, TLogging& log, const TClock& clock,
                           TConnectionsFn mainConnections, std::function<void()> restartServer,
                           TSendSMSFn sendSMS)
    : db_(db),
      log_(log),
      clock_(clock),
      mainConnections_(std::move(mainConnections)),
      restartServer_(std::move(restartServer)),
      sendSMS_(std::move(sendSMS)) {}

void TCallService::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("CALLING", [this](const TCommandContext& c) { return CmdCalling(c); });
  interpreter.SetHandler("COMING", [this](const TCommandContext& c) { return CmdComing(c); });
  interpreter.SetHandler("RECONNECT", [this](const TCommandContext& c) { return CmdReconnect(c); });
  interpreter.SetHandler("GETCALLLIST",
                         [this](const TCommandContext& c) { return CmdGetCallList(c); });
}

// Nothing is kept from those tables between requests yet.
void TCallService::DatabaseChanged() {}

TCommandResult TCallService::CmdReconnect(const TCommandContext& c) {
  SendClientList(c.BlockText, c.Socket, c.LineMode, true);
  return TCommandResult::Continue;
}

TCommandResult TCallService::CmdGetCallList(const TCommandContext& c) {
  SendClientList(c.BlockText, c.Socket, c.LineMode, false);
  return TCommandResult::Continue;
}

void TCallService::LogFailure(const std::string& operation, const std::string& message) {
  log_.IncErrorCount();
  log_.Logg("Error in " + operation + ": " + message, ltError);
}

// The cancel resource is read afresh for every list: a remote statement may change it.
int32_t TCallService::CancelResourceLopnr() { return GetIntSetting(db_, log_, "AVBRYTCALLNAME"); }

}  // namespace tavo
