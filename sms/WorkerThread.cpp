#include "sms/WorkerThread.h"

#include <openssl/crypto.h>

#include <thread>

namespace tavo {

void StartWorkerThread(std::function<void()> work, std::function<void()> onTerminate) {
  std::thread([work = std::move(work), onTerminate = std::move(onTerminate)]() mutable {
    try {
      work();
    } catch (...) {
    }
    work = nullptr;  // what the work held goes before the notice
    OPENSSL_thread_stop();
    if (onTerminate) {
      try {
        onTerminate();
      } catch (...) {
      }
    }
  }).detach();
}

}  // namespace tavo
