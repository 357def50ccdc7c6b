#include "protocol/ServerSocket.h"

#include <algorithm>
#include <array>
#include <span>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tavo {

namespace {
constexpr size_t kReadChunk = 64 * 1024;
// Buffers handed to one gathering write.
constexpr size_t kWriteBatch = 16;
// After dropping a backlog this large, free heap pages go back to the system; otherwise the
// process keeps the peak of every stalled reader for good.
constexpr size_t kTrimAfter = 1024 * 1024;

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
}  // namespace

TServerSocket::TServerSocket(asio::io_context& io, std::string name, TSocketEvents& events)
    : io_(io), name_(std::move(name)), events_(events), acceptor_(io), readBuffer_(kReadChunk) {
  ownBudget_.Attach(this);
}

void TServerSocket::SetSendBudget(TSendBudget& budget) {
  if (budget_ == &budget) return;
  budget_->Detach(this);
  budget_ = &budget;
  budget_->Attach(this);
}

TServerSocket::~TServerSocket() {
  budget_->Detach(this);
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

void TTcpConnection::SendShared(TSharedReply bytes, TReplyKind kind) {
  if (!open_ || !bytes || bytes->empty()) return;
  TSendBudget& budget = *owner_->budget_;
  const size_t k = static_cast<size_t>(kind);
  if (kind != TReplyKind::Other && notBegun_[k] != 0) {
    // The older list has not begun on the wire: it is of no use any more.
    TOutgoing& old = queue_[notBegun_[k] - 1];
    unsent_ -= old.Bytes->size();
    budget.Remove(old.Bytes->size());
    old.Bytes.reset();
    notBegun_[k] = 0;
  }
  const size_t size = bytes->size();
  if (unsent_ + size > owner_->maxUnsent_) {
    // A client that stopped reading: drop it rather than hold its backlog forever.
    auto self = shared_from_this();
    owner_->events_.OnSendOverflow(*owner_, self, TSendOverflow::Connection);
    Drop();
    return;
  }
  size_t written = 0;
  if (!writing_) {
    // Nothing queued: the kernel usually takes the whole reply at once, and then it is never
    // queued at all. A failure shows again on the wait below and is handled there.
    std::error_code ec;
    written = socket_.write_some(asio::buffer(*bytes), ec);
    if (ec) written = 0;
    if (written == size) return;
  }
  queue_.push_back(TOutgoing{std::move(bytes), written, kind});
  if (kind != TReplyKind::Other && written == 0) notBegun_[k] = queue_.size();
  unsent_ += size - written;
  budget.Add(size - written);
  if (!writing_) WaitWritable();
  if (budget.Exceeded()) owner_->ShedBacklogs();
}

void TTcpConnection::WaitWritable() {
  writing_ = true;
  auto self = shared_from_this();
  socket_.async_wait(asio::ip::tcp::socket::wait_write, [this, self](std::error_code ec) {
    if (finished_ || !*ownerAlive_ || !open_) return;
    if (ec) {
      writing_ = false;
      Fail(ec);
      return;
    }
    Flush();
  });
}

void TTcpConnection::Flush() {
  for (;;) {
    while (head_ < queue_.size() && !queue_[head_].Bytes) ++head_;  // replaced lists
    if (head_ == queue_.size()) break;
    std::array<asio::const_buffer, kWriteBatch> buffers;
    size_t count = 0;
    for (size_t i = head_; i < queue_.size() && count < kWriteBatch; ++i) {
      const TOutgoing& item = queue_[i];
      if (item.Bytes)
        buffers[count++] = asio::buffer(item.Bytes->data() + item.Written,
                                        item.Bytes->size() - item.Written);
    }
    std::error_code ec;
    const size_t n = socket_.write_some(
        std::span<const asio::const_buffer>(buffers.data(), count), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) break;
    if (ec) {
      writing_ = false;
      Fail(ec);
      return;
    }
    Consumed(n);
  }
  if (head_ < queue_.size()) {
    WaitWritable();
    return;
  }
  // Drained: a queue that grew for a slow reader gives its memory back.
  if (queue_.capacity() > 64) queue_ = {};
  queue_.clear();
  head_ = 0;
  for (size_t& i : notBegun_) i = 0;
  writing_ = false;
}

// Takes n written bytes off the front of the queue.
void TTcpConnection::Consumed(size_t n) {
  unsent_ -= n;
  owner_->budget_->Remove(n);
  while (head_ < queue_.size()) {
    TOutgoing& item = queue_[head_];
    if (!item.Bytes) {
      ++head_;
      continue;
    }
    if (n == 0) break;
    // Begun on the wire: no longer replaceable.
    if (item.Kind != TReplyKind::Other && notBegun_[static_cast<size_t>(item.Kind)] == head_ + 1)
      notBegun_[static_cast<size_t>(item.Kind)] = 0;
    const size_t take = std::min(n, item.Bytes->size() - item.Written);
    item.Written += take;
    n -= take;
    if (item.Written < item.Bytes->size()) break;
    item.Bytes.reset();
    ++head_;
  }
}

void TTcpConnection::ReleaseQueue() {
  if (*ownerAlive_) owner_->budget_->Remove(unsent_);
  unsent_ = 0;
  queue_ = {};
  head_ = 0;
  for (size_t& i : notBegun_) i = 0;
}

void TTcpConnection::Drop() {
  if (!open_) return;
  const bool large = unsent_ >= kTrimAfter;
  open_ = false;
  std::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  ReleaseQueue();
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [self, large] {
    self->Finish();
    if (large) ReturnFreeMemory();
  });
}

void TServerSocket::ShedBacklogs() {
  // Bounded: every round closes one connection with a backlog.
  while (budget_->Exceeded()) {
    TServerSocket* where = nullptr;
    std::shared_ptr<TTcpConnection> largest;
    for (TServerSocket* l : budget_->Listeners()) {
      for (const auto& c : l->connections_) {
        if (c->open_ && (!largest || c->unsent_ > largest->unsent_)) {
          largest = c;
          where = l;
        }
      }
    }
    if (!largest || largest->unsent_ == 0) break;
    where->events_.OnSendOverflow(*where, largest, TSendOverflow::AllConnections);
    largest->Drop();
  }
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
  const bool large = unsent_ >= kTrimAfter;
  ReleaseQueue();
  Finish();
  if (large) ReturnFreeMemory();
}

void TTcpConnection::Finish() {
  if (finished_) return;
  finished_ = true;
  open_ = false;
  ReleaseQueue();
  if (*ownerAlive_) owner_->Remove(this);
}

}  // namespace tavo
