// TTAVO_WindowsServer: the service module. Owns everything that lives for the run (listeners,
// event log, timer, interpreter, process-wide values) and runs the start-up, the main loop on
// one io_context thread, and the shutdown.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include "admin/ResourceCommands.h"
#include "admin/StationCommands.h"
#include "admin/AdminAccess.h"
#include "admin/AdminHost.h"
#include "admin/EscalationCommands.h"
#include "admin/SupervisionCommands.h"
#include "admin/RemoteSqlCommands.h"
#include "admin/ServerSettings.h"
#include "admin/SettingsCommands.h"
#include "admin/SmsAccountCommands.h"
#include "calls/CallService.h"
#include "common/Metrics.h"
#include "common/Clock.h"
#include "common/Registry.h"
#include "database/DatabaseConnection.h"
#include "database/OutageJournal.h"
#include "database/ReconnectingDatabase.h"
#include "platform/EventSink.h"
#include "protocol/Interpreter.h"
#include "protocol/ServerSocket.h"
#include "service/CommandLine.h"
#include "service/MetricsServer.h"
#include "service/OperatingStatus.h"
#include "service/RoleKeeper.h"
#include "service/ServingRole.h"
#include "platform/Logging.h"
#include "platform/Timer.h"
#include "platform/fisNTElog.h"
#include "sms/GatewayState.h"
#include "sms/LbClass.h"
#include "sms/SMSAccount.h"
#include "sms/SmsOutbox.h"
#include "sms/USMSThread.h"
#include "supervision/Escalation.h"
#include "supervision/StationSupervision.h"
#include "update/ClientDistribution.h"
#include "update/UUpdateThread.h"
#include "web/FeedBoard.h"
#include "web/PageFeeds.h"
#include "web/WebServer.h"

namespace tavo {

inline constexpr const char* kServerVersion = "1.10.4";
inline constexpr const char* kServiceName = "TAVO_WindowsServer";
// The maintenance timer's first interval, and every later one: one tick in every minute.
inline constexpr uint32_t kTimer3FirstMs = 120000;
inline constexpr uint32_t kTimer3NextMs = 55000;
// How long the shutdown waits for SMS attempts and an update run that are still running.
inline constexpr int kWorkerGraceMs = 20000;

// Counts running worker threads; a worker holds a token for its whole run.
class TWorkerCount : public std::enable_shared_from_this<TWorkerCount> {
 public:
  std::shared_ptr<void> Token();
  // Waits until no worker runs or the time is up; true when none runs.
  bool WaitIdle(int timeoutMs);
  int Active();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int active_ = 0;
};

// What the service shares with its worker threads, in one allocation: a worker keeps it alive
// through the aliasing pointers it is handed, even past the module's shutdown.
struct TSharedCore {
  TSharedCore(std::shared_ptr<const TClock> clock, const std::string& registryFile,
              std::shared_ptr<TEventSink> sink, const std::string& exePath)
      : Clock(std::move(clock)),
        Registry(registryFile),
        EventLog(Registry, *Clock, std::move(sink), exePath),
        Log(EventLog, *Clock) {}
  std::shared_ptr<const TClock> Clock;
  TRegistryStore Registry;
  TfisNTEventLog EventLog;
  TLogging Log;
  std::shared_ptr<TSMSAccount> SMSAccount = std::make_shared<TSMSAccount>();
  std::shared_ptr<TGatewayState> Gateway = std::make_shared<TGatewayState>();
  std::shared_ptr<TWorkerCount> Workers = std::make_shared<TWorkerCount>();
  std::shared_ptr<TMetrics> Metrics = std::make_shared<TMetrics>();
  std::shared_ptr<TUpdateState> Update = std::make_shared<TUpdateState>();
};

// The main loop as a worker may reach it: posts go nowhere once the module is gone.
class TMainLoopHandle {
 public:
  explicit TMainLoopHandle(asio::io_context& io) : io_(&io) {}
  void Post(std::function<void()> f);
  void Detach();

 private:
  std::mutex mutex_;
  asio::io_context* io_;
};

class TTAVO_WindowsServer final : public TSocketEvents, public TAdminHost {
 public:
  // sink: where event-log entries go (the command line picks it).
  TTAVO_WindowsServer(TServerOptions options, std::shared_ptr<TEventSink> sink,
                      std::shared_ptr<const TClock> clock);
  ~TTAVO_WindowsServer() override;

  // Start-up, main loop until a stop request, shutdown. Returns the process exit status.
  int Run();

  // Start-up sequence; false when the server could not reach serving.
  bool ServiceCreate();
  void ServiceDestroy();

  // Ends the main loop from any thread.
  void Stop();

  asio::io_context& IO() { return io_; }
  TLogging& Log() { return core_->Log; }
  TRegistryStore& Registry() override { return core_->Registry; }
  TCallService* Calls() { return calls_.get(); }
  TSmsOutbox* SmsOutbox() { return smsOutbox_.get(); }
  TStationSupervision* Supervision() { return supervision_.get(); }
  TEscalation* Escalation() { return escalation_.get(); }
  // One round of station supervision and escalation; the status timer runs it every second.
  void SupervisionTick();
  // A server standing by that wrote calls from its journal tells the serving one.
  void NoteJournalWritten();
  // The serving server: reads its call list again when the other one wrote calls from its
  // journal since the last look (the first look only takes note, as does one with reload false).
  void CheckPeerJournal(bool reload = true);
  TDatabase* Database() { return connector_ ? connector_->ADOConnection1.get() : nullptr; }
  const std::string& ClinicName() const override { return ClinicName_; }
  void SetClinicName(const std::string& name) override { ClinicName_ = name; }
  TSMSDispatchContext SMSContext();
  TInterpreter& Interpreter() { return interpreter_; }
  TMetrics& Metrics() { return *core_->Metrics; }
  const TOperatingStatus& Status() const { return status_; }
  TServerSocket& MainSocket() { return TAVOMainSocket; }
  TServerSocket& UpdateSocket() { return TAVOUpdateSocket; }
  const std::string& ProgramDirectory() const override { return programDirectory_; }
  bool OnMainThread() const { return std::this_thread::get_id() == mainThread_; }
  // The serving/standby role of a standby pair; null when "Standby" is off. The start-up makes
  // it from the registry; a module embedded in a test can be handed one.
  TServingRole* Role() { return role_.get(); }
  void UseRole(std::shared_ptr<TServingRole> role) { role_ = std::move(role); }

  // The sign-on of a station; supplied by the calls subsystem.
  std::function<void(const std::string& text, const TClientSocketPtr& socket, bool lineMode,
                     bool silent)>
      SendClientList;

  // Maintenance timer: first tick 120 s after it is enabled, then every 55 s.
  void EnableTimer3(bool enabled);
  bool Timer3Enabled() const { return Timer3->Enabled(); }
  // Puts in another timer (tests fire theirs by hand); its interval is set here.
  void SetTimer3(std::unique_ptr<TTimer> timer);

  // Self-update: starts an update run when one is due and none is active.
  void UpdateProgram(bool force);
  // The end of an update run, on the main thread: restarts when our executable was replaced.
  void OnUpdateThreadComplete();
  bool UpdateRunning() const { return UpdateIsRunning; }
  TUpdateState& UpdateState() { return *core_->Update; }
  // The random minute 0..4 of the hourly update check (tests pin it).
  void SetUpdateRandom(std::function<int()> draw) { updateRandom_ = std::move(draw); }
  // How long a downloaded server executable may take to answer --version.
  void SetExeCheckTimeout(int ms) { exeCheckTimeoutMs_ = ms; }

 private:
  // Socket events of both listeners.
  void OnListen(TServerSocket& listener) override;
  void OnClientConnect(TServerSocket& listener, const TClientSocketPtr& socket) override;
  void OnClientDisconnect(TServerSocket& listener, const TClientSocketPtr& socket) override;
  void OnClientRead(TServerSocket& listener, const TClientSocketPtr& socket,
                    const std::string& chunk) override;
  void OnClientError(TServerSocket& listener, const TClientSocketPtr& socket,
                     int& errorCode) override;
  void OnSendOverflow(TServerSocket& listener, const TClientSocketPtr& socket,
                      TSendOverflow why) override;
  void OnAcceptPaused(TServerSocket& listener, bool paused, const std::error_code& ec) override;

  // Operating (Operating.cpp): published status, database check, metrics endpoint, watchdog.
  bool CheckDatabase();
  void PublishStatus();
  void StatusTimerSchedule();
  void StartOperating();
  void StartWatchdog();
  void WatchdogSchedule();

  // The start-up that needs the database: connection, call list, SMS account, listeners. A
  // server that served before reloads the call list on the connection it has.
  bool ServeDatabase();
  void ReadSMSAccount(TDatabase& db);

  // Standby pair (Standby.cpp).
  bool StandbyConfigured() const;
  // Checks the configuration and creates the role; false refuses to start.
  bool PrepareStandby();
  void StartStandby();
  // Brings the listeners in line with the role, on the main thread.
  void ApplyRole();
  void StopServing(const std::string& reason);
  // Asked before a connection or a read is handled: false when this server may not serve.
  bool MayServeInput();

  // The browser pages (WebPages.cpp): their sources, and the HTTP endpoint that serves them
  // beside /metrics and /health. Throws when the endpoint cannot listen.
  TPageSources PageSources();
  void StartHttp(const std::string& address, uint16_t port);
  void StopHttp();

  void RegisterCommands();
  // The settings, SMS-account and remote-SQL commands, once the database is open.
  void RegisterAdminCommands(TDatabase& db);
  // Station supervision and escalation with their commands, once the call list is loaded.
  void StartSupervision(TDatabase& db);

  // TAdminHost (AdminHostGlue.cpp).
  TSMSAccount& SMSAccount() override { return *core_->SMSAccount; }
  const TLbBlowfish& Cipher() const override { return LbBlowfish1; }
  std::vector<TClientSocketPtr> MainConnections() const override;
  uint16_t MainPort() const override { return TAVOMainSocket.Port(); }
  void MoveUpdateListener(uint16_t port) override;
  TCommandResult CmdKeepAlive(const TCommandContext& c);
  TCommandResult CmdGetServerVersion(const TCommandContext& c);

  // Database outages (Outage.cpp): the journal, the reconnection's wake-up and return, and
  // the restarts that wait for the database.
  std::filesystem::path JournalPath() const;
  void StartJournal();
  // Writes what an earlier process kept in the journal; false when the database refused to
  // take it now (the server cannot start consistently and ends).
  bool WriteJournalAtStart();
  std::string DatabaseBack();
  // Why a restart now would lose calls or the service (empty: it would not).
  std::string RestartBlocker() const;

  // The SMS workers and the outbox's tick, once the SMS account is read.
  void StartSmsOutbox();
  void RestartSteps();
  // What every restart of the whole service does: timer off, an entry naming the moment and
  // the connected users written straight to the event log, main listener closed, restart
  // script started. Throws when the script cannot be started.
  void RestartService(const std::string& headline, bool errorEntry);
  void Restart();
  void OpenListeners();
  void Timer3Timer();
  TUpdateContext UpdateContext();
  // The server's own files that GETNEWCLIENT never hands out.
  std::vector<std::string> ProtectedFileNames() const;
  std::string HostName() const;

  TServerOptions options_;
  std::shared_ptr<const TClock> clockPtr_;
  const TClock& clock_;
  std::thread::id mainThread_;
  asio::io_context io_;
  std::string exePath_;
  std::string programDirectory_;
  std::shared_ptr<TEventSink> sink_;
  std::shared_ptr<TSharedCore> core_;
  TfisNTEventLog& fisNTEventLog1;
  TServiceNoticeLog notices_;
  TLogging& logging_;
  TInterpreter interpreter_;
  TKey128 Key{};
  TLbBlowfish LbBlowfish1;
  std::unique_ptr<TDatabaseConnector> connector_;
  // The connection inside connector_, reopened after an outage; null before it is open.
  TReconnectingDatabase* reconnecting_ = nullptr;
  // Declared before the calls, whose call-log writer keeps writes in it.
  std::unique_ptr<TOutageJournal> journal_;
  // Before the calls, which queue into it: it goes after them.
  std::unique_ptr<TSmsOutbox> smsOutbox_;
  std::unique_ptr<TCallService> calls_;
  std::unique_ptr<TStationCommands> stationCommands_;
  std::unique_ptr<TResourceCommands> resourceCommands_;
  std::unique_ptr<TAdminAccess> adminAccess_;
  std::unique_ptr<TServerSettings> serverSettings_;
  std::unique_ptr<TSettingsCommands> settingsCommands_;
  std::unique_ptr<TSmsAccountCommands> smsAccountCommands_;
  std::unique_ptr<TRemoteSqlCommands> remoteSqlCommands_;
  std::unique_ptr<TStationSupervision> supervision_;
  std::unique_ptr<TEscalationSmsQueue> escalationSms_;
  std::unique_ptr<TEscalation> escalation_;
  std::unique_ptr<TSupervisionCommands> supervisionCommands_;
  std::unique_ptr<TEscalationCommands> escalationCommands_;
  uint64_t supervisionTicks_ = 0;
  std::string ClinicName_;
  // Main thread only; the flags a run writes are in core_->Update.
  bool UpdateIsRunning = false;
  std::string ApplicationExeName = "TAVO_WServer.exe";
  std::function<int()> updateRandom_;
  int exeCheckTimeoutMs_ = kExeCheckTimeoutMs;
  TClientDistribution distribution_;
  // Unsent replies of both listeners together; declared first so it outlives them.
  TSendBudget sendBudget_;
  TServerSocket TAVOMainSocket;
  TServerSocket TAVOUpdateSocket;
  std::unique_ptr<TTimer> Timer3;
  std::shared_ptr<TMainLoopHandle> loop_;
  int exitStatus_ = 0;
  TOperatingStatus status_;
  std::unique_ptr<TMetricsServer> metricsServer_;
  TFeedBoard pageBoard_;
  std::unique_ptr<TPageFeeds> pageFeeds_;
  std::unique_ptr<TWebServer> webServer_;
  asio::steady_timer statusTimer_;
  asio::steady_timer watchdogTimer_;
  std::chrono::microseconds watchdogPeriod_{0};
  uint64_t statusTicks_ = 0;
  bool databaseOk_ = false;
  std::string databaseProblem_ = "not checked yet";
  std::shared_ptr<TServingRole> role_;
  std::unique_ptr<TRoleKeeper> keeper_;
  bool servingApplied_ = false;  // listeners open for the serving role
  // The other server's last word on calls it wrote from its journal; none before the first read.
  std::optional<std::string> peerJournalMark_;
  uint64_t journalNotes_ = 0;  // journals this server wrote while standing by
  bool readySent_ = false;
  // A restart put off while the database is down: carried out once it is back.
  struct TPostponedRestart {
    std::string Headline;
    bool ErrorEntry = false;
  };
  std::optional<TPostponedRestart> postponedRestart_;
};

}  // namespace tavo
