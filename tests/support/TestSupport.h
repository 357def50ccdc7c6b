// Shared test helpers: a settable clock, a temporary directory, and a logging stack whose
// entries land in memory.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "common/Clock.h"
#include "common/Registry.h"
#include "platform/EventSink.h"
#include "platform/Logging.h"
#include "platform/fisNTElog.h"

namespace tavo::test {

class TFakeClock final : public TClock {
 public:
  explicit TFakeClock(TDateTime now = EncodeDateTime(2026, 12, 10, 12, 0, 0)) : now_(now) {}
  TDateTime Now() const override { return now_.load(); }
  void Set(TDateTime now) { now_.store(now); }

 private:
  std::atomic<TDateTime> now_;
};

// A fresh directory under the temporary directory, removed with the object.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Registry store, event log and Logg wired to a memory sink, for units that log.
struct TLogEnv {
  TTempDir dir;
  TFakeClock clock;
  TRegistryStore registry{dir / "registry.ini"};
  std::shared_ptr<TMemorySink> sink = std::make_shared<TMemorySink>();
  TfisNTEventLog eventLog{registry, clock, sink, "/opt/tavo/TAVO_WServer.exe"};
  TLogging log{eventLog, clock};

  TLogEnv() { eventLog.InitLogging(); }
};

std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& content);

}  // namespace tavo::test
