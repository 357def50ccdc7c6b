// What the station lists read from the database: the resources each station lists, with
// their place in its list, and the cancel resource. Kept for as long as it is still what the
// database holds: our own changes drop it through Forget(), changes made by anything else
// through the database's data version, checked by Check() before each round of reads. On a
// backend without a data version nothing is kept and every read goes to the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/Database.h"
#include "platform/Logging.h"

namespace tavo {

// One row of a station's resource list.
struct TListedResource {
  int32_t Lopnr = 0;
  int32_t IX = 0;
  std::string CallName;
  std::string FullName;
  int32_t Colour = 0;
};
using TStationResources = std::vector<TListedResource>;

// The first STATIONS row of a name, as a sign-on finds it.
struct TStationRow {
  int32_t Lopnr = 0;
  std::string FriendlyName;
  int32_t StationType = 0;
};

class TKeptReads {
 public:
  TKeptReads(TDatabase& db, TLogging& log) : db_(db), log_(log) {}

  // Drops what was kept when the database changed since it was read, or when that cannot be
  // told. Call before each request's or broadcast's reads.
  void Check();
  // Our own command changed the database.
  void Forget();

  // The setting AVBRYTCALLNAME; 0 when absent. A failed read is counted and logged as
  // GetIntSetting does, gives 0 and is not kept.
  int32_t CancelResourceLopnr();
  // The same, but a failed read is thrown (logged by RunSQL) and counts nothing.
  int32_t CancelResourceLopnrOrThrow();
  // The active resources of the station's list in list order; throws when the query fails
  // (logged by RunSQL).
  std::shared_ptr<const TStationResources> StationResources(int32_t stationLopnr);
  // The station of that name, or nullopt; throws when the query fails (logged by RunSQL).
  std::optional<TStationRow> Station(const std::string& name);

 private:
  TDatabase& db_;
  TLogging& log_;
  bool keeping_ = false;  // the kept reads belong to version_
  int64_t version_ = 0;
  std::optional<int32_t> cancelLopnr_;
  std::unordered_map<int32_t, std::shared_ptr<const TStationResources>> stations_;
  std::unordered_map<std::string, std::optional<TStationRow>> stationRows_;
};

}  // namespace tavo
