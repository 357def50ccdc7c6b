// One broadcast's writes at the socket floor: a reply of display size to each of N loopback TCP
// connections, through one io_uring call or one send() each. The receivers are drained outside
// the timing, so the figure is the sender's cost alone.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/MultiSend.h"

namespace {

struct TConnections {
  std::vector<int> Senders, Receivers;
  explicit TConnections(int n) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 4096) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("loopback listener");
    const int one = 1;
    for (int i = 0; i < n; ++i) {
      const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);  // completes on loopback
      const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c < 0 || s < 0) throw std::runtime_error("loopback connection");
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Senders.push_back(s);
      Receivers.push_back(c);
    }
    ::close(listener);
  }
  ~TConnections() {
    for (int fd : Senders) ::close(fd);
    for (int fd : Receivers) ::close(fd);
  }
  void Drain() const {
    char buf[4096];
    for (int fd : Receivers)
      while (::read(fd, buf, sizeof buf) > 0) {
      }
  }
};

void BM_Broadcast(benchmark::State& state) {
  const bool ring = state.range(0) != 0;
  const int n = static_cast<int>(state.range(1));
  TConnections conns(n);
  tavo::TMultiSend sender(ring);
  if (ring && !sender.Batched()) {
    state.SkipWithError(sender.Unavailable().c_str());
    return;
  }
  const std::string reply(110, 'c');
  std::vector<tavo::TMultiSend::TWrite> writes;
  for (int fd : conns.Senders) writes.push_back({fd, reply.data(), reply.size(), 0});
  for (auto _ : state) {
    sender.Run(writes);
    state.PauseTiming();
    for (const auto& w : writes)
      if (w.Result != static_cast<ssize_t>(reply.size())) state.SkipWithError("short write");
    conns.Drain();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetLabel(ring ? "io_uring" : "send() each");
}
BENCHMARK(BM_Broadcast)->ArgsProduct({{0, 1}, {50, 200, 1000}})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
