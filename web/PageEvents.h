// The events the pages receive, as Server-Sent Events with one line of JSON each: "list" (a
// display's list, exactly its CURRENTLIST as rows), "overview" (stations, open calls, SMS,
// role, version) and "clock" (the server's time, which the ages count from). Names and
// texts go out as UTF-8; nothing a display station would not be sent is in them.
#pragma once

#include <string>
#include <vector>

#include "web/PageSources.h"

namespace tavo {

struct TOverviewFacts {
  std::string ClinicName;
  std::string Version;
  std::string Role;
  std::vector<TStationPresence> Stations;
  TDisplayView Calls;
  std::optional<TSmsCounts> Sms;
};

// The resources of a list, rendered once for every display whose list is the same.
std::string ResourcesJson(const TDisplayView& resources, const TPageSources& sources);
std::string DisplayEvent(const TStationView& view, const std::string& resourcesJson);
// The event of a page whose station was deleted or is no display any more.
std::string MissingEvent();
std::string OverviewEvent(const TOverviewFacts& facts, const TPageSources& sources);
std::string ClockEvent(TDateTime now);

}  // namespace tavo
