// HTTP for the page tests, over the blocking loopback client: whole answers, and event streams
// read event by event. Requests are HTTP/1.0, so a stream comes without chunk framing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackClient.h"

namespace tavo::test {

struct THttpAnswer {
  int Status = 0;
  std::string Head;
  std::string Body;
};

inline THttpAnswer ParseAnswer(const std::string& all) {
  THttpAnswer a;
  std::sscanf(all.c_str(), "HTTP/1.%*d %d", &a.Status);
  const size_t body = all.find("\r\n\r\n");
  a.Head = all.substr(0, body);
  if (body != std::string::npos) a.Body = all.substr(body + 4);
  return a;
}

inline THttpAnswer HttpGet(uint16_t port, const std::string& path, const std::string& headers = "") {
  TLoopbackClient c(port);
  c.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
  for (int i = 0; i < 100 && !c.PeerClosed(); ++i) c.ReadFor(50);
  return ParseAnswer(c.Received());
}

struct TSseEvent {
  std::string Name;
  std::string Data;
};

// One open event stream.
class TEventStreamClient {
 public:
  TEventStreamClient(uint16_t port, const std::string& path, const std::string& headers = "")
      : client_(port) {
    client_.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n" +
                 headers + "\r\n");
  }
  // The answer's status and head, once they are there.
  THttpAnswer Head(int timeoutMs = 5000) {
    client_.WaitFor("\r\n\r\n", timeoutMs);
    return ParseAnswer(client_.Received());
  }
  // The next event of this name (others are passed over), or an empty one after the time.
  TSseEvent Next(const std::string& name, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (offset_ == 0) {
        const size_t body = client_.Received().find("\r\n\r\n");
        if (body != std::string::npos) offset_ = body + 4;
      }
      for (TSseEvent e; Pop(e);)
        if (e.Name == name) return e;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || client_.PeerClosed()) return {};
      // Whatever comes next; the loop looks for whole events in it.
      client_.ReadFor(static_cast<int>(std::min<int64_t>(left.count(), 50)));
    }
  }
  bool Closed() { client_.ReadFor(10); return client_.PeerClosed(); }
  TLoopbackClient& Client() { return client_; }

 private:
  bool Pop(TSseEvent& e) {
    const std::string& all = client_.Received();
    if (offset_ == 0) return false;
    const size_t end = all.find("\n\n", offset_);
    if (end == std::string::npos) return false;
    e = {};
    size_t pos = offset_;
    while (pos < end) {
      size_t nl = all.find('\n', pos);
      if (nl == std::string::npos || nl > end) nl = end;
      const std::string line = all.substr(pos, nl - pos);
      if (line.rfind("event: ", 0) == 0) e.Name = line.substr(7);
      if (line.rfind("data: ", 0) == 0) e.Data += line.substr(6);
      pos = nl + 1;
    }
    offset_ = end + 2;
    return true;
  }

  TLoopbackClient client_;
  size_t offset_ = 0;
};

}  // namespace tavo::test
