// CALLING and COMING: opening, confirming and answering calls, their rows in CALLLOG, the SMS
// of a new call queued with its row and cancelled once the call is answered or closed, and the
// broadcasts that follow each change.
#include <memory>
#include <optional>
#include <stdexcept>

#include "calls/CallService.h"
#include "common/StrUtils.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const char kEditFailed[] =
    "ERROR: 002 Det gick inte att redigera kallelsen! Kontrollera felen p\xE5 servern.";

// The call's row, or its place in the outage journal while the row waits there.
TCallLogRef LogRef(const TCaller& call) {
  TCallLogRef ref(call.CallLogLopnr);
  ref.Key = call.CallLogKey;
  return ref;
}

TCaller* FindCaller(TCallObject& entry, int32_t stationLopnr) {
  for (auto& c : entry.CurrentCallList)
    if (c->CallerLopnr == stationLopnr) return c.get();
  return nullptr;
}

}  // namespace

TCommandResult TCallService::CmdCalling(const TCommandContext& c) {
  const int32_t resourceLopnr = GetIntField(c.BlockText, 1);
  for (size_t i = 0; i < CallList_.size(); ++i) {
    TCallObject& entry = *CallList_[i];
    if (entry.CallLopnr != resourceLopnr || !c.Socket->Data) continue;
    const TTAVOConnectInfo& station = *c.Socket->Data;
    // Both broadcasts share one round, opened after the call-log write: what was kept from
    // the database is checked once per command, after our own commit.
    std::optional<TRound> round;
    if (TCaller* open = FindCaller(entry, station.StationLopnr)) {
      // The same command again closes the station's call.
      const TDateTime now = clock_.Now();
      const bool edited = EditCallLoggPost(LogRef(*open), TCallLogEdit::Confirm, 0, now);
      round.emplace(*this);
      if (edited) {
        if (smsOutbox_) smsOutbox_->CancelCall(open->CallLogLopnr, open->CallLogKey);
        if (metrics_) {
          metrics_->CallsConfirmed.fetch_add(1);
          metrics_->TimeToClose.Observe((now - open->CallTimeStamp) * 86400.0);
        }
        if (callChanged_) callChanged_(entry, *open, TCallChange::Confirmed);
        for (auto it = entry.CurrentCallList.begin(); it != entry.CurrentCallList.end(); ++it) {
          if (it->get() == open) {
            entry.CurrentCallList.erase(it);
            break;
          }
        }
        UpdateVisningsScreens();
      } else {
        c.Socket->SendText(FrameReply(kEditFailed, c.LineMode));
      }
    } else {
      auto caller = std::make_unique<TCaller>();
      caller->CallerName = station.FriendlyName;
      caller->CallerLopnr = station.StationLopnr;
      caller->CallTimeStamp = clock_.Now();
      caller->CallerColour = station.StationColour;
      caller->CallLogLopnr = AddCallLoggPost(*caller, entry, caller->CallTimeStamp);
      entry.CurrentCallList.push_back(std::move(caller));
      if (metrics_) metrics_->CallsOpened.fetch_add(1);
      if (callChanged_) callChanged_(entry, *entry.CurrentCallList.back(), TCallChange::Opened);
      round.emplace(*this);
      UpdateVisningsScreens();
    }
    UpdateStationClients(c.Socket, c.LineMode);
  }
  return TCommandResult::Continue;
}

TCommandResult TCallService::CmdComing(const TCommandContext& c) {
  const int32_t resourceLopnr = GetIntField(c.BlockText, 1);
  const int32_t callerLopnr = GetIntField(c.BlockText, 2);
  for (size_t i = 0; i < CallList_.size(); ++i) {
    TCallObject& entry = *CallList_[i];
    if (entry.CallLopnr != resourceLopnr || !c.Socket->Data) continue;
    TCaller* call = FindCaller(entry, callerLopnr);
    if (!call) continue;
    const TTAVOConnectInfo& answering = *c.Socket->Data;
    const TDateTime now = clock_.Now();
    const bool firstAnswer = call->CallComingLopnr == 0;
    call->CallComingLopnr = answering.StationLopnr;
    call->CallComingTimeStamp = now;
    call->CallComingName = answering.FriendlyName;
    // Someone is coming: an SMS still waiting would only call them again.
    if (smsOutbox_) smsOutbox_->CancelCall(call->CallLogLopnr, call->CallLogKey);
    // Answered in memory whatever the log says: the call no longer waits for anyone.
    if (callChanged_) callChanged_(entry, *call, TCallChange::Answered);
    if (EditCallLoggPost(LogRef(*call), TCallLogEdit::Coming, call->CallComingLopnr, now)) {
      if (metrics_ && firstAnswer) {
        metrics_->CallsAnswered.fetch_add(1);
        metrics_->TimeToAnswer.Observe((now - call->CallTimeStamp) * 86400.0);
      }
      UpdateAllClients(resourceLopnr, c.LineMode);
    } else
      c.Socket->SendText(FrameReply(kEditFailed, c.LineMode));
  }
  return TCommandResult::Continue;
}

int32_t TCallService::AddCallLoggPost(TCaller& caller, const TCallObject& resource,
                                      TDateTime callTime) {
  TCallLogRef ref;
  std::optional<TSmsRow> sms;
  const bool withSms = resource.CallableSendSMS && smsOutbox_;
  auto request = [&](int32_t number) {
    return TSmsRequest{number, resource.CallLopnr, resource.CallableMobilnummer,
                       caller.CallerName, resource.CallName};
  };
  try {
    // The SMS is kept with its call: both rows are committed together, or neither.
    TWithCallRowFn withRow;
    if (withSms) withRow = [&](int32_t number) { sms = smsOutbox_->AddRow(request(number)); };
    ref = callLog_.Add(
        TNewCall{caller.CallerLopnr, resource.CallLopnr, resource.CallableSendSMS, callTime},
        withRow);
  } catch (const std::exception& e) {
    log_.LogFailure("AddCallLoggPost", e);
    // The number was not taken: the next call gets it, and an edit of this call must not
    // land on that call's row.
    return -1;
  }
  // Kept for later: no number yet (0), and the SMS waits until the row gives it one.
  caller.CallLogKey = ref.Key;
  // Only a committed call is dispatched: the message names its row.
  if (ref.Kept()) {
    // Kept for later: the call has no number yet (0); its SMS goes from memory meanwhile, and
    // its row follows the call's.
    if (withSms) smsOutbox_->DispatchKept(request(0), ref.Key);
  } else if (sms) {
    smsOutbox_->Dispatch(std::move(*sms));
  }
  return ref.Lopnr;
}

bool TCallService::EditCallLoggPost(const TCallLogRef& call, TCallLogEdit kind,
                                    int32_t comingLopnr, TDateTime time) {
  try {
    callLog_.Edit(call, kind, comingLopnr, time);
    return true;
  } catch (const std::exception& e) {
    log_.LogFailure("EditCallLoggPost", e);
    return false;
  }
}

void TCallService::CallWritten(uint64_t key, int32_t lopnr, bool smsSent) {
  // The SMS kept in memory under the key takes the number and gets its row.
  const bool smsKept = smsOutbox_ && smsOutbox_->CallNumbered(key, lopnr);
  for (auto& entry : CallList_) {
    for (auto& call : entry->CurrentCallList) {
      if (call->CallLogKey != key) continue;
      call->CallLogKey = 0;
      call->CallLogLopnr = lopnr;
      if (smsSent && !smsKept) QueueSms(*call, *entry, lopnr);
      return;
    }
  }
  if (smsSent && !smsKept) smsAfterLoad_.push_back(lopnr);
}

void TCallService::QueueSms(const TCaller& caller, const TCallObject& resource, int32_t logLopnr) {
  try {
    if (!smsOutbox_) throw std::runtime_error("no SMS outbox is configured");
    smsOutbox_->Queue({logLopnr, resource.CallLopnr, resource.CallableMobilnummer,
                       caller.CallerName, resource.CallName});
  } catch (const std::exception& e) {
    log_.LogFailure("QueueSms", e);
  }
}

}  // namespace tavo
