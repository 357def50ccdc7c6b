// The service module's station supervision and escalation: made once the call list is loaded,
// ticked with the published status, and told of every call that stops waiting.
#include "database/ServerTables.h"
#include "service/UTavoServerMain.h"
#include "supervision/OutboxEscalationSms.h"

namespace tavo {

void TTAVO_WindowsServer::StartSupervision(TDatabase& db) {
  supervision_ = std::make_unique<TStationSupervision>(
      db, logging_, clock_, core_->Registry, [this] { return TAVOMainSocket.Connections(); });
  escalationSms_ = std::make_unique<TOutboxEscalationSms>(*smsOutbox_);
  escalation_ = std::make_unique<TEscalation>(
      db, logging_, clock_, [this]() -> const TCallList& { return calls_->CallList(); },
      *escalationSms_);
  escalation_->SetMetrics(core_->Metrics.get());
  escalation_->Load();
  calls_->SetCallChanged([this](const TCallObject&, const TCaller& call, TCallChange change) {
    if (change != TCallChange::Opened) escalation_->CallSettled(call.CallLogLopnr);
  });
  supervisionCommands_ =
      std::make_unique<TSupervisionCommands>(db, logging_, *adminAccess_, *supervision_);
  supervisionCommands_->RegisterCommands(interpreter_);
  escalationCommands_ =
      std::make_unique<TEscalationCommands>(logging_, *adminAccess_, *escalation_, *calls_);
  escalationCommands_->RegisterCommands(interpreter_);
}

void TTAVO_WindowsServer::SupervisionTick() {
  if (supervision_) supervision_->Tick();
  if (escalation_) escalation_->Tick();
  // Rows about stations and resources that other programs deleted, once a minute while the
  // database answers.
  if (TDatabase* db = Database();
      db && databaseOk_ && supervision_ && escalation_ && ++supervisionTicks_ % 60 == 0) {
    try {
      if (RemoveOrphanRows(*db) > 0) {
        supervision_->StationsChanged();
        escalation_->StepsChanged();
      }
    } catch (const std::exception& e) {
      logging_.Logg(std::string("Error removing rows of deleted stations and resources: ") + e.what(),
                    ltWarning);
    }
  }
}

}  // namespace tavo
