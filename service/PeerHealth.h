// Asks the other server of a standby pair for its /health and reads what the answer means for
// this server's lease. One blocking request with a short time-out, for the role keeper's thread.
#pragma once

#include <chrono>
#include <string>

#include "service/ServingRole.h"

namespace tavo {

// What a /health answer (status and body) says, seen from the server whose instance is given.
TPeerAnswer ReadPeerHealth(long httpStatus, const std::string& body, const std::string& ownInstance);

class TPeerHealth {
 public:
  // address: "host:port" of the other server's metrics endpoint (registry "StandbyPeer").
  TPeerHealth(std::string address, std::string ownInstance);
  ~TPeerHealth();
  TPeerHealth(const TPeerHealth&) = delete;
  TPeerHealth& operator=(const TPeerHealth&) = delete;

  TPeerAnswer Ask(std::chrono::milliseconds timeout);
  const std::string& Url() const { return url_; }

 private:
  std::string url_;
  std::string instance_;
  void* curl_ = nullptr;  // CURL*, kept for its connection
};

}  // namespace tavo
