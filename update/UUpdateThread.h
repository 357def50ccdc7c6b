// The self-update: a worker thread that asks the gateway, file by file, for the newest version
// of every program file "TAVO_*.exe" in the program directory, downloads a newer one and puts
// it in place, keeping the previous file as "Old_" + its name. When the server's own executable
// was replaced, the service restarts once the thread has ended. Also the rule that decides
// whether a run is due.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Registry.h"
#include "platform/Logging.h"
#include "sms/GatewayState.h"
#include "sms/USMSDM.h"
#include "update/ExeCheck.h"

namespace tavo {

// The update flags of the service module that a run writes. The main thread reads them only
// while no run is active; they are atomic so that each read sees a whole value all the same.
struct TUpdateState {
  std::atomic<bool> bStartNewExeFile{false};
  std::atomic<TDateTime> dtLastUpdated{0};
};

// What a run shares with the service. Held by shared_ptr: a run may outlive the module.
struct TUpdateContext {
  std::shared_ptr<TGatewayState> Gateway;
  std::shared_ptr<TRegistryStore> Registry;
  std::shared_ptr<TLogging> Logging;
  std::shared_ptr<const TClock> Clock;
  std::shared_ptr<TUpdateState> State;
  std::filesystem::path ProgramDir;
  std::string ClinicName;  // Windows-1252, as configured
  std::string ApplicationExeName = "TAVO_WServer.exe";
  int ExeCheckTimeoutMs = kExeCheckTimeoutMs;
  TGatewayTimeouts Timeouts;
  // Called on the worker as its very last act; the service posts OnUpdateThreadComplete from
  // here. May be empty.
  std::function<void()> OnTerminate;
};

// Due when the hour of the day passed the hour of the last run and the minute reached a random
// number 0..4 (drawn only then), when the date passed its date, or when forced.
bool UpdateDue(TDateTime now, TDateTime lastUpdated, bool force,
               const std::function<int()>& randomMinute);

// The gateway paths of a program file's version file and of its newest version.
std::string VersionResource(const std::string& fileName, const std::string& clinicName);
std::string UpdateResource(const std::string& fileName, const std::string& clinicName);

// The names matching "TAVO_*.exe" (letter case ignored) in the order the directory lists them.
std::vector<std::string> ProgramFileNames(const std::filesystem::path& dir);

class TUpdateThread {
 public:
  TUpdateThread(TUpdateContext context, bool forcecheck);

  // Runs the update on a detached thread of its own, which frees the object when it ends.
  // Throws when the thread cannot be started (the object is then freed at once).
  static void Start(std::unique_ptr<TUpdateThread> thread);

  // The run itself; never throws.
  void Execute() noexcept;

 private:
  void UpdateFile(const std::string& name);
  // Puts the old file back under the server's name when that name is empty.
  void RestoreApplicationExe();

  TUpdateContext context_;
  std::unique_ptr<TSMSDM> SMSDM;
  // The force flag of the request; the run itself does not consult it.
  [[maybe_unused]] bool forcecheck;
};

}  // namespace tavo
