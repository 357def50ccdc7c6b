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
    TRound round(*this);
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

      const std::optional<TStationRow> station = kept_.Station(record->StationName);
      const int32_t kind = StrToIntDef(GetField(text, 2), 1);
      if (kind == ctAdmin) {
        record->StationName = "Admin";
        record->StationLopnr = -1;
        record->FriendlyName = "Admin";
        record->StationType = ctAdmin;
      } else if (station) {
        record->StationLopnr = station->Lopnr;
        record->FriendlyName = station->FriendlyName;
        record->StationType = static_cast<TTAVOClientType>(kind & 0xFF);
        record->StationColour = station->Colour;
        record->IMEINumber = station->IMEINumber;
        if (!silent) socket->SendText(ClientData(*record));
      } else if (!silent) {
        socket->SendText(FrameReply(
            "ERROR: 001 " + record->StationName + " finns ej upplagd i Systemet!",
            record->isAndroid));
      }
    }

    if (record->StationLopnr != -1) {
      record->Callables.clear();
      const auto listed = kept_.StationResources(record->StationLopnr);
      if (listed->empty()) errorText = kNoResources;
      for (const TListedResource& row : *listed) {
        const TCallObject* entry = FindCallObject(row.Lopnr);
        if (!entry) break;  // a resource the call list does not know yet ends the list
        const TCaller* call = nullptr;
        for (const auto& c : entry->CurrentCallList) {
          if (c->CallerLopnr == record->StationLopnr) {
            call = c.get();
            break;
          }
        }
        record->Callables.push_back(TCallables{row.Lopnr, row.IX});
        if (record->StationType == ctCall) {
          list += row.CallName + "~";
          list += std::to_string(row.Lopnr) + "~";
          list += row.FullName + "~";
          list += std::to_string(row.Colour) + "~";
          list += BoolText(row.Lopnr == cancelLopnr) + "~";
          list += BoolText(call != nullptr) + "~";
          list += DateTimeToStr(call ? call->CallTimeStamp : 0) + "~";
          list += (call ? call->CallComingName : std::string()) + "~";
          list += DateTimeToStr(call ? call->CallComingTimeStamp : 0) + "~";
          list += std::to_string(call ? call->CallComingLopnr : 0) + "~";
        }
      }

      if (!silent) {
        switch (record->StationType) {
          case ctCall:
            // The connection's own list replaces an older one still waiting; a list asked for
            // on an administration connection is an answer of its own.
            socket->SendShared(std::make_shared<const std::string>(FrameReply(
                                   list + "RETCALLLIST" + kBlockMarker, record->isAndroid)),
                               temporary ? TReplyKind::Other : TReplyKind::RetCallList);
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
    log_.LogFailure("SendClientList", e);
  }
}

void TCallService::UpdateAllClients(int32_t resourceLopnr, bool lineMode) {
  TBroadcastTimer timed(metrics_, TBroadcastKind::Resource);
  ListsChanged();
  try {
    TRound round(*this);
    for (const auto& socket : mainConnections_()) {
      if (!socket->Data) continue;
      const auto& items = socket->Data->Callables;
      const bool lists = std::any_of(items.begin(), items.end(), [&](const TCallables& item) {
        return item.CallableLopnr == resourceLopnr;
      });
      if (lists) SendClientList("", socket, lineMode, false);
    }
  } catch (const std::exception& e) {
    log_.LogFailure("UpdateAllClients", e);
  }
}

void TCallService::ResendAllLists(bool lineMode) {
  try {
    TRound round(*this);
    for (const auto& socket : mainConnections_()) {
      if (!socket->Data) continue;
      const TTAVOClientType kind = socket->Data->StationType;
      if (kind == ctCall || kind == ctShow || kind == ctHardware)
        SendClientList("", socket, lineMode, false);
    }
  } catch (const std::exception& e) {
    log_.LogFailure("ResendAllLists", e);
  }
}

void TCallService::UpdateStationClients(const TClientSocketPtr& socket, bool lineMode) {
  if (!socket->Data) throw std::logic_error("UpdateStationClients: the connection has not signed on");
  const std::string name = socket->Data->StationName;
  TBroadcastTimer timed(metrics_, TBroadcastKind::Station);
  TRound round(*this);
  for (const auto& other : mainConnections_()) {
    if (other->Data && other->Data->StationName == name) SendClientList("", other, lineMode, false);
  }
}

}  // namespace tavo
