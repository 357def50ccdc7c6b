// TStationSupervision: display and hardware stations are expected to be connected. One that has
// been without a connection for "SupervisionSeconds" (registry, default 60) is reported offline
// with one warning entry, and its return with an information entry saying how long it was away.
// A station not seen since start-up (or since it was added) is reported once that long after,
// so that a restart raises no alarm for the minute the stations need to come back. Stations
// marked not supervised (table STATIONSUPERVISION) are never reported. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Registry.h"
#include "common/TAVOcommon.h"
#include "database/Database.h"
#include "platform/ClientSocket.h"
#include "platform/Logging.h"

namespace tavo {

inline constexpr const char* kSupervisionSecondsValue = "SupervisionSeconds";
inline constexpr int32_t kDefaultSupervisionSeconds = 60;

// What is known of one display or hardware station.
struct TWatchedStation {
  int32_t Lopnr = 0;
  std::string Name;          // STATIONNAME
  std::string FriendlyName;  // FRIENDLYNAME
  TTAVOClientType Type = ctShow;  // from STATIONTYPE: ctShow or ctHardware
  bool Supervised = true;
  bool Connected = false;
  bool Seen = false;            // has been connected since it was first expected
  bool ReportedOffline = false;
  // Since when it is connected, or without a connection (its last one ended, or it was first
  // expected): the wall clock for texts, the monotonic clock for how long.
  TDateTime Since = 0;
  std::chrono::steady_clock::time_point SinceSteady{};
};

// "online"; "away" (gone for less than the limit) or "waiting" (not seen within the grace after
// the start), not reported yet; "offline".
const char* SupervisionState(const TWatchedStation& s);

class TStationSupervision {
 public:
  // The connections of the main listener.
  using TConnectionsFn = std::function<std::vector<TClientSocketPtr>()>;

  // Reads the stations at once: they are expected from now on.
  TStationSupervision(TDatabase& db, TLogging& log, const TClock& clock, TRegistryStore& registry,
                      TConnectionsFn connections);
  TStationSupervision(const TStationSupervision&) = delete;
  TStationSupervision& operator=(const TStationSupervision&) = delete;

  // Compares the open connections with the stations and reports what changed; re-reads the
  // tables every ten ticks (and at the next tick after StationsChanged). Never throws.
  void Tick();
  // A command changed STATIONS or STATIONSUPERVISION: read them at the next tick.
  void StationsChanged() { reread_ = true; }

  // Stores whether the station is supervised; throws EDatabaseError. A station that stops being
  // supervised while reported offline is simply no longer reported.
  void SetSupervised(int32_t stationLopnr, bool supervised);

  // Every display and hardware station, in STATIONNAME order.
  const std::vector<TWatchedStation>& Stations() const { return stations_; }
  int StationsOffline() const;
  // "SupervisionSeconds" as it is now: a value that is no positive number gives the default.
  std::chrono::seconds Limit();

 private:
  // Reads STATIONS and STATIONSUPERVISION and merges them into what is known; false when the
  // database could not be read (logged once until it can again).
  bool Reload();

  TDatabase& db_;
  TLogging& log_;
  const TClock& clock_;
  TRegistryStore& registry_;
  TConnectionsFn connections_;
  std::vector<TWatchedStation> stations_;
  bool reread_ = false;
  int ticksSinceRead_ = 0;
  std::string readProblem_;  // the last read failure logged, empty after a good read
  std::string limitText_;    // the registry text last warned about
};

}  // namespace tavo
