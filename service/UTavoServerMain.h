// TTAVO_WindowsServer: the service module. Owns everything that lives for the run (listeners,
// event log, timer, interpreter, process-wide values) and runs the start-up, the main loop on
// one io_context thread, and the shutdown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <asio.hpp>

#include "common/Clock.h"
#include "common/Registry.h"
#include "platform/EventSink.h"
#include "protocol/Interpreter.h"
#include "protocol/ServerSocket.h"
#include "service/CommandLine.h"
#include "service/Logging.h"
#include "service/fisNTElog.h"

namespace tavo {

inline constexpr const char* kServerVersion = "1.10.4";
inline constexpr const char* kServiceName = "TAVO_WindowsServer";

class TTAVO_WindowsServer final : public TSocketEvents {
 public:
  // sink: where event-log entries go (the command line picks it).
  TTAVO_WindowsServer(TServerOptions options, std::shared_ptr<TEventSink> sink,
                      const TClock& clock);
  ~TTAVO_WindowsServer() override;

  // Start-up, main loop until a stop request, shutdown. Returns the process exit status.
  int Run();

  // Start-up sequence; false when the server could not reach serving.
  bool ServiceCreate();
  void ServiceDestroy();

  // Ends the main loop from any thread.
  void Stop();

  asio::io_context& IO() { return io_; }
  TLogging& Log() { return logging_; }
  TRegistryStore& Registry() { return registry_; }
  TInterpreter& Interpreter() { return interpreter_; }
  TServerSocket& MainSocket() { return TAVOMainSocket; }
  TServerSocket& UpdateSocket() { return TAVOUpdateSocket; }
  const std::string& ProgramDirectory() const { return programDirectory_; }
  bool OnMainThread() const { return std::this_thread::get_id() == mainThread_; }

  // The sign-on of a station; supplied by the calls subsystem.
  std::function<void(const std::string& text, const TClientSocketPtr& socket, bool lineMode,
                     bool silent)>
      SendClientList;

  // Maintenance timer.
  void EnableTimer3(bool enabled);
  bool Timer3Enabled() const { return timer3Enabled_; }

 private:
  // Socket events of both listeners.
  void OnListen(TServerSocket& listener) override;
  void OnClientConnect(TServerSocket& listener, const TClientSocketPtr& socket) override;
  void OnClientDisconnect(TServerSocket& listener, const TClientSocketPtr& socket) override;
  void OnClientRead(TServerSocket& listener, const TClientSocketPtr& socket,
                    const std::string& chunk) override;
  void OnClientError(TServerSocket& listener, const TClientSocketPtr& socket,
                     int& errorCode) override;
  void OnSendOverflow(TServerSocket& listener, const TClientSocketPtr& socket) override;

  void RegisterCommands();
  TCommandResult CmdKeepAlive(const TCommandContext& c);
  TCommandResult CmdGetServerVersion(const TCommandContext& c);

  void RestartSteps();
  void Timer3Schedule();
  void Timer3Timer();
  std::string HostName() const;

  TServerOptions options_;
  const TClock& clock_;
  std::thread::id mainThread_;
  asio::io_context io_;
  std::string exePath_;
  std::string programDirectory_;
  TRegistryStore registry_;
  std::shared_ptr<TEventSink> sink_;
  TfisNTEventLog fisNTEventLog1;
  TServiceNoticeLog notices_;
  TLogging logging_;
  TInterpreter interpreter_;
  TServerSocket TAVOMainSocket;
  TServerSocket TAVOUpdateSocket;
  asio::steady_timer Timer3;
  bool timer3Enabled_ = false;
  int exitStatus_ = 0;
};

}  // namespace tavo
