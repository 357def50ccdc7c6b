// A stand-in for a downloaded server build. Started with --version it says nothing and keeps
// running (a minute at most), unless TAVO_TEST_ANSWER is set: then it prints that line, or a
// complaint when it can see the service manager's notify socket.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  if (const char* answer = std::getenv("TAVO_TEST_ANSWER")) {
    std::puts(std::getenv("NOTIFY_SOCKET") ? "saw NOTIFY_SOCKET" : answer);
    return 0;
  }
  for (int i = 0; i < 60; ++i) ::sleep(1);
  return 0;
}
