// TfisNTEventLog: the server's event-log writer. Registers its event source in the registry
// store and writes information, warning and error entries through an event sink.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/Clock.h"
#include "common/Registry.h"
#include "platform/EventSink.h"

namespace tavo {

class ENTLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kEventIdInfo = 0x40020001;
inline constexpr uint32_t kEventIdWarning = 0x80020003;
inline constexpr uint32_t kEventIdError = 0xC0020002;

class TfisNTEventLog {
 public:
  TfisNTEventLog(TRegistryStore& registry, const TClock& clock, std::shared_ptr<TEventSink> sink,
                 std::string exePath);

  void InitLogging();
  void CreateRegEntry();
  void LogInfo(const std::string& msg, uint16_t wCategory);
  void LogWarning(const std::string& msg, uint16_t wCategory);
  void LogError(const std::string& msg, uint16_t wCategory);

  std::string AppName() const { return FAppName; }
  void SetAppName(std::string name) { FAppName = std::move(name); }
  bool Enabled() const { return FEnabled; }
  static std::string EventSourceKey(const std::string& appName);

 private:
  void Report(TEventType type, uint32_t id, const std::string& msg, uint16_t category);

  TRegistryStore& registry_;
  const TClock& clock_;
  std::shared_ptr<TEventSink> sink_;
  std::string exePath_;

  bool FEnabled = false;
  std::string FAppName = "Ker Vanta TAVO Server";
  std::string FCatFile;
  int32_t FAntalCats = 0;
};

// Notices of the service framework itself: source "TAVO_WindowsServer", success entries,
// identifier 1, category 0; not subject to the error count.
class TServiceNoticeLog {
 public:
  TServiceNoticeLog(const TClock& clock, std::shared_ptr<TEventSink> sink);
  void Notice(const std::string& msg) noexcept;

 private:
  const TClock& clock_;
  std::shared_ptr<TEventSink> sink_;
};

}  // namespace tavo
