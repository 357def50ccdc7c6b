#include "service/PeerHealth.h"

#include <curl/curl.h>
#include <sys/socket.h>

namespace tavo {
namespace {

size_t Collect(char* data, size_t size, size_t n, void* out) {
  auto* body = static_cast<std::string*>(out);
  // A health answer is a line; anything longer is not one.
  if (body->size() + size * n > 4096) return 0;
  body->append(data, size * n);
  return size * n;
}

std::string JsonValue(const std::string& body, const std::string& key) {
  const std::string head = "\"" + key + "\":\"";
  const size_t at = body.find(head);
  if (at == std::string::npos) return {};
  const size_t from = at + head.size();
  const size_t end = body.find('"', from);
  return end == std::string::npos ? std::string() : body.substr(from, end - from);
}

// Nothing the server starts may inherit a socket.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

TPeerAnswer ReadPeerHealth(long status, const std::string& body, const std::string& ownInstance) {
  const std::string instance = JsonValue(body, "instance");
  if (!instance.empty() && instance == ownInstance) return TPeerAnswer::Itself;
  const std::string role = JsonValue(body, "role");
  if (status == 200 && role == "serving") return TPeerAnswer::Serving;
  if (status == 503 && role == "standby" && body.find("\"promise_s\":") != std::string::npos)
    return TPeerAnswer::Promise;
  return TPeerAnswer::None;
}

TPeerHealth::TPeerHealth(std::string address, std::string ownInstance)
    : url_("http://" + address + "/health"), instance_(std::move(ownInstance)), curl_(curl_easy_init()) {}

TPeerHealth::~TPeerHealth() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

TPeerAnswer TPeerHealth::Ask(std::chrono::milliseconds timeout) {
  CURL* c = static_cast<CURL*>(curl_);
  if (!c) return TPeerAnswer::None;
  std::string body;
  curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(c) != CURLE_OK) return TPeerAnswer::None;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  return ReadPeerHealth(status, body, instance_);
}

}  // namespace tavo
