#include "service/UTavoServerMain.h"

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/StrUtils.h"
#include "protocol/WireFormat.h"
#include "service/RestartServer.h"

namespace tavo {

namespace {

std::string ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string DirectoryWithSlash(const std::string& file) {
  std::string d = std::filesystem::path(file).parent_path().string();
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

}  // namespace

TTAVO_WindowsServer::TTAVO_WindowsServer(TServerOptions options, std::shared_ptr<TEventSink> sink,
                                         const TClock& clock)
    : options_(std::move(options)),
      clock_(clock),
      mainThread_(std::this_thread::get_id()),
      exePath_(ExecutablePath()),
      programDirectory_(DirectoryWithSlash(exePath_)),
      registry_(options_.RegistryFile.empty() ? programDirectory_ + "registry.ini"
                                              : options_.RegistryFile),
      sink_(std::move(sink)),
      fisNTEventLog1(registry_, clock_, sink_, exePath_),
      notices_(clock_, sink_),
      logging_(fisNTEventLog1, clock_),
      interpreter_(logging_),
      TAVOMainSocket(io_, "TAVOMainSocket", *this),
      TAVOUpdateSocket(io_, "TAVOUpdateSocket", *this),
      Timer3(io_) {
  fisNTEventLog1.SetAppName("Ker Vanta TAVO Server");
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

TTAVO_WindowsServer::~TTAVO_WindowsServer() { logging_.SetRestartHandler(nullptr, nullptr); }

void TTAVO_WindowsServer::RegisterCommands() {
  interpreter_.SetHandler("KEEPALIVE", [this](const TCommandContext& c) { return CmdKeepAlive(c); });
  interpreter_.SetHandler("GETSERVERVERSION",
                          [this](const TCommandContext& c) { return CmdGetServerVersion(c); });
}

TCommandResult TTAVO_WindowsServer::CmdKeepAlive(const TCommandContext& c) {
  c.Socket->SendText(FrameReply(Block("KEEPALIVE", ""), c.LineMode));
  return TCommandResult::Continue;
}

TCommandResult TTAVO_WindowsServer::CmdGetServerVersion(const TCommandContext& c) {
  c.Socket->SendText(FrameReply(Block("RETSERVERVERSION", kServerVersion), c.LineMode));
  // The client kind is read from the whole text, not from the block.
  const int32_t kind = StrToIntDef(GetField(c.Text, 2, ':'), 1) & 0xFF;
  if (kind == ctAdmin && SendClientList) SendClientList(c.BlockText, c.Socket, c.LineMode, false);
  return TCommandResult::Continue;
}

std::string TTAVO_WindowsServer::HostName() const {
  std::error_code ec;
  std::string h = asio::ip::host_name(ec);
  return ec ? std::string() : h;
}

void TTAVO_WindowsServer::EnableTimer3(bool enabled) {
  if (enabled == timer3Enabled_) return;
  timer3Enabled_ = enabled;
  if (enabled)
    Timer3Schedule();
  else
    Timer3.cancel();
}

void TTAVO_WindowsServer::Timer3Schedule() {
  Timer3.expires_after(std::chrono::milliseconds(120000));
  Timer3.async_wait([this](std::error_code ec) {
    if (ec || !timer3Enabled_) return;
    Timer3Timer();
    if (timer3Enabled_) Timer3Schedule();
  });
}

void TTAVO_WindowsServer::Timer3Timer() {
  // Maintenance work (update checks, midnight restart) hooks in here.
}

void TTAVO_WindowsServer::RestartSteps() {
  EnableTimer3(false);
  const long users = static_cast<long>(TAVOMainSocket.ActiveConnections()) - 1;
  fisNTEventLog1.LogError("Too many Errors! Restarting TAVO Server " +
                              DateTimeToStr(clock_.Now()) +
                              ". Connected users: " + std::to_string(users),
                          0);
  TAVOMainSocket.Close();
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

bool TTAVO_WindowsServer::ServiceCreate() {
  try {
    fisNTEventLog1.InitLogging();
  } catch (...) {
    return false;  // nothing can be logged without the event log
  }
  try {
    for (const auto& p : registry_.ParseProblems()) logging_.Logg(p, ltWarning);
    logging_.Logg(std::string("Service started version ") + kServerVersion, ltInfo);
    if (exePath_.empty()) throw std::runtime_error("Unable to get Current path");
    logging_.ResetErrorCount();

    const int32_t mainPort =
        StrToIntDef(registry_.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), 102);
    const int32_t updatePort = mainPort + 1;
    TAVOMainSocket.SetPort(static_cast<uint16_t>(mainPort));
    TAVOMainSocket.Open();
    TAVOUpdateSocket.SetPort(static_cast<uint16_t>(updatePort));
    if (updatePort != mainPort) TAVOUpdateSocket.Open();
    EnableTimer3(true);
    return true;
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in ServiceCreate: ") + e.what(), ltError);
  }
  return false;
}

void TTAVO_WindowsServer::ServiceDestroy() {
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
  EnableTimer3(false);
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
  if (!ServiceCreate()) {
    // A server that cannot serve ends, so that its service manager starts it again.
    ServiceDestroy();
    return 1;
  }
  sd_notify(0, "READY=1");
  io_.run();
  sd_notify(0, "STOPPING=1");
  ServiceDestroy();
  return exitStatus_;
}

}  // namespace tavo
