// An in-memory connection: records what the server sends.
#pragma once

#include <string>

#include "platform/ClientSocket.h"

namespace tavo::test {

class TFakeSocket final : public TClientSocket {
 public:
  explicit TFakeSocket(std::string listener = "TAVOMainSocket", std::string peer = "127.0.0.1")
      : listener_(std::move(listener)), peer_(std::move(peer)) {}
  bool Connected() const override { return connected_; }
  void SendText(const std::string& bytes) override {
    if (connected_) sent += bytes;
  }
  void Close() override { connected_ = false; }
  const std::string& ListenerName() const override { return listener_; }
  const std::string& PeerAddress() const override { return peer; }

  std::string sent;
  std::string peer = "127.0.0.1:40000";

 private:
  std::string listener_;
  std::string peer_;
  bool connected_ = true;
};

}  // namespace tavo::test
