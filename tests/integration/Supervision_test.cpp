// Station supervision through the real executable with "SupervisionSeconds" = 2: a display
// that goes is reported once the limit has passed and its return with the time away, a station
// never seen after the grace, a station not supervised never; the metrics follow, and the
// shipped alert rules fire on them (promtool test rules fed with the real /metrics output).
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "MetricsScrape.h"
#include "SeededServer.h"

namespace tavo {
namespace {

using Clock = std::chrono::steady_clock;

// An alert-rule test for promtool: every sample of the scrape as a constant series of the job
// "tavo", and the offline-station alerts expected two minutes in.
std::string RuleTest(const std::set<std::string>& samples, const std::string& instance,
                     const std::vector<std::string>& offline) {
  std::ostringstream y;
  y << "rule_files:\n  - " << TAVO_SOURCE_DIR << "/packaging/prometheus/tavo-alerts.yml\n"
    << "evaluation_interval: 1m\ntests:\n  - interval: 1m\n    input_series:\n";
  const std::regex line(R"(([a-z_]+)\{(.*)\} (\S+))");
  const std::string job = "instance=\"" + instance + "\",job=\"tavo\"";
  for (const auto& s : samples) {
    std::smatch m;
    if (!std::regex_match(s, m, line)) continue;
    char value[64];
    std::snprintf(value, sizeof value, "%.3f", std::stod(m[3]));  // no exponent: series notation
    y << "      - series: '" << m[1] << "{" << job << (m[2].length() ? "," : "") << m[2]
      << "}'\n        values: '" << value << "x5'\n";
  }
  y << "    alert_rule_test:\n      - eval_time: 2m\n        alertname: TavoStationOffline\n"
    << "        exp_alerts:\n";
  for (const auto& station : offline)
    y << "          - exp_labels: {severity: warning, instance: \"" << instance
      << "\", job: tavo, station: " << station << ", type: display}\n"
      << "            exp_annotations:\n"
      << "              summary: \"display station " << station << " is offline\"\n"
      << "              description: \"" << station << " has had no connection to " << instance
      << " for longer than SupervisionSeconds: it shows no calls.\"\n";
  // The same scrape raises no other alert of the server's own.
  y << "      - eval_time: 2m\n        alertname: TavoDatabaseDown\n        exp_alerts: []\n";
  return y.str();
}

class Supervision : public ::testing::Test {
 protected:
  void SetUp() override {
    seeded.Station(1, "Rum 1", "Rum 1", 0, 0);
    seeded.Station(3, "Visning1", "Visning 1", 0, 1);
    seeded.Station(4, "Visning2", "Visning 2", 0, 1);
    seeded.Station(5, "Lampa", "Lampa korridor", 0, 3);
    seeded.Station(6, "Visning3", "Visning 3", 0, 1);
    seeded.Resource(3, "Doktor A", "Doktor Alfa", 255);
    for (int station : {1, 3, 4, 5}) seeded.List(station, 3, 1);
    seeded.Db().Execute("INSERT INTO STATIONSUPERVISION (STATIONSLOPNR, SUPERVISE) VALUES (5, 0)");
    seeded.server.SetRegistry("SupervisionSeconds", "2");
    metricsPort = test::FreePort();
    seeded.server.SetRegistry("MetricsPort", std::to_string(metricsPort));
  }
  void TearDown() override { EXPECT_EQ(seeded.server.Stop(), 0) << seeded.server.EventLog(); }

  std::unique_ptr<test::TLoopbackClient> SignOn(const std::string& name, int kind) {
    return seeded.SignOn(name, kind);
  }
  // The parsed samples once one holds what is asked for (metrics are published every second).
  std::set<std::string> SamplesWith(const std::string& wanted) {
    std::set<std::string> samples;
    for (int i = 0; i < 100 && !samples.count(wanted); ++i) {
      if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      auto m = test::HttpGet(metricsPort, "/metrics");
      std::string error;
      samples = test::ParsedSamples(m.Body, error);
      EXPECT_EQ(error, "") << m.Body;
    }
    EXPECT_TRUE(samples.count(wanted)) << wanted;
    return samples;
  }
  size_t Count(const std::string& part) const {
    const std::string log = seeded.server.EventLog();
    size_t n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
  }

  test::TSeededServer seeded;
  uint16_t metricsPort = 0;
};

TEST_F(Supervision, GoneDisplayIsReportedAfterTheLimitWithItsMetricAndAlertAndItsReturn) {
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto visning1 = SignOn("Visning1", 1);
  auto visning2 = SignOn("Visning2", 1);
  // Never seen: reported once the grace after start-up is over.
  ASSERT_TRUE(seeded.server.WaitForLog(
      "Station Visning3 (Visning 3) is offline: it has not connected since"))
      << seeded.server.EventLog();

  const auto gone = Clock::now();
  visning1.reset();
  ASSERT_TRUE(seeded.server.WaitForLog(
      "Station Visning1 (Visning 1) is offline: its last connection ended at"))
      << seeded.server.EventLog();
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - gone).count(), 2.0);

  auto samples = SamplesWith("tavo_station_up{station=\"Visning1\",type=\"display\"} 0");
  for (const char* expected : {"tavo_stations_offline{} 2",
                               "tavo_station_up{station=\"Visning2\",type=\"display\"} 1",
                               "tavo_station_up{station=\"Visning3\",type=\"display\"} 0",
                               "tavo_oldest_unanswered_call_seconds{} 0",
                               "tavo_escalations_total{} 0"})
    EXPECT_TRUE(samples.count(expected)) << expected;
  for (const auto& s : samples) {
    EXPECT_EQ(s.find("Lampa"), std::string::npos) << s;  // not supervised
    EXPECT_EQ(s.find("Rum 1"), std::string::npos) << s;  // a call station
  }

  // The shipped rules, fed with this scrape, raise the offline alert for exactly these two.
  test::TTempDir dir;
  test::WriteFile(dir / "test.yml", RuleTest(samples, "klinik:9102", {"Visning1", "Visning3"}));
  int status = 0;
  const std::string out =
      test::RunCommand(std::string(TAVO_PROMTOOL) + " test rules " + (dir / "test.yml").string(), status);
  EXPECT_EQ(status, 0) << out << test::ReadFile(dir / "test.yml");
  EXPECT_NE(out.find("SUCCESS"), std::string::npos) << out;

  visning1 = SignOn("Visning1", 1);
  ASSERT_TRUE(seeded.server.WaitForLog("Station Visning1 (Visning 1) is online again after"));
  SamplesWith("tavo_station_up{station=\"Visning1\",type=\"display\"} 1");
  SamplesWith("tavo_stations_offline{} 1");

  EXPECT_EQ(Count("Station Visning1 (Visning 1) is offline"), 1u);
  EXPECT_EQ(Count("Station Visning3 (Visning 3) is offline"), 1u);
  EXPECT_EQ(Count("Visning2 (Visning 2) is offline"), 0u);
  EXPECT_EQ(Count("Lampa"), 0u);
  // The server's own health is not a display's.
  EXPECT_EQ(test::HttpGet(metricsPort, "/health").Status, 200);
}

}  // namespace
}  // namespace tavo
