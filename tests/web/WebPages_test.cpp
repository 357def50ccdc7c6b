// The pages of the real server over HTTP: a display's event stream says what the display
// station is sent, names that are no display get 404, the token, the bound on streams, a
// stream that stops reading, and the overview.
#include <sys/socket.h>

#include <thread>

#include "WebFixture.h"

namespace tavo::test {
namespace {

using WebPages = WebFixture;

TEST_F(WebPages, DisplayStreamSaysWhatTheDisplayStationIsSent) {
  Seed();
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto exp = SignOn("Exp", 0);
  auto display = SignOn("Visning1", 1);
  TEventStreamClient stream(httpPort, "/display/Visning1/events");
  const THttpAnswer head = stream.Head();
  EXPECT_EQ(head.Status, 200);
  EXPECT_NE(head.Head.find("Content-Type: text/event-stream"), std::string::npos) << head.Head;
  const TSseEvent clock = stream.Next("clock");
  EXPECT_EQ(clock.Data.substr(0, 8), "{\"now\":\"") << "the first event is the server's time";
  const TSseEvent first = stream.Next("list");
  ASSERT_FALSE(first.Data.empty());
  const auto json = nlohmann::json::parse(first.Data);
  EXPECT_EQ(json["station"], "Visning1");
  EXPECT_EQ(json["friendly"], "Visning 1");
  EXPECT_EQ(RowsOfListJson(json["resources"]),
            (TRows{"R|Doktor A|3|255|1", "R|Sköterska|5|65535|2"}));

  // Each step changes the display's list, but the call to the cancel resource, which leaves
  // it as it was.
  const std::string steps[] = {"¤CALLING:3:CALLING¤", "¤CALLING:5:CALLING¤", "¤CALLING:9:CALLING¤",
                               "¤COMING:3:1:COMING¤", "¤CALLING:3:CALLING¤"};
  TRows shown = RowsOfListJson(json["resources"]);
  for (const std::string& step : steps) {
    TLoopbackClient& from = step.find("COMING") != std::string::npos ? *exp : *rum;
    const TRows wire = Change(from, step, *display);
    EXPECT_EQ(Follow(stream, shown, wire), wire) << step;
  }
}

TEST_F(WebPages, PagesFilesAndNamesThatAreNoDisplay) {
  Seed();
  seeded.Start();
  struct Case {
    const char* path;
    int status;
    const char* part;  // in the body
  };
  const Case cases[] = {
      {"/display/Visning1", 200, "/web/display.js"},
      {"/display/V%C3%A4ntrum", 200, "/web/display.js"},
      {"/display/Lampa", 200, "/web/display.js"},  // hardware stations show calls too
      {"/overview", 200, "/web/overview.js"},
      {"/display/Rum%201", 404, "Rum 1"},  // a call station
      {"/display/Nobody/events", 404, "Nobody"},
      {"/display/%3Cb%3Ex", 404, "&lt;b&gt;x"},
      {"/display/", 404, "ingen visningsstation"},
      {"/web/pages.js", 200, "EventSource"},
      {"/web/pages.css", 200, ".resources"},
      {"/web/secret.txt", 404, "Filen finns inte"},
      {"/metrics", 200, "tavo_web_streams 0"},
      {"/health", 200, "\"status\":\"ok\""},
      {"/", 404, "not found"},
  };
  for (const Case& c : cases) {
    const THttpAnswer a = HttpGet(httpPort, c.path);
    EXPECT_EQ(a.Status, c.status) << c.path;
    EXPECT_NE(a.Body.find(c.part), std::string::npos) << c.path << ": " << a.Body;
  }
  const THttpAnswer page = HttpGet(httpPort, "/display/Visning1");
  EXPECT_NE(page.Head.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
  EXPECT_NE(HttpGet(httpPort, "/web/display.js").Head.find("Content-Type: text/javascript"), std::string::npos);
  TLoopbackClient post(httpPort);
  post.Send("POST /overview HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
  post.WaitFor("\r\n\r\n");
  EXPECT_EQ(ParseAnswer(post.Received()).Status, 405);
}

TEST_F(WebPages, TokenRequiredByPagesWhenSet) {
  Seed();
  seeded.server.SetRegistry("WebDisplayToken", "s3cret-Token");
  seeded.Start();
  struct Case {
    const char* path;
    const char* headers;
    int status;
  };
  const Case cases[] = {
      {"/overview", "", 401},
      {"/overview?token=wrong", "", 401},
      {"/overview?token=s3cret-Toke", "", 401},
      {"/overview?token=s3cret-Token", "", 200},
      {"/display/Visning1", "Cookie: tavo_token=s3cret-Token\r\n", 200},
      {"/display/Visning1", "Authorization: Bearer s3cret-Token\r\n", 200},
      {"/display/Visning1", "Cookie: tavo_token=s3cret\r\n", 401},
      {"/display/Nobody", "", 401},  // no station names to anybody without the token
      {"/web/display.js", "", 200},  // the files hold no data
      {"/metrics", "", 200},
      {"/health", "", 200},
  };
  for (const Case& c : cases) EXPECT_EQ(HttpGet(httpPort, c.path, c.headers).Status, c.status) << c.path << " " << c.headers;
  const THttpAnswer denied = HttpGet(httpPort, "/display/Visning1");
  EXPECT_NE(denied.Head.find("WWW-Authenticate: Bearer"), std::string::npos) << denied.Head;
  const THttpAnswer granted = HttpGet(httpPort, "/display/Visning1?token=s3cret-Token");
  EXPECT_NE(granted.Head.find("Set-Cookie: tavo_token=s3cret-Token; Path=/; HttpOnly; SameSite=Strict"),
            std::string::npos)
      << granted.Head;
  TEventStreamClient refused(httpPort, "/display/Visning1/events");
  EXPECT_EQ(refused.Head().Status, 401);
  TEventStreamClient stream(httpPort, "/display/Visning1/events?token=s3cret-Token");
  EXPECT_FALSE(stream.Next("list").Data.empty());
  // A new token holds from the next request on, without a restart.
  seeded.server.SetRegistry("WebDisplayToken", "other");
  EXPECT_EQ(HttpGet(httpPort, "/overview?token=s3cret-Token").Status, 401);
  EXPECT_EQ(HttpGet(httpPort, "/overview?token=other").Status, 200);
}

TEST_F(WebPages, OverviewShowsStationsCallsSmsRoleAndNothingMore) {
  Seed();
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  Send(*rum, "¤CALLING:5:CALLING¤");
  rum->WaitFor("RETCALLLIST");
  TEventStreamClient stream(httpPort, "/overview/events");
  auto json = nlohmann::json::parse(stream.Next("overview").Data);
  EXPECT_EQ(json["version"], "1.10.4");
  EXPECT_EQ(json["role"], "serving");
  EXPECT_EQ(json["sms"], (nlohmann::json{{"queued", 0}, {"failed", 0}}));
  EXPECT_EQ(RowsOfListJson(json["calls"]).size(), 2u);
  EXPECT_EQ(json["calls"][0]["name"], "Sköterska");
  std::map<std::string, bool> online;
  for (const auto& s : json["stations"]) online[s["name"]] = s["online"];
  EXPECT_EQ(online, (std::map<std::string, bool>{{"Exp", false}, {"Lampa", false}, {"Rum 1", true},
                                                 {"Visning1", false}, {"Väntrum", false}}));
  // The supervision's word for the displays and hardware it watches: not seen yet, but within
  // the grace after the start; nothing for the call stations it does not watch.
  for (const auto& s : json["stations"]) {
    if (s["type"] == "display" || s["type"] == "hardware")
      EXPECT_EQ(s["supervision"], "waiting") << s;
    else
      EXPECT_TRUE(s["supervision"].is_null()) << s;
  }
  // A station that signs on is online within the overview's second.
  auto display = SignOn("Visning1", 1);
  bool seen = false;
  for (int i = 0; i < 5 && !seen; ++i) {
    const TSseEvent e = stream.Next("overview", 2000);
    if (e.Data.empty()) continue;
    const auto overviewJson = nlohmann::json::parse(e.Data);
    for (const auto& s : overviewJson["stations"])
      if (s["name"] == "Visning1" && s["online"]) seen = true;
  }
  EXPECT_TRUE(seen);
  // What a display station is never sent: SMS numbers, device identities.
  TEventStreamClient list(httpPort, "/display/V%C3%A4ntrum/events");
  EXPECT_FALSE(list.Next("list").Data.empty());
  for (TEventStreamClient* s : {&stream, &list}) {
    EXPECT_EQ(s->Client().Received().find(kSmsNumber), std::string::npos);
    EXPECT_EQ(s->Client().Received().find(kImei), std::string::npos);
  }
}

TEST_F(WebPages, StreamsAreBoundedAndOnesThatStopReadingAreDropped) {
  Seed();
  // Long names make every list large (about 40 KB), so a stream that is not read fills its
  // buffers at once, and a server that queued lists for it would hold megabytes.
  for (int r = 0; r < 40; ++r) {
    seeded.Resource(100 + r, "Resurs " + std::to_string(r) + " " + std::string(1000, 'x'), "R", r);
    seeded.List(3, 100 + r, 10 + r);
  }
  seeded.server.SetRegistry("WebDisplayMaxStreams", "6");
  // Freed memory goes back to use at once, so the resident size shows what is held.
  const char* asan = std::getenv("ASAN_OPTIONS");
  seeded.server.SetEnv("ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=1");
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);

  // Browsers that stop reading: a small receive buffer, never read.
  std::vector<std::unique_ptr<TLoopbackClient>> stalled;
  for (int i = 0; i < 4; ++i) {
    auto c = std::make_unique<TLoopbackClient>();
    const int small = 4096;
    c->Connect(httpPort);
    ::setsockopt(c->Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    c->Send("GET /display/Visning1/events HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    stalled.push_back(std::move(c));
  }
  TEventStreamClient reader(httpPort, "/display/Visning1/events");
  TEventStreamClient overview(httpPort, "/overview/events");
  ASSERT_FALSE(reader.Next("list").Data.empty());
  ASSERT_FALSE(overview.Next("overview").Data.empty());
  EXPECT_EQ(Metric("tavo_web_streams"), "6");
  TEventStreamClient seventh(httpPort, "/overview/events");
  EXPECT_EQ(seventh.Head().Status, 503) << "the bound of open streams";
  EXPECT_EQ(Metric("tavo_web_streams_refused_total"), "1");

  const long before = ServerRssKb();
  // Calls open and close for 25 s; every change is a fresh list for every stream.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  int changes = 0;
  while (std::chrono::steady_clock::now() < end) {
    Send(*rum, "¤CALLING:3:CALLING¤");
    rum->WaitFor(W("RETCALLLIST¤"));
    rum->Take();
    ++changes;
    reader.Next("list", 100);  // the reading browser keeps up
    overview.Next("overview", 1);
  }
  const long after = ServerRssKb();
  // The server closed the stalled streams: they took nothing for longer than the time-out.
  EXPECT_EQ(Metric("tavo_web_streams"), "2");
  EXPECT_EQ(Metric("tavo_web_streams_dropped_total"), "4");
  EXPECT_FALSE(reader.Closed());
  EXPECT_FALSE(reader.Next("clock", 10000).Data.empty()) << "the reading stream is still served";
  // Each stream holds one shared list at most; four stalled ones holding every list of the
  // 25 s would be tens of megabytes.
  EXPECT_LT(after - before, 16 * 1024) << before << " kB before, " << after << " kB after, "
                                       << changes << " changes";
}

}  // namespace
}  // namespace tavo::test
