// The real server executable, run in a program directory of its own for an integration test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace tavo::test {

class TServerProcess {
 public:
  // Copies the executable into a fresh program directory.
  TServerProcess();
  ~TServerProcess();

  const std::filesystem::path& ProgramDir() const { return dir_.Path(); }
  std::filesystem::path RegistryFile() const { return dir_ / "registry.ini"; }
  std::filesystem::path EventLogFile() const { return dir_ / "events.log"; }

  // A registry value under the server's key, written before Start.
  void SetRegistry(const std::string& name, const std::string& value);
  void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  // A program that starts the server and becomes it (e.g. ip netns exec NAME), for the next Start.
  void SetLauncher(std::vector<std::string> launcher) { launcher_ = std::move(launcher); }
  // Soft and hard limit of open descriptors for the next Start (0: inherited).
  void SetDescriptorLimit(uint64_t limit) { descriptorLimit_ = limit; }

  // Starts the server; extra arguments follow the standard ones.
  void Start(const std::vector<std::string>& extraArgs = {});
  // Waits until the port accepts connections.
  bool WaitListening(uint16_t port, int timeoutMs = 10000);
  // Waits until an event-log line contains the text.
  bool WaitForLog(const std::string& part, int timeoutMs = 10000);
  std::string EventLog() const;
  // SIGTERM and wait; the exit status (or 128+signal), -1 on time-out.
  int Stop(int timeoutMs = 10000);
  // Waits for the process to end by itself.
  int WaitExit(int timeoutMs = 10000);
  bool Running();
  pid_t Pid() const { return pid_; }
  // User and system CPU time the process has used so far, in seconds (-1 when unreadable).
  double CpuSeconds() const;
  // Sends a signal to the process.
  void Signal(int sig);

 private:
  TTempDir dir_;
  std::map<std::string, std::string> env_;
  uint64_t descriptorLimit_ = 0;
  std::vector<std::string> launcher_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace tavo::test
