// A listening socket with its connections in accept order, on Asio. Socket events are
// delivered to one TSocketEvents object on the io_context's thread, one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <asio.hpp>

#include "platform/ClientSocket.h"
#include "protocol/MessageAssembler.h"
#include "protocol/SendBudget.h"
#include "protocol/WriteBatch.h"

namespace tavo {

class TServerSocket;
class TTcpConnection;

enum class TSendOverflow : uint8_t { Connection, AllConnections };

// The five handlers bound to both listeners.
class TSocketEvents {
 public:
  virtual ~TSocketEvents() = default;
  virtual void OnListen(TServerSocket& listener) = 0;
  virtual void OnClientConnect(TServerSocket& listener, const TClientSocketPtr& socket) = 0;
  virtual void OnClientDisconnect(TServerSocket& listener, const TClientSocketPtr& socket) = 0;
  virtual void OnClientRead(TServerSocket& listener, const TClientSocketPtr& socket,
                            const std::string& chunk) = 0;
  // errorCode may be cleared by the handler; the socket layer takes no action of its own.
  virtual void OnClientError(TServerSocket& listener, const TClientSocketPtr& socket,
                             int& errorCode) = 0;
  // A connection is being closed because replies were not read: its own backlog passed the
  // per-connection limit, or all connections together passed the shared one and its backlog
  // was the largest.
  virtual void OnSendOverflow(TServerSocket& listener, const TClientSocketPtr& socket,
                              TSendOverflow why) = 0;
  // The process ran out of descriptors (or kernel memory) to accept with: accepting pauses and
  // is retried shortly. Told once when it starts (paused true, with the failure) and once when
  // a connection is accepted again (paused false).
  virtual void OnAcceptPaused(TServerSocket& /*listener*/, bool /*paused*/,
                              const std::error_code& /*ec*/) {}
};

class TServerSocket {
 public:
  static constexpr size_t kMaxUnsentBytes = 32u * 1024 * 1024;
  // Pause between accepts while descriptors are exhausted.
  static constexpr std::chrono::milliseconds kAcceptRetry{100};

  TServerSocket(asio::io_context& io, std::string name, TSocketEvents& events);
  ~TServerSocket();

  const std::string& Name() const { return name_; }
  void SetPort(uint16_t port) { port_ = port; }
  uint16_t Port() const { return port_; }
  // Binds all local addresses and starts accepting; throws std::system_error on failure.
  void Open();
  // Stops accepting and closes every connection.
  void Close();
  bool Active() const { return acceptor_.is_open(); }

  // Open connections in accept order.
  std::vector<TClientSocketPtr> Connections() const;
  size_t ActiveConnections() const { return connections_.size(); }

  void SetMaxUnsentBytes(size_t limit) { maxUnsent_ = limit; }
  // Shares a budget of unsent bytes with other listeners; without one, the listener has its
  // own of the default size. The budget must outlive the listener.
  void SetSendBudget(TSendBudget& budget);
  TSendBudget& SendBudget() { return *budget_; }
  // Shares the gathering of replies with other listeners, so that a read on one of them writes
  // the replies it causes on all of them at once.
  void SetWriteBatch(std::shared_ptr<TWriteBatch> batch) { batch_ = std::move(batch); }
  const std::shared_ptr<TWriteBatch>& WriteBatch() const { return batch_; }

 private:
  friend class TTcpConnection;
  void Accept();
  void PauseAccepting(const std::error_code& ec);
  void Remove(TTcpConnection* c);
  // Drops the largest backlogs of all listeners of the budget until it holds again.
  void ShedBacklogs();

  asio::io_context& io_;
  std::string name_;
  TSocketEvents& events_;
  uint16_t port_ = 108;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  bool acceptPaused_ = false;
  std::vector<std::shared_ptr<TTcpConnection>> connections_;
  size_t maxUnsent_ = kMaxUnsentBytes;
  TSendBudget ownBudget_;
  TSendBudget* budget_ = &ownBudget_;
  std::shared_ptr<TWriteBatch> batch_ = std::make_shared<TWriteBatch>();
  std::vector<char> readBuffer_;  // shared by all connections: reads happen one at a time
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class TTcpConnection final : public TClientSocket,
                             public std::enable_shared_from_this<TTcpConnection> {
 public:
  TTcpConnection(TServerSocket& owner, asio::ip::tcp::socket socket);

  bool Connected() const override { return open_; }
  void SendShared(TSharedReply bytes, TReplyKind kind) override;
  void Close() override;
  const std::string& ListenerName() const override { return listenerName_; }
  const std::string& PeerAddress() const override { return peerAddress_; }

  // Per-connection reassembly of framed messages.
  TMessageAssembler Incoming;

  void Start();
  size_t UnsentBytes() const { return unsent_; }

 private:
  friend class TServerSocket;
  friend class TWriteBatch;
  // One reply in the queue; Written counts its bytes already on the wire.
  struct TOutgoing {
    TSharedReply Bytes;  // null once replaced by a newer list
    size_t Written = 0;
    TReplyKind Kind = TReplyKind::Other;
  };
  static constexpr size_t kKinds = 3;

  void Read();
  // The batch's write for this connection: the first reply of its queue (none once closed).
  TMultiSend::TWrite BatchWrite();
  // What the kernel took of it (or -errno); the rest goes the ordinary way.
  void BatchWritten(ssize_t result);
  void WaitWritable();
  void Flush();
  void Consumed(size_t n);
  void ReleaseQueue();
  // Closes at once but leaves the disconnect to the loop: the sender may still be using the
  // connection's record.
  void Drop();
  void Fail(const std::error_code& ec);
  void Finish();

  TServerSocket* owner_;
  std::string listenerName_;
  std::string peerAddress_;
  asio::ip::tcp::socket socket_;
  std::shared_ptr<bool> ownerAlive_;
  // Replies not yet written, from head_ on; empty while the kernel takes everything at once.
  std::vector<TOutgoing> queue_;
  size_t head_ = 0;
  // Per kind: queue index + 1 of the list that has not begun on the wire, or 0.
  size_t notBegun_[kKinds] = {};
  size_t unsent_ = 0;
  bool writing_ = false;
  bool inBatch_ = false;  // joined the open batch; its queue goes out when the batch is written
  bool open_ = true;
  bool finished_ = false;
};

}  // namespace tavo
