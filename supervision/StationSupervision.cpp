#include "supervision/StationSupervision.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/StrUtils.h"

namespace tavo {

const char* SupervisionState(const TWatchedStation& s) {
  if (s.Connected) return "online";
  if (s.Supervised && !s.ReportedOffline) return s.Seen ? "away" : "waiting";
  return "offline";
}
namespace {

// The tables are read again this often (ticks of about a second): changes made by other
// programs are noticed within it.
constexpr int kReadEveryTicks = 10;

std::string Who(const TWatchedStation& s) { return "Station " + s.Name + " (" + s.FriendlyName + ")"; }

std::string Seconds(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

}  // namespace

TStationSupervision::TStationSupervision(TDatabase& db, TLogging& log, const TClock& clock,
                                         TRegistryStore& registry, TConnectionsFn connections)
    : db_(db), log_(log), clock_(clock), registry_(registry), connections_(std::move(connections)) {
  Reload();
}

std::chrono::seconds TStationSupervision::Limit() {
  const std::string text =
      Trim(registry_.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, kSupervisionSecondsValue));
  const int32_t value = StrToIntDef(text, -1);
  if (value >= 1) return std::chrono::seconds(value);
  if (!text.empty() && text != limitText_)
    log_.Logg(std::string(kSupervisionSecondsValue) + " \"" + text +
                  "\" is not a number of seconds; stations are reported after " +
                  std::to_string(kDefaultSupervisionSeconds) + " s",
              ltWarning);
  limitText_ = text;
  return std::chrono::seconds(kDefaultSupervisionSeconds);
}

int TStationSupervision::StationsOffline() const {
  return static_cast<int>(std::count_if(stations_.begin(), stations_.end(),
                                        [](const TWatchedStation& s) { return s.ReportedOffline; }));
}

bool TStationSupervision::Reload() {
  std::vector<TWatchedStation> fresh;
  try {
    std::map<int32_t, bool> marks;
    for (auto rows = db_.Open("SELECT STATIONSLOPNR, SUPERVISE FROM STATIONSUPERVISION");
         !rows->Eof(); rows->Next())
      marks[rows->AsInteger("STATIONSLOPNR")] = rows->AsInteger("SUPERVISE") != 0;
    auto rows = db_.Open(
        "SELECT LOPNR, STATIONNAME, FRIENDLYNAME, STATIONTYPE FROM STATIONS "
        "WHERE STATIONTYPE = ? OR STATIONTYPE = ? ORDER BY STATIONNAME",
        {SqlInt(ctShow), SqlInt(ctHardware)});
    for (; !rows->Eof(); rows->Next()) {
      TWatchedStation s;
      s.Lopnr = rows->AsInteger("LOPNR");
      s.Name = rows->AsString("STATIONNAME");
      s.FriendlyName = rows->AsString("FRIENDLYNAME");
      s.Type = rows->AsInteger("STATIONTYPE") == ctHardware ? ctHardware : ctShow;
      auto mark = marks.find(s.Lopnr);
      s.Supervised = mark == marks.end() || mark->second;
      fresh.push_back(std::move(s));
    }
  } catch (const std::exception& e) {
    // Not counted: the database check reports a lost database; this only says what it costs.
    if (readProblem_ != e.what())
      log_.Logg(std::string("Station supervision cannot read the stations: ") + e.what(), ltWarning);
    readProblem_ = e.what();
    return false;
  }
  readProblem_.clear();
  // What was known of a station stays; a new one is expected from now on.
  const TDateTime now = clock_.Now();
  const auto steadyNow = clock_.Steady();
  for (auto& s : fresh) {
    auto old = std::find_if(stations_.begin(), stations_.end(),
                            [&](const TWatchedStation& o) { return o.Lopnr == s.Lopnr; });
    if (old != stations_.end()) {
      s.Connected = old->Connected;
      s.Seen = old->Seen;
      s.ReportedOffline = old->ReportedOffline && s.Supervised;
      s.Since = old->Since;
      s.SinceSteady = old->SinceSteady;
    } else {
      s.Since = now;
      s.SinceSteady = steadyNow;
    }
  }
  stations_ = std::move(fresh);
  return true;
}

void TStationSupervision::SetSupervised(int32_t stationLopnr, bool supervised) {
  {
    TTransaction tx(db_);
    db_.Execute("DELETE FROM STATIONSUPERVISION WHERE STATIONSLOPNR = ?", {SqlInt(stationLopnr)});
    db_.Execute("INSERT INTO STATIONSUPERVISION (STATIONSLOPNR, SUPERVISE) VALUES (?, ?)",
                {SqlInt(stationLopnr), SqlInt(supervised ? 1 : 0)});
    tx.Commit();
  }
  for (auto& s : stations_) {
    if (s.Lopnr != stationLopnr) continue;
    s.Supervised = supervised;
    if (!supervised) s.ReportedOffline = false;
  }
}

void TStationSupervision::Tick() {
  try {
    // A failed read is tried again at the next regular one, not at every tick.
    if (reread_ || ++ticksSinceRead_ >= kReadEveryTicks) {
      ticksSinceRead_ = 0;
      reread_ = false;
      Reload();
    }
    std::set<int32_t> connected;
    for (const auto& c : connections_())
      if (c->Data && c->Data->StationLopnr != -1) connected.insert(c->Data->StationLopnr);
    const auto limit = Limit();
    const TDateTime now = clock_.Now();
    const auto steadyNow = clock_.Steady();
    for (auto& s : stations_) {
      const bool isConnected = connected.count(s.Lopnr) != 0;
      if (isConnected && !s.Connected) {
        if (s.ReportedOffline)
          log_.Logg(Who(s) + " is online again after " + Seconds(steadyNow - s.SinceSteady) +
                        " without a connection",
                    ltInfo);
        s.Connected = s.Seen = true;
        s.ReportedOffline = false;
        s.Since = now;
        s.SinceSteady = steadyNow;
      } else if (!isConnected && s.Connected) {
        s.Connected = false;
        s.Since = now;
        s.SinceSteady = steadyNow;
      }
      if (!s.Connected && s.Supervised && !s.ReportedOffline && steadyNow - s.SinceSteady >= limit) {
        s.ReportedOffline = true;
        log_.Logg(Who(s) + " is offline: " +
                      (s.Seen ? "its last connection ended at " : "it has not connected since ") +
                      DateTimeToStr(s.Since) + ", " + Seconds(steadyNow - s.SinceSteady) + " ago",
                  ltWarning);
      }
    }
  } catch (const std::exception& e) {
    log_.Logg(std::string("Error in StationSupervision: ") + e.what(), ltWarning);
  }
}

}  // namespace tavo
