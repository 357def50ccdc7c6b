#include "FloatingAddress.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tavo::test {
namespace {

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

sockaddr_in Address(uint16_t port, const std::string& host = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  return a;
}

struct TPair {
  int Client;
  int Upstream;
  int Server;
  uint16_t ClientPort;
};

}  // namespace

THttpAnswer HttpGet(uint16_t port, const std::string& path, int timeoutMs, const std::string& host) {
  THttpAnswer a;
  CURL* c = curl_easy_init();
  if (!c) return a;
  const std::string url = "http://" + host + ":" + std::to_string(port) + path;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.Body);
  if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.Status);
  curl_easy_cleanup(c);
  return a;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

TFloatingAddress::TFloatingAddress(std::vector<TServer> servers) : servers_(std::move(servers)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address(0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listenFd_, 64) != 0)
    throw std::runtime_error("the floating address cannot listen");
  port_ = LocalPort(listenFd_);
  health_ = std::thread([this] { HealthLoop(); });
  pump_ = std::thread([this] { PumpLoop(); });
}

TFloatingAddress::~TFloatingAddress() {
  stop_ = true;
  health_.join();
  pump_.join();
  close(listenFd_);
}

int TFloatingAddress::WaitActive(int timeoutMs, int other) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    const int a = active_.load();
    if (a >= 0 && a != other) return a;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

int TFloatingAddress::ServerOf(uint16_t clientLocalPort) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = serverOf_.find(clientLocalPort);
  return it == serverOf_.end() ? -1 : it->second;
}

void TFloatingAddress::HealthLoop() {
  while (!stop_) {
    if (pinned_ >= 0) {
      active_ = pinned_.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    std::vector<int> serving;
    for (size_t i = 0; i < servers_.size(); ++i)
      if (HttpGet(servers_[i].HealthPort, "/health", 300, servers_[i].Host).Status == 200)
        serving.push_back(static_cast<int>(i));
    if (serving.size() > 1) ++bothServing_;
    // As keepalived: the address is where the one healthy server is, and nowhere when none is.
    if (serving.size() == 1)
      active_ = serving[0];
    else if (serving.empty())
      active_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void TFloatingAddress::PumpLoop() {
  std::vector<TPair> pairs;
  auto closePair = [&](size_t i) {
    close(pairs[i].Client);
    close(pairs[i].Upstream);
    pairs.erase(pairs.begin() + static_cast<long>(i));
  };
  char buf[65536];
  while (!stop_) {
    const int active = active_.load();
    for (size_t i = pairs.size(); i-- > 0;)
      if (pairs[i].Server != active) closePair(i);  // the address moved
    std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
    for (const auto& p : pairs) {
      fds.push_back({p.Client, POLLIN, 0});
      fds.push_back({p.Upstream, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    const size_t polled = pairs.size();  // a pair accepted below was not polled yet
    if (fds[0].revents & POLLIN) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int client =
          accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (client >= 0) {
        const int server = active_.load();
        int up = -1;
        if (server >= 0) {
          up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          const TServer& to = servers_[static_cast<size_t>(server)];
          sockaddr_in a = Address(to.MainPort, to.Host);
          if (connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(up);
            up = -1;
          }
        }
        if (up < 0) {
          close(client);  // nobody serves: the station finds nothing at the address
        } else {
          pairs.push_back({client, up, server, ntohs(peer.sin_port)});
          std::lock_guard<std::mutex> lock(mutex_);
          serverOf_[ntohs(peer.sin_port)] = server;
        }
      }
    }
    // Forward what arrived; a side that closed ends the pair. Indexes of fds follow pairs.
    std::vector<bool> dead(pairs.size(), false);
    for (size_t i = 0; i < polled; ++i) {
      for (int side = 0; side < 2 && !dead[i]; ++side) {
        const pollfd& f = fds[1 + 2 * i + static_cast<size_t>(side)];
        if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = side == 0 ? pairs[i].Client : pairs[i].Upstream;
        const int to = side == 0 ? pairs[i].Upstream : pairs[i].Client;
        const ssize_t n = recv(from, buf, sizeof buf, 0);
        if (n <= 0 || send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) dead[i] = true;
      }
    }
    for (size_t i = pairs.size(); i-- > 0;)
      if (dead[i]) closePair(i);
  }
  for (size_t i = pairs.size(); i-- > 0;) closePair(i);
}

}  // namespace tavo::test
