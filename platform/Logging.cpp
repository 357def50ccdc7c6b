#include "platform/Logging.h"

#include "common/KnownOutage.h"
#include "common/RequestError.h"

namespace tavo {

TLogging::TLogging(TfisNTEventLog& eventLog, const TClock& clock)
    : eventLog_(eventLog), clock_(clock) {}

void TLogging::SetRestartHandler(std::function<void()> handler, std::function<void()> onFatal) {
  std::lock_guard<std::mutex> lock(handlerMutex_);
  restartHandler_ = std::move(handler);
  onFatal_ = std::move(onFatal);
}

bool TLogging::ShouldRestart(int32_t errorCount, int hour) {
  if (errorCount > 20) return true;
  return errorCount > 5 && (hour <= 6 || hour >= 18);
}

void TLogging::LogFailure(const std::string& operation, const std::exception& e,
                          const TClientSocketPtr& socket) noexcept {
  if (IsKnownOutage(e)) return;  // reported once when the outage began
  if (!dynamic_cast<const ERequestError*>(&e)) IncErrorCount();
  try {
    Logg("Error in " + operation + ": " + e.what(), ltError, socket);
  } catch (...) {
  }
}

void TLogging::Logg(const std::string& s, TLoggType sev, const TClientSocketPtr& socket) noexcept {
  try {
    switch (sev) {
      case ltError:
        eventLog_.LogWarning(s, 1);
        break;
      case ltWarning:
        eventLog_.LogWarning(s, 1);
        break;
      default:
        eventLog_.LogInfo(s, 1);
        break;
    }
  } catch (...) {
  }
  if (sev == ltError && socket) {
    try {
      if (socket->Connected()) {
        // The reverse of the reply framing rule: the line-mode client gets the framed form.
        if (socket->Data && socket->Data->isAndroid)
          socket->SendText("#DATASTART#ERRORMESSAGE:Error from TAVOServer: " + s +
                           "#DATAEND#\r\n");
        else
          socket->SendText("ERRORMESSAGE:Error from TAVOServer: " + s + "\r\n");
      }
    } catch (...) {
    }
  }

  std::function<void()> handler, onFatal;
  try {
    int32_t count = errorCount_.load();
    if (!ShouldRestart(count, HourOf(clock_.Now()))) return;
    // Read and reset in one step: of two threads deciding at once, only one restarts.
    if (!errorCount_.compare_exchange_strong(count, 0)) return;
    {
      std::lock_guard<std::mutex> lock(handlerMutex_);
      handler = restartHandler_;
      onFatal = onFatal_;
    }
    if (handler) handler();
  } catch (...) {
    try {
      eventLog_.LogError("Error Restarting TAVO Server closing Service...", 0);
    } catch (...) {
    }
    try {
      if (onFatal) onFatal();
    } catch (...) {
    }
  }
}

}  // namespace tavo
