#include "admin/StationCommands.h"

#include <string>
#include <vector>

#include "admin/ChangeLog.h"
#include "admin/ColumnWidth.h"
#include "common/StrUtils.h"
#include "database/ServerTables.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

constexpr char kCommand[] = "REGISTERUPATEMACHINE";
// A display name holding exactly this asks for the station's deletion.
constexpr char kDeleteMe[] = "\244DELETE_ME\244";  // the marker byte on both sides

bool ConnectedNow(const std::vector<TClientSocketPtr>& connections, int32_t lopnr) {
  for (const auto& s : connections)
    if (s->Data && s->Data->StationLopnr == lopnr) return true;
  return false;
}

}  // namespace

TStationCommands::TStationCommands(TDatabase& db, TLogging& log, TCallService& calls)
    : db_(db), log_(log), calls_(calls) {}

void TStationCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler(kCommand,
                         [this](const TCommandContext& c) { return CmdRegisterUpdateMachine(c); });
  interpreter.SetHandler("GETALLMACHINES",
                         [this](const TCommandContext& c) { return CmdGetAllMachines(c); });
}

TCommandResult TStationCommands::CmdRegisterUpdateMachine(const TCommandContext& c) {
  const std::string name = GetField(c.BlockText, 1);
  const std::string friendly = GetField(c.BlockText, 3);
  const std::string imei = GetField(c.BlockText, 5);
  const int32_t given = StrToIntDef(GetField(c.BlockText, 7), -1);

  // Without a number the station is looked up by name.
  auto found =
      given != -1
          ? RunSQLOrThrow(db_, log_, "SELECT * FROM STATIONS WHERE LOPNR = ?", {SqlInt(given)})
          : RunSQLOrThrow(db_, log_, "SELECT * FROM STATIONS WHERE STATIONNAME = ?",
                          {SqlText(name)});
  int32_t station = given;

  if (friendly == kDeleteMe) {
    if (!found->Eof()) {
      station = found->AsInteger("LOPNR");
      {
        // The station and its list go together, or neither does.
        TTransaction tx(db_);
        db_.Execute("DELETE FROM STATIONS WHERE LOPNR = ?", {SqlInt(station)});
        db_.Execute("DELETE FROM CALLLIST WHERE STATIONSLOPNR = ?", {SqlInt(station)});
        tx.Commit();
      }
      ForgetStation(db_, log_, station);
      calls_.DatabaseChanged();
      LogAdminChange(log_, kCommand, "station", station, "deleted", c.Socket);
    }
  } else {
    RequireWidth(name, kStationNameWidth, "STATIONNAME");
    RequireWidth(friendly, kFriendlyNameWidth, "FRIENDLYNAME");
    RequireWidth(imei, kImeiNumberWidth, "IMEINUMBER");
    const int32_t colour = StrToIntDef(GetField(c.BlockText, 4), 0);
    const int32_t type = StrToIntDef(GetField(c.BlockText, 2), 0);
    if (!found->Eof()) {
      station = found->AsInteger("LOPNR");
      // An empty identity keeps the stored one.
      if (imei.empty()) {
        db_.Execute(
            "UPDATE STATIONS SET STATIONNAME = ?, FRIENDLYNAME = ?, NAMECOLOUR = ?, "
            "STATIONTYPE = ? WHERE LOPNR = ?",
            {SqlText(name), SqlText(friendly), SqlInt(colour), SqlInt(type), SqlInt(station)});
      } else {
        db_.Execute(
            "UPDATE STATIONS SET STATIONNAME = ?, FRIENDLYNAME = ?, NAMECOLOUR = ?, "
            "STATIONTYPE = ?, IMEINUMBER = ? WHERE LOPNR = ?",
            {SqlText(name), SqlText(friendly), SqlInt(colour), SqlInt(type), SqlText(imei),
             SqlInt(station)});
      }
      calls_.DatabaseChanged();
      LogAdminChange(log_, kCommand, "station", station, "changed", c.Socket);
    } else {
      // A number that matches no row gives a new station with a number of its own.
      station = GetNextLopnr(db_, log_, "STATIONS", "LOPNR");
      if (station < 0) throw EDatabaseError("no running number for a new station");
      db_.Execute(
          "INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, "
          "STATIONTYPE, IMEINUMBER) VALUES (?, ?, ?, ?, ?, ?)",
          {SqlInt(station), SqlText(name), SqlText(friendly), SqlInt(colour), SqlInt(type),
           imei.empty() ? SqlNull() : SqlText(imei)});
      calls_.DatabaseChanged();
      LogAdminChange(log_, kCommand, "station", station, "created", c.Socket);
    }
  }
  found.reset();

  Notify(c, station);
  return TCommandResult::Continue;
}

void TStationCommands::Notify(const TCommandContext& c, int32_t stationLopnr) {
  if (c.Socket->Data && c.Socket->Data->StationType == ctAdmin) {
    // Administration records carry -1, so a station that was never found reaches the first
    // signed-on administration connection, which the sign-on then serves like a request.
    for (const auto& s : calls_.MainConnections()) {
      if (s->Data && s->Data->StationLopnr == stationLopnr) {
        calls_.SendClientList(c.BlockText, s, c.LineMode, false);
        return;
      }
    }
    return;
  }
  // A station registering itself, or a connection not yet signed on, which signs on here.
  calls_.SendClientList(c.BlockText, c.Socket, c.LineMode, false);
}

TCommandResult TStationCommands::CmdGetAllMachines(const TCommandContext& c) {
  auto rows = RunSQLOrThrow(db_, log_, "SELECT * FROM STATIONS ORDER BY STATIONNAME");
  const auto connections = calls_.MainConnections();
  std::string reply = OpeningTag("RETALLMACHINES");
  // The record is written before the end is tested: an empty table gives one empty record.
  do {
    const int32_t lopnr = rows->AsInteger("LOPNR");
    reply += rows->AsString("STATIONNAME") + ":";
    reply += std::to_string(lopnr) + ":";
    reply += rows->AsString("FRIENDLYNAME") + ":";
    reply += std::to_string(rows->AsInteger("NAMECOLOUR")) + ":";
    reply += std::to_string(rows->AsInteger("STATIONTYPE")) + ":";
    reply += std::string(ConnectedNow(connections, lopnr) ? "-1" : "0") + ":";
    reply += rows->AsString("IMEINUMBER") + ":";
    reply += ":";
    rows->Next();
  } while (!rows->Eof());
  rows.reset();
  reply += ClosingTag("RETALLMACHINES");
  c.Socket->SendText(FrameReply(reply, c.LineMode));
  return TCommandResult::Continue;
}

}  // namespace tavo
