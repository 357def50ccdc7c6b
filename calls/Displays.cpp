// CURRENTLIST: the whole current state of the calls, rendered for one display or hardware
// connection from its station's resource list, and sent whenever it may have changed.
#include <stdexcept>

#include "calls/CallService.h"
#include "protocol/WireFormat.h"

namespace tavo {

std::string TCallService::RenderCurrentList(const TTAVOConnectInfo& record,
                                            int32_t cancelLopnr) const {
  std::string text = std::string(1, kBlockMarker) + "CURRENTLIST:";
  for (const auto& entry : CallList_) {
    int32_t position = -1;
    for (const auto& item : record.Callables) {
      if (item.CallableLopnr == entry->CallLopnr) {
        position = item.CallableIX;
        break;
      }
    }
    if (entry->CallLopnr == cancelLopnr || position == -1) continue;
    text += entry->CallName + ":" + std::to_string(entry->CallLopnr) + ":" +
            std::to_string(entry->CallColour) + ":" + std::to_string(position) + ":" +
            kBlockMarker + "%";
    for (const auto& c : entry->CurrentCallList) {
      // The answering station's number comes before the answer's time and name here.
      text += c->CallerName + "~" + std::to_string(c->CallerLopnr) + "~" +
              DateTimeToStr(c->CallTimeStamp) + "~" + std::to_string(c->CallerColour) + "~" +
              std::to_string(c->CallComingLopnr) + "~" + DateTimeToStr(c->CallComingTimeStamp) +
              "~" + c->CallComingName + "~";
    }
    text += "%";
    text += kBlockMarker;
    text += ":";
  }
  text += "CURRENTLIST";
  text += kBlockMarker;
  return text;
}

void TCallService::SendCurrentList(const TClientSocketPtr& socket, int32_t cancelLopnr) {
  if (!socket->Data) throw std::logic_error("the connection has not signed on");
  const TTAVOConnectInfo& record = *socket->Data;
  socket->SendText(FrameReply(RenderCurrentList(record, cancelLopnr), record.isAndroid));
}

void TCallService::UpdateVisningsScreens(const TClientSocketPtr& socket) {
  try {
    const int32_t cancelLopnr = CancelResourceLopnr();
    if (socket) {
      SendCurrentList(socket, cancelLopnr);
      return;
    }
    TBroadcastTimer timed(metrics_, TBroadcastKind::Displays);
    for (const auto& s : mainConnections_()) {
      if (s->Data && (s->Data->StationType == ctShow || s->Data->StationType == ctHardware))
        SendCurrentList(s, cancelLopnr);
    }
  } catch (const std::exception& e) {
    LogFailure("UpdateVisningsScreens", e.what());
  }
}

}  // namespace tavo
