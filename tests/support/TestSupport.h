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

// Set() moves the wall clock only, as setting the system time would; Advance() lets time pass
// on both clocks.
class TFakeClock final : public TClock {
 public:
  explicit TFakeClock(TDateTime now = EncodeDateTime(2026, 12, 10, 12, 0, 0)) : now_(now) {}
  TDateTime Now() const override { return now_.load(); }
  std::chrono::steady_clock::time_point Steady() const override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(steadyMs_.load()));
  }
  void Set(TDateTime now) { now_.store(now); }
  void Advance(double seconds) {
    now_.store(now_.load() + seconds / 86400.0);
    steadyMs_.fetch_add(static_cast<int64_t>(seconds * 1000.0));
  }

 private:
  std::atomic<TDateTime> now_;
  // Starts well past zero, so that "long ago" stays a valid time point.
  std::atomic<int64_t> steadyMs_{1000000000};
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
