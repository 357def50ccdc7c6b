// Replies handed to connections while one read is handled are written together when the
// handling ends: a broadcast to many displays becomes one system call instead of one per
// display. Listeners that share a batch (like a send budget) gather into the same one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/MultiSend.h"

namespace tavo {

class TTcpConnection;

class TWriteBatch {
 public:
  // Gathers while at least one scope is open; the outermost one writes when it closes.
  class TScope {
   public:
    explicit TScope(std::shared_ptr<TWriteBatch> batch);
    ~TScope();
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;

   private:
    std::shared_ptr<TWriteBatch> batch_;
  };

  bool Gathering() const { return depth_ > 0; }
  // The connection has replies queued and none on the wire; it is written at the end.
  void Join(std::shared_ptr<TTcpConnection> connection);

  // How replies are written, for the start-up log: empty when batched, else why not.
  std::string Unbatched() { return sender_.Batched() ? std::string() : sender_.Unavailable(); }

 private:
  void WriteAll() noexcept;

  int depth_ = 0;
  std::vector<std::shared_ptr<TTcpConnection>> joined_;
  std::vector<TMultiSend::TWrite> writes_;
  TMultiSend sender_;
};

}  // namespace tavo
