#include "ServerProcess.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "LoopbackClient.h"
#include "common/Registry.h"

extern char** environ;

namespace tavo::test {

TServerProcess::TServerProcess() {
  std::filesystem::copy_file(TAVO_SERVER_EXE, dir_ / "TAVO_WServer.exe");
  std::filesystem::permissions(dir_ / "TAVO_WServer.exe", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
}

TServerProcess::~TServerProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void TServerProcess::SetRegistry(const std::string& name, const std::string& value) {
  TRegistryStore reg(RegistryFile());
  reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name, value);
}

void TServerProcess::Start(const std::vector<std::string>& extraArgs) {
  std::vector<std::string> args = {(dir_ / "TAVO_WServer.exe").string(), "--foreground",
                                   "--registry", RegistryFile().string(), "--event-log",
                                   EventLogFile().string()};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  args.insert(args.begin(), launcher_.begin(), launcher_.end());
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    std::string key = s.substr(0, s.find('='));
    // Never let the test's own service environment make the server think it runs under systemd.
    if (key == "INVOCATION_ID" || key == "JOURNAL_STREAM" || env_.count(key)) continue;
    env.push_back(s);
  }
  for (auto& [k, v] : env_) env.push_back(k + "=" + v);
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::chdir(dir_.Path().c_str()) != 0) _exit(126);
    if (descriptorLimit_ != 0) {
      const rlimit lim{descriptorLimit_, descriptorLimit_};
      if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(125);
    }
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  status_ = -1;
}

double TServerProcess::CpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends at the last ')': state is field 3, utime 14.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void TServerProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool TServerProcess::WaitListening(uint16_t port, int timeoutMs) {
  TLoopbackClient c;
  return c.Connect(port, timeoutMs);
}

std::string TServerProcess::EventLog() const { return ReadFile(EventLogFile()); }

bool TServerProcess::WaitForLog(const std::string& part, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (EventLog().find(part) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return EventLog().find(part) != std::string::npos;
}

int TServerProcess::WaitExit(int timeoutMs) {
  if (status_ >= 0) return status_;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool TServerProcess::Running() { return pid_ > 0 && WaitExit(0) < 0; }

int TServerProcess::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  if (status_ < 0) ::kill(pid_, SIGTERM);
  return WaitExit(timeoutMs);
}

}  // namespace tavo::test
