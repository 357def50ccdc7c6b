#include "calls/KeptReads.h"

#include "database/SqlHelpers.h"

namespace tavo {
namespace {

const char kStationResourcesQuery[] =
    "SELECT CALLLIST.IXLOPNR, CALLABLES.* FROM CALLLIST, CALLABLES WHERE "
    "CALLLIST.STATIONSLOPNR = ? AND CALLLIST.CALLABLESLOPNR = CALLABLES.LOPNR AND "
    "CALLABLES.AKTIV = 'T' ORDER BY CALLLIST.IXLOPNR ASC";
const char kStationQuery[] = "SELECT * FROM STATIONS WHERE STATIONNAME = ?";

}  // namespace

void TKeptReads::Check() {
  std::optional<int64_t> now;
  try {
    now = db_.DataVersion();
  } catch (const std::exception&) {
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
}

int32_t TKeptReads::CancelResourceLopnrOrThrow() {
  if (cancelLopnr_) return *cancelLopnr_;
  const int32_t lopnr = GetIntSettingOrThrow(db_, log_, "AVBRYTCALLNAME");
  if (keeping_) cancelLopnr_ = lopnr;
  return lopnr;
}

int32_t TKeptReads::CancelResourceLopnr() {
  try {
    return CancelResourceLopnrOrThrow();
  } catch (const std::exception& e) {
    log_.IncErrorCount();
    log_.Logg(std::string("Error in GetIntSetting: ") + e.what(), ltError);
    return 0;
  }
}

std::shared_ptr<const TStationResources> TKeptReads::StationResources(int32_t stationLopnr) {
  if (keeping_) {
    auto it = stations_.find(stationLopnr);
    if (it != stations_.end()) return it->second;
  }
  auto list = std::make_shared<TStationResources>();
  auto rows = RunSQLOrThrow(db_, log_, kStationResourcesQuery, {SqlInt(stationLopnr)});
  for (; !rows->Eof(); rows->Next()) {
    list->push_back(TListedResource{rows->AsInteger("LOPNR"), rows->AsInteger("IXLOPNR"),
                                    rows->AsString("CALLNAME"), rows->AsString("FULLNAME"),
                                    rows->AsInteger("NAMECOLOUR")});
  }
  if (keeping_) stations_[stationLopnr] = list;
  return list;
}

std::optional<TStationRow> TKeptReads::Station(const std::string& name) {
  if (keeping_) {
    auto it = stationRows_.find(name);
    if (it != stationRows_.end()) return it->second;
  }
  std::optional<TStationRow> row;
  auto rows = RunSQLOrThrow(db_, log_, kStationQuery, {SqlText(name)});
  if (!rows->Eof())
    row = TStationRow{rows->AsInteger("LOPNR"), rows->AsString("FRIENDLYNAME"),
                      rows->AsInteger("STATIONTYPE")};
  if (keeping_) stationRows_[name] = row;
  return row;
}

}  // namespace tavo
