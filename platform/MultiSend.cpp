#include "platform/MultiSend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include <liburing.h>

namespace tavo {

namespace {
// Writes handed to the kernel per call; a larger broadcast takes several calls.
constexpr unsigned kRingEntries = 256;
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
}  // namespace

struct TMultiSend::TRing {
  io_uring Ring{};
};

TMultiSend::TMultiSend(bool useRing) : useRing_(useRing) {}

TMultiSend::~TMultiSend() {
  if (ring_) io_uring_queue_exit(&ring_->Ring);
}

// The ring is made on first use: a listener that never broadcasts never holds one.
void TMultiSend::Start() {
  started_ = true;
  if (!useRing_) {
    unavailable_ = "io_uring is not used";
    return;
  }
  auto ring = std::make_unique<TRing>();
  const int rc = io_uring_queue_init(kRingEntries, &ring->Ring, 0);
  if (rc < 0) {
    unavailable_ = std::string("io_uring cannot be set up: ") + std::strerror(-rc);
    return;
  }
  io_uring_probe* probe = io_uring_get_probe_ring(&ring->Ring);
  const bool sends = probe && io_uring_opcode_supported(probe, IORING_OP_SEND);
  if (probe) io_uring_free_probe(probe);
  if (!sends) {
    io_uring_queue_exit(&ring->Ring);
    unavailable_ = "the kernel's io_uring has no send operation";
    return;
  }
  ring_ = std::move(ring);
}

bool TMultiSend::Batched() {
  if (!started_) Start();
  return ring_ != nullptr;
}

const std::string& TMultiSend::Unavailable() {
  if (!started_) Start();
  return unavailable_;
}

void TMultiSend::SendEach(std::span<TWrite> writes) noexcept {
  for (TWrite& w : writes) {
    if (w.Fd < 0) continue;
    ssize_t n;
    do {
      n = ::send(w.Fd, w.Data, w.Size, kSendFlags);
    } while (n < 0 && errno == EINTR);
    w.Result = n < 0 ? -errno : n;
  }
}

void TMultiSend::Run(std::span<TWrite> writes) noexcept {
  size_t live = 0;
  for (TWrite& w : writes) {
    w.Result = 0;
    live += w.Fd >= 0;
  }
  // One write gains nothing from the ring.
  if (live <= 1 || !Batched()) {
    SendEach(writes);
    return;
  }
  io_uring& ring = ring_->Ring;
  size_t next = 0;
  while (next < writes.size()) {
    unsigned queued = 0;
    for (; next < writes.size() && queued < kRingEntries; ++next) {
      TWrite& w = writes[next];
      if (w.Fd < 0) continue;
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      if (!sqe) break;
      // MSG_DONTWAIT: a full socket completes with -EAGAIN at once instead of being waited for.
      io_uring_prep_send(sqe, w.Fd, w.Data, w.Size, kSendFlags);
      io_uring_sqe_set_data64(sqe, next);
      w.Result = -EINPROGRESS;
      ++queued;
    }
    if (queued == 0) continue;
    // Sends on sockets complete while they are submitted, so one call does the lot; the loop
    // only matters if the kernel takes the entries in parts.
    unsigned pending = queued;
    unsigned inFlight = 0;
    while (pending > 0 || inFlight > 0) {
      io_uring_cqe* first = nullptr;
      const int rc =
          pending > 0 ? io_uring_submit_and_wait(&ring, 1) : io_uring_wait_cqe(&ring, &first);
      if (rc == -EINTR) continue;
      if (rc >= 0 && pending > 0) {
        pending -= static_cast<unsigned>(rc);
        inFlight += static_cast<unsigned>(rc);
      }
      inFlight -= std::min(inFlight, Reap(writes));
      if (rc < 0) {
        Abandon(writes, -rc);
        return;
      }
    }
  }
}

// Takes the finished writes off the completion ring; returns how many there were.
unsigned TMultiSend::Reap(std::span<TWrite> writes) noexcept {
  io_uring& ring = ring_->Ring;
  unsigned head;
  unsigned seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring, head, cqe) {
    const uint64_t index = io_uring_cqe_get_data64(cqe);
    if (index < writes.size()) writes[index].Result = cqe->res;
    ++seen;
  }
  io_uring_cq_advance(&ring, seen);
  return seen;
}

// Gives the ring up for good after the kernel refused it. Writes not seen to finish are told
// "no room now": their connections write them the ordinary way once the socket is writable.
void TMultiSend::Abandon(std::span<TWrite> writes, int error) noexcept {
  io_uring_queue_exit(&ring_->Ring);
  ring_.reset();
  unavailable_ = std::string("io_uring stopped taking writes: ") + std::strerror(error);
  for (TWrite& w : writes)
    if (w.Fd >= 0 && (w.Result == -EINPROGRESS || w.Result == 0)) w.Result = -EAGAIN;
}

}  // namespace tavo
