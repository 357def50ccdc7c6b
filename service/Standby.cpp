// The standby pair as the service module runs it: the checks at start-up, the role keeper's
// threads, the listeners opened and closed with the role, and the gate that every connection
// and read passes before it is handled.
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <random>

#include "common/StrUtils.h"
#include "database/ProviderMapping.h"
#include "database/ServingLock.h"
#include "service/UTavoServerMain.h"

namespace tavo {

namespace {

std::string RandomInstance() {
  std::random_device rd;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", rd(), rd());
  return text;
}

}  // namespace

bool TTAVO_WindowsServer::StandbyConfigured() const {
  return SameTextAscii(
      Trim(core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Standby")), "YES");
}

bool TTAVO_WindowsServer::PrepareStandby() {
  TDatabaseConnector finder(core_->Registry, logging_, programDirectory_);
  finder.FindDataLink();
  try {
    if (MapConnectionString(finder.GlobConnectionString, programDirectory_).Kind ==
        TBackendTarget::SQLite)
      throw EDatabaseError(
          "it needs a database server both servers share (PostgreSQL or SQL Server); an SQLite "
          "file cannot be shared");
  } catch (const EDatabaseError& e) {
    logging_.Logg(std::string("Standby=YES refused: ") + e.what(), ltError);
    return false;
  }
  if (Trim(core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "MetricsPort")).empty()) {
    logging_.Logg("Standby=YES refused: it needs MetricsPort, since keepalived and the other "
                  "server ask this server's /health",
                  ltError);
    return false;
  }
  const std::string peer =
      Trim(core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "StandbyPeer"));
  if (peer.empty())
    logging_.Logg("StandbyPeer is not set: without the other server's word this server stops "
                  "serving when it loses the database",
                  ltWarning);

  role_ = std::make_shared<TServingRole>(
      TRoleTimings{}, RandomInstance(),
      [this, loop = loop_](TRole, const std::string&) { loop->Post([this] { ApplyRole(); }); });
  metricsServer_->SetRole(role_.get());
  const std::string connection = finder.GlobConnectionString;
  const std::string dir = programDirectory_;
  keeper_ = std::make_unique<TRoleKeeper>(
      *role_, [connection, dir] { return OpenSharedConnection(connection, dir); }, peer,
      logging_);
  logging_.Logg("Standby: waiting for the serving lock on " + finder.DBConnection.ServerName + "." +
                    finder.DBConnection.Databasename +
                    (peer.empty() ? std::string() : "; the other server answers on " + peer),
                ltInfo);
  return true;
}

void TTAVO_WindowsServer::StartStandby() {
  if (!webServer_ || !webServer_->Running()) {
    logging_.Logg("Standby=YES refused: the health endpoint is not listening", ltError);
    exitStatus_ = 1;
    Stop();
    return;
  }
  sd_notify(0, "STATUS=Standing by: waiting for the serving lock");
  keeper_->Start();
}

void TTAVO_WindowsServer::ApplyRole() {
  if (!role_) return;
  const TRole role = role_->Role();
  if (role == TRole::Serving && !servingApplied_) {
    logging_.Logg("Role changed to serving: " + role_->Reason(), ltInfo);
    servingApplied_ = true;
    bool served = false;
    try {
      served = ServeDatabase();
    } catch (const std::exception& e) {
      logging_.IncErrorCount();
      logging_.Logg(std::string("Error in ServeDatabase: ") + e.what(), ltError);
    }
    if (!served) {
      // Steps down (the change comes back here) and lets the other server have the lock.
      role_->StepDown("the start-up that needs the database failed", true);
      return;
    }
    PublishStatus();
    if (!readySent_) sd_notify(0, "READY=1");
    readySent_ = true;
    sd_notify(0, "STATUS=Serving");
  } else if (role == TRole::Standby && servingApplied_) {
    StopServing(role_->Reason());
  }
}

void TTAVO_WindowsServer::StopServing(const std::string& reason) {
  servingApplied_ = false;
  logging_.Logg("Role changed to standby: " + reason, ltWarning);
  try {
    TAVOMainSocket.Close();  // with every connection
    TAVOUpdateSocket.Close();
    if (calls_) calls_->ClearCallList();
    // The serving server sends the SMS; it picks up this one's from the table. An attempt cut
    // off here may have reached the gateway: sent twice rather than not at all.
    if (smsOutbox_) smsOutbox_->Stop(std::chrono::milliseconds(2000));
  } catch (const std::exception& e) {
    logging_.Logg(std::string("Error in StopServing: ") + e.what(), ltError);
  }
  PublishStatus();
  sd_notify(0, ("STATUS=Standing by: " + reason).c_str());
}

bool TTAVO_WindowsServer::MayServeInput() {
  if (!role_) return true;
  const auto now = TServingRole::TClock::now();
  if (role_->MayServe(now)) return true;
  // Frozen, or cut off, past the lease: nothing is handled before the listeners are closed.
  role_->CheckLease(now);
  ApplyRole();
  return false;
}

}  // namespace tavo
