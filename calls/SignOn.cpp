// Sign-on of a station and its resource list (RETCALLLIST), and the two broadcasts that
// re-send resource lists.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "calls/CallService.h"
#include "common/StrUtils.h"
#include "database/SqlHelpers.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const char kStationQuery[] = "SELECT * FROM STATIONS WHERE STATIONNAME = ?";
const char kStationResourcesQuery[] =
    "SELECT CALLLIST.IXLOPNR, CALLABLES.* FROM CALLLIST, CALLABLES WHERE "
    "CALLLIST.STATIONSLOPNR = ? AND CALLLIST.CALLABLESLOPNR = CALLABLES.LOPNR AND "
    "CALLABLES.AKTIV = 'T' ORDER BY CALLLIST.IXLOPNR ASC";

const char kNoResources[] = "ERROR: 003 Klienten har inga resurser inlagda!";

std::string BoolText(bool b) { return b ? "-1" : "0"; }

std::string ClientData(const TTAVOConnectInfo& r) {
  std::string payload = r.StationName + ":" + r.FriendlyName + ":" +
                        std::to_string(r.StationColour) + ":";
  // The line-mode client reads its device identity and a spare field in front of the number.
  if (r.isAndroid) payload += r.IMEINumber + "::";
  payload += std::to_string(r.StationLopnr);
  return FrameReply(Block("TAVOCLIENTDATA", payload), r.isAndroid);
}

}  // namespace

void TCallService::SendClientList(const std::string& text, const TClientSocketPtr& socket,
                                  bool lineMode, bool silent) {
  // An administration connection keeps its own record; a request on it is served with a
  // temporary one, released here whatever happens.
  std::unique_ptr<TTAVOConnectInfo> temporary;
  TTAVOConnectInfo* record = nullptr;
  try {
    std::string list = std::string(1, kBlockMarker) + "RETCALLLIST~";
    std::string errorText;
    const int32_t cancelLopnr = CancelResourceLopnr();

    if (socket->Data && socket->Data->StationType != ctAdmin) {
      // A connection signed on as a station stays that station; the request text is ignored.
      record = socket->Data.get();
    } else {
      auto fresh = std::make_unique<TTAVOConnectInfo>();
      fresh->isAndroid = lineMode;
      fresh->StationName = GetField(text, 1);
      fresh->StationLopnr = -1;
      if (!socket->Data) {
        socket->Data = std::move(fresh);
        record = socket->Data.get();
      } else {
        temporary = std::move(fresh);
        record = temporary.get();
      }

      auto station = RunSQLOrThrow(db_, log_, kStationQuery, {SqlText(record->StationName)});
      const int32_t kind = StrToIntDef(GetField(text, 2), 1);
      if (kind == ctAdmin) {
        record->StationName = "Admin";
        record->StationLopnr = -1;
        record->FriendlyName = "Admin";
        record->StationType = ctAdmin;
      } else if (!station->Eof()) {
        record->StationLopnr = station->AsInteger("LOPNR");
        record->FriendlyName = station->AsString("FRIENDLYNAME");
        record->StationType = static_cast<TTAVOClientType>(kind & 0xFF);
        record->StationColour = station->AsInteger("NAMECOLOUR");
        record->IMEINumber = station->AsString("IMEINUMBER");
        if (!silent) socket->SendText(ClientData(*record));
      } else if (!silent) {
        socket->SendText(FrameReply(
            "ERROR: 001 " + record->StationName + " finns ej upplagd i Systemet!",
            record->isAndroid));
      }
    }

    if (record->StationLopnr != -1) {
      record->Callables.clear();
      auto rows = RunSQLOrThrow(db_, log_, kStationResourcesQuery, {SqlInt(record->StationLopnr)});
      if (rows->Eof()) errorText = kNoResources;
      for (; !rows->Eof(); rows->Next()) {
        const int32_t lopnr = rows->AsInteger("LOPNR");
        const TCallObject* entry = FindCallObject(lopnr);
        if (!entry) break;  // a resource the call list does not know yet ends the list
        const TCaller* call = nullptr;
        for (const auto& c : entry->CurrentCallList) {
          if (c->CallerLopnr == record->StationLopnr) {
            call = c.get();
            break;
          }
        }
        record->Callables.push_back(TCallables{lopnr, rows->AsInteger("IXLOPNR")});
        if (record->StationType == ctCall) {
          list += rows->AsString("CALLNAME") + "~";
          list += std::to_string(lopnr) + "~";
          list += rows->AsString("FULLNAME") + "~";
          list += std::to_string(rows->AsInteger("NAMECOLOUR")) + "~";
          list += BoolText(lopnr == cancelLopnr) + "~";
          list += BoolText(call != nullptr) + "~";
          list += DateTimeToStr(call ? call->CallTimeStamp : 0) + "~";
          list += (call ? call->CallComingName : std::string()) + "~";
          list += DateTimeToStr(call ? call->CallComingTimeStamp : 0) + "~";
          list += std::to_string(call ? call->CallComingLopnr : 0) + "~";
        }
      }
      rows.reset();

      if (!silent) {
        switch (record->StationType) {
          case ctCall:
            socket->SendText(FrameReply(list + "RETCALLLIST" + kBlockMarker, record->isAndroid));
            if (!errorText.empty()) socket->SendText(errorText + "\r\n");
            break;
          case ctShow:
          case ctHardware:
            // Rendered from the connection's own record: on an administration connection
            // that is the administration record, whose list is empty.
            UpdateVisningsScreens(socket);
            break;
          default:
            break;
        }
      }
    }

    // A connection whose station is unknown is left as new for its next request.
    if (record->StationLopnr == -1 && record->StationType != ctAdmin && !temporary)
      socket->Data.reset();
  } catch (const std::exception& e) {
    LogFailure("SendClientList", e.what());
  }
}

void TCallService::UpdateAllClients(int32_t resourceLopnr, bool lineMode) {
  TBroadcastTimer timed(metrics_, TBroadcastKind::Resource);
  try {
    for (const auto& socket : mainConnections_()) {
      if (!socket->Data) continue;
      const auto& items = socket->Data->Callables;
      const bool lists = std::any_of(items.begin(), items.end(), [&](const TCallables& item) {
        return item.CallableLopnr == resourceLopnr;
      });
      if (lists) SendClientList("", socket, lineMode, false);
    }
  } catch (const std::exception& e) {
    LogFailure("UpdateAllClients", e.what());
  }
}

void TCallService::UpdateStationClients(const TClientSocketPtr& socket, bool lineMode) {
  if (!socket->Data) throw std::logic_error("UpdateStationClients: the connection has not signed on");
  const std::string name = socket->Data->StationName;
  TBroadcastTimer timed(metrics_, TBroadcastKind::Station);
  for (const auto& other : mainConnections_()) {
    if (other->Data && other->Data->StationName == name) SendClientList("", other, lineMode, false);
  }
}

}  // namespace tavo
