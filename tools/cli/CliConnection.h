// TCliConnection: the operator client's TCP connection to a server, with every wait bounded.
// Requests go out framed (or as one line), replies come back split into messages: a framed
// message's content, or one bare line. Text is UTF-8 on this side and Windows-1252 on the wire.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <asio.hpp>

namespace tavo::cli {

using TClockType = std::chrono::steady_clock;

class TCliConnection {
 public:
  // Throws std::runtime_error when the server cannot be reached within the timeout.
  TCliConnection(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);
  TCliConnection(const TCliConnection&) = delete;
  TCliConnection& operator=(const TCliConnection&) = delete;

  // Sends "#DATASTART#" + content + "#DATAEND#", or content + CR LF with lineMode.
  void Send(const std::string& utf8Content, bool lineMode = false);
  // Sends bytes exactly as given (UTF-8 converted, nothing added).
  void SendRaw(const std::string& utf8Bytes);

  // The next message, or nothing when none is complete by the deadline or the server closed.
  std::optional<std::string> Next(TClockType::time_point deadline);
  // Waits for the next message containing the text; the messages passed over are dropped.
  std::optional<std::string> WaitFor(const std::string& part, TClockType::time_point deadline);
  // Whatever arrives: waits for the first bytes until the deadline, then reads on until the
  // connection stays quiet for `quiet`. Bytes exactly as received, converted to UTF-8.
  std::string ReadQuiet(std::chrono::milliseconds quiet, TClockType::time_point deadline);
  bool Closed() const { return closed_; }

 private:
  // Reads once, waiting at most until the deadline; false on time-out or close.
  bool ReadSome(TClockType::time_point deadline);
  std::optional<std::string> TakeMessage();

  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  std::string buffer_;  // Windows-1252 bytes not yet handed out
  bool closed_ = false;
};

}  // namespace tavo::cli
