// The lists for the browser pages: a display's list as rows, the open calls, the stations.
// Read like a sign-on, from the same call list and kept reads, on the main thread.
#include <algorithm>

#include "calls/CallService.h"
#include "database/SqlHelpers.h"

namespace tavo {
namespace {

bool ShowsCalls(int32_t stationType) { return stationType == ctShow || stationType == ctHardware; }

TShownResource Shown(const TCallObject& entry, int32_t position) {
  TShownResource r{entry.CallName, entry.CallLopnr, entry.CallColour, position, {}};
  r.Calls.reserve(entry.CurrentCallList.size());
  for (const auto& c : entry.CurrentCallList)
    r.Calls.push_back(TShownCall{c->CallerName, c->CallerLopnr, c->CallTimeStamp, c->CallerColour,
                                 c->CallComingLopnr, c->CallComingTimeStamp, c->CallComingName});
  return r;
}

}  // namespace

std::vector<std::optional<TStationView>> TCallService::StationViews(
    const std::vector<std::string>& names) {
  TRound round(*this);
  const int32_t cancelLopnr = kept_.CancelResourceLopnrOrThrow();
  std::vector<std::optional<TStationView>> views;
  views.reserve(names.size());
  for (const std::string& name : names) {
    const auto station = kept_.KeptStation(name);
    if (!station || !ShowsCalls(station->StationType)) {
      views.emplace_back();
      continue;
    }
    TStationView view{name, station->FriendlyName, {}};
    // The station's resources as its sign-on lists them: a resource the call list does not
    // know yet ends the list.
    std::vector<TCallables> callables;
    const auto listed = kept_.StationResources(station->Lopnr);
    for (const TListedResource& row : *listed) {
      if (!FindCallObject(row.Lopnr)) break;
      callables.push_back(TCallables{row.Lopnr, row.IX});
    }
    ForEachShown(callables, cancelLopnr, [&](const TCallObject& entry, int32_t position) {
      view.Resources.push_back(Shown(entry, position));
    });
    views.push_back(std::move(view));
  }
  return views;
}

std::vector<TStationPresence> TCallService::Stations() {
  TRound round(*this);
  std::vector<TStationPresence> stations;
  const auto directory = kept_.Stations();
  for (const auto& [name, row] : *directory)
    stations.push_back(TStationPresence{name, row.FriendlyName, row.StationType, false, {}});
  for (const auto& socket : mainConnections_()) {
    if (!socket->Data || socket->Data->StationLopnr == -1) continue;
    for (auto& s : stations)
      if (s.StationName == socket->Data->StationName) s.Connected = true;
  }
  return stations;
}

TDisplayView TCallService::OpenCallsView() {
  TRound round(*this);
  const int32_t cancelLopnr = kept_.CancelResourceLopnrOrThrow();
  TDisplayView view;
  for (const auto& entry : CallList_)
    if (!entry->CurrentCallList.empty() && entry->CallLopnr != cancelLopnr)
      view.push_back(Shown(*entry, 0));
  return view;
}

}  // namespace tavo
