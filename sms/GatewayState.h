// What all gateway clients of the process share: the host in use and whether a connect check
// has succeeded. Worker threads read and write both at any time, so each access is guarded.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace tavo {

// The gateway hosts built into the program. They are set when the program is built and are
// empty unless the build names them; an empty host is never contacted.
struct TGatewayHosts {
  std::string Default;  // the initial GatewayHost
  std::string Alternative;
  std::string PrivateAddress;  // the gateway's address on the private network
};

TGatewayHosts BuiltInGatewayHosts();

class TGatewayState {
 public:
  explicit TGatewayState(TGatewayHosts builtIn = BuiltInGatewayHosts())
      : builtIn_(std::move(builtIn)), host_(builtIn_.Default) {}

  std::string GatewayHost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_;
  }
  void SetGatewayHost(std::string host) {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = std::move(host);
  }

  bool GatewayConnected() const { return connected_.load(); }
  void SetGatewayConnected(bool connected) { connected_.store(connected); }

  const TGatewayHosts& BuiltIn() const { return builtIn_; }

 private:
  const TGatewayHosts builtIn_;
  mutable std::mutex mutex_;
  std::string host_;
  std::atomic<bool> connected_{false};
};

}  // namespace tavo
