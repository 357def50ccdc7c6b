// One rendering pass of the browser pages after a change: 64 open display pages (and the
// overview) over a call list of five resources with ten open calls, as the main loop does it
// at most every 100 ms. Each pass follows a change, so every page gets a new list.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "BenchClinic.h"
#include "TestSupport.h"
#include "calls/CallService.h"
#include "database/SqliteDatabase.h"
#include "web/PageFeeds.h"

namespace tavo {
namespace {

struct TPagesSetup {
  static constexpr int kDisplays = 200, kPages = 64;
  test::TLogEnv env;
  TSqliteDatabase db{env.dir / "bench.sqlite"};
  TCallService service{db, env.log, env.clock, [] { return std::vector<TClientSocketPtr>{}; }, [] {},
                       nullptr};
  asio::io_context io;
  TFeedBoard board;
  std::unique_ptr<TPageFeeds> feeds;

  // lists: how many distinct resource lists (orders) the displays have.
  TPagesSetup(int lists, bool overview) {
    env.clock.Set(EncodeDateTime(2026, 12, 9, 10, 15, 2));
    bench::SeedClinic(db, kDisplays, lists);
    service.FillCallList();
    TPageSources sources;
    sources.StationViews = [this](const std::vector<std::string>& n) { return service.StationViews(n); };
    sources.Stations = [this] { return service.Stations(); };
    sources.OpenCalls = [this] { return service.OpenCallsView(); };
    sources.Version = "1.10.4";
    feeds = std::make_unique<TPageFeeds>(io, board, std::move(sources), env.log);
    for (int p = 1; p <= kPages; ++p) board.Watch(std::string(kDisplayFeedPrefix) + "S" + std::to_string(p));
    if (overview) board.Watch(kOverviewFeed);
    feeds->Render(true, true);
  }
  // A call is answered, or the answer taken back: every page's list changes.
  void Change() {
    TCaller& c = *service.FindCallObject(1)->CurrentCallList[0];
    c.CallComingLopnr = c.CallComingLopnr ? 0 : 1;
  }
};

void BM_PagesAfterAChange(benchmark::State& state) {
  TPagesSetup setup(static_cast<int>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    setup.Change();
    setup.feeds->Render(true);
  }
  state.counters["pages"] = TPagesSetup::kPages + (state.range(1) ? 1 : 0);
}
// Args: distinct resource lists among the displays; with the overview open (1) or not (0).
BENCHMARK(BM_PagesAfterAChange)->Args({1, 0})->Args({5, 0})->Args({5, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavo
BENCHMARK_MAIN();
