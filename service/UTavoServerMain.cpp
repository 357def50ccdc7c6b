#include "service/UTavoServerMain.h"

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "common/SharedPaths.h"
#include "common/StrUtils.h"
#include "database/CountingDatabase.h"
#include "database/ServingLock.h"
#include "database/SqlHelpers.h"
#include "platform/DescriptorLimit.h"
#include "sms/ServerKey.h"
#include "protocol/WireFormat.h"
#include "common/Win1252.h"
#include "service/RestartServer.h"
#include "service/StartupChecks.h"

namespace tavo {

namespace {

std::string ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string WithSlash(std::string d) {
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

std::string DirectoryWithSlash(const std::string& file) {
  return WithSlash(std::filesystem::path(file).parent_path().string());
}

}  // namespace

TTAVO_WindowsServer::TTAVO_WindowsServer(TServerOptions options, std::shared_ptr<TEventSink> sink,
                                         std::shared_ptr<const TClock> clock)
    : options_(std::move(options)),
      clockPtr_(std::move(clock)),
      clock_(*clockPtr_),
      mainThread_(std::this_thread::get_id()),
      exePath_(ExecutablePath()),
      programDirectory_(options_.ProgramDirectory.empty()
                            ? DirectoryWithSlash(exePath_)
                            : WithSlash(options_.ProgramDirectory)),
      sink_(std::move(sink)),
      core_(std::make_shared<TSharedCore>(
          clockPtr_,
          options_.RegistryFile.empty() ? programDirectory_ + "registry.ini" : options_.RegistryFile,
          sink_, exePath_)),
      fisNTEventLog1(core_->EventLog),
      notices_(clock_, sink_),
      logging_(core_->Log),
      interpreter_(logging_),
      distribution_(logging_, programDirectory_, [this] { return ProtectedFileNames(); }),
      TAVOMainSocket(io_, "TAVOMainSocket", *this),
      TAVOUpdateSocket(io_, "TAVOUpdateSocket", *this),
      loop_(std::make_shared<TMainLoopHandle>(io_)),
      metricsServer_(std::make_unique<TMetricsServer>(
          *core_->Metrics, status_,
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(),
          kServerVersion)),
      statusTimer_(io_),
      watchdogTimer_(io_) {
  fisNTEventLog1.SetAppName("Ker Vanta TAVO Server");
  TAVOMainSocket.SetSendBudget(sendBudget_);
  TAVOUpdateSocket.SetSendBudget(sendBudget_);
  TAVOUpdateSocket.SetWriteBatch(TAVOMainSocket.WriteBatch());
  SetTimer3(std::make_unique<TAsioTimer>(io_, kTimer3FirstMs));
  RegisterCommands();
  logging_.SetRestartHandler(
      [this] {
        if (OnMainThread()) {
          RestartSteps();
          return;
        }
        // A worker's Logg decided; the timer and the listener belong to the main thread.
        asio::post(io_, [this] {
          try {
            RestartSteps();
          } catch (...) {
            try {
              fisNTEventLog1.LogError("Error Restarting TAVO Server closing Service...", 0);
            } catch (...) {
            }
            exitStatus_ = 1;
            Stop();
          }
        });
      },
      [this] {
        exitStatus_ = 1;
        Stop();
      });
}

TTAVO_WindowsServer::~TTAVO_WindowsServer() {
  StopHttp();  // it reads the role
  keeper_.reset();
  loop_->Detach();
  logging_.SetRestartHandler(nullptr, nullptr);
}

void TTAVO_WindowsServer::RegisterCommands() {
  interpreter_.SetHandler("KEEPALIVE", [this](const TCommandContext& c) { return CmdKeepAlive(c); });
  interpreter_.SetHandler("GETSERVERVERSION",
                          [this](const TCommandContext& c) { return CmdGetServerVersion(c); });
  distribution_.RegisterCommands(interpreter_);
}

TCommandResult TTAVO_WindowsServer::CmdKeepAlive(const TCommandContext& c) {
  c.Socket->SendText(FrameReply(Block("KEEPALIVE", ""), c.LineMode));
  return TCommandResult::Continue;
}

TCommandResult TTAVO_WindowsServer::CmdGetServerVersion(const TCommandContext& c) {
  c.Socket->SendText(FrameReply(Block("RETSERVERVERSION", kServerVersion), c.LineMode));
  // The client kind is read from the whole text, not from the block.
  const int32_t kind = StrToIntDef(c.Text.Field(2, ':'), 1) & 0xFF;
  if (kind == ctAdmin && SendClientList) SendClientList(c.BlockText, c.Socket, c.LineMode, false);
  return TCommandResult::Continue;
}

std::string TTAVO_WindowsServer::HostName() const {
  std::error_code ec;
  std::string h = asio::ip::host_name(ec);
  return ec ? std::string() : h;
}

void TTAVO_WindowsServer::RestartSteps() {
  core_->Metrics->Restart(TRestartCause::Errors);
  RestartService("Too many Errors! Restarting TAVO Server ", true);
}

void TTAVO_WindowsServer::RestartService(const std::string& headline, bool errorEntry) {
  // A new process could not start without the database, and would drop what only this one
  // holds: the restart waits until the database is back.
  if (const std::string why = RestartBlocker(); !why.empty()) {
    if (!postponedRestart_)
      logging_.Logg("Restart put off until the database is back (" + why + "): " + headline.substr(0, headline.find('.')),
                    ltWarning);
    postponedRestart_ = TPostponedRestart{headline, errorEntry};
    return;
  }
  postponedRestart_.reset();
  EnableTimer3(false);
  const long users = static_cast<long>(TAVOMainSocket.ActiveConnections()) - 1;
  const std::string entry =
      headline + DateTimeToStr(clock_.Now()) + ". Connected users: " + std::to_string(users);
  if (errorEntry)
    fisNTEventLog1.LogError(entry, 0);
  else
    fisNTEventLog1.LogInfo(entry, 0);
  TAVOMainSocket.Close();
  Restart();
}

std::shared_ptr<void> TWorkerCount::Token() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++active_;
  // Released with the last copy of the token, also when the thread never started.
  return std::shared_ptr<void>(nullptr, [self = shared_from_this()](void*) {
    std::lock_guard<std::mutex> l(self->mutex_);
    --self->active_;
    self->cv_.notify_all();
  });
}

bool TWorkerCount::WaitIdle(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return active_ == 0; });
}

int TWorkerCount::Active() {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

TSMSDispatchContext TTAVO_WindowsServer::SMSContext() {
  TSMSDispatchContext ctx;
  ctx.Account = core_->SMSAccount;
  ctx.Gateway = core_->Gateway;
  ctx.Registry = std::shared_ptr<TRegistryStore>(core_, &core_->Registry);
  ctx.Logging = std::shared_ptr<TLogging>(core_, &core_->Log);
  ctx.Clock = clockPtr_;
  ctx.ProgramDir = programDirectory_;
  ctx.Metrics = core_->Metrics;
  return ctx;
}

void TTAVO_WindowsServer::StartSmsOutbox() {
  // The workers run the exchange of every attempt; results and ticks come to the main loop.
  smsOutbox_->Start(
      [context = SMSContext()](const TSmsJob& job, const std::atomic<bool>& abort) {
        const TSmsAttemptLimits limits{std::chrono::steady_clock::now() + job.TryTimeout,
                                       job.Cancelled.get(), &abort};
        return SendSMSAttempt(context, job.Call, limits, job.LeftFiles);
      },
      nullptr,  // ticked by the status timer, with supervision and escalation
      [loop = loop_](std::function<void()> f) { loop->Post(std::move(f)); });
}

void TTAVO_WindowsServer::Restart() {
  // The call-state reload asks for this without touching timer or listener.
  TRestartContext ctx;
  char* unit = nullptr;
  if (sd_pid_get_unit(0, &unit) >= 0 && unit) {
    std::string u = unit;
    if (u.rfind(kServiceName, 0) == 0) ctx.SystemdUnit = u;
  }
  std::free(unit);
  ctx.Pid = static_cast<int>(::getpid());
  std::error_code ec;
  ctx.WorkingDirectory = std::filesystem::current_path(ec).string();
  ctx.CommandLine = options_.Argv;
  if (!ctx.CommandLine.empty()) ctx.CommandLine[0] = exePath_;
  RestartServer(ctx);
}

void TTAVO_WindowsServer::OpenListeners() {
  TDatabase& db = *connector_->ADOConnection1;
  const std::string registryFile = Utf8ToAnsi(core_->Registry.FileName().string());
  auto port = [](int32_t p, const std::string& what) {
    if (p < 0 || p > 65535)
      throw std::runtime_error(std::to_string(p) + " is no port number (" + what + ")");
    return static_cast<uint16_t>(p);
  };
  auto open = [](TServerSocket& listener, const std::string& what) {
    try {
      listener.Open();
    } catch (const std::system_error& e) {
      // Asio's own system category compares with no std::errc: take its errno as it is.
      std::error_code ec = e.code();
      if (ec.category() == asio::error::get_system_category())
        ec = std::error_code(ec.value(), std::generic_category());
      throw std::runtime_error(ListenFailureText(listener.Port(), what, ec));
    }
  };
  const std::string mainWhat = "the main port, registry value Port in " + registryFile;
  const int32_t mainPort =
      StrToIntDef(core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), 102);
  TAVOMainSocket.SetPort(port(mainPort, mainWhat));
  open(TAVOMainSocket, mainWhat);
  const std::string stored = GetStrSetting(db, logging_, kUpdatePortSetting);
  const int32_t updatePort = StrToIntDef(stored, mainPort + 1);
  if (!stored.empty() && !IsDecimalNumber(stored))
    logging_.Logg(std::string("The setting ") + kUpdatePortSetting + "=" + QuoteClientText(stored) +
                      " is not a port number, so the update listener uses the main port + 1, " +
                      std::to_string(updatePort) + "; set it with: tavo-cli setting set " +
                      kUpdatePortSetting + " PORT",
                  ltWarning);
  const std::string updateWhat = std::string("the update port, setting ") + kUpdatePortSetting;
  TAVOUpdateSocket.SetPort(port(updatePort, updateWhat));
  SetStrSetting(db, logging_, kUpdatePortSetting, std::to_string(updatePort));
  if (updatePort != mainPort) {
    try {
      open(TAVOUpdateSocket, updateWhat);
    } catch (const std::exception& e) {
      // A standby taking over serves calls first; client programs can wait for their files.
      if (!role_) throw;
      logging_.IncErrorCount();
      logging_.Logg(std::string("Error opening the update listener: ") + e.what() +
                        "; calls are served without it",
                    ltError);
    }
  }
  core_->Registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port", std::to_string(mainPort));
  core_->Registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort",
                                 std::to_string(updatePort));
  const std::string ports =
      updatePort == mainPort
          ? "port " + std::to_string(mainPort) + " (main, also for updates)"
          : "port " + std::to_string(mainPort) + " (main) and " + std::to_string(updatePort) +
                " (update)";
  logging_.Logg("Serving on " + ports + " from the database " + db.Describe(), ltInfo);
}

bool TTAVO_WindowsServer::ServeDatabase() {
  if (calls_) {
    // Served before on this connection, which reconnects by itself: serve once it is back and
    // what this server kept meanwhile is in the database. The other server may have changed
    // the call log since.
    if (!CheckDatabase()) return false;
    if (!journal_->Empty()) {
      try {
        calls_->CallLog().WriteJournal();
      } catch (const std::exception& e) {
        logging_.Logg(std::string("The journal could not be written before serving: ") + e.what(),
                      ltError);
        return false;
      }
    }
    // The other server may have queued and sent SMS meanwhile: the table says what is left.
    smsOutbox_->Open();
    CheckPeerJournal(false);
    calls_->FillCallList();
    ReadSMSAccount(*connector_->ADOConnection1);
    StartSmsOutbox();
    OpenListeners();
    return true;
  }
  // The objects over an earlier connection go before the connection they use.
  remoteSqlCommands_.reset();
  smsAccountCommands_.reset();
  settingsCommands_.reset();
  adminAccess_.reset();
  resourceCommands_.reset();
  stationCommands_.reset();
  journal_.reset();
  smsOutbox_.reset();
  reconnecting_ = nullptr;
  // In a standby pair a dead link must fail the main connection's statements as quickly as the
  // lock's, or a server cut off would hang in one instead of standing by.
  TDatabaseOpener opener;
  if (role_)
    opener = [](const std::string& cs, const std::string& dir, bool) {
      return OpenSharedConnection(cs, dir);
    };
  connector_ = std::make_unique<TDatabaseConnector>(core_->Registry, logging_, programDirectory_,
                                                    std::move(opener));
  connector_->ConnectDatabase();
  if (!connector_->Connected()) return false;
  auto metrics = core_->Metrics;
  auto reconnecting = std::make_unique<TReconnectingDatabase>(
      std::make_unique<TCountingDatabase>(std::move(connector_->ADOConnection1), *metrics),
      [connector = connector_.get(), metrics]() -> std::unique_ptr<TDatabase> {
        return std::make_unique<TCountingDatabase>(connector->Reopen(), *metrics);
      },
      logging_,
      connector_->DBConnection.ServerName +
          (connector_->DBConnection.Databasename.empty()
               ? std::string()
               : "." + connector_->DBConnection.Databasename));
  reconnecting_ = reconnecting.get();
  connector_->ADOConnection1 = std::move(reconnecting);
  TDatabase& db = *connector_->ADOConnection1;
  smsOutbox_ = std::make_unique<TSmsOutbox>(db, logging_, clock_, core_->Registry,
                                            core_->Metrics.get());
  calls_ = std::make_unique<TCallService>(
      db, logging_, clock_, [this] { return TAVOMainSocket.Connections(); },
      [this] {
        core_->Metrics->Restart(TRestartCause::CallState);
        Restart();
      },
      smsOutbox_.get());
  calls_->SetMetrics(core_->Metrics.get());
  if (pageFeeds_) calls_->SetListsChanged([feeds = pageFeeds_.get()] { feeds->Changed(); });
  calls_->RegisterCommands(interpreter_);
  RegisterAdminCommands(db);
  SendClientList = [this](const std::string& t, const TClientSocketPtr& s, bool l, bool q) {
    calls_->SendClientList(t, s, l, q);
  };
  StartJournal();
  // What an earlier process kept goes to the database before the call list is read from it.
  if (!WriteJournalAtStart()) return false;
  // The outbox is picked up once the call log holds what the journal kept, so that an SMS
  // whose call was closed meanwhile is not sent; before the call list, whose loading queues
  // the SMS of calls the journal wrote.
  smsOutbox_->Open();
  CheckPeerJournal(false);
  calls_->FillCallList();
  StartSupervision(db);
  ReadSMSAccount(db);
  StartSmsOutbox();
  OpenListeners();
  return true;
}

void TTAVO_WindowsServer::ReadSMSAccount(TDatabase& db) {
  TSMSAccountData account;
  account.UserName = GetStrSetting(db, logging_, "SMSUSERNAME");
  try {
    account.Password = LbBlowfish1.DecryptString(GetStrSetting(db, logging_, "SMSPASSWORD"));
  } catch (...) {
    account.Password.clear();  // an undecryptable password is simply empty
  }
  account.CustomerNumber = GetIntSetting(db, logging_, "SMSKUNDNR");
  core_->SMSAccount->Set(account);
}

bool TTAVO_WindowsServer::ServiceCreate() {
  try {
    fisNTEventLog1.InitLogging();
  } catch (...) {
    return false;  // nothing can be logged without the event log
  }
  try {
    logging_.Logg(std::string("Service started version ") + kServerVersion, ltInfo);
    for (const auto& p : core_->Registry.ParseProblems()) logging_.Logg(p, ltWarning);
    WarnUnreadableRegistryValues(core_->Registry, logging_);
    if (const std::string why = TAVOMainSocket.WriteBatch()->Unbatched(); !why.empty())
      logging_.Logg("Replies are written one connection at a time: " + why, ltInfo);
    core_->Update->dtLastUpdated = clock_.Now() - 1;
    UpdateIsRunning = false;
    ApplicationExeName = "TAVO_WServer.exe";
    if (exePath_.empty()) throw std::runtime_error("Unable to get Current path");
    Key = MakeServerKey();
    LbBlowfish1.SetKey(Key);
    ClinicName_ = core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName");
    logging_.ResetErrorCount();
    InitSharedPaths();

    if (StandbyConfigured()) {
      // Nothing that needs the database happens before this server holds the serving lock.
      if (!PrepareStandby()) {
        EnableTimer3(false);
        return false;
      }
      EnableTimer3(true);
      return true;
    }
    const bool served = ServeDatabase();
    EnableTimer3(true);
    // Without a database nothing can be served: end, so that the service manager retries.
    return served;
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in ServiceCreate: ") + e.what(), ltError);
  }
  EnableTimer3(false);
  return false;
}

void TTAVO_WindowsServer::ServiceDestroy() {
  try {
    if (calls_) calls_->ClearCallList();
  } catch (...) {
  }
  try {
    logging_.Logg("Service shutting down", ltInfo);
  } catch (...) {
  }
  try {
    for (auto& c : TAVOMainSocket.Connections()) c->Close();
  } catch (...) {
  }
  try {
    TAVOMainSocket.Close();
  } catch (...) {
  }
  try {
    TAVOUpdateSocket.Close();
  } catch (...) {
  }
  // Only once nothing is served here may the other server take the lock.
  if (keeper_) keeper_->Stop();
  EnableTimer3(false);
  statusTimer_.cancel();
  watchdogTimer_.cancel();
  try {
    StopHttp();
  } catch (...) {
  }
  // A message on its way to the gateway is finished rather than cut off by the exit, and its
  // outcome written while the connection is still there.
  if (smsOutbox_) smsOutbox_->Stop(std::chrono::milliseconds(kWorkerGraceMs));
  // No reconnection outlives the shutdown; what the journal holds stays in its file.
  if (reconnecting_) reconnecting_->Close();
  if (!core_->Workers->WaitIdle(kWorkerGraceMs))
    logging_.Logg("Service shutting down with " + std::to_string(core_->Workers->Active()) +
                      " update run(s) still running",
                  ltWarning);
}

void TTAVO_WindowsServer::Stop() {
  asio::post(io_, [this] { io_.stop(); });
}

int TTAVO_WindowsServer::Run() {
  mainThread_ = std::this_thread::get_id();
  ::signal(SIGPIPE, SIG_IGN);
  asio::signal_set signals(io_, SIGINT, SIGTERM);
  signals.async_wait([this](std::error_code ec, int) {
    if (!ec) io_.stop();
  });
  // SIGHUP: a rotated event-log file is let go and the file at its path opened afresh.
  asio::signal_set hangup(io_, SIGHUP);
  std::function<void(std::error_code, int)> onHangup = [&](std::error_code ec, int) {
    if (ec) return;
    if (!sink_->Reopen()) logging_.Logg("The event log file could not be opened again", ltWarning);
    hangup.async_wait(onHangup);
  };
  hangup.async_wait(onHangup);
  RaiseDescriptorLimit();
  if (!ServiceCreate()) {
    // A server that cannot serve ends, so that its service manager starts it again.
    ServiceDestroy();
    return 1;
  }
  StartOperating();
  // A standby is ready for its service manager only once it serves.
  if (role_)
    StartStandby();
  else
    sd_notify(0, "READY=1");
  StartWatchdog();
  io_.run();
  sd_notify(0, "STOPPING=1");
  ServiceDestroy();
  return exitStatus_;
}

}  // namespace tavo
