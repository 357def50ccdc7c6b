#include "calls/CallService.h"

#include "database/SqlHelpers.h"

namespace tavo {

TCallService::TCallService(TDatabase& db, TLogging& log, const TClock& clock,
                           TConnectionsFn mainConnections, std::function<void()> restartServer,
                           TSmsOutbox* smsOutbox)
    : db_(db),
      log_(log),
      clock_(clock),
      mainConnections_(std::move(mainConnections)),
      restartServer_(std::move(restartServer)),
      smsOutbox_(smsOutbox),
      callLog_(db, log),
      kept_(db, log) {
  callLog_.SetOnCallWritten(
      [this](uint64_t key, int32_t lopnr, bool smsSent) { CallWritten(key, lopnr, smsSent); });
  // The SMS of a kept call gets its row in the transaction of the call's.
  callLog_.SetWithKeptCallRow([this](uint64_t key, int32_t lopnr) {
    if (smsOutbox_) smsOutbox_->WriteKeptRow(key, lopnr);
  });
}

// Our own connection's writes move no data version: the commands that write say so here.
void TCallService::DatabaseChanged() {
  kept_.Forget();
  // A station added or changed here can sign on during a later outage without having signed
  // on before it.
  try {
    kept_.Prime();
  } catch (const std::exception&) {
    // Only a later outage misses it; the stations' own reads say what is wrong.
  }
  ListsChanged();
}

TCallService::TRound::TRound(TCallService& s) : s_(s) {
  if (s_.roundDepth_++ == 0) {
    s_.memo_.Clear();
    // Once per broadcast, not per connection: the check itself takes the database's locks.
    s_.kept_.Check();
  }
}

TCallService::TRound::~TRound() {
  if (--s_.roundDepth_ == 0) s_.memo_.Clear();
}

void TCallService::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("CALLING", [this](const TCommandContext& c) { return CmdCalling(c); });
  interpreter.SetHandler("COMING", [this](const TCommandContext& c) { return CmdComing(c); });
  interpreter.SetHandler("RECONNECT", [this](const TCommandContext& c) { return CmdReconnect(c); });
  interpreter.SetHandler("GETCALLLIST",
                         [this](const TCommandContext& c) { return CmdGetCallList(c); });
}

TCommandResult TCallService::CmdReconnect(const TCommandContext& c) {
  SendClientList(c.BlockText, c.Socket, c.LineMode, true);
  return TCommandResult::Continue;
}

TCommandResult TCallService::CmdGetCallList(const TCommandContext& c) {
  SendClientList(c.BlockText, c.Socket, c.LineMode, false);
  return TCommandResult::Continue;
}

// Read for every list, from the kept reads while the database has not changed.
int32_t TCallService::CancelResourceLopnr() { return kept_.CancelResourceLopnr(); }

}  // namespace tavo
