#include "platform/fisNTElog.h"

namespace tavo {

TfisNTEventLog::TfisNTEventLog(TRegistryStore& registry, const TClock& clock,
                               std::shared_ptr<TEventSink> sink, std::string exePath)
    : registry_(registry), clock_(clock), sink_(std::move(sink)), exePath_(std::move(exePath)) {}

std::string TfisNTEventLog::EventSourceKey(const std::string& appName) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + appName;
}

void TfisNTEventLog::CreateRegEntry() {
  const std::string key = EventSourceKey(FAppName);
  if (!registry_.KeyExists(HKEY_LOCAL_MACHINE, key)) {
    if (!registry_.CreateKey(HKEY_LOCAL_MACHINE, key))
      throw ENTLogError("Unable to register application.");
    registry_.WriteRegString(HKEY_LOCAL_MACHINE, key, "EventMessageFile", exePath_);
    registry_.WriteRegDWord(HKEY_LOCAL_MACHINE, key, "TypesSupported", 7);
    if (FAntalCats > 0) {
      registry_.WriteRegString(HKEY_LOCAL_MACHINE, key, "CategoryMessageFile", FCatFile);
      registry_.WriteRegDWord(HKEY_LOCAL_MACHINE, key, "CategoryCount",
                              static_cast<uint32_t>(FAntalCats));
    }
  } else if (FAntalCats > 0) {
    registry_.WriteRegString(HKEY_LOCAL_MACHINE, key, "CategoryMessageFile", FCatFile);
    registry_.WriteRegDWord(HKEY_LOCAL_MACHINE, key, "CategoryCount",
                            static_cast<uint32_t>(FAntalCats));
  }
}

void TfisNTEventLog::InitLogging() {
  CreateRegEntry();
  if (!sink_) {
    FEnabled = false;
    throw ENTLogError("Unable to register event source.");
  }
  FEnabled = true;
}

void TfisNTEventLog::Report(TEventType type, uint32_t id, const std::string& msg,
                            uint16_t category) {
  if (!FEnabled) return;
  TEventEntry e;
  e.Time = clock_.Now();
  e.Type = type;
  e.EventId = id;
  e.Category = category;
  e.Source = FAppName;
  e.Message = msg;
  sink_->Write(e);
}

void TfisNTEventLog::LogInfo(const std::string& msg, uint16_t wCategory) {
  Report(TEventType::Information, kEventIdInfo, msg, wCategory);
}

void TfisNTEventLog::LogWarning(const std::string& msg, uint16_t wCategory) {
  Report(TEventType::Warning, kEventIdWarning, msg, wCategory);
}

void TfisNTEventLog::LogError(const std::string& msg, uint16_t wCategory) {
  Report(TEventType::Error, kEventIdError, msg, wCategory);
}

TServiceNoticeLog::TServiceNoticeLog(const TClock& clock, std::shared_ptr<TEventSink> sink)
    : clock_(clock), sink_(std::move(sink)) {}

void TServiceNoticeLog::Notice(const std::string& msg) noexcept {
  try {
    if (!sink_) return;
    TEventEntry e;
    e.Time = clock_.Now();
    e.Type = TEventType::Success;
    e.EventId = 1;
    e.Category = 0;
    e.Source = "TAVO_WindowsServer";
    e.Message = msg;
    sink_->Write(e);
  } catch (...) {
  }
}

}  // namespace tavo
