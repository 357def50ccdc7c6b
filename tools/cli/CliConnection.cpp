#include "CliConnection.h"

#include <stdexcept>

#include "common/Win1252.h"

namespace tavo::cli {

namespace {
const std::string kStart = "#DATASTART#";
const std::string kEnd = "#DATAEND#";
}  // namespace

TCliConnection::TCliConnection(const std::string& host, uint16_t port,
                               std::chrono::milliseconds timeout)
    : socket_(io_) {
  asio::ip::tcp::resolver resolver(io_);
  std::error_code ec;
  auto endpoints = resolver.resolve(host, std::to_string(port), ec);
  if (ec) throw std::runtime_error("cannot resolve " + host + ": " + ec.message());
  std::error_code result = asio::error::timed_out;
  asio::async_connect(socket_, endpoints,
                      [&](std::error_code e, const asio::ip::tcp::endpoint&) { result = e; });
  io_.run_for(timeout);
  if (result) {
    socket_.close(ec);
    throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port) + ": " +
                             result.message());
  }
  io_.restart();
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

void TCliConnection::SendRaw(const std::string& utf8Bytes) {
  asio::write(socket_, asio::buffer(Utf8ToAnsi(utf8Bytes)));
}

void TCliConnection::Send(const std::string& utf8Content, bool lineMode) {
  SendRaw(lineMode ? utf8Content + "\r\n" : kStart + utf8Content + kEnd);
}

bool TCliConnection::ReadSome(TClockType::time_point deadline) {
  if (closed_) return false;
  const auto left = deadline - TClockType::now();
  if (left <= TClockType::duration::zero()) return false;
  char data[65536];
  bool got = false;
  socket_.async_read_some(asio::buffer(data), [&](std::error_code e, std::size_t n) {
    if (e) {
      if (e != asio::error::operation_aborted) closed_ = true;
      return;
    }
    buffer_.append(data, n);
    got = true;
  });
  io_.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(left) +
              std::chrono::milliseconds(1));
  if (!io_.stopped()) {
    // Time is up with the read still pending: cancel it and let the handler finish.
    std::error_code ec;
    socket_.cancel(ec);
    io_.run();
  }
  io_.restart();
  return got;
}

std::optional<std::string> TCliConnection::TakeMessage() {
  size_t skip = 0;
  while (skip < buffer_.size() && (buffer_[skip] == '\r' || buffer_[skip] == '\n')) ++skip;
  buffer_.erase(0, skip);
  if (buffer_.empty()) return std::nullopt;
  if (buffer_.compare(0, kStart.size(), kStart) == 0) {
    const size_t end = buffer_.find(kEnd, kStart.size());
    if (end == std::string::npos) return std::nullopt;
    std::string content = buffer_.substr(kStart.size(), end - kStart.size());
    buffer_.erase(0, end + kEnd.size());
    return AnsiToUtf8(content);
  }
  if (kStart.compare(0, buffer_.size(), buffer_) == 0 && buffer_.size() < kStart.size())
    return std::nullopt;  // the start marker itself is still arriving
  const size_t nl = buffer_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string line = buffer_.substr(0, nl);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  buffer_.erase(0, nl + 1);
  return AnsiToUtf8(line);
}

std::optional<std::string> TCliConnection::Next(TClockType::time_point deadline) {
  for (;;) {
    if (auto m = TakeMessage()) return m;
    if (!ReadSome(deadline)) return std::nullopt;
  }
}

std::optional<std::string> TCliConnection::WaitFor(const std::string& part,
                                                   TClockType::time_point deadline) {
  while (auto m = Next(deadline))
    if (m->find(part) != std::string::npos) return m;
  return std::nullopt;
}

std::string TCliConnection::ReadQuiet(std::chrono::milliseconds quiet,
                                      TClockType::time_point deadline) {
  if (buffer_.empty()) ReadSome(deadline);
  while (ReadSome(std::min(deadline, TClockType::now() + quiet))) {
  }
  std::string all = AnsiToUtf8(buffer_);
  buffer_.clear();
  return all;
}

}  // namespace tavo::cli
