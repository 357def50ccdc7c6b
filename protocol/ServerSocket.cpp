#include "protocol/ServerSocket.h"

#include <algorithm>

namespace tavo {

namespace {
constexpr size_t kReadChunk = 64 * 1024;
}

TServerSocket::TServerSocket(asio::io_context& io, std::string name, TSocketEvents& events)
    : io_(io), name_(std::move(name)), events_(events), acceptor_(io), readBuffer_(kReadChunk) {}

TServerSocket::~TServerSocket() {
  *alive_ = false;
  std::error_code ec;
  acceptor_.close(ec);
  for (auto& c : connections_) c->Close();
}

void TServerSocket::Open() {
  if (acceptor_.is_open()) return;
  asio::ip::tcp::endpoint ep(asio::ip::tcp::v6(), port_);
  std::error_code ec;
  acceptor_.open(ep.protocol(), ec);
  if (!ec) {
    acceptor_.set_option(asio::ip::v6_only(false), ec);
    ec.clear();
  } else {
    // No IPv6 on this host: all IPv4 addresses instead.
    ep = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port_);
    acceptor_.open(ep.protocol());
  }
  try {
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(asio::socket_base::max_listen_connections);
  } catch (...) {
    acceptor_.close(ec);
    throw;
  }
  events_.OnListen(*this);
  Accept();
}

void TServerSocket::Close() {
  std::error_code ec;
  acceptor_.close(ec);
  // Closing removes each connection from the list through its disconnect.
  auto copy = connections_;
  for (auto& c : copy) c->Close();
}

std::vector<TClientSocketPtr> TServerSocket::Connections() const {
  return {connections_.begin(), connections_.end()};
}

void TServerSocket::Accept() {
  std::shared_ptr<bool> alive = alive_;
  acceptor_.async_accept([this, alive](std::error_code ec, asio::ip::tcp::socket s) {
    if (!*alive) return;
    if (ec) {
      if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
      Accept();  // a failed accept (e.g. out of descriptors) must not stop listening
      return;
    }
    std::error_code ignore;
    s.set_option(asio::ip::tcp::no_delay(true), ignore);
    auto c = std::make_shared<TTcpConnection>(*this, std::move(s));
    connections_.push_back(c);
    events_.OnClientConnect(*this, c);
    c->Start();
    if (acceptor_.is_open()) Accept();
  });
}

void TServerSocket::Remove(TTcpConnection* c) {
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [c](const auto& p) { return p.get() == c; });
  if (it == connections_.end()) return;
  std::shared_ptr<TTcpConnection> keep = *it;
  connections_.erase(it);
  events_.OnClientDisconnect(*this, keep);
}

TTcpConnection::TTcpConnection(TServerSocket& owner, asio::ip::tcp::socket socket)
    : owner_(&owner),
      listenerName_(owner.Name()),
      socket_(std::move(socket)),
      ownerAlive_(owner.alive_) {
  // Taken now: once the peer has gone the endpoint can no longer be asked.
  std::error_code ec;
  const auto peer = socket_.remote_endpoint(ec);
  if (!ec) {
    // The listener takes IPv4 clients on an IPv6 socket; name them as IPv4 clients.
    asio::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
      address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    peerAddress_ = address.to_string() + ":" + std::to_string(peer.port());
  }
}

void TTcpConnection::Start() {
  std::error_code ec;
  socket_.non_blocking(true, ec);
  Read();
}

void TTcpConnection::Read() {
  auto self = shared_from_this();
  // Wait for readability, then read into the listener's one buffer: an idle connection holds
  // no read buffer of its own.
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [this, self](std::error_code ec) {
    if (finished_ || !*ownerAlive_) return;
    if (ec) {
      Fail(ec);
      return;
    }
    // Everything that is available now forms one chunk, as one receive of the platform.
    std::vector<char>& buf = owner_->readBuffer_;
    std::string chunk;
    std::error_code rec;
    while (chunk.size() < TMessageAssembler::kDefaultLimit + buf.size()) {
      size_t got = socket_.read_some(asio::buffer(buf), rec);
      if (rec) break;
      chunk.append(buf.data(), got);
    }
    if (rec && rec != asio::error::would_block && rec != asio::error::try_again) {
      if (!chunk.empty()) owner_->events_.OnClientRead(*owner_, self, chunk);
      if (open_) Fail(rec);
      return;
    }
    if (!chunk.empty()) owner_->events_.OnClientRead(*owner_, self, chunk);
    if (open_) Read();
  });
}

void TTcpConnection::SendText(const std::string& bytes) {
  if (!open_ || bytes.empty()) return;
  if (unsent_ + bytes.size() > owner_->maxUnsent_) {
    // A client that stopped reading: drop it rather than hold its backlog forever.
    auto self = shared_from_this();
    owner_->events_.OnSendOverflow(*owner_, self);
    Close();
    return;
  }
  unsent_ += bytes.size();
  queue_.push_back(bytes);
  if (!writing_) WriteNext();
}

void TTcpConnection::WriteNext() {
  if (queue_.empty() || !open_) {
    writing_ = false;
    return;
  }
  writing_ = true;
  auto self = shared_from_this();
  asio::async_write(socket_, asio::buffer(queue_.front()),
                    [this, self](std::error_code ec, size_t n) {
                      if (finished_ || !*ownerAlive_) return;
                      if (ec) {
                        writing_ = false;
                        Fail(ec);
                        return;
                      }
                      unsent_ -= n;
                      queue_.pop_front();
                      WriteNext();
                    });
}

void TTcpConnection::Fail(const std::error_code& ec) {
  if (ec == asio::error::operation_aborted) {
    Finish();
    return;
  }
  if (ec != asio::error::eof) {
    int code = ec.value();
    auto self = shared_from_this();
    owner_->events_.OnClientError(*owner_, self, code);
  }
  // A failed or ended transport cannot carry anything more: the connection is gone.
  Close();
}

void TTcpConnection::Close() {
  if (!open_) return;
  open_ = false;
  std::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  queue_.clear();
  unsent_ = 0;
  Finish();
}

void TTcpConnection::Finish() {
  if (finished_) return;
  finished_ = true;
  open_ = false;
  if (*ownerAlive_) owner_->Remove(this);
}

}  // namespace tavo
