#include "sms/USMSDM.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "common/Clock.h"
#include "common/Win1252.h"
#include "sms/SMSFiles.h"
#include "sms/ServerKey.h"

namespace tavo {
namespace {

// Request user and password of the gateway, sent with every request.
constexpr const char* kGatewayUser = "Hallonbar";
constexpr const char* kGatewayPassword = "mossgran";
constexpr const char* kUserAgent = "Mozilla/3.0 (compatible; Indy Library)";

class EHTTPError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void EnsureCurlGlobalInit() {
  // curl_global_init is not safe against concurrent first calls; every worker passes here.
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw std::runtime_error("The TLS library could not be loaded");
  });
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// StrToIntDef: the whole text must be a decimal integer.
long ParseIntDef(const std::string& text, long def) {
  long value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last) return def;
  return value;
}

std::string FileNameText(const std::filesystem::path& p) { return Utf8ToAnsi(p.string()); }

// "name:port" of an "https://name:port/path" address.
std::string HostOf(const std::string& url) {
  const size_t start = url.find("://");
  const size_t from = start == std::string::npos ? 0 : start + 3;
  return url.substr(from, url.find('/', from) - from);
}

// What failed, in the words an operator looks for.
std::string FailureKind(CURLcode rc, long osErrno) {
  switch (rc) {
    case CURLE_COULDNT_CONNECT: return osErrno == ECONNREFUSED ? "refused" : "not reachable";
    case CURLE_OPERATION_TIMEDOUT: return "timed out";
    case CURLE_COULDNT_RESOLVE_HOST: return "host name not found";
    case CURLE_COULDNT_RESOLVE_PROXY: return "proxy name not found";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return "TLS";
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return "connection lost";
    case CURLE_ABORTED_BY_CALLBACK: return "stopped by the shutdown";
    default: return curl_easy_strerror(rc);
  }
}

// An answer quoted in a failure text: its start, on one line.
std::string Quote(const std::string& text) {
  std::string out = text.substr(0, 200);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return out + (text.size() > 200 ? "..." : "");
}

std::string ReadWholeFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in)
    throw std::runtime_error("Cannot open file \"" + FileNameText(p) + "\". " +
                             std::strerror(errno));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("Read error on file \"" + FileNameText(p) + "\"");
  return data;
}

// DeleteFile: a file that is not there is no failure.
void RemoveFile(const std::filesystem::path& p) {
  if (::unlink(p.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("Cannot delete file \"" + FileNameText(p) + "\". " +
                             std::strerror(errno));
}

// Escapes what a URL cannot carry (blanks, control and non-ASCII characters, as UTF-8);
// "/", "?", "&" and "%" pass unchanged so that a prepared path stays as it is.
std::string EscapeUrlPath(const std::string& ansiPath) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : AnsiToUtf8(ansiPath)) {
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}#", c) != nullptr) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

TSMSDM::TSMSDM(TRegistryStore& registry, TLogging& logging, TGatewayState& gateway,
               std::filesystem::path programDir, TGatewayTimeouts timeouts)
    : registry_(registry),
      logging_(logging),
      gateway_(gateway),
      programDir_(std::move(programDir)),
      timeouts_(timeouts) {
  EnsureCurlGlobalInit();
  HTTP = curl_easy_init();
  if (!HTTP) throw std::runtime_error("The HTTP client could not be created");
  try {
    char* ca = nullptr;
    if (curl_easy_getinfo(HTTP, CURLINFO_CAINFO, &ca) == CURLE_OK && ca) defaultCAFile_ = ca;

    for (const char* h : {"Content-Type: text/html; charset=ISO-8859-1", "Accept: text/html, */*",
                          // The body goes at once; no gateway waits for "100 Continue".
                          "Expect:"}) {
      curl_slist* next = curl_slist_append(requestHeaders_, h);
      if (!next) throw std::runtime_error("Out of memory");
      requestHeaders_ = next;
    }
    Set(CURLOPT_HTTPHEADER, requestHeaders_);
    Set(CURLOPT_USERAGENT, kUserAgent);
    Set(CURLOPT_ERRORBUFFER, errorBuffer_);
    Set(CURLOPT_WRITEFUNCTION, &TSMSDM::OnBody);
    Set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    Set(CURLOPT_HEADERFUNCTION, &TSMSDM::OnHeader);
    Set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    Set(CURLOPT_NOSIGNAL, 1L);  // worker threads: no SIGALRM for name look-up time-outs
    Set(CURLOPT_CONNECTTIMEOUT_MS, timeouts.ConnectMs);
    Set(CURLOPT_TIMEOUT_MS, timeouts.RequestMs);
    Set(CURLOPT_PROTOCOLS_STR, "https");
    Set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    Set(CURLOPT_COOKIEFILE, "");  // cookies in memory, for this module's life only
    // Only the proxy of the registry, never one from the environment.
    Set(CURLOPT_PROXY, "");
    Set(CURLOPT_NOPROXY, "");
    DataModuleCreate();
  } catch (...) {
    curl_easy_cleanup(HTTP);
    curl_slist_free_all(requestHeaders_);
    throw;
  }
}

TSMSDM::~TSMSDM() {
  curl_easy_cleanup(HTTP);
  curl_slist_free_all(requestHeaders_);
}

void TSMSDM::DataModuleCreate() {
  Key = MakeServerKey();
  LbBlowfish1.SetKey(Key);
}

template <typename T>
void TSMSDM::Set(CURLoption option, T value) {
  CURLcode rc = curl_easy_setopt(HTTP, option, value);
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
}

size_t TSMSDM::OnBody(char* data, size_t size, size_t count, void* self) {
  static_cast<TSMSDM*>(self)->response_.append(data, size * count);
  return size * count;
}

int TSMSDM::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const std::atomic<bool>* abort = static_cast<TSMSDM*>(self)->abort_;
  return abort && abort->load() ? 1 : 0;
}

void TSMSDM::SetAbortFlag(const std::atomic<bool>* abort) {
  abort_ = abort;
  Set(CURLOPT_XFERINFOFUNCTION, &TSMSDM::OnProgress);
  Set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  Set(CURLOPT_NOPROGRESS, abort ? 0L : 1L);
}

size_t TSMSDM::OnHeader(char* data, size_t size, size_t count, void* self) {
  std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    static_cast<TSMSDM*>(self)->statusLine_ = line;  // the last one is the gateway's own
  }
  return size * count;
}

bool TSMSDM::HTTPAuthorization() {
  Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
  Set(CURLOPT_USERNAME, kGatewayUser);
  Set(CURLOPT_PASSWORD, kGatewayPassword);
  return true;
}

bool TSMSDM::HTTPProxyAuthorization() {
  Set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
  Set(CURLOPT_PROXYUSERNAME, "");
  Set(CURLOPT_PROXYPASSWORD, "");
  return true;
}

void TSMSDM::SetHTTPParams() {
  try {
    // Sent with every request, before any challenge.
    Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    Set(CURLOPT_USERNAME, kGatewayUser);
    Set(CURLOPT_PASSWORD, kGatewayPassword);

    auto reg = [this](const char* name, const std::string& def) {
      return registry_.ReadRegStringDef(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name, 0, def);
    };
    if (reg("UseProxy", "NO") == "YES") {
      Set(CURLOPT_PROXY, AnsiToUtf8(reg("ProxyServer", "")).c_str());
      Set(CURLOPT_PROXYPORT, ParseIntDef(reg("ProxyPort", "80"), 80));
      Set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
      if (reg("BasicAuthentication", "NO") == "YES") {
        Set(CURLOPT_PROXYUSERNAME, reg("ProxyUsername", "").c_str());
        Set(CURLOPT_PROXYPASSWORD, reg("ProxyPassword", "").c_str());
      } else {
        Set(CURLOPT_PROXYUSERNAME, static_cast<const char*>(nullptr));
        Set(CURLOPT_PROXYPASSWORD, static_cast<const char*>(nullptr));
      }
    } else {
      Set(CURLOPT_PROXY, "");
      Set(CURLOPT_PROXYPORT, 0L);
      Set(CURLOPT_PROXYUSERNAME, static_cast<const char*>(nullptr));
      Set(CURLOPT_PROXYPASSWORD, static_cast<const char*>(nullptr));
    }

    // A password travels in every upload: the gateway's certificate is checked unless the
    // administrator turns that off for a gateway that needs it.
    const bool verify = reg("VerifyCertificate", "YES") != "NO";
    Set(CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    Set(CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    std::string caFile = AnsiToUtf8(reg("CAFile", ""));
    if (caFile.empty()) caFile = defaultCAFile_;
    Set(CURLOPT_CAINFO, caFile.empty() ? static_cast<const char*>(nullptr) : caFile.c_str());
    paramsSet_ = true;
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in SetHTTPParams: ") + e.what(), ltError);
  }
}

std::string TSMSDM::Perform(const std::string& url, const std::string* body) {
  bool answered401 = false;
  bool answered407 = false;
  lastFailure_.clear();
  for (;;) {
    long connectMs = timeouts_.ConnectMs;
    long requestMs = timeouts_.RequestMs;
    if (deadline_) {
      const long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              *deadline_ - std::chrono::steady_clock::now())
                                              .count());
      if (left <= 0) {
        lastFailure_ = HostOf(url) + ": timed out (the try's time was used up)";
        throw EHTTPError("Operation timed out: the try's time was used up");
      }
      connectMs = std::min(connectMs, left);
      requestMs = std::min(requestMs, left);
    }
    Set(CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    Set(CURLOPT_TIMEOUT_MS, requestMs);
    Set(CURLOPT_URL, url.c_str());
    if (body) {
      Set(CURLOPT_POST, 1L);
      Set(CURLOPT_POSTFIELDS, body->data());
      Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    } else {
      Set(CURLOPT_HTTPGET, 1L);
    }
    response_.clear();
    statusLine_.clear();
    errorBuffer_[0] = '\0';
    const CURLcode rc = curl_easy_perform(HTTP);
    long status = 0;
    long proxyStatus = 0;
    curl_easy_getinfo(HTTP, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(HTTP, CURLINFO_HTTP_CONNECTCODE, &proxyStatus);

    if ((proxyStatus == 407 || (rc == CURLE_OK && status == 407)) && !answered407) {
      answered407 = true;
      if (HTTPProxyAuthorization()) continue;
    }
    if (rc != CURLE_OK) {
      std::string message = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(rc);
      if (rc == CURLE_PEER_FAILED_VERIFICATION)
        message +=
            " (the gateway's certificate was not accepted: name the certificates to trust "
            "in the registry value \"CAFile\", or set \"VerifyCertificate\" to \"NO\" to "
            "turn the check off)";
      long osErrno = 0;
      curl_easy_getinfo(HTTP, CURLINFO_OS_ERRNO, &osErrno);
      lastFailure_ = HostOf(url) + ": " + FailureKind(rc, osErrno) + " (" + message + ")";
      throw EHTTPError(message);
    }
    if (status == 401 && !answered401) {
      answered401 = true;
      if (HTTPAuthorization()) continue;
    }
    if (status < 200 || status > 299) {
      lastFailure_ = HostOf(url) + ": HTTP status " + std::to_string(status);
      throw EHTTPError(statusLine_.empty() ? "HTTP status " + std::to_string(status) : statusLine_);
    }
    return std::move(response_);
  }
}

std::string TSMSDM::Get(const std::string& url) { return Perform(url, nullptr); }

std::string TSMSDM::Post(const std::string& url, const std::string& body) {
  return Perform(url, &body);
}

bool TSMSDM::TryConnect(const std::string& host, std::string& responseStream) {
  try {
    SetHTTPParams();
    responseStream += Get("https://" + host + "/connect");
    gateway_.SetGatewayHost(host);
    return true;
  } catch (const std::exception& e) {
    std::string message = e.what();
    std::string upper = message;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (Contains(upper, "SSL"))
      logging_.Logg("Det gick inte att ansluta till Internet:" + message, ltError);
    return false;
  }
}

bool TSMSDM::ConnectToInternet() {
  if (gateway_.GatewayConnected()) return true;
  std::string stream;
  try {
    EnsureCurlGlobalInit();
  } catch (const std::exception& e) {
    logging_.Logg(std::string("Error in ConnectToInternet: ") + e.what(), ltError);
    return false;
  }
  try {
    // The hosts in order; each is read when its turn comes, as an earlier attempt or another
    // worker may have changed GatewayHost. Hosts nobody configured are passed over, and a host
    // already tried in this check is not tried again.
    const TGatewayHosts& builtIn = gateway_.BuiltIn();
    std::vector<std::string> tried;
    auto attempt = [&](const std::string& host) {
      if (host.empty() || std::find(tried.begin(), tried.end(), host) != tried.end()) return false;
      tried.push_back(host);
      return TryConnect(host, stream);
    };
    const std::string configured = registry_.ReadRegStringDef(
        HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "HTTPSERVER", 0, gateway_.GatewayHost());
    attempt(configured) || attempt(gateway_.GatewayHost()) || attempt(builtIn.Alternative) ||
        attempt(builtIn.Default) || attempt(builtIn.PrivateAddress);

    bool ok = Contains(stream, kGatewayMarker);
    if (!ok) {
      const std::string host = gateway_.GatewayHost();
      if (host.empty()) {
        if (tried.empty())
          throw std::runtime_error(
              "no gateway host is known; the registry value \"HTTPSERVER\" "
              "names the gateway");
        // No host has ever answered: there is nobody to ask again, and the failure of the
        // hosts tried is the answer.
        throw std::runtime_error(lastFailure_.empty() ? "no gateway host answered" : lastFailure_);
      }
      stream += Get("https://" + host + "/connect");
      ok = Contains(stream, kGatewayMarker);
      if (!ok) lastFailure_ = host + ": /connect was answered without \"" + kGatewayMarker + "\"";
    }
    if (!ok) return false;
    registry_.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "HTTPSERVER",
                             gateway_.GatewayHost());
    gateway_.SetGatewayConnected(true);
    return true;
  } catch (const std::exception& e) {
    if (lastFailure_.empty()) lastFailure_ = e.what();
    // The failure with the host it concerns, which the library's message does not name.
    logging_.Logg("Det gick inte att ansluta till Internet:" + lastFailure_, ltError);
    return false;
  }
}

bool TSMSDM::SendSMSData(const std::filesystem::path& messageFile) {
  std::filesystem::path encrypted;
  leftEncrypted_.clear();
  try {
    encrypted = CreateUniqueSMSFile(programDir_, kSMSEncryptedFilePrefix,
                                    tick_ ? tick_() : GetTickCount());
    LbBlowfish1.EncryptFile(messageFile, encrypted);

    std::string response;
    try {
      const std::string body = ReadWholeFile(encrypted);
      SetHTTPParams();
      response = Post("https://" + gateway_.GatewayHost() + "/POSTSMSDATA", body);
    } catch (const std::exception& e) {
      if (lastFailure_.empty()) lastFailure_ = e.what();
      logging_.Logg(
          "Error in SendSMSData.2: Det gick inte att skicka data till Ker Vanta: " + lastFailure_,
          ltInfo);
      RemoveFile(encrypted);
      RemoveFile(messageFile);
      return false;
    }
    if (Contains(response, kGatewayMarker)) {
      RemoveFile(encrypted);
      RemoveFile(messageFile);
      return true;
    }
    // Both files stay for the administrator to look at.
    lastFailure_ = gateway_.GatewayHost() + ": the upload was refused: " + Quote(response);
    leftEncrypted_ = encrypted;
    logging_.Logg(
        "Error in SendSMSData.1: Det gick inte att skicka data till Ker Vanta: " + response,
        ltInfo);
    return false;
  } catch (const std::exception& e) {
    lastFailure_ = e.what();
    logging_.IncErrorCount();
    logging_.Logg(std::string("Error in SendSMSData: ") + e.what(), ltError);
    // The encrypted file is ours: do not leave a half-made one behind.
    if (!encrypted.empty()) ::unlink(encrypted.c_str());
    return false;
  }
}

bool TSMSDM::GetSMSData(const std::string& remotePath, const std::filesystem::path& localFile) {
  try {
    int fd = -1;
    try {
      RemoveFile(localFile);
      fd = ::open(localFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0)
        throw std::runtime_error("Cannot create file \"" + FileNameText(localFile) + "\". " +
                                 std::strerror(errno));
      // Normally the connect check has set the parameters; when another worker's check let
      // this run skip its own, they are set here so the proxy still applies.
      if (!paramsSet_) SetHTTPParams();
      const std::string data = Get("https://" + gateway_.GatewayHost() + EscapeUrlPath(remotePath));
      for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
          if (errno == EINTR) continue;
          throw std::runtime_error("Write error on file \"" + FileNameText(localFile) + "\". " +
                                   std::strerror(errno));
        }
        done += static_cast<size_t>(n);
      }
      int rc = ::close(fd);
      fd = -1;
      if (rc != 0)
        throw std::runtime_error("Write error on file \"" + FileNameText(localFile) + "\". " +
                                 std::strerror(errno));
      return true;
    } catch (const std::exception& e) {
      if (fd >= 0) ::close(fd);
      logging_.Logg(std::string("Det gick inte att h\xE4mta data fr\xE5n Ker Vanta: ") + e.what(),
                    ltError);
      return false;
    }
  } catch (const std::exception& e) {
    logging_.Logg(std::string("Error in GetSMSData; ") + e.what(), ltError);
    return false;
  }
}

}  // namespace tavo
