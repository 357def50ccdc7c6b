// A call log of 1,000,000 rows, about ten years of a busy clinic, and the work that reads it:
// FillCallList (start-up, and after every resource change and remote statement) and the
// schema upgrade of a start, with and without the index on a resource's calls by time.
#include <benchmark/benchmark.h>

#include <memory>

#include "TestSupport.h"
#include "calls/CallService.h"
#include "database/DatabaseConnection.h"
#include "database/SqliteDatabase.h"

namespace tavo {
namespace {

constexpr int kRows = 1000000;
constexpr int kResources = 20;
constexpr int kStations = 50;

// One database for all benchmarks of this file, seeded once.
struct TBigCallLog {
  test::TLogEnv env;
  TSqliteDatabase db{env.dir / "calllog.sqlite"};

  TBigCallLog() {
    env.clock.Set(EncodeDateTime(2026, 12, 9, 14, 0, 0));
    db.Execute("BEGIN");
    db.Execute(
        "INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
        "SELECT i, 'Resurs ' || i, 'Resurs nummer ' || i, 255, 0, 'T' FROM n",
        {SqlInt(kResources)});
    db.Execute(
        "INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
        "SELECT i, 'RUM' || i, 'Rum ' || i, 65280, 0 FROM n",
        {SqlInt(kStations)});
    db.Execute(
        "INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) "
        "SELECT STATIONS.LOPNR, CALLABLES.LOPNR, CALLABLES.LOPNR FROM STATIONS, CALLABLES");
    // Ten years up to this morning, every call confirmed; then today's calls, a few still open.
    db.Execute(
        "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
        "CONFIRMTSTAMP) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
        "SELECT i, i % ? + 1, i % ? + 1, 0, "
        "strftime('%Y-%m-%d %H:%M:%f', julianday('2026-12-09 08:00:00') - (? - i) * 0.00365), "
        "strftime('%Y-%m-%d %H:%M:%f', julianday('2026-12-09 08:00:00') - (? - i) * 0.00365 + 0.001) "
        "FROM n",
        {SqlInt(kRows), SqlInt(kStations), SqlInt(kResources), SqlInt(kRows), SqlInt(kRows)});
    db.Execute(
        "UPDATE CALLLOG SET CONFIRMTSTAMP = NULL WHERE LOPNR > ? AND LOPNR % 7 = 0",
        {SqlInt(kRows - 200)});
    db.Execute("COMMIT");
  }
  void WithIndex(bool on) {
    db.Execute(on ? "CREATE INDEX IF NOT EXISTS CALLLOG_CALLABLES_CALLTSTAMP ON CALLLOG "
                    "(CALLABLESLOPNR, CALLTSTAMP)"
                  : "DROP INDEX IF EXISTS CALLLOG_CALLABLES_CALLTSTAMP");
  }
};

TBigCallLog& BigCallLog() {
  static TBigCallLog big;
  return big;
}

// Arg 0: a database without the index, as the original system made it; 1: with it.
void BM_FillCallList(benchmark::State& state) {
  TBigCallLog& big = BigCallLog();
  big.WithIndex(state.range(0) != 0);
  TCallService service(big.db, big.env.log, big.env.clock, [] { return std::vector<TClientSocketPtr>{}; },
                       [] {}, nullptr);
  size_t open = 0;
  for (auto _ : state) {
    service.FillCallList();
    open = 0;
    for (const auto& r : service.CallList()) open += r->CurrentCallList.size();
  }
  state.counters["open_calls"] = static_cast<double>(open);
}
BENCHMARK(BM_FillCallList)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The database work of a start on a database that is up to date: the schema upgrade (probes,
// index catalog) and the first FillCallList.
void BM_StartupDatabaseWork(benchmark::State& state) {
  TBigCallLog& big = BigCallLog();
  big.WithIndex(true);
  for (auto _ : state) {
    UpgradeSchema(big.db, big.env.log);
    TCallService service(big.db, big.env.log, big.env.clock,
                         [] { return std::vector<TClientSocketPtr>{}; }, [] {},
                         nullptr);
    service.FillCallList();
  }
}
BENCHMARK(BM_StartupDatabaseWork)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavo

BENCHMARK_MAIN();
