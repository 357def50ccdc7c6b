#include "protocol/ServerSocket.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
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

// No program the server starts inherits a listener or a client's connection.
void SetCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
}  // namespace

TServerSocket::TServerSocket(asio::io_context& io, std::string name, TSocketEvents& events)
    : io_(io),
      name_(std::move(name)),
      events_(events),
      acceptor_(io),
      acceptRetry_(io_),
      readBuffer_(kReadChunk) {
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
  acceptRetry_.cancel();
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
    SetCloseOnExec(acceptor_.native_handle());
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
  acceptRetry_.cancel();
  acceptPaused_ = false;
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
      if (ec == asio::error::no_descriptors || ec.value() == ENFILE ||
          ec == asio::error::no_buffer_space || ec == asio::error::no_memory) {
        // Retrying at once would fail again at once, a busy loop for as long as it lasts.
        PauseAccepting(ec);
        return;
      }
      Accept();  // a connection that failed on its own way in: the next one may succeed
      return;
    }
    if (acceptPaused_) {
      acceptPaused_ = false;
      events_.OnAcceptPaused(*this, false, {});
    }
    std::error_code ignore;
    SetCloseOnExec(s.native_handle());
    s.set_option(asio::ip::tcp::no_delay(true), ignore);
    auto c = std::make_shared<TTcpConnection>(*this, std::move(s));
    connections_.push_back(c);
    events_.OnClientConnect(*this, c);
    c->Start();
    if (acceptor_.is_open()) Accept();
  });
}

void TServerSocket::PauseAccepting(const std::error_code& ec) {
  if (!acceptPaused_) {
    acceptPaused_ = true;
    events_.OnAcceptPaused(*this, true, ec);
  }
  std::shared_ptr<bool> alive = alive_;
  acceptRetry_.expires_after(kAcceptRetry);
  acceptRetry_.async_wait([this, alive](std::error_code wec) {
    if (!*alive || wec || !acceptor_.is_open()) return;
    Accept();
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
      // Less than asked for: the socket had no more, and asking again only costs a call.
      if (got < buf.size()) break;
    }
    if (!chunk.empty()) {
      // Replies to every connection caused by this read go out together when it is handled.
      TWriteBatch::TScope gather(owner_->batch_);
      owner_->events_.OnClientRead(*owner_, self, chunk);
    }
    if (rec && rec != asio::error::would_block && rec != asio::error::try_again) {
      if (open_) Fail(rec);
      return;
    }
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
  if (!writing_ && owner_->batch_->Gathering()) {
    // Queued until the batch is written; anything after it queues behind, in order.
    writing_ = true;
    inBatch_ = true;
    owner_->batch_->Join(shared_from_this());
  } else if (!writing_) {
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

TMultiSend::TWrite TTcpConnection::BatchWrite() {
  TMultiSend::TWrite w;
  if (!open_ || !inBatch_) return w;
  for (size_t i = head_; i < queue_.size(); ++i) {
    const TOutgoing& item = queue_[i];
    if (!item.Bytes) continue;  // replaced by a newer list
    w.Fd = socket_.native_handle();
    w.Data = item.Bytes->data() + item.Written;
    w.Size = item.Bytes->size() - item.Written;
    break;
  }
  return w;
}

void TTcpConnection::BatchWritten(ssize_t result) {
  if (!inBatch_) return;
  inBatch_ = false;
  if (!open_ || finished_ || !*ownerAlive_) return;
  if (result > 0) Consumed(static_cast<size_t>(result));
  // The rest, or the whole reply after a failure: written now, or waited for. A failure shows
  // again there and is handled as for any write.
  Flush();
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
  if (inBatch_) {
    // Replies handed over before the close were on their way, as if written at once.
    inBatch_ = false;
    Flush();
    if (!open_) return;  // the write failed and closed the connection
  }
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
