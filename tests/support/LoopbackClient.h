// A blocking TCP client on 127.0.0.1 for integration tests, with bounded waits.
#pragma once

#include <cstdint>
#include <string>

namespace tavo::test {

class TLoopbackClient {
 public:
  TLoopbackClient() = default;
  explicit TLoopbackClient(uint16_t port, int timeoutMs = 5000) { Connect(port, timeoutMs); }
  ~TLoopbackClient();
  TLoopbackClient(const TLoopbackClient&) = delete;
  TLoopbackClient& operator=(const TLoopbackClient&) = delete;

  // Retries until the port accepts or the time is up.
  bool Connect(uint16_t port, int timeoutMs = 5000);
  void Send(const std::string& bytes);
  // Reads until the received text contains `part` (returns everything received up to and
  // including that point is kept in the buffer) or the time is up; true when found.
  bool WaitFor(const std::string& part, int timeoutMs = 5000);
  // Reads whatever arrives within quietMs.
  std::string ReadFor(int quietMs);
  // Takes and clears what has been received so far.
  std::string Take();
  const std::string& Received() const { return buffer_; }
  bool PeerClosed() const { return closed_; }
  void Close();
  int Fd() const { return fd_; }

 private:
  bool ReadSome(int timeoutMs);
  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
};

// A free loopback TCP port (bound and released; good enough for tests).
uint16_t FreePort();
// A pair of consecutive free ports p, p+1.
uint16_t FreePortPair();

}  // namespace tavo::test
