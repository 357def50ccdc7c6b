#include "web/WebServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "common/Win1252.h"
#include "web/Assets.h"
#include "web/PageAccess.h"
#include "web/PageFeeds.h"

namespace tavo {
namespace {

using TAnswer = TWebServer::TAnswer;

// What every page and file is sent with: nothing may come from elsewhere, no other site may
// frame the page, and the token in an address goes nowhere.
void SecurityHeaders(MHD_Response* r) {
  MHD_add_response_header(r, "Content-Security-Policy",
                          "default-src 'none'; script-src 'self'; style-src 'self'; "
                          "connect-src 'self'; img-src 'self'; base-uri 'none'; "
                          "form-action 'none'; frame-ancestors 'none'");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
}

MHD_Result Queue(MHD_Connection* connection, const TAnswer& a, bool page) {
  MHD_Response* r = MHD_create_response_from_buffer(a.Body.size(), const_cast<char*>(a.Body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  MHD_add_response_header(r, "Content-Type", a.ContentType.c_str());
  MHD_add_response_header(r, "Cache-Control", "no-store");
  if (page) SecurityHeaders(r);
  for (const auto& [name, value] : a.Headers) MHD_add_response_header(r, name.c_str(), value.c_str());
  const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(a.Status), r);
  MHD_destroy_response(r);
  return result;
}

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A short page in the pages' own style for an answer that is no page.
TAnswer Notice(int status, const std::string& title, const std::string& text) {
  TAnswer a;
  a.Status = status;
  a.Body = "<!DOCTYPE html>\n<html lang=\"sv\"><head><meta charset=\"utf-8\"><title>" +
           HtmlEscape(title) +
           "</title><link rel=\"stylesheet\" href=\"/web/pages.css\"></head>"
           "<body class=\"notice\"><main><h1>" +
           HtmlEscape(title) + "</h1><p>" + HtmlEscape(text) + "</p></main></body></html>\n";
  return a;
}

std::string Value(MHD_Connection* c, MHD_ValueKind kind, const char* key) {
  const char* v = MHD_lookup_connection_value(c, kind, key);
  return v ? v : "";
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

struct TStreamHolder {
  TWebServer* Server;
  std::shared_ptr<TEventStream> Stream;
};

ssize_t ReadStream(void* cls, uint64_t, char* buf, size_t max) {
  const ssize_t n = static_cast<TStreamHolder*>(cls)->Stream->Read(buf, max);
  return n < 0 ? MHD_CONTENT_READER_END_OF_STREAM : n;
}

void FreeStream(void* cls) {
  auto* holder = static_cast<TStreamHolder*>(cls);
  holder->Server->StreamEnded(holder->Stream);
  delete holder;
}

// A request's state: announced, or answered with an event stream.
int announced, streaming;

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** state) {
  // The first call only announces the request; a body, if any, is ignored.
  if (*state == nullptr) {
    *state = &announced;
    return MHD_YES;
  }
  *uploadSize = 0;
  try {
    bool stream = false;
    const bool ok = static_cast<TWebServer*>(cls)->Access(connection, url, method, stream);
    if (stream) *state = &streaming;
    return ok ? MHD_YES : MHD_NO;
  } catch (const std::exception&) {
    return MHD_NO;  // closes this connection, nothing else
  }
}

void Completed(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode why) {
  // A stream that took nothing for the time-out: its browser stopped reading.
  if (*state == &streaming && why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED)
    static_cast<TWebServer*>(cls)->StreamDropped();
}

}  // namespace

TWebServer::TWebServer(TFeedBoard& board, TPlainHandler plain, TSettings settings)
    : board_(board), plain_(std::move(plain)), settings_(std::move(settings)) {}

TWebServer::~TWebServer() { Stop(); }

int TWebServer::OpenStreams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(streams_.size());
}

void TWebServer::StreamDropped() {
  if (settings_.Metrics) settings_.Metrics->WebStreamsDropped.fetch_add(1);
}

int TWebServer::Access(MHD_Connection* connection, const std::string& url,
                       const std::string& method, bool& stream) {
  const bool file = StartsWith(url, "/web/");
  const bool page = url == "/overview" || url == "/overview/events" || StartsWith(url, "/display/");
  if (!file && !page) {
    TAnswer a;
    a.Status = plain_(method, url, a.Body, a.ContentType);
    return Queue(connection, a, false);
  }
  if (method != "GET" && method != "HEAD") {
    TAnswer a = Notice(405, "Fel metod", "Sidorna kan bara h\xC3\xA4mtas (GET).");
    a.Headers.emplace_back("Allow", "GET, HEAD");
    return Queue(connection, a, true);
  }
  if (file) {
    // The files are the same for everybody and hold no data: no token needed.
    const TAsset* asset = FindAsset(url.substr(5));
    if (!asset) return Queue(connection, Notice(404, "Finns inte", "Filen finns inte."), true);
    TAnswer a;
    a.Body.assign(asset->Body);
    a.ContentType.assign(asset->ContentType);
    return Queue(connection, a, true);
  }
  const std::string required = settings_.Token ? settings_.Token() : std::string();
  TOfferedToken offered{Value(connection, MHD_GET_ARGUMENT_KIND, "token"),
                        Value(connection, MHD_COOKIE_KIND, kTokenCookie),
                        Value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION)};
  if (!TokenAccepted(required, offered)) {
    TAnswer a = Notice(401, "\xC3\x85tkomst nekad",
                       "Sidan kr\xC3\xA4ver en nyckel: l\xC3\xA4gg till ?token=... i adressen.");
    a.Headers.emplace_back("WWW-Authenticate", "Bearer realm=\"TAVO\"");
    return Queue(connection, a, true);
  }
  // A token given in the address is kept as a cookie, so the page's own requests carry it.
  TAnswer a;
  if (!required.empty() && !offered.Query.empty() && CookieSafe(offered.Query))
    a.Headers.emplace_back("Set-Cookie", std::string(kTokenCookie) + "=" + offered.Query +
                                             "; Path=/; HttpOnly; SameSite=Strict");
  return Page(connection, url, std::move(a), stream);
}

int TWebServer::Page(MHD_Connection* connection, const std::string& url, TAnswer a,
                     bool& stream) {
  if (url == "/overview/events") return OpenStream(connection, kOverviewFeed, stream);
  std::string asset = "overview.html";
  if (url != "/overview") {
    std::string name = url.substr(std::string("/display/").size());
    const std::string suffix = "/events";
    const bool events = name.size() > suffix.size() &&
                        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (events) name.resize(name.size() - suffix.size());
    const std::string station = Utf8ToAnsi(name);
    if (!board_.IsDisplay(station)) {
      TAnswer missing = Notice(404, "Ingen visningsstation",
                               "Det finns ingen visningsstation som heter \"" + name + "\".");
      missing.Headers = a.Headers;
      return Queue(connection, missing, true);
    }
    if (events) return OpenStream(connection, kDisplayFeedPrefix + station, stream);
    asset = "display.html";
  }
  const TAsset* html = FindAsset(asset);
  if (!html) throw std::logic_error("the page " + asset + " is not built in");
  a.Body.assign(html->Body);
  return Queue(connection, a, true);
}

int TWebServer::OpenStream(MHD_Connection* connection, const std::string& key, bool& stream) {
  auto events = std::make_shared<TEventStream>(
      board_, key,
      TEventStream::THooks{[connection] { MHD_suspend_connection(connection); },
                           [connection] { MHD_resume_connection(connection); },
                           settings_.ClockEvent});
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || static_cast<int>(streams_.size()) >= settings_.MaxStreams) {
      if (settings_.Metrics) settings_.Metrics->WebStreamsRefused.fetch_add(1);
      TAnswer busy = Notice(503, "Upptaget", "F\xC3\xB6r m\xC3\xA5nga \xC3\xB6ppna sidor just nu.");
      busy.Headers.emplace_back("Retry-After", "10");
      return Queue(connection, busy, true);
    }
    streams_.insert(events);
    if (settings_.Metrics) settings_.Metrics->WebStreams.store(static_cast<int64_t>(streams_.size()));
  }
  board_.Watch(key);
  // The kernel holds no more of a stream than this, whether the browser reads or not.
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    const int size = settings_.StreamSendBuffer;
    ::setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  auto* holder = new TStreamHolder{this, events};
  MHD_Response* r =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadStream, holder, &FreeStream);
  if (!r) {
    FreeStream(holder);
    return MHD_NO;
  }
  MHD_add_response_header(r, "Content-Type", "text/event-stream; charset=utf-8");
  MHD_add_response_header(r, "Cache-Control", "no-store");
  MHD_add_response_header(r, "X-Accel-Buffering", "no");
  SecurityHeaders(r);
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, r);
  MHD_destroy_response(r);  // the connection holds it now, and frees the stream with it
  stream = result == MHD_YES;
  return result;
}

void TWebServer::StreamEnded(const std::shared_ptr<TEventStream>& stream) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.erase(stream);
    if (settings_.Metrics) settings_.Metrics->WebStreams.store(static_cast<int64_t>(streams_.size()));
  }
  board_.Unwatch(stream->Key());
}

void TWebServer::Published(const std::string& key) {
  std::vector<std::shared_ptr<TEventStream>> woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : streams_)
      if (s->Key() == key) woken.push_back(s);
  }
  for (const auto& s : woken) s->Wake();
}

void TWebServer::HeartbeatLoop() {
  for (;;) {
    std::vector<std::shared_ptr<TEventStream>> due;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      heartbeatWake_.wait_for(lock, settings_.Heartbeat, [this] { return stopping_; });
      if (stopping_) return;
      due.assign(streams_.begin(), streams_.end());
    }
    // Outside our lock: a wake reaches into libmicrohttpd, which may be ending a stream.
    for (const auto& s : due) s->Heartbeat();
  }
}

void TWebServer::Start(const std::string& address, uint16_t port) {
  Stop();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw std::runtime_error("MetricsAddress is not an IPv4 address: " + address);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  board_.SetListener({[this](const std::string& key) { Published(key); }, settings_.FirstWatch});
  const unsigned limit = static_cast<unsigned>(settings_.MaxStreams + kOtherConnections);
  // Bounded: a client that connects and says nothing is dropped, and only so many at a time.
  daemon_ = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, port,
                             nullptr, nullptr, &Handle, this, MHD_OPTION_SOCK_ADDR, &sa,
                             MHD_OPTION_CONNECTION_LIMIT, limit, MHD_OPTION_CONNECTION_TIMEOUT,
                             settings_.TimeoutSeconds, MHD_OPTION_NOTIFY_COMPLETED, &Completed,
                             this, MHD_OPTION_END);
  if (!daemon_)
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port));
  heartbeat_ = std::thread([this] { HeartbeatLoop(); });
}

void TWebServer::Stop() {
  if (!daemon_) return;
  std::vector<std::shared_ptr<TEventStream>> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    open.assign(streams_.begin(), streams_.end());
  }
  heartbeatWake_.notify_all();
  if (heartbeat_.joinable()) heartbeat_.join();
  // No connection may stay suspended when the daemon stops: each stream ends at its next
  // read, and no new one opens once stopping_ is set.
  for (const auto& s : open) s->Close();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  board_.SetListener({});
}

}  // namespace tavo
