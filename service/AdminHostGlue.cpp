// The service module as the administration commands see it.
#include "service/UTavoServerMain.h"

namespace tavo {

void TTAVO_WindowsServer::RegisterAdminCommands(TDatabase& db) {
  stationCommands_ = std::make_unique<TStationCommands>(db, logging_, *calls_);
  stationCommands_->RegisterCommands(interpreter_);
  resourceCommands_ = std::make_unique<TResourceCommands>(db, logging_, *calls_);
  resourceCommands_->RegisterCommands(interpreter_);
  adminAccess_ = std::make_unique<TAdminAccess>(core_->Registry, logging_);
  serverSettings_ =
      std::make_unique<TServerSettings>(db, logging_, *this, *adminAccess_, *calls_);
  settingsCommands_ =
      std::make_unique<TSettingsCommands>(db, logging_, *this, *calls_, *serverSettings_);
  smsAccountCommands_ =
      std::make_unique<TSmsAccountCommands>(db, logging_, *this, *adminAccess_, *calls_);
  remoteSqlCommands_ =
      std::make_unique<TRemoteSqlCommands>(db, logging_, *this, *adminAccess_, *calls_);
  settingsCommands_->RegisterCommands(interpreter_);
  smsAccountCommands_->RegisterCommands(interpreter_);
  remoteSqlCommands_->RegisterCommands(interpreter_);
}

std::vector<TClientSocketPtr> TTAVO_WindowsServer::MainConnections() const {
  return TAVOMainSocket.Connections();
}

void TTAVO_WindowsServer::MoveUpdateListener(uint16_t port) {
  TAVOUpdateSocket.Close();
  TAVOUpdateSocket.SetPort(port);
  if (port != TAVOMainSocket.Port()) TAVOUpdateSocket.Open();
}

}  // namespace tavo
