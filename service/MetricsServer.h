// TMetricsServer: the operating answers of the HTTP endpoint (web/WebServer). GET /metrics
// answers in the Prometheus text format, GET /health with 200 or 503 and a short JSON body.
// It answers on the endpoint's thread and reads only the published status and the metrics'
// atomics, never the call list or connections.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/Metrics.h"
#include "service/OperatingStatus.h"
#include "service/ServingRole.h"

namespace tavo {

// The main loop counts as stalled when it has not published for this long.
inline constexpr std::chrono::seconds kLoopStallLimit{5};

// The bodies, apart from the HTTP layer so that they can be checked directly.
std::string RenderMetrics(const TMetrics& metrics, const TOperatingSnapshot& status,
                          double startTimeSeconds, const std::string& version);
// Returns the HTTP status (200 or 503) and fills the JSON body.
int RenderHealth(const TOperatingSnapshot& status, std::chrono::steady_clock::time_point now,
                 std::string& body);

class TMetricsServer {
 public:
  TMetricsServer(const TMetrics& metrics, const TOperatingStatus& status, double startTimeSeconds,
                 std::string version);
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  // In a standby pair /health answers from the role (set before the endpoint starts).
  void SetRole(TServingRole* role) { role_ = role; }

  // Answers one request (method and path); fills the body and content type.
  int Answer(const std::string& method, const std::string& path, std::string& body,
             std::string& contentType) const;

 private:
  const TMetrics& metrics_;
  const TOperatingStatus& status_;
  double startTime_;
  std::string version_;
  TServingRole* role_ = nullptr;
};

}  // namespace tavo
