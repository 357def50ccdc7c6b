// TCallService: the calls of the server. It owns the call list (one entry per resource, each with
// its open calls), loads it from the call log, signs stations on with their resource lists,
// carries out CALLING and COMING with their call-log rows, and renders the current calls for
// display and hardware stations. Everything here runs on the main thread, so nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "calls/KeptReads.h"
#include "calls/PageViews.h"
#include "calls/RenderMemo.h"
#include "common/Clock.h"
#include "common/Metrics.h"
#include "common/TAVOcommon.h"
#include "database/CallLogWriter.h"
#include "database/Database.h"
#include "platform/ClientSocket.h"
#include "protocol/Interpreter.h"
#include "platform/Logging.h"
#include "sms/SmsOutbox.h"

namespace tavo {

// What happened to a call in memory.
enum class TCallChange : uint8_t { Opened, Answered, Confirmed };

class TCallService {
 public:
  // The connections of the main listener in accept order; broadcasts walk only these.
  using TConnectionsFn = std::function<std::vector<TClientSocketPtr>()>;
  // smsOutbox: where the SMS of calls to SMS-marked resources are queued (none: no SMS).
  TCallService(TDatabase& db, TLogging& log, const TClock& clock, TConnectionsFn mainConnections,
               std::function<void()> restartServer, TSmsOutbox* smsOutbox);
  TCallService(const TCallService&) = delete;
  TCallService& operator=(const TCallService&) = delete;

  // Counts calls and broadcasts into these metrics from now on (none: nothing is counted).
  void SetMetrics(TMetrics* metrics) { metrics_ = metrics; }

  // Told of every call opened, answered or confirmed, once the call list shows it (a confirmed
  // call just before its entry goes). Must not throw.
  using TCallChangedFn = std::function<void(const TCallObject&, const TCaller&, TCallChange)>;
  void SetCallChanged(TCallChangedFn changed) { callChanged_ = std::move(changed); }

  // Registers CALLING, COMING, RECONNECT and GETCALLLIST.
  void RegisterCommands(TInterpreter& interpreter);

  // Told after every change to STATIONS, CALLABLES, CALLLIST or SETTINGS made by a command,
  // and after every client statement, before the changed lists are sent: whatever is kept from
  // those tables is read afresh. Changes made by other programs are noticed through the
  // database itself. Never throws.
  void DatabaseChanged();
  // The open connections of the main listener, in accept order.
  std::vector<TClientSocketPtr> MainConnections() const { return mainConnections_(); }

  // --- call list (CallList.cpp) ---
  // Throws the call list away and reloads it: every resource, each with today's open calls.
  // Sends nothing. Never throws.
  void FillCallList();
  const TCallList& CallList() const { return CallList_; }
  // The resource entry with this number, or nullptr.
  TCallObject* FindCallObject(int32_t callLopnr);
  // Empties the call list (shutdown).
  void ClearCallList();

  // --- sign-on (SignOn.cpp) ---
  // Signs the connection on from a GETCALLLIST-shaped block (station name, client kind) and
  // sends its TAVOCLIENTDATA and resource list; with silent, builds the record and sends nothing.
  // Empty text re-sends the list of a signed-on connection. Never throws.
  void SendClientList(const std::string& text, const TClientSocketPtr& socket, bool lineMode,
                      bool silent);
  // Fresh lists to every main connection whose station lists the resource. Never throws.
  void UpdateAllClients(int32_t resourceLopnr, bool lineMode);
  // Fresh lists to every main connection signed on under the given connection's station name.
  // Throws when the given connection has no record; its caller's handler logs that.
  void UpdateStationClients(const TClientSocketPtr& socket, bool lineMode);
  // Fresh lists to every call, display and hardware connection of the main listener, after a
  // change that any of them may show. Never throws.
  void ResendAllLists(bool lineMode);

  // --- displays (Displays.cpp) ---
  // CURRENTLIST to the given connection, or, with nullptr, to every display and hardware
  // connection of the main listener. Never throws.
  void UpdateVisningsScreens(const TClientSocketPtr& socket = nullptr);
  // Builds and sends the CURRENTLIST of one connection; throws on failure. Within one
  // broadcast, connections with the same list share one rendering.
  void SendCurrentList(const TClientSocketPtr& socket, int32_t cancelLopnr);
  // The CURRENTLIST block of a connection record, unframed.
  std::string RenderCurrentList(const TTAVOConnectInfo& record, int32_t cancelLopnr) const;

  // --- views for the browser pages (PageViews.cpp) ---
  // These read the database like a sign-on (while it is down, as it was last read), but a
  // failure is only thrown to the caller: nothing is counted towards the restart, since a
  // page must never restart the server.
  // The lists the display or hardware stations (by STATIONTYPE) of these names are shown now,
  // as after a fresh sign-on, in one round of reads; nullopt for a name that is no such station.
  std::vector<std::optional<TStationView>> StationViews(const std::vector<std::string>& names);
  // Every station in STATIONNAME order, with whether a connection is signed on under it.
  std::vector<TStationPresence> Stations();
  // Every resource with open calls, in call-list order; the cancel resource is left out.
  TDisplayView OpenCallsView();
  // Called after each change of what a list may show (calls opened, answered, closed, a
  // reload, a command's change of stations, resources or settings).
  void SetListsChanged(std::function<void()> changed) { listsChanged_ = std::move(changed); }

  // --- calling (Calling.cpp) ---
  // Takes the next number and inserts the call's CALLLOG row, and the outbox row of its SMS
  // when the resource asks for one, in one transaction; once that is committed, the SMS is
  // dispatched. Returns the row's number, or -1 when no row was written. While the database is
  // down the row is kept in the journal: the caller's CallLogKey names it and the number is 0
  // until the row is written; its SMS is queued in memory under that key and sent from there,
  // and its outbox row follows the call's row. Never throws.
  int32_t AddCallLoggPost(TCaller& caller, const TCallObject& resource, TDateTime callTime);
  // Writes the confirm or the answer into the call's row, checked in the same transaction (or
  // keeps it in the journal while the database is down); false on failure. Never throws.
  bool EditCallLoggPost(const TCallLogRef& call, TCallLogEdit kind, int32_t comingLopnr,
                        TDateTime time);
  // The call log's writer: its journal and its replay.
  TCallLogWriter& CallLog() { return callLog_; }
  // A call the journal's replay gave its row: the open call takes the number, and its SMS kept
  // in memory takes it too and gets its outbox row. An SMS no longer in memory (the server
  // stopped meanwhile) is queued again if the call is open; a call not in the list (the replay
  // at start-up runs before it is loaded) once the list is loaded. Never throws.
  void CallWritten(uint64_t key, int32_t lopnr, bool smsSent);
  // Queues the SMS of one call in the outbox. Never throws.
  void QueueSms(const TCaller& caller, const TCallObject& resource, int32_t logLopnr);

  TCommandResult CmdCalling(const TCommandContext& c);
  TCommandResult CmdComing(const TCommandContext& c);
  TCommandResult CmdReconnect(const TCommandContext& c);
  TCommandResult CmdGetCallList(const TCommandContext& c);

 private:
  // One broadcast, or one request's lists: renderings made inside it are shared, and the
  // outermost one first checks whether what was kept from the database still holds.
  class TRound {
   public:
    explicit TRound(TCallService& s);
    ~TRound();
    TRound(const TRound&) = delete;
    TRound& operator=(const TRound&) = delete;

   private:
    TCallService& s_;
  };

  int32_t CancelResourceLopnr();
  // Tells the pages; whatever happens there never disturbs the command or broadcast.
  void ListsChanged() noexcept {
    try {
      if (listsChanged_) listsChanged_();
    } catch (...) {
    }
  }
  // Calls f(entry, position) for each resource that a station with these resources is shown,
  // in call-list order: the one rule of what a display sees.
  template <class F>
  void ForEachShown(const std::vector<TCallables>& callables, int32_t cancelLopnr, F&& f) const {
    for (const auto& entry : CallList_) {
      int32_t position = -1;
      for (const auto& item : callables) {
        if (item.CallableLopnr == entry->CallLopnr) {
          position = item.CallableIX;
          break;
        }
      }
      if (entry->CallLopnr == cancelLopnr || position == -1) continue;
      f(*entry, position);
    }
  }
  void RenderCurrentListInto(std::string& text, const TTAVOConnectInfo& record,
                             int32_t cancelLopnr) const;

  TDatabase& db_;
  TLogging& log_;
  const TClock& clock_;
  TConnectionsFn mainConnections_;
  std::function<void()> restartServer_;
  TSmsOutbox* smsOutbox_;
  TCallList CallList_;
  TMetrics* metrics_ = nullptr;
  TCallChangedFn callChanged_;
  TCallLogWriter callLog_;
  TKeptReads kept_;
  TRenderMemo memo_;
  int roundDepth_ = 0;
  std::function<void()> listsChanged_;
  // Numbers of calls written from the journal whose SMS waits for the call list to be loaded.
  std::vector<int32_t> smsAfterLoad_;
};

}  // namespace tavo
