// Where the pages' facts come from, each behind a small function so that a richer source
// can replace the first one: the supervision of stations for the connected flag, the SMS
// outbox for the dispatch counts, the serving role for the fixed one. The list functions run
// on the main thread and throw when the database cannot tell.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "calls/PageViews.h"

namespace tavo {

struct TSmsCounts {
  int64_t Queued = 0;  // waiting for the gateway
  int64_t Failed = 0;  // given up on
};

struct TPageSources {
  // One view per name, nullopt for a name that is no display or hardware station.
  std::function<std::vector<std::optional<TStationView>>(const std::vector<std::string>& names)>
      StationViews;
  std::function<std::vector<TStationPresence>()> Stations;
  std::function<TDisplayView()> OpenCalls;
  // Seconds after which an unanswered call to the resource counts as escalated; none: never.
  std::function<std::optional<int>(int32_t resourceLopnr)> EscalationSeconds;
  std::function<TSmsCounts()> Sms;
  std::function<std::string()> Role;
  std::function<std::string()> ClinicName;
  std::function<TDateTime()> Now;
  std::string Version;
};

}  // namespace tavo
