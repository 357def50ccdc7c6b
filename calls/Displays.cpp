// CURRENTLIST: the whole current state of the calls, rendered for one display or hardware
// connection from its station's resource list, and sent whenever it may have changed.
#include <stdexcept>

#include "calls/CallService.h"
#include "protocol/WireFormat.h"

namespace tavo {

void TCallService::RenderCurrentListInto(std::string& text, const TTAVOConnectInfo& record,
                                         int32_t cancelLopnr) const {
  text += kBlockMarker;
  text += "CURRENTLIST:";
  ForEachShown(record.Callables, cancelLopnr, [&](const TCallObject& entry, int32_t position) {
    text += entry.CallName + ":" + std::to_string(entry.CallLopnr) + ":" +
            std::to_string(entry.CallColour) + ":" + std::to_string(position) + ":" +
            kBlockMarker + "%";
    for (const auto& c : entry.CurrentCallList) {
      // The answering station's number comes before the answer's time and name here.
      text += c->CallerName + "~" + std::to_string(c->CallerLopnr) + "~" +
              DateTimeToStr(c->CallTimeStamp) + "~" + std::to_string(c->CallerColour) + "~" +
              std::to_string(c->CallComingLopnr) + "~" + DateTimeToStr(c->CallComingTimeStamp) +
              "~" + c->CallComingName + "~";
    }
    text += "%";
    text += kBlockMarker;
    text += ":";
  });
  text += "CURRENTLIST";
  text += kBlockMarker;
}

std::string TCallService::RenderCurrentList(const TTAVOConnectInfo& record,
                                            int32_t cancelLopnr) const {
  std::string text;
  RenderCurrentListInto(text, record, cancelLopnr);
  return text;
}

void TCallService::SendCurrentList(const TClientSocketPtr& socket, int32_t cancelLopnr) {
  if (!socket->Data) throw std::logic_error("the connection has not signed on");
  const TTAVOConnectInfo& record = *socket->Data;
  TRound round(*this);
  TSharedReply reply = memo_.Find(record.Callables, record.isAndroid, cancelLopnr);
  if (!reply) {
    // Framed in place: the reply is built once and never copied.
    auto text = std::make_shared<std::string>();
    if (!record.isAndroid) *text += kDataStart;
    RenderCurrentListInto(*text, record, cancelLopnr);
    if (!record.isAndroid) *text += kDataEnd;
    *text += "\r\n";
    reply = std::move(text);
    memo_.Keep(record.Callables, record.isAndroid, cancelLopnr, reply);
  }
  socket->SendShared(std::move(reply), TReplyKind::CurrentList);
}

void TCallService::UpdateVisningsScreens(const TClientSocketPtr& socket) {
  try {
    TRound round(*this);
    const int32_t cancelLopnr = CancelResourceLopnr();
    if (socket) {
      SendCurrentList(socket, cancelLopnr);
      return;
    }
    ListsChanged();
    TBroadcastTimer timed(metrics_, TBroadcastKind::Displays);
    for (const auto& s : mainConnections_()) {
      if (s->Data && (s->Data->StationType == ctShow || s->Data->StationType == ctHardware))
        SendCurrentList(s, cancelLopnr);
    }
  } catch (const std::exception& e) {
    log_.LogFailure("UpdateVisningsScreens", e);
  }
}

}  // namespace tavo
