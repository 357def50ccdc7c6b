// Loading the call list from the call log: every resource, and under it the calls opened
// today that are neither confirmed nor cancelled.
#include <cmath>
#include <memory>
#include <utility>

#include "calls/CallService.h"
#include "common/StrUtils.h"
#include "database/SqlHelpers.h"

namespace tavo {
namespace {

// The open calls of one resource within one day. Only calls whose resource is active, whose
// station still exists and still lists the resource come back.
const char kOpenCallsQuery[] =
    "SELECT CALLLOG.*, CALLLIST.IXLOPNR, STATIONS.LOPNR AS LOPNR2, STATIONS.FRIENDLYNAME, "
    "STATIONS.NAMECOLOUR FROM CALLLOG, STATIONS, CALLLIST, CALLABLES WHERE "
    "CALLLOG.STATIONSLOPNR = STATIONS.LOPNR AND CALLLIST.STATIONSLOPNR = STATIONS.LOPNR AND "
    "CALLLIST.CALLABLESLOPNR = CALLLOG.CALLABLESLOPNR AND CALLLIST.CALLABLESLOPNR = "
    "CALLABLES.LOPNR AND CALLABLES.AKTIV = 'T' AND CALLLOG.CALLABLESLOPNR = ? "
    "AND (CANCELTSTAMP IS NULL AND CONFIRMTSTAMP IS NULL) "
    "AND CALLTSTAMP >= ? AND CALLTSTAMP < ? "
    "ORDER BY CALLLOG.LOPNR";

constexpr char kStationNotFound[] = "(ej funnet)";

// The date text of a day, or empty when the clock gave no usable date; an empty date must
// not reach the window of the query (it would select nothing, or everything).
std::string DayText(TDateTime day) {
  if (!std::isfinite(day)) return {};
  const TDateTimeParts p = DecodeDateTime(day);
  if (p.Year < 1 || p.Year > 9999) return {};
  return FormatDate(day);
}

// FRIENDLYNAME of the first station row with this number, or "(ej funnet)".
std::string StationName(TQuery& stations, int32_t lopnr) {
  for (stations.First(); !stations.Eof(); stations.Next())
    if (stations.AsInteger("LOPNR") == lopnr) return stations.AsString("FRIENDLYNAME");
  return kStationNotFound;
}

}  // namespace

TCallObject* TCallService::FindCallObject(int32_t callLopnr) {
  for (auto& entry : CallList_)
    if (entry->CallLopnr == callLopnr) return entry.get();
  return nullptr;
}

void TCallService::ClearCallList() { CallList_.clear(); }

void TCallService::FillCallList() {
  CallList_.clear();
  // A reload follows a change of resources or a remote statement: read the lists afresh too.
  kept_.Forget();
  // The date and number formats are fixed in the text helpers, so there is nothing to set here.
  bool restart = false;
  {
    std::unique_ptr<TQuery> stations;
    std::unique_ptr<TQuery> callables;
    try {
      // Only the "(ej funnet)" look-ups need the station table; without it loading goes on
      // and each look-up fails on its own resource.
      stations = RunSQL(db_, log_, "SELECT * FROM STATIONS");
      callables = RunSQLOrThrow(db_, log_, "SELECT * FROM CALLABLES ORDER BY CALLNAME");
      for (; !callables->Eof(); callables->Next()) {
        auto entry = std::make_unique<TCallObject>();
        entry->CallName = callables->AsString("CALLNAME");
        entry->CallLopnr = callables->AsInteger("LOPNR");
        entry->CallColour = callables->AsInteger("NAMECOLOUR");
        entry->CallableSendSMS = callables->AsInteger("SENDSMS") != 0;
        entry->CallableMobilnummer = callables->AsString("SMSNUMMER");
        entry->Aktiv = callables->AsString("AKTIV") != "F";

        const TDateTime now = clock_.Now();
        const std::string today = DayText(now);
        const std::string tomorrow = today.empty() ? std::string() : DayText(DateOf(now) + 1);
        if (Trim(today).empty() || Trim(tomorrow).empty()) {
          restart = true;
          break;
        }

        try {
          auto calls = RunSQLOrThrow(db_, log_, kOpenCallsQuery,
                                     {SqlInt(entry->CallLopnr), SqlText(today), SqlText(tomorrow)});
          for (; !calls->Eof(); calls->Next()) {
            auto caller = std::make_unique<TCaller>();
            caller->CallerName = calls->AsString("FRIENDLYNAME");
            caller->CallerLopnr = calls->AsInteger("LOPNR2");
            caller->CallTimeStamp = calls->AsDateTime("CALLTSTAMP");
            caller->CallerColour = calls->AsInteger("NAMECOLOUR");
            caller->CallLogLopnr = calls->AsInteger("LOPNR");
            caller->CallComingLopnr = calls->AsInteger("COMINGLOPNR");
            caller->CallComingTimeStamp = calls->AsDateTime("COMINGTSTAMP");
            if (caller->CallComingLopnr != 0) {
              if (!stations) throw EDatabaseError("the station table could not be opened");
              caller->CallComingName = StationName(*stations, caller->CallComingLopnr);
            }
            entry->CurrentCallList.push_back(std::move(caller));
          }
        } catch (const std::exception& e) {
          log_.LogFailure("FillCallList.Next", e);
        }
        CallList_.push_back(std::move(entry));
      }
    } catch (const std::exception& e) {
      log_.LogFailure("FillCallList", e);
    }
  }
  try {
    kept_.Prime();
  } catch (const std::exception&) {
    // Only a later outage misses it; the stations' own reads say what is wrong.
  }
  // Calls the journal wrote before the list was loaded: their SMS leaves now, if still open.
  for (const int32_t lopnr : std::exchange(smsAfterLoad_, {})) {
    for (auto& entry : CallList_)
      for (auto& call : entry->CurrentCallList)
        if (call->CallLogLopnr == lopnr) QueueSms(*call, *entry, lopnr);
  }
  ListsChanged();
  // The queries are released by now; the new process loads again from scratch.
  if (restart && restartServer_) restartServer_();
}

}  // namespace tavo
