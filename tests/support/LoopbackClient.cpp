#include "LoopbackClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace tavo::test {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

TLoopbackClient::~TLoopbackClient() { Close(); }

void TLoopbackClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TLoopbackClient::Connect(uint16_t port, int timeoutMs) {
  Close();
  closed_ = false;
  buffer_.clear();
  const int64_t end = NowMs() + timeoutMs;
  do {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return true;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (NowMs() < end);
  return false;
}

void TLoopbackClient::Send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    off += static_cast<size_t>(n);
  }
}

bool TLoopbackClient::ReadSome(int timeoutMs) {
  if (fd_ < 0 || closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[65536];
  ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.append(buf, static_cast<size_t>(n));
  return true;
}

bool TLoopbackClient::WaitFor(const std::string& part, int timeoutMs) {
  const int64_t end = NowMs() + timeoutMs;
  while (buffer_.find(part) == std::string::npos) {
    int64_t left = end - NowMs();
    if (left <= 0) return false;
    if (!ReadSome(static_cast<int>(left)) && closed_) return buffer_.find(part) != std::string::npos;
  }
  return true;
}

std::string TLoopbackClient::ReadFor(int quietMs) {
  while (ReadSome(quietMs)) {
  }
  return buffer_;
}

std::string TLoopbackClient::Take() {
  std::string s;
  s.swap(buffer_);
  return s;
}

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

static bool PortFree(uint16_t port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int off = 0;
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_any;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

uint16_t FreePortPair() {
  for (int i = 0; i < 200; ++i) {
    uint16_t p = FreePort();
    if (p < 65535 && PortFree(p) && PortFree(static_cast<uint16_t>(p + 1))) return p;
  }
  throw std::runtime_error("no free port pair");
}

}  // namespace tavo::test
