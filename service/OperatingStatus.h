// TOperatingStatus: what the main thread last saw of the server, for readers on other threads
// (the metrics endpoint). The main thread publishes a whole snapshot; readers copy one.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tavo {

struct TOperatingSnapshot {
  // Open connections by listener ("main", "update") and client kind ("call", "display",
  // "admin", "hardware", "none" before sign-on).
  std::map<std::pair<std::string, std::string>, int> Connections;
  int OpenCalls = 0;
  // Supervised display and hardware stations: up unless reported offline.
  struct TStationUp {
    std::string Name;  // Windows-1252, as stored
    std::string Type;  // "display" or "hardware"
    bool Up = true;
  };
  std::vector<TStationUp> Stations;
  int StationsOffline = 0;
  double OldestUnansweredSeconds = 0;
  int32_t ErrorCount = 0;
  bool MainListenerOpen = false;
  bool DatabaseOk = false;
  std::string DatabaseProblem;  // why the last check failed
  std::string Role = "serving";  // "serving" or "standby"
  // The connection is up (false during an outage: calls are served from memory and kept in
  // the journal), since when it is down, and how many outages there have been.
  bool DatabaseUp = true;
  double DatabaseDownSeconds = 0;
  uint64_t DatabaseOutages = 0;
  // Writes the journal holds for the database; whether its file takes them (else they are held
  // in memory only) and why not.
  size_t JournalRecords = 0;
  bool JournalInStep = true;
  std::string JournalProblem;
  // When the main loop last published (steady clock).
  std::chrono::steady_clock::time_point LoopTurned{};
  bool Published = false;
};

class TOperatingStatus {
 public:
  void Publish(TOperatingSnapshot snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = std::move(snapshot);
    snapshot_.Published = true;
  }
  TOperatingSnapshot Read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
  }

 private:
  mutable std::mutex mutex_;
  TOperatingSnapshot snapshot_;
};

}  // namespace tavo
