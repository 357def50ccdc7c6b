// The maintenance timer with its midnight restart, and the self-update glue of the service
// module: deciding on a run, and the restart once a run has put a new executable in place.
#include <filesystem>
#include <random>

#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "service/UTavoServerMain.h"

namespace tavo {

void TMainLoopHandle::Post(std::function<void()> f) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (io_) asio::post(*io_, std::move(f));
}

void TMainLoopHandle::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  io_ = nullptr;
}

void TTAVO_WindowsServer::SetTimer3(std::unique_ptr<TTimer> timer) {
  const bool enabled = Timer3 && Timer3->Enabled();
  if (Timer3) Timer3->SetEnabled(false);
  Timer3 = std::move(timer);
  Timer3->SetInterval(kTimer3FirstMs);
  Timer3->SetOnTimer([this] { Timer3Timer(); });
  Timer3->SetEnabled(enabled);
}

void TTAVO_WindowsServer::EnableTimer3(bool enabled) { Timer3->SetEnabled(enabled); }

void TTAVO_WindowsServer::Timer3Timer() {
  if (Timer3->Interval() > kTimer3NextMs) {
    Timer3->SetEnabled(false);
    Timer3->SetInterval(kTimer3NextMs);
    Timer3->SetEnabled(true);
  }
  UpdateProgram(false);
  try {
    const TDateTimeParts t = DecodeDateTime(clock_.Now());
    // Every day begins with a fresh process; the timer goes off with it: one restart a night.
    if (t.Hour == 0 && t.Minute == 0) {
      core_->Metrics->Restart(TRestartCause::Midnight);
      RestartService("Midnight. Restarting TAVO Server ", false);
    }
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in TimerEvent3: ") + e.what(), ltError);
  }
}

TUpdateContext TTAVO_WindowsServer::UpdateContext() {
  TUpdateContext ctx;
  ctx.Gateway = core_->Gateway;
  ctx.Registry = std::shared_ptr<TRegistryStore>(core_, &core_->Registry);
  ctx.Logging = std::shared_ptr<TLogging>(core_, &core_->Log);
  ctx.Clock = clockPtr_;
  ctx.State = core_->Update;
  ctx.ProgramDir = programDirectory_;
  ctx.ClinicName = ClinicName_;
  ctx.ApplicationExeName = ApplicationExeName;
  ctx.ExeCheckTimeoutMs = exeCheckTimeoutMs_;
  // The end notice reaches the main loop while the module lives; the token lets the shutdown
  // wait for a run in progress.
  ctx.OnTerminate = [loop = loop_, token = core_->Workers->Token(), this] {
    loop->Post([this] { OnUpdateThreadComplete(); });
  };
  return ctx;
}

void TTAVO_WindowsServer::UpdateProgram(bool force) {
  if (UpdateIsRunning) return;
  try {
    core_->Update->bStartNewExeFile = false;
    if (!updateRandom_) {
      updateRandom_ = [engine = std::mt19937(std::random_device{}())]() mutable {
        return std::uniform_int_distribution<int>(0, 4)(engine);
      };
    }
    if (!UpdateDue(clock_.Now(), core_->Update->dtLastUpdated, force, updateRandom_)) return;
    UpdateIsRunning = true;
    try {
      TUpdateThread::Start(std::make_unique<TUpdateThread>(UpdateContext(), force));
    } catch (...) {
      UpdateIsRunning = false;  // no run started: the next tick may try again
      throw;
    }
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in UpdateProgram: ") + e.what(), ltError);
  }
}

void TTAVO_WindowsServer::OnUpdateThreadComplete() {
  UpdateIsRunning = false;
  if (!core_->Update->bStartNewExeFile) return;
  try {
    logging_.ResetErrorCount();
    core_->Metrics->Restart(TRestartCause::Update);
    RestartService("New version available. Restarting TAVO Server ", true);
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in OnUpdateThreadComplete: ") + e.what(), ltError);
  }
}

std::vector<std::string> TTAVO_WindowsServer::ProtectedFileNames() const {
  auto name = [](const std::string& path) {
    return Utf8ToAnsi(std::filesystem::path(path).filename().string());
  };
  std::vector<std::string> names = {"TAVO.udl", name(core_->Registry.FileName().string())};
  if (!options_.EventLogFile.empty()) names.push_back(name(options_.EventLogFile));
  // The outage journal holds call data; it may be named anything.
  if (journal_) {
    names.push_back(name(journal_->File().string()));
    names.push_back(name(journal_->RejectedFile().string()));
  }
  if (connector_) {
    names.push_back(name(AnsiToUtf8(connector_->GlobUDL)));
    // The file of an embedded database is its data source.
    names.push_back(name(AnsiToUtf8(connector_->DBConnection.ServerName)));
  }
  return names;
}

}  // namespace tavo
