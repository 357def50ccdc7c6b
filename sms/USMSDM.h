// TSMSDM: the gateway client of one worker run. Connect check, SMS upload and file download
// over HTTPS through libcurl, with the request settings, authentication and proxy parameters
// the gateway expects. Each worker creates its own module; only GatewayHost and
// GatewayConnected (TGatewayState) are shared between threads.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "common/Registry.h"
#include "platform/Logging.h"
#include "sms/GatewayState.h"
#include "sms/LbCipher.h"
#include "sms/LbClass.h"

namespace tavo {

// The text in a gateway answer that means "yes" to the connect check and to an upload.
inline constexpr const char* kGatewayMarker = "Authentication is required!";

struct TGatewayTimeouts {
  long ConnectMs = 15000;   // a dead gateway is given up quickly
  long RequestMs = 120000;  // and a stalled one never holds a worker for ever
};

class TSMSDM {
 public:
  // Throws when the HTTP client cannot be created.
  TSMSDM(TRegistryStore& registry, TLogging& logging, TGatewayState& gateway,
         std::filesystem::path programDir, TGatewayTimeouts timeouts = {});
  ~TSMSDM();
  TSMSDM(const TSMSDM&) = delete;
  TSMSDM& operator=(const TSMSDM&) = delete;

  // The millisecond tick count that names the encrypted files (GetTickCount unless set).
  void SetTickSource(std::function<uint32_t()> tick) { tick_ = std::move(tick); }
  // Bounds everything this module still does: every request ends by the deadline, and one
  // that would start after it fails as timed out.
  void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
  // A request in progress ends as soon as the flag is set (the shutdown sets it). The flag
  // must outlive the module.
  void SetAbortFlag(const std::atomic<bool>* abort);

  // Why the last request or check failed, naming the host and what failed ("refused",
  // "timed out", "TLS", "HTTP status 503", a refused upload, ...); empty after a success.
  const std::string& LastFailure() const { return lastFailure_; }
  // The encrypted file that the last upload answered without the marker left beside the
  // message file; empty when none was left.
  const std::filesystem::path& LeftEncryptedFile() const { return leftEncrypted_; }

  // Authentication, proxy and certificate settings for the next requests, read afresh from the
  // registry.
  void SetHTTPParams();
  // One connect attempt on host ("name" or "name:port"); on success the body is appended to
  // responseStream and the host becomes GatewayHost.
  bool TryConnect(const std::string& host, std::string& responseStream);
  // True when a gateway host answered positively (at once when another run already found one).
  bool ConnectToInternet();
  // Encrypts the message file and posts it; true when the gateway accepted it.
  bool SendSMSData(const std::filesystem::path& messageFile);
  // Downloads "https://" + GatewayHost + remotePath into localFile.
  bool GetSMSData(const std::string& remotePath, const std::filesystem::path& localFile);

 private:
  void DataModuleCreate();
  // The answers to the gateway's (401) and the proxy's (407) challenges; true = handled.
  bool HTTPAuthorization();
  bool HTTPProxyAuthorization();

  std::string Get(const std::string& url);
  std::string Post(const std::string& url, const std::string& body);
  // Runs one request with the challenge answers; returns the body of a 2xx answer and throws
  // for anything else (transport or TLS failure, HTTP error status).
  std::string Perform(const std::string& url, const std::string* body);
  template <typename T>
  void Set(CURLoption option, T value);

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  TRegistryStore& registry_;
  TLogging& logging_;
  TGatewayState& gateway_;
  std::filesystem::path programDir_;
  std::function<uint32_t()> tick_;
  TGatewayTimeouts timeouts_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  const std::atomic<bool>* abort_ = nullptr;
  std::string lastFailure_;
  std::filesystem::path leftEncrypted_;

  CURL* HTTP = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  TLbBlowfish LbBlowfish1;
  TKey128 Key{};

  std::string defaultCAFile_;  // libcurl's own bundle, used when "CAFile" is empty
  bool paramsSet_ = false;
  std::string response_;
  std::string statusLine_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace tavo
