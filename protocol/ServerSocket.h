// A listening socket with its connections in accept order, on Asio. Socket events are
// delivered to one TSocketEvents object on the io_context's thread, one at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <asio.hpp>

#include "platform/ClientSocket.h"
#include "protocol/MessageAssembler.h"

namespace tavo {

class TServerSocket;
class TTcpConnection;

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
  // A connection whose unsent bytes passed the limit is being closed.
  virtual void OnSendOverflow(TServerSocket& listener, const TClientSocketPtr& socket) = 0;
};

class TServerSocket {
 public:
  static constexpr size_t kMaxUnsentBytes = 32u * 1024 * 1024;

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

 private:
  friend class TTcpConnection;
  void Accept();
  void Remove(TTcpConnection* c);

  asio::io_context& io_;
  std::string name_;
  TSocketEvents& events_;
  uint16_t port_ = 108;
  asio::ip::tcp::acceptor acceptor_;
  std::vector<std::shared_ptr<TTcpConnection>> connections_;
  size_t maxUnsent_ = kMaxUnsentBytes;
  std::vector<char> readBuffer_;  // shared by all connections: reads happen one at a time
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class TTcpConnection final : public TClientSocket,
                             public std::enable_shared_from_this<TTcpConnection> {
 public:
  TTcpConnection(TServerSocket& owner, asio::ip::tcp::socket socket);

  bool Connected() const override { return open_; }
  void SendText(const std::string& bytes) override;
  void Close() override;
  const std::string& ListenerName() const override { return listenerName_; }
  const std::string& PeerAddress() const override { return peerAddress_; }

  // Per-connection reassembly of framed messages.
  TMessageAssembler Incoming;

  void Start();
  size_t UnsentBytes() const { return unsent_; }

 private:
  void Read();
  void WriteNext();
  void Fail(const std::error_code& ec);
  void Finish();

  TServerSocket* owner_;
  std::string listenerName_;
  std::string peerAddress_;
  asio::ip::tcp::socket socket_;
  std::shared_ptr<bool> ownerAlive_;
  std::deque<std::string> queue_;
  size_t unsent_ = 0;
  bool writing_ = false;
  bool open_ = true;
  bool finished_ = false;
};

}  // namespace tavo
