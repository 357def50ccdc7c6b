// The health answer from a published status, and the histogram the metrics are built from.
#include <gtest/gtest.h>

#include <functional>

#include "common/Metrics.h"
#include "service/MetricsServer.h"

namespace tavo {
namespace {

using namespace std::chrono_literals;

TEST(Health, FirstProblemDecidesTheAnswer) {
  const auto now = std::chrono::steady_clock::now();
  TOperatingSnapshot good;
  good.Published = true;
  good.DatabaseOk = true;
  good.MainListenerOpen = true;
  good.LoopTurned = now - 1500ms;
  struct Case {
    const char* what;
    std::function<void(TOperatingSnapshot&)> change;
    int status;
    std::string body;
  } cases[] = {
      {"healthy", [](TOperatingSnapshot&) {}, 200,
       "{\"status\":\"ok\",\"database\":\"ok\",\"listener\":\"open\",\"loop_age_s\":1.500}\n"},
      {"not started", [](TOperatingSnapshot& s) { s = {}; }, 503,
       "{\"status\":\"unavailable\",\"reason\":\"the server has not finished starting\"}\n"},
      {"database",
       [](TOperatingSnapshot& s) {
         s.DatabaseOk = false;
         s.DatabaseProblem = "disk \"C\" gone";
         s.MainListenerOpen = false;
       },
       503, "{\"status\":\"unavailable\",\"reason\":\"database: disk \\\"C\\\" gone\"}\n"},
      {"listener", [](TOperatingSnapshot& s) { s.MainListenerOpen = false; }, 503,
       "{\"status\":\"unavailable\",\"reason\":\"the main listener is closed\"}\n"},
      {"stalled loop", [&](TOperatingSnapshot& s) { s.LoopTurned = now - 7s; }, 503,
       "{\"status\":\"unavailable\",\"reason\":\"the main loop has not turned for 7 s\"}\n"},
  };
  for (auto& c : cases) {
    TOperatingSnapshot s = good;
    c.change(s);
    std::string body;
    EXPECT_EQ(RenderHealth(s, now, body), c.status) << c.what;
    EXPECT_EQ(body, c.body) << c.what;
  }
}

TEST(Health, HistogramBucketsAreCumulativeWithBoundsInclusive) {
  THistogram h({1, 5});
  for (double v : {0.5, 1.0, 1.01, 5.0, 9.0, -2.0}) h.Observe(v);
  const auto s = h.Snapshot();
  EXPECT_EQ(s.Cumulative, (std::vector<uint64_t>{3, 5, 6}));  // <=1, <=5, +Inf
  EXPECT_EQ(s.Count, 6u);
  EXPECT_DOUBLE_EQ(s.Sum, 16.51);  // a negative time counts as 0
}

}  // namespace
}  // namespace tavo
