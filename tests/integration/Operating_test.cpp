// Operating the real server: the metrics endpoint read by a strict Prometheus parser, the health
// endpoint turning 503 when the database file is spoilt, and the systemd watchdog pings seen
// through a notify socket of the test's own.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>

#include "LoopbackClient.h"
#include "MetricsScrape.h"
#include "SeededServer.h"

namespace tavo {
namespace {

using test::HttpGet;
using test::THttpAnswer;
using test::ParsedSamples;

class Operating : public ::testing::Test {
 protected:
  void SetUp() override {
    seeded.Station(1, "Rum 1", "Rum 1", 65280, 0);
    seeded.Station(2, "Exp", "Expedition", 0, 0);
    seeded.Station(3, "Visning1", "Visning 1", 0, 1);
    seeded.Resource(3, "Doktor A", "Doktor Alfa", 255);
    seeded.List(1, 3, 1);
    seeded.List(2, 3, 1);
    seeded.List(3, 3, 1);
    metricsPort = test::FreePort();
    seeded.server.SetRegistry("MetricsPort", std::to_string(metricsPort));
  }
  void TearDown() override { EXPECT_EQ(seeded.server.Stop(), 0) << seeded.server.EventLog(); }

  std::unique_ptr<test::TLoopbackClient> SignOn(const std::string& name, int kind) {
    return seeded.SignOn(name, kind);
  }
  // Spoils the database file in place, as a failing disk or a careless copy would.
  void SpoilDatabaseFile() {
    test::WriteFile(seeded.server.ProgramDir() / "TAVO.sqlite", std::string(4096, 'x'));
  }

  test::TSeededServer seeded;
  uint16_t metricsPort = 0;
};

TEST_F(Operating, MetricsParseStrictlyAndCountTheRoadOfOneCall) {
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto exp = SignOn("Exp", 0);
  auto vis = SignOn("Visning1", 1);
  rum->Send(test::Framed("¤CALLING:3:CALLING¤"));
  ASSERT_TRUE(vis->WaitFor("Rum 1~1~"));
  exp->Send(test::Framed("¤COMING:3:1:COMING¤"));
  ASSERT_TRUE(vis->WaitFor("~Expedition~"));
  vis->Take();
  rum->Send(test::Framed("¤CALLING:3:CALLING¤"));
  ASSERT_TRUE(vis->WaitFor(test::W("¤%%¤")));

  // The connection gauges come from the status the main loop publishes every second.
  const std::string calls = "tavo_connections{kind=\"call\",listener=\"main\"} 2";
  std::set<std::string> samples;
  std::string error;
  for (int i = 0; i < 50 && !samples.count(calls); ++i) {
    auto m = HttpGet(metricsPort, "/metrics");
    ASSERT_EQ(m.Status, 200) << m.Body;
    samples = ParsedSamples(m.Body, error);
    ASSERT_EQ(error, "") << m.Body;
    if (!samples.count(calls)) usleep(100000);
  }
  for (const char* expected : {
           "tavo_connections{kind=\"call\",listener=\"main\"} 2",
           "tavo_connections{kind=\"display\",listener=\"main\"} 1",
           "tavo_open_calls{} 0",
           "tavo_calls_opened_total{} 1",
           "tavo_calls_answered_total{} 1",
           "tavo_calls_confirmed_total{} 1",
           "tavo_call_answer_seconds_count{} 1",
           "tavo_call_answer_seconds_bucket{le=\"+Inf\"} 1",
           "tavo_call_close_seconds_count{} 1",
           "tavo_broadcasts_total{kind=\"displays\"} 2",
           "tavo_broadcasts_total{kind=\"resource\"} 1",
           "tavo_broadcasts_total{kind=\"station\"} 2",
           "tavo_broadcast_seconds_count{} 5",
           "tavo_sms_dispatches_started_total{} 0",
           "tavo_sms_queued{} 0",
           "tavo_sms_oldest_queued_seconds{} 0",
           "tavo_sms_finished_total{state=\"expired\"} 0",
           "tavo_sms_delivery_seconds_count{} 0",
           "tavo_database_failures_total{} 0",
           "tavo_database_up{} 1",
           "tavo_role{role=\"serving\"} 1",
           "tavo_role{role=\"standby\"} 0",
           "tavo_error_count{} 0",
           "tavo_restarts_total{cause=\"errors\"} 0",
           "tavo_build_info{version=\"1.10.4\"} 1",
       })
    EXPECT_TRUE(samples.count(expected)) << expected << " not in the samples";
  bool statements = false, started = false;
  for (auto& s : samples) {
    statements |= std::regex_match(s, std::regex("tavo_database_statements_total\\{\\} [1-9][0-9]*"));
    started |= std::regex_match(s, std::regex("process_start_time_seconds\\{\\} 1\\.[0-9.]+e\\+09"));
  }
  EXPECT_TRUE(statements);
  EXPECT_TRUE(started);

  EXPECT_EQ(HttpGet(metricsPort, "/nothing").Status, 404);
}

TEST_F(Operating, HealthTurns503WhenTheDatabaseFileIsSpoilt) {
  seeded.Start();
  auto ok = HttpGet(metricsPort, "/health");
  EXPECT_EQ(ok.Status, 200) << ok.Body;
  EXPECT_TRUE(std::regex_match(
      ok.Body, std::regex("\\{\"status\":\"ok\",\"database\":\"ok\",\"listener\":\"open\",\"loop_age_s\":[0-9.]+\\}\n")))
      << ok.Body;

  SpoilDatabaseFile();
  THttpAnswer bad;
  for (int i = 0; i < 150 && bad.Status != 503; ++i) {
    bad = HttpGet(metricsPort, "/health");
    if (bad.Status != 503) usleep(100000);
  }
  EXPECT_EQ(bad.Status, 503);
  EXPECT_EQ(bad.Body, "{\"status\":\"unavailable\",\"reason\":\"database: the database file " +
                          (seeded.server.ProgramDir() / "TAVO.sqlite").string() +
                          " is no longer an SQLite database\"}\n");
}

TEST_F(Operating, NoEndpointUnlessAPortIsConfigured) {
  seeded.server.SetRegistry("MetricsPort", "");
  seeded.Start();
  test::TLoopbackClient c;
  EXPECT_FALSE(c.Connect(metricsPort, 300));
}

// A datagram socket in the test's directory, standing in for systemd's notify socket.
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~TNotifySocket() { ::close(fd_); }
  bool Bound() const { return bound_; }
  // The next message, empty after five seconds of silence.
  std::string Next() {
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Skips messages until one starts with the text; false when silence came first (bounded).
  bool WaitFor(const std::string& prefix) {
    for (int i = 0; i < 200; ++i) {
      const std::string m = Next();
      if (m.empty()) return false;
      if (m.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST_F(Operating, WatchdogIsFedOnlyWhileTheDatabaseAnswers) {
  test::TTempDir dir;
  TNotifySocket notify((dir / "notify").string());
  ASSERT_TRUE(notify.Bound());
  seeded.server.SetEnv("NOTIFY_SOCKET", (dir / "notify").string());
  seeded.server.SetEnv("WATCHDOG_USEC", "600000");  // a ping every 200 ms
  seeded.Start();
  ASSERT_TRUE(notify.WaitFor("READY=1"));
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1"));
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1"));

  SpoilDatabaseFile();
  ASSERT_TRUE(notify.WaitFor("STATUS=Database check failed: the database file "));
  // From now on every tick reports the failure instead of feeding the watchdog.
  for (int tick = 0; tick < 3; ++tick) {
    const std::string m = notify.Next();
    EXPECT_EQ(m.rfind("STATUS=Database check failed:", 0), 0u) << m;
  }
}

}  // namespace
}  // namespace tavo
