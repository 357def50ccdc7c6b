// Logg, the one logging operation, and the process-wide error count that drives the
// automatic restart. Callable from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "common/Clock.h"
#include "common/TAVOcommon.h"
#include "platform/ClientSocket.h"
#include "platform/fisNTElog.h"

namespace tavo {

class TLogging {
 public:
  TLogging(TfisNTEventLog& eventLog, const TClock& clock);

  // Writes s to the event log, notifies the connection of an ltError when one is given, then
  // decides whether to restart. Never fails.
  void Logg(const std::string& s, TLoggType sev, const TClientSocketPtr& socket = nullptr) noexcept;

  // A failure handler's entry: "Error in " + operation + ": " + the failure text, counted
  // unless the failure is an ERequestError (a client's content, not a part of the server).
  // A failure of a known outage (EKnownOutage) writes nothing and counts nothing.
  void LogFailure(const std::string& operation, const std::exception& e,
                  const TClientSocketPtr& socket = nullptr) noexcept;

  // The count of handled failures: raised by the failure handlers before they call Logg.
  void IncErrorCount() noexcept { errorCount_.fetch_add(1); }
  int32_t ErrorCount() const noexcept { return errorCount_.load(); }
  void ResetErrorCount() noexcept { errorCount_.store(0); }

  // The restart steps after the decision (timer off, entry, main listener closed, restart
  // file started). Set by the service module, which runs them on its own thread; when the
  // handler throws, the failure entry is written and onFatal ends the process.
  void SetRestartHandler(std::function<void()> handler, std::function<void()> onFatal);

  // True when the count and the hour call for a restart.
  static bool ShouldRestart(int32_t errorCount, int hour);

  TfisNTEventLog& EventLog() { return eventLog_; }
  const TClock& Clock() const { return clock_; }

 private:
  TfisNTEventLog& eventLog_;
  const TClock& clock_;
  std::atomic<int32_t> errorCount_{0};
  std::mutex handlerMutex_;
  std::function<void()> restartHandler_;
  std::function<void()> onFatal_;
};

}  // namespace tavo
