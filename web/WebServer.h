// TWebServer: the server's HTTP endpoint (libmicrohttpd on "MetricsAddress":"MetricsPort").
// It serves the pages /display/NAME and /overview with their event streams, their files
// under /web/, and hands every other request (/metrics, /health) to the plain handler it is
// given. One internal thread serves all connections. An event stream with nothing to send is
// suspended until its feed changes or its heartbeat is due; a stream whose browser stops
// reading makes no progress and is closed by the connection time-out, and the open streams
// are bounded ("WebDisplayMaxStreams"), so no browser can make the server hold more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/Metrics.h"
#include "web/EventStream.h"
#include "web/FeedBoard.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace tavo {

class TWebServer {
 public:
  // An answer that is no stream.
  struct TAnswer {
    int Status = 200;
    std::string Body;
    std::string ContentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> Headers;
  };
  // Answers a request for another path: fills body and content type, returns the status.
  using TPlainHandler = std::function<int(const std::string& method, const std::string& path,
                                          std::string& body, std::string& contentType)>;
  struct TSettings {
    // The token the pages require, UTF-8; empty: none. Read at every request.
    std::function<std::string()> Token;
    // A clock event of the server's time; called on the HTTP thread.
    std::function<std::string()> ClockEvent;
    // A feed got its first watcher (the HTTP thread): it needs a rendering.
    std::function<void(const std::string& key)> FirstWatch;
    TMetrics* Metrics = nullptr;  // counts the streams when given
    int MaxStreams = 64;
    std::chrono::milliseconds Heartbeat{5000};
    unsigned TimeoutSeconds = 10;  // a connection that makes no progress this long is closed
    int StreamSendBuffer = 64 * 1024;  // the kernel's share of a stream, per connection
  };
  static constexpr int kOtherConnections = 32;  // beyond the streams: pages, files, metrics, health

  TWebServer(TFeedBoard& board, TPlainHandler plain, TSettings settings);
  ~TWebServer();
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Listens on address:port (IPv4); throws std::runtime_error when it cannot.
  void Start(const std::string& address, uint16_t port);
  // Ends every stream and the endpoint.
  void Stop();
  bool Running() const { return daemon_ != nullptr; }
  int OpenStreams() const;

  // libmicrohttpd's entry points.
  // Answers one request; stream tells that the answer is an event stream.
  int Access(MHD_Connection* connection, const std::string& url, const std::string& method,
             bool& stream);
  void StreamEnded(const std::shared_ptr<TEventStream>& stream);
  void StreamDropped();

 private:
  // A page, its stream or its 404, once access is granted; a carries the headers to send.
  int Page(MHD_Connection* connection, const std::string& url, TAnswer a, bool& stream);
  int OpenStream(MHD_Connection* connection, const std::string& key, bool& stream);
  void Published(const std::string& key);
  void HeartbeatLoop();

  TFeedBoard& board_;
  TPlainHandler plain_;
  TSettings settings_;
  MHD_Daemon* daemon_ = nullptr;

  mutable std::mutex mutex_;  // the streams and the stop
  std::set<std::shared_ptr<TEventStream>> streams_;
  bool stopping_ = false;
  std::condition_variable heartbeatWake_;
  std::thread heartbeat_;
};

}  // namespace tavo
