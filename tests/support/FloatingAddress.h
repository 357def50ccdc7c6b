// The floating address of a standby pair as keepalived gives it to the stations: a loopback
// port whose connections are relayed to whichever server's /health answers 200. When that
// changes, every relayed connection is cut, as when the address moves to the other machine,
// and the stations connect again. It remembers which server each connection reached.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavo::test {

struct THttpAnswer {
  long Status = 0;  // 0: no answer
  std::string Body;
};
// GET http://host:port/path within the time-out.
THttpAnswer HttpGet(uint16_t port, const std::string& path, int timeoutMs = 1000,
                    const std::string& host = "127.0.0.1");

class TFloatingAddress {
 public:
  struct TServer {
    uint16_t MainPort;
    uint16_t HealthPort;
    std::string Host = "127.0.0.1";  // an address of a network namespace the test made
  };
  explicit TFloatingAddress(std::vector<TServer> servers);
  ~TFloatingAddress();
  TFloatingAddress(const TFloatingAddress&) = delete;
  TFloatingAddress& operator=(const TFloatingAddress&) = delete;

  uint16_t Port() const { return port_; }
  // The server (index) whose /health answered 200 last; -1 for none.
  int Active() const { return active_.load(); }
  // Waits until a server other than `other` is active; its index, or -1 on time-out.
  int WaitActive(int timeoutMs, int other = -1) const;
  // The server a client connection reached, by the client's local port; -1 if none.
  int ServerOf(uint16_t clientLocalPort) const;
  // How often both servers answered 200 in the same round.
  int BothServing() const { return bothServing_.load(); }
  // From now on relays to that server whatever its /health says: a server of its own, whose
  // stations reach it directly.
  void Pin(int server) { pinned_ = server; }

 private:
  void HealthLoop();
  void PumpLoop();

  std::vector<TServer> servers_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> active_{-1};
  std::atomic<int> bothServing_{0};
  std::atomic<int> pinned_{-1};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<uint16_t, int> serverOf_;  // client local port -> server
  std::thread health_, pump_;
};

// The local port of a connected socket.
uint16_t LocalPort(int fd);

}  // namespace tavo::test
