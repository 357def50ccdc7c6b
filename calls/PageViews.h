// What the browser pages show, as plain values copied out of the call list and the stations:
// a display's list as rows (exactly what its CURRENTLIST says, in the same order) and the
// stations with their connected flag. Nothing here points into the call model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/TAVOcommon.h"

namespace tavo {

// One open call as a display shows it.
struct TShownCall {
  std::string CallerName;
  int32_t CallerLopnr = 0;
  TDateTime CallTime = 0;
  TColor CallerColour = 0;
  int32_t ComingLopnr = 0;  // 0 while nobody has answered
  TDateTime ComingTime = 0;
  std::string ComingName;
  bool operator==(const TShownCall&) const = default;
};

// One resource part of the list, with its calls oldest first.
struct TShownResource {
  std::string Name;
  int32_t Lopnr = 0;
  TColor Colour = 0;
  int32_t Position = 0;  // its place in the station's list
  std::vector<TShownCall> Calls;
  bool operator==(const TShownResource&) const = default;
};

using TDisplayView = std::vector<TShownResource>;

// A station that a page may show: its identity and its current list.
struct TStationView {
  std::string StationName;
  std::string FriendlyName;
  TDisplayView Resources;
};

// A station of STATIONS and whether a connection is signed on under its name now.
struct TStationPresence {
  std::string StationName;
  std::string FriendlyName;
  int32_t StationType = 0;  // STATIONTYPE: 0 call, 1 display, 2 administration, 3 hardware
  bool Connected = false;
  // What the station supervision says of it ("online", "away", "waiting", "offline"); empty
  // for a station it does not watch.
  std::string Supervision;
};

}  // namespace tavo
