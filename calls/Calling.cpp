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
      const bool edited = EditCallLoggPost(open->CallLogLopnr, TCallLogEdit::Confirm, 0, now);
      round.emplace(*this);
      if (edited) {
        if (smsOutbox_) smsOutbox_->CancelCall(open->CallLogLopnr);
        if (metrics_) {
          metrics_->CallsConfirmed.fetch_add(1);
          metrics_->TimeToClose.Observe((now - open->CallTimeStamp) * 86400.0);
        }
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
    if (smsOutbox_) smsOutbox_->CancelCall(call->CallLogLopnr);
    if (EditCallLoggPost(call->CallLogLopnr, TCallLogEdit::Coming, call->CallComingLopnr, now)) {
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

int32_t TCallService::AddCallLoggPost(const TCaller& caller, const TCallObject& resource,
                                      TDateTime callTime) {
  int32_t number = -1;
  std::optional<TSmsRow> sms;
  try {
    // Number and row in one transaction: one round of locks, and no other program can take
    // the number in between.
    TTransaction transaction(db_);
    // MAX only: the row count would read the whole, ever-growing call log on every call.
    number = GetNextLopnr(db_, log_, "CALLLOG", "LOPNR");
    // Without a number there is no row to write: a row numbered -1 would be taken by the
    // next call that also finds no number.
    if (number == -1) throw EDatabaseError("no running number for CALLLOG; the call is not logged");
    db_.Execute(
        "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
        "VALUES (?, ?, ?, ?, ?)",
        {SqlInt(number), SqlInt(caller.CallerLopnr), SqlInt(resource.CallLopnr),
         SqlBool(resource.CallableSendSMS), SqlDateTime(callTime)});
    // The SMS is kept with its call: both rows are committed together, or neither.
    if (resource.CallableSendSMS && smsOutbox_)
      sms = smsOutbox_->AddRow({number, resource.CallLopnr, resource.CallableMobilnummer,
                                caller.CallerName, resource.CallName});
    transaction.Commit();
  } catch (const std::exception& e) {
    log_.LogFailure("AddCallLoggPost", e);
    // The number was not taken: the next call gets it, and an edit of this call must not
    // land on that call's row.
    return -1;
  }
  // Only a committed call is dispatched: the message names its row.
  if (sms) smsOutbox_->Dispatch(std::move(*sms));
  return number;
}

bool TCallService::EditCallLoggPost(int32_t logLopnr, TCallLogEdit kind, int32_t comingLopnr,
                                    TDateTime time) {
  try {
    // The check and the change in one transaction: one round of locks, and the row checked is
    // the row changed.
    TTransaction transaction(db_);
    auto rows = RunSQLOrThrow(db_, log_, "SELECT LOPNR FROM CALLLOG WHERE LOPNR = ?",
                              {SqlInt(logLopnr)});
    // No row, or several, is not a failure: nothing is written.
    if (rows->RecordCount() != 1) return true;
    if (kind == TCallLogEdit::Confirm)
      db_.Execute("UPDATE CALLLOG SET CONFIRMTSTAMP = ? WHERE LOPNR = ?",
                  {SqlDateTime(time), SqlInt(logLopnr)});
    else
      db_.Execute("UPDATE CALLLOG SET COMINGTSTAMP = ?, COMINGLOPNR = ? WHERE LOPNR = ?",
                  {SqlDateTime(time), SqlInt(comingLopnr), SqlInt(logLopnr)});
    transaction.Commit();
    return true;
  } catch (const std::exception& e) {
    log_.LogFailure("EditCallLoggPost", e);
    return false;
  }
}

}  // namespace tavo
