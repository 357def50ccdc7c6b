// The end of every gateway worker: run on a detached thread, free that thread's TLS state, and
// only then give the end notice, after which the process may exit at once.
#pragma once

#include <functional>

namespace tavo {

// Throws when the thread cannot be started.
void StartWorkerThread(std::function<void()> work, std::function<void()> onTerminate);

}  // namespace tavo
