// Operating the running server: the status the main loop publishes every second for the
// metrics endpoint, the database check behind it, the endpoint itself and the systemd
// watchdog, which is fed while the main loop turns and the database answers or is known down.
#include <systemd/sd-daemon.h>

#include <chrono>

#include "common/StrUtils.h"
#include "service/UTavoServerMain.h"

namespace tavo {

namespace {

constexpr auto kStatusPeriod = std::chrono::seconds(1);
constexpr int kDatabaseCheckEvery = 5;  // status periods

const char* KindLabel(const TClientSocketPtr& s) {
  return s->Data ? ClientTypeName(s->Data->StationType) : "none";
}

}  // namespace

bool TTAVO_WindowsServer::CheckDatabase() {
  if (role_ && !connector_) {  // a standby that never served has no connection of its own
    databaseOk_ = false;
    databaseProblem_ = "standing by";
    return false;
  }
  try {
    TDatabase* db = Database();
    if (!db || !db->Connected()) throw std::runtime_error("not connected");
    db->CheckHealth();
    databaseOk_ = true;
    databaseProblem_.clear();
  } catch (const std::exception& e) {
    // An outage has its own entries.
    if (!IsKnownOutage(e) && (databaseOk_ || databaseProblem_ != e.what()))
      logging_.Logg(std::string("Database check failed: ") + e.what(), ltWarning);
    databaseOk_ = false;
    databaseProblem_ = e.what();
  }
  return databaseOk_;
}

void TTAVO_WindowsServer::PublishStatus() {
  TOperatingSnapshot s;
  for (auto* listener : {&TAVOMainSocket, &TAVOUpdateSocket}) {
    const std::string name = listener == &TAVOMainSocket ? "main" : "update";
    for (auto& c : listener->Connections()) ++s.Connections[{name, KindLabel(c)}];
  }
  if (calls_)
    for (auto& entry : calls_->CallList()) s.OpenCalls += static_cast<int>(entry->CurrentCallList.size());
  if (supervision_) {
    for (const auto& st : supervision_->Stations())
      if (st.Supervised)
        s.Stations.push_back({st.Name, st.Type == ctHardware ? "hardware" : "display", !st.ReportedOffline});
    s.StationsOffline = supervision_->StationsOffline();
  }
  if (escalation_) s.OldestUnansweredSeconds = escalation_->OldestUnansweredSeconds();
  s.ErrorCount = logging_.ErrorCount();
  s.MainListenerOpen = TAVOMainSocket.Active();
  s.DatabaseOk = databaseOk_;
  s.DatabaseProblem = databaseProblem_;
  s.Role = role_ ? RoleName(role_->Role()) : "serving";
  if (reconnecting_) {
    s.DatabaseUp = reconnecting_->Up();
    s.DatabaseDownSeconds = reconnecting_->DownSeconds();
    s.DatabaseOutages = reconnecting_->Outages();
    if (!s.DatabaseUp) s.DatabaseProblem = reconnecting_->DownReason();
  }
  if (journal_) {
    s.JournalRecords = journal_->Size();
    s.JournalInStep = journal_->InStep();
    s.JournalProblem = journal_->Problem();
  }
  s.LoopTurned = std::chrono::steady_clock::now();
  status_.Publish(std::move(s));
}

void TTAVO_WindowsServer::StatusTimerSchedule() {
  statusTimer_.expires_after(kStatusPeriod);
  statusTimer_.async_wait([this](std::error_code ec) {
    if (ec) return;
    try {
      if (++statusTicks_ % kDatabaseCheckEvery == 0) {
        CheckDatabase();
        // A journal whose disk was full is written afresh as soon as it can be.
        if (journal_ && !journal_->InStep()) journal_->Resync();
      }
      SupervisionTick();
      // Only the serving server sends SMS; one standing by leaves them to the other.
      if (smsOutbox_ && (!role_ || servingApplied_)) smsOutbox_->Tick();
      CheckPeerJournal();
      PublishStatus();
    } catch (const std::exception& e) {
      logging_.Logg(std::string("Error in PublishStatus: ") + e.what(), ltWarning);
    }
    StatusTimerSchedule();
  });
}

void TTAVO_WindowsServer::StartOperating() {
  CheckDatabase();
  PublishStatus();
  StatusTimerSchedule();
  const std::string port = core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "MetricsPort");
  if (port.empty()) return;  // off unless configured
  std::string address =
      core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "MetricsAddress");
  if (address.empty()) address = "127.0.0.1";
  try {
    const int32_t p = StrToIntDef(port, -1);
    if (p < 1 || p > 65535) throw std::runtime_error("MetricsPort is not a port number: " + port);
    StartHttp(address, static_cast<uint16_t>(p));
    logging_.Logg("Metrics, health and pages on http://" + address + ":" + port, ltInfo);
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in StartMetrics: ") + e.what(), ltError);
  }
}

void TTAVO_WindowsServer::StartWatchdog() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;  // not under a watchdog
  // Three pings per watchdog period: 10 s for WatchdogSec=30.
  watchdogPeriod_ = std::chrono::microseconds(usec / 3);
  WatchdogSchedule();
}

void TTAVO_WindowsServer::WatchdogSchedule() {
  watchdogTimer_.expires_after(watchdogPeriod_);
  watchdogTimer_.async_wait([this](std::error_code ec) {
    if (ec) return;
    // A loop that turns while the database is down still serves the calls from memory: it is
    // fed, and says why the call log waits. In a standby pair the role keeper decides what a
    // lost database means, and the loop only has to turn. A single server whose database fails
    // otherwise is as dead as a hung one.
    const bool ok = role_ ? true : CheckDatabase();
    if (reconnecting_ && !reconnecting_->Up() && (!role_ || servingApplied_)) {
      sd_notify(0, ("WATCHDOG=1\nSTATUS=Database down for " +
                    std::to_string(static_cast<long>(reconnecting_->DownSeconds())) +
                    " s, serving from memory; " + std::to_string(journal_ ? journal_->Size() : 0) +
                    " writes in the journal: " + reconnecting_->DownReason())
                       .c_str());
    } else if (role_) {
      sd_notify(0, servingApplied_ ? "WATCHDOG=1\nSTATUS=Serving" : "WATCHDOG=1");
    } else if (ok) {
      sd_notify(0, "WATCHDOG=1\nSTATUS=Serving");
    } else {
      sd_notify(0, ("STATUS=Database check failed: " + databaseProblem_).c_str());
    }
    PublishStatus();
    WatchdogSchedule();
  });
}

}  // namespace tavo
