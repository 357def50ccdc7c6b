// An in-memory connection: records what the server sends.
#pragma once

#include <string>
#include <vector>

#include "platform/ClientSocket.h"

namespace tavo::test {

class TFakeSocket final : public TClientSocket {
 public:
  explicit TFakeSocket(std::string listener = "TAVOMainSocket", std::string peer = "127.0.0.1")
      : listener_(std::move(listener)), peer_(std::move(peer)) {}
  bool Connected() const override { return connected_; }
  void SendShared(TSharedReply bytes, TReplyKind kind) override {
    if (!connected_ || !bytes) return;
    sent += *bytes;
    replies.push_back(std::move(bytes));
    kinds.push_back(kind);
  }
  void Close() override { connected_ = false; }
  const std::string& ListenerName() const override { return listener_; }
  const std::string& PeerAddress() const override { return peer; }
  void Clear() {
    sent.clear();
    replies.clear();
    kinds.clear();
  }

  std::string sent;
  std::string peer = "127.0.0.1:40000";
  // Every reply as handed over, so tests can see which buffers are shared and how each is marked.
  std::vector<TSharedReply> replies;
  std::vector<TReplyKind> kinds;

 private:
  std::string listener_;
  std::string peer_;
  bool connected_ = true;
};

}  // namespace tavo::test
