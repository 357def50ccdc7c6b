#include "admin/ResourceCommands.h"

#include <string_view>
#include <vector>

#include "admin/ChangeLog.h"
#include "admin/ColumnWidth.h"
#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "database/ServerTables.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

constexpr char kRegister[] = "REGISTERUPATECALLABLE";
constexpr char kPostList[] = "POSTCALLABLESLIST";
// A call name holding exactly this asks for the resource's deletion.
constexpr char kDeleteMe[] = "\244DELETE_ME\244";  // the marker byte on both sides
// Ends each record of a REGISTERUPATECALLABLE block.
constexpr std::string_view kRecordEnd = "%\xA4:";
// The one resource no clinic may lose.
constexpr int32_t kFirstResource = 1;

std::string Refusal(const std::string& callName) {
  return "ERROR: 030 Det g\xE5r inte att radera resursen " + callName + "!\r" +
         "Resursen anv\xE4nds av visnings/kallelseklienter!\r\n";
}

// "True" in any letter case or a number other than 0.
bool SmsFlag(const std::string& text) {
  return StrToIntDef(text, 0) != 0 || SameTextAscii(text, "True");
}

// Every ":"-separated field of a block, trimmed, field 0 first: one pass, however many fields
// a client sends.
std::vector<std::string> SplitFields(std::string_view text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t sep = text.find(':', start);
    fields.push_back(
        Trim(text.substr(start, sep == std::string_view::npos ? text.npos : sep - start)));
    if (sep == std::string_view::npos) return fields;
    start = sep + 1;
  }
}

}  // namespace

TResourceCommands::TResourceCommands(TDatabase& db, TLogging& log, TCallService& calls)
    : db_(db), log_(log), calls_(calls) {}

void TResourceCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler(kRegister,
                         [this](const TCommandContext& c) { return CmdRegisterUpdateCallable(c); });
  interpreter.SetHandler(kPostList,
                         [this](const TCommandContext& c) { return CmdPostCallablesList(c); });
  interpreter.SetHandler("GETSTATIONCALLABLES",
                         [this](const TCommandContext& c) { return CmdGetStationCallables(c); });
  interpreter.SetHandler("GETALLCALLABLES",
                         [this](const TCommandContext& c) { return CmdGetAllCallables(c); });
}

TCommandResult TResourceCommands::CmdRegisterUpdateCallable(const TCommandContext& c) {
  const std::string open = OpeningTag(kRegister);
  const std::string_view text = c.BlockText.size() > open.size()
                                    ? std::string_view(c.BlockText).substr(open.size())
                                    : std::string_view();
  bool stored = false;  // the call list must be reloaded
  bool listed = false;  // a resource that stations may list changed: their lists are re-sent
  bool refused = false;
  // Records stored before a failure or a refusal stay stored; the call list and the stations'
  // lists must show them either way.
  auto showStored = [&] {
    calls_.FillCallList();
    if (listed) calls_.ResendAllLists(c.LineMode);
  };
  try {
    size_t pos = 0;
    for (size_t end; !refused && (end = text.find(kRecordEnd, pos)) != std::string_view::npos;
         pos = end + kRecordEnd.size()) {
      const std::string record(text.substr(pos, end + kRecordEnd.size() - pos));
      switch (StoreCallable(record, c)) {
        case TRecordOutcome::Skipped:
          break;
        case TRecordOutcome::Added:
          stored = true;  // a new resource is in no station's list yet
          break;
        case TRecordOutcome::Changed:
        case TRecordOutcome::Deleted:
          stored = listed = true;
          break;
        case TRecordOutcome::Refused:
          refused = true;
          break;
      }
    }
  } catch (...) {
    if (stored) showStored();
    throw;
  }
  if (!refused || stored) showStored();
  // A refusal ends the whole message: nothing after it is carried out.
  return refused ? TCommandResult::StopMessage : TCommandResult::Continue;
}

TResourceCommands::TRecordOutcome TResourceCommands::StoreCallable(const std::string& record,
                                                                   const TCommandContext& c) {
  const std::string first = GetField(record, 0);
  if (first.empty()) return TRecordOutcome::Skipped;
  const int32_t given = StrToIntDef(first, 0);
  const std::string callName = GetField(record, 1);
  auto found = RunSQLOrThrow(db_, log_, "SELECT * FROM CALLABLES WHERE LOPNR = ?", {SqlInt(given)});

  if (callName == kDeleteMe) {
    if (found->Eof()) return TRecordOutcome::Skipped;
    const int32_t lopnr = found->AsInteger("LOPNR");
    {
      // The test and the deletion in one transaction: no list can take the resource between.
      TTransaction tx(db_);
      auto uses = RunSQLOrThrow(db_, log_,
                                "SELECT COUNT(*) AS COLUMN1 FROM CALLLIST WHERE CALLABLESLOPNR = ?",
                                {SqlInt(lopnr)});
      if (uses->AsInteger("COLUMN1") != 0 || lopnr == kFirstResource) {
        c.Socket->SendText(Refusal(found->AsString("CALLNAME")));  // bare in either mode
        return TRecordOutcome::Refused;
      }
      db_.Execute("DELETE FROM CALLABLES WHERE LOPNR = ?", {SqlInt(lopnr)});
      db_.Execute("DELETE FROM CALLLIST WHERE CALLABLESLOPNR = ?", {SqlInt(lopnr)});
      tx.Commit();
    }
    ForgetResource(db_, log_, lopnr);
    calls_.DatabaseChanged();
    LogAdminChange(log_, kRegister, "resource", lopnr, "deleted", c.Socket);
    return TRecordOutcome::Deleted;
  }

  const std::string fullName = GetField(record, 2);
  const int32_t colour = StrToIntDef(GetField(record, 3), 0);
  const int32_t sms = SmsFlag(GetField(record, 4)) ? 1 : 0;
  const std::string number = GetField(record, 5);
  const std::string aktiv = GetField(record, 6);
  RequireWidth(callName, kCallNameWidth, "CALLNAME");
  RequireWidth(fullName, kFullNameWidth, "FULLNAME");
  RequireWidth(number, kSmsNummerWidth, "SMSNUMMER");
  RequireWidth(aktiv, kAktivWidth, "AKTIV");
  if (!found->Eof()) {
    const int32_t lopnr = found->AsInteger("LOPNR");
    db_.Execute(
        "UPDATE CALLABLES SET CALLNAME = ?, FULLNAME = ?, NAMECOLOUR = ?, SENDSMS = ?, "
        "SMSNUMMER = ?, AKTIV = ? WHERE LOPNR = ?",
        {SqlText(callName), SqlText(fullName), SqlInt(colour), SqlInt(sms), SqlText(number),
         SqlText(aktiv), SqlInt(lopnr)});
    calls_.DatabaseChanged();
    LogAdminChange(log_, kRegister, "resource", lopnr, "changed", c.Socket);
    return TRecordOutcome::Changed;
  }
  // A number that names no resource (0, not a number, or unused) gives a new one.
  const int32_t lopnr = GetNextLopnr(db_, log_, "CALLABLES", "LOPNR");
  if (lopnr < 0) throw EDatabaseError("no running number for a new resource");
  db_.Execute(
      "INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, SMSNUMMER, "
      "AKTIV) VALUES (?, ?, ?, ?, ?, ?, ?)",
      {SqlInt(lopnr), SqlText(callName), SqlText(fullName), SqlInt(colour), SqlInt(sms),
       SqlText(number), SqlText(aktiv)});
  calls_.DatabaseChanged();
  LogAdminChange(log_, kRegister, "resource", lopnr, "created", c.Socket);
  return TRecordOutcome::Added;
}

TCommandResult TResourceCommands::CmdPostCallablesList(const TCommandContext& c) {
  if (!c.Socket->Data)
    throw ERequestError("POSTCALLABLESLIST from a connection that has not signed on");
  const std::vector<std::string> fields = SplitFields(c.BlockText);
  // An administration client names the station; a station posts its own list.
  const bool admin = c.Socket->Data->StationType == ctAdmin;
  const int32_t station = admin ? StrToIntDef(fields.size() > 3 ? fields[3] : std::string(), 0)
                                : c.Socket->Data->StationLopnr;
  TClientSocketPtr target;
  if (admin) {
    for (const auto& s : calls_.MainConnections()) {
      if (s->Data && s->Data->StationLopnr == station) {
        target = s;
        break;
      }
    }
  } else {
    target = c.Socket;
  }

  // Pairs of resource and position, up to the first resource that is negative or no number.
  std::vector<std::pair<int32_t, int32_t>> pairs;
  for (size_t f = admin ? 4 : 3; f < fields.size(); f += 2) {
    const int32_t resource = StrToIntDef(fields[f], -1);
    if (resource < 0) break;
    const int32_t position = StrToIntDef(f + 1 < fields.size() ? fields[f + 1] : std::string(), -1);
    pairs.emplace_back(resource, position);
  }

  {
    // The old list stays whole until the new one is stored whole.
    TTransaction tx(db_);
    db_.Execute("DELETE FROM CALLLIST WHERE STATIONSLOPNR = ?", {SqlInt(station)});
    for (const auto& [resource, position] : pairs) {
      db_.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                  {SqlInt(station), SqlInt(resource), SqlInt(position)});
    }
    tx.Commit();
  }
  calls_.DatabaseChanged();
  LogAdminChange(log_, kPostList, "list of station", station, "replaced", c.Socket);

  if (target) calls_.SendClientList(c.BlockText, target, c.LineMode, false);
  return TCommandResult::Continue;
}

TCommandResult TResourceCommands::CmdGetStationCallables(const TCommandContext& c) {
  auto rows =
      RunSQLOrThrow(db_, log_,
                    "SELECT CALLLIST.* FROM CALLLIST JOIN STATIONS ON CALLLIST.STATIONSLOPNR "
                    "= STATIONS.LOPNR AND STATIONS.STATIONNAME = ? ORDER BY IXLOPNR",
                    {SqlText(GetField(c.BlockText, 1))});
  std::string reply = OpeningTag("RETSTATIONCALLABLES");
  // The pair is written before the end is tested: no rows give the pair 0:0:.
  do {
    reply += std::to_string(rows->AsInteger("CALLABLESLOPNR")) + ":";
    reply += std::to_string(rows->AsInteger("IXLOPNR")) + ":";
    rows->Next();
  } while (!rows->Eof());
  reply += ClosingTag("RETSTATIONCALLABLES");
  c.Socket->SendText(FrameReply(reply, c.LineMode));
  return TCommandResult::Continue;
}

TCommandResult TResourceCommands::CmdGetAllCallables(const TCommandContext& c) {
  if (!c.Socket->Data)
    throw ERequestError("GETALLCALLABLES from a connection that has not signed on");
  auto rows = RunSQLOrThrow(db_, log_, "SELECT * FROM CALLABLES ORDER BY FULLNAME");
  std::string reply = OpeningTag("RETALLCALLABLES");
  // The record is written before the end is tested: an empty table gives one empty record.
  do {
    reply += rows->AsString("CALLNAME") + ":";
    reply += std::to_string(rows->AsInteger("LOPNR")) + ":";
    reply += rows->AsString("FULLNAME") + ":";
    reply += std::to_string(rows->AsInteger("NAMECOLOUR")) + ":";
    reply += std::string(rows->AsInteger("SENDSMS") != 0 ? "-1" : "0") + ":";
    reply += rows->AsString("SMSNUMMER") + ":";
    reply += rows->AsString("AKTIV") + ":";
    rows->Next();
  } while (!rows->Eof());
  reply += ClosingTag("RETALLCALLABLES");
  c.Socket->SendText(FrameReply(reply, c.LineMode));
  return TCommandResult::Continue;
}

}  // namespace tavo
