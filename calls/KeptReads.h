// What the station lists read from the database: the resources each station lists, with
// their place in its list, and the cancel resource. Kept for as long as it is still what the
// database holds: our own changes drop it through Forget(), changes made by anything else
// through the database's data version, checked by Check() before each round of reads. On a
// backend without a data version nothing is kept and every read goes to the database.
// While the database is down (a known outage) every read is served as it was last read, on
// any backend, so the stations keep their lists and a station that connects again can sign on
// again, as can every station of the last Prime; what was never read cannot be served.
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

// The STATIONS row a station signs on with.
struct TStationRow {
  int32_t Lopnr = 0;
  std::string FriendlyName;
  int32_t Colour = 0;
  std::string IMEINumber;
  int32_t StationType = 0;
};

// Every station by name, in STATIONNAME order.
using TStationDirectory = std::vector<std::pair<std::string, TStationRow>>;

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
  // The first station row with this name, or nothing; always read from the database while it
  // answers. Throws when the query fails (logged by RunSQL).
  std::optional<TStationRow> Station(const std::string& name);
  // The same, kept while the database has not changed: for readers that ask again and again.
  std::optional<TStationRow> KeptStation(const std::string& name);
  // Every station; throws when the query fails (logged by RunSQL).
  std::shared_ptr<const TStationDirectory> Stations();
  // Reads every station and every station's list at once, as the last reads: while the
  // database is down, a station that has not signed on since can sign on with what the
  // database held then. Throws when a query fails; nothing is logged or counted, since the
  // reads a sign-on makes while the database answers do not need it.
  void Prime();

 private:
  TDatabase& db_;
  TLogging& log_;
  bool keeping_ = false;  // the kept reads belong to version_
  int64_t version_ = 0;
  std::optional<int32_t> cancelLopnr_;
  std::unordered_map<int32_t, std::shared_ptr<const TStationResources>> stations_;
  std::unordered_map<std::string, std::optional<TStationRow>> stationRows_;
  std::shared_ptr<const TStationDirectory> directory_, lastDirectory_;
  // The last reads, whatever the version: served while the database is down.
  int32_t lastCancelLopnr_ = 0;
  std::unordered_map<int32_t, std::shared_ptr<const TStationResources>> lastStations_;
  std::unordered_map<std::string, std::optional<TStationRow>> lastSignOns_;
};

}  // namespace tavo
