// One rendering pass of the browser pages after a change: 64 open display pages (and the
// overview) over a call list of five resources with ten open calls, as the main loop does it
// at most every 100 ms. Each pass follows a change, so every page gets a new list.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

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
                       [](const TCallObject&, const TCaller&) {}};
  asio::io_context io;
  TFeedBoard board;
  std::unique_ptr<TPageFeeds> feeds;

  // lists: how many distinct resource lists (orders) the displays have.
  TPagesSetup(int lists, bool overview) {
    env.clock.Set(EncodeDateTime(2026, 12, 9, 10, 15, 2));
    db.Execute("BEGIN");
    for (int r = 1; r <= 5; ++r)
      db.Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                 "VALUES (?, ?, ?, 255, 0, 'T')",
                 {SqlInt(r), SqlText("Doktor " + std::to_string(r)), SqlText("Doktor")});
    for (int s = 1; s <= kDisplays + 10; ++s) {
      db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                 "VALUES (?, ?, ?, 65280, ?)",
                 {SqlInt(s), SqlText("S" + std::to_string(s)), SqlText("Rum " + std::to_string(s)),
                  SqlInt(s <= kDisplays ? 1 : 0)});
      for (int r = 1; r <= 5; ++r)
        db.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                   {SqlInt(s), SqlInt(r), SqlInt((r + s % lists) % 5)});
    }
    for (int c = 0; c < 10; ++c)
      db.Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
                 "VALUES (?, ?, ?, 0, ?)",
                 {SqlInt(c + 1), SqlInt(kDisplays + 1 + c % 10), SqlInt(c % 5 + 1),
                  SqlDateTime(EncodeDateTime(2026, 12, 9, 9, c, 0))});
    db.Execute("COMMIT");
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
