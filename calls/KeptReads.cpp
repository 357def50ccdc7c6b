#include "calls/KeptReads.h"

#include "database/SqlHelpers.h"

namespace tavo {
namespace {

const char kStationResourcesQuery[] =
    "SELECT CALLLIST.IXLOPNR, CALLABLES.* FROM CALLLIST, CALLABLES WHERE "
    "CALLLIST.STATIONSLOPNR = ? AND CALLLIST.CALLABLESLOPNR = CALLABLES.LOPNR AND "
    "CALLABLES.AKTIV = 'T' ORDER BY CALLLIST.IXLOPNR ASC";

const char kAllStationResourcesQuery[] =
    "SELECT CALLLIST.STATIONSLOPNR, CALLLIST.IXLOPNR, CALLABLES.* FROM CALLLIST, CALLABLES WHERE "
    "CALLLIST.CALLABLESLOPNR = CALLABLES.LOPNR AND CALLABLES.AKTIV = 'T' "
    "ORDER BY CALLLIST.STATIONSLOPNR, CALLLIST.IXLOPNR ASC";

const char kStationQuery[] = "SELECT * FROM STATIONS WHERE STATIONNAME = ?";
const char kAllStationsQuery[] = "SELECT * FROM STATIONS ORDER BY STATIONNAME, LOPNR";

TStationRow RowOf(TQuery& row) {
  return TStationRow{row.AsInteger("LOPNR"), row.AsString("FRIENDLYNAME"),
                     row.AsInteger("NAMECOLOUR"), row.AsString("IMEINUMBER"),
                     row.AsInteger("STATIONTYPE")};
}

TListedResource ListedOf(TQuery& row) {
  return TListedResource{row.AsInteger("LOPNR"), row.AsInteger("IXLOPNR"), row.AsString("CALLNAME"),
                         row.AsString("FULLNAME"), row.AsInteger("NAMECOLOUR")};
}

std::shared_ptr<const TStationDirectory> DirectoryOf(TQuery& rows) {
  auto directory = std::make_shared<TStationDirectory>();
  for (; !rows.Eof(); rows.Next()) directory->emplace_back(rows.AsString("STATIONNAME"), RowOf(rows));
  return directory;
}

}  // namespace

std::optional<TStationRow> TKeptReads::Station(const std::string& name) {
  std::unique_ptr<TQuery> row;
  try {
    row = RunSQLOrThrow(db_, log_, kStationQuery, {SqlText(name)});
  } catch (const std::exception& e) {
    auto last = lastSignOns_.find(name);
    if (!IsKnownOutage(e) || last == lastSignOns_.end()) throw;
    return last->second;  // a station that signs on again while the database is down
  }
  std::optional<TStationRow> station;
  if (!row->Eof()) station = RowOf(*row);
  lastSignOns_[name] = station;
  return station;
}

std::optional<TStationRow> TKeptReads::KeptStation(const std::string& name) {
  if (keeping_) {
    auto it = stationRows_.find(name);
    if (it != stationRows_.end()) return it->second;
  }
  auto row = Station(name);
  if (keeping_) stationRows_[name] = row;
  return row;
}

std::shared_ptr<const TStationDirectory> TKeptReads::Stations() {
  if (keeping_ && directory_) return directory_;
  std::unique_ptr<TQuery> rows;
  try {
    rows = RunSQLOrThrow(db_, log_, kAllStationsQuery);
  } catch (const std::exception& e) {
    if (!IsKnownOutage(e) || !lastDirectory_) throw;
    return lastDirectory_;
  }
  auto directory = DirectoryOf(*rows);
  if (keeping_) directory_ = directory;
  lastDirectory_ = directory;
  return directory;
}

void TKeptReads::Prime() {
  const auto directory = DirectoryOf(*db_.Open(kAllStationsQuery));
  lastDirectory_ = directory;
  std::unordered_map<int32_t, std::shared_ptr<TStationResources>> lists;
  std::unordered_map<std::string, std::optional<TStationRow>> signOns;
  for (const auto& [name, row] : *directory) {
    signOns.try_emplace(name, row);  // the first row of a name, as a sign-on reads it
    lists.try_emplace(row.Lopnr, std::make_shared<TStationResources>());
  }
  auto rows = db_.Open(kAllStationResourcesQuery);
  for (; !rows->Eof(); rows->Next()) {
    auto list = lists.find(rows->AsInteger("STATIONSLOPNR"));
    if (list == lists.end()) continue;  // a list of a station that is gone
    list->second->push_back(ListedOf(*rows));
  }
  for (auto& [lopnr, list] : lists) lastStations_[lopnr] = std::move(list);
  for (auto& [name, row] : signOns) lastSignOns_[name] = std::move(row);
}

void TKeptReads::Check() {
  std::optional<int64_t> now;
  try {
    now = db_.DataVersion();
  } catch (const std::exception& e) {
    // The database is down: the lists are served as last read until it is back.
    if (IsKnownOutage(e)) return;
    // Unknown: keep nothing; the reads themselves report what is wrong with the database.
  }
  if (!now || !keeping_ || *now != version_) Forget();
  if (now) {
    keeping_ = true;
    version_ = *now;
  }
}

void TKeptReads::Forget() {
  keeping_ = false;
  cancelLopnr_.reset();
  stations_.clear();
  stationRows_.clear();
  directory_.reset();
}

int32_t TKeptReads::CancelResourceLopnrOrThrow() {
  if (cancelLopnr_) return *cancelLopnr_;
  try {
    const int32_t lopnr = GetIntSettingOrThrow(db_, log_, "AVBRYTCALLNAME");
    if (keeping_) cancelLopnr_ = lopnr;
    lastCancelLopnr_ = lopnr;
    return lopnr;
  } catch (const std::exception& e) {
    if (IsKnownOutage(e)) return lastCancelLopnr_;
    throw;
  }
}

int32_t TKeptReads::CancelResourceLopnr() {
  try {
    return CancelResourceLopnrOrThrow();
  } catch (const std::exception& e) {
    log_.LogFailure("GetIntSetting", e);
    return 0;
  }
}

std::shared_ptr<const TStationResources> TKeptReads::StationResources(int32_t stationLopnr) {
  if (keeping_) {
    auto it = stations_.find(stationLopnr);
    if (it != stations_.end()) return it->second;
  }
  auto list = std::make_shared<TStationResources>();
  std::unique_ptr<TQuery> rows;
  try {
    rows = RunSQLOrThrow(db_, log_, kStationResourcesQuery, {SqlInt(stationLopnr)});
  } catch (const std::exception& e) {
    auto last = lastStations_.find(stationLopnr);
    if (!IsKnownOutage(e) || last == lastStations_.end()) throw;
    return last->second;
  }
  for (; !rows->Eof(); rows->Next()) list->push_back(ListedOf(*rows));
  if (keeping_) stations_[stationLopnr] = list;
  lastStations_[stationLopnr] = list;
  return list;
}

}  // namespace tavo
