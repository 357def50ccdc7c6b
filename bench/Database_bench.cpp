// Cost of the database work of one call and of one settings read, on SQLite and on
// PostgreSQL through psqlODBC, with an empty and with a year's worth of call log.
#include <benchmark/benchmark.h>

#include <optional>

#include "support/DatabaseBackends.h"
#include "database/SqlHelpers.h"
#include "sms/SmsOutboxStore.h"

namespace tavo::test {
namespace {

const char kInsertCall[] =
    "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
    "VALUES (?, ?, ?, ?, ?)";

void PrefillCallLog(TDatabase& db, TBackendKind kind, int64_t rows) {
  if (rows == 0) return;
  if (kind == TBackendKind::SQLite)
    db.Execute("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < ?) "
               "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
               "SELECT I, 1, 1, 0, '2026-01-01 08:00:00.000' FROM N",
               {SqlInt(rows)});
  else
    db.Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
               "SELECT I, 1, 1, FALSE, TIMESTAMP '2026-01-01 08:00:00' "
               "FROM generate_series(1, ?) AS I",
               {SqlInt(rows)});
  db.Execute(kind == TBackendKind::SQLite ? "ANALYZE" : "VACUUM ANALYZE CALLLOG");
}

void Label(benchmark::State& state, const std::string& extra = "") {
  auto kind = static_cast<TBackendKind>(state.range(0));
  state.SetLabel(std::string(kind == TBackendKind::SQLite ? "SQLite" : "PostgreSQL") + ", " +
                 std::to_string(state.range(1)) + " log rows" + extra);
}

// GetNextLopnr followed by the insert of the call-log row, as a new call does it; the third
// argument picks the form with the row count (1) or without it (0).
void BM_NextLopnrAndCallLogInsert(benchmark::State& state) {
  auto kind = static_cast<TBackendKind>(state.range(0));
  bool withCount = state.range(2) != 0;
  auto backend = MakeBackend(kind);
  auto db = backend->OpenNew();
  PrefillCallLog(*db, kind, state.range(1));
  TLogEnv env;
  TDateTime now = EncodeDateTime(2026, 12, 9, 8, 0, 0);
  for (auto _ : state) {
    int32_t count = 0;
    int32_t lopnr = withCount ? GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR", count)
                              : GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR");
    if (lopnr < 0) {
      state.SkipWithError("GetNextLopnr failed");
      break;
    }
    db->Execute(kInsertCall, {SqlInt(lopnr), SqlInt(1), SqlInt(2), SqlBool(false),
                              SqlDateTime(now)});
  }
  Label(state, withCount ? ", with count" : ", without count");
}

// The database work of a new call as the calls code does it: the next number and the insert
// in one transaction (third argument 1) or as two committed statements (0); on SQLite with
// synchronous=NORMAL (fourth argument 1) or the FULL default (0).
void BM_NewCallLogRow(benchmark::State& state) {
  auto kind = static_cast<TBackendKind>(state.range(0));
  const bool inTransaction = state.range(2) != 0;
  const bool normal = state.range(3) != 0;
  auto backend = MakeBackend(kind);
  auto db = backend->OpenNew();
  if (normal) db->Execute("PRAGMA synchronous=NORMAL");
  PrefillCallLog(*db, kind, state.range(1));
  TLogEnv env;
  TDateTime now = EncodeDateTime(2026, 12, 9, 8, 0, 0);
  for (auto _ : state) {
    std::optional<TTransaction> transaction;
    if (inTransaction) transaction.emplace(*db);
    int32_t lopnr = GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR");
    if (lopnr < 0) {
      state.SkipWithError("GetNextLopnr failed");
      break;
    }
    db->Execute(kInsertCall, {SqlInt(lopnr), SqlInt(1), SqlInt(2), SqlBool(false),
                              SqlDateTime(now)});
    if (transaction) transaction->Commit();
  }
  Label(state, std::string(inTransaction ? ", one transaction" : ", two statements") +
                   (normal ? ", synchronous=NORMAL" : ""));
}

// A new call to an SMS-marked resource: the call-log row and the outbox row of its SMS in one
// transaction, as the calls code writes them; on SQLite with synchronous=NORMAL (second
// argument 1) or FULL (0). Compare with BM_NewCallLogRow's one-transaction cases.
void BM_NewCallWithSmsRow(benchmark::State& state) {
  auto kind = static_cast<TBackendKind>(state.range(0));
  const bool normal = state.range(1) != 0;
  auto backend = MakeBackend(kind);
  auto db = backend->OpenNew();
  if (normal) db->Execute("PRAGMA synchronous=NORMAL");
  TLogEnv env;
  TSmsOutboxStore outbox(*db, env.log);
  outbox.EnsureTable();
  TDateTime now = EncodeDateTime(2026, 12, 9, 8, 0, 0);
  for (auto _ : state) {
    TTransaction transaction(*db);
    int32_t lopnr = GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR");
    db->Execute(kInsertCall, {SqlInt(lopnr), SqlInt(1), SqlInt(2), SqlBool(true),
                              SqlDateTime(now)});
    TSmsRow row;
    row.Request = {lopnr, 2, "070-123 45 67", "Rum 1", "Jour"};
    row.QueuedAt = row.NextAttempt = now;
    outbox.Insert(row);
    transaction.Commit();
  }
  state.SetLabel(std::string(kind == TBackendKind::SQLite ? "SQLite" : "PostgreSQL") +
                 ", call log and SMS row" + (normal ? ", synchronous=NORMAL" : ""));
}

void BM_GetStrSetting(benchmark::State& state) {
  auto kind = static_cast<TBackendKind>(state.range(0));
  auto backend = MakeBackend(kind);
  auto db = backend->OpenNew();
  TLogEnv env;
  for (int64_t i = 0; i < state.range(1); ++i) {
    std::string n = std::to_string(i);  // (no "literal" + string: GCC 12 warns falsely on it)
    SetStrSetting(*db, env.log, std::string("Sektion-Nyckel").append(n), std::string("v").append(n));
  }
  for (auto _ : state) {
    std::string v = GetStrSetting(*db, env.log, "Sektion-Nyckel17");
    benchmark::DoNotOptimize(v);
  }
  state.SetLabel(std::string(kind == TBackendKind::SQLite ? "SQLite, " : "PostgreSQL, ") +
                 std::to_string(state.range(1)) + " settings");
}

BENCHMARK(BM_NextLopnrAndCallLogInsert)
    ->ArgsProduct({{static_cast<int>(TBackendKind::SQLite), static_cast<int>(TBackendKind::PostgreSQL)},
                   {0, 100000},
                   {1, 0}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NewCallLogRow)
    ->ArgsProduct({{static_cast<int>(TBackendKind::SQLite)}, {0, 100000}, {0, 1}, {0, 1}})
    ->ArgsProduct({{static_cast<int>(TBackendKind::PostgreSQL)}, {0, 100000}, {0, 1}, {0}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NewCallWithSmsRow)
    ->ArgsProduct({{static_cast<int>(TBackendKind::SQLite)}, {0, 1}})
    ->ArgsProduct({{static_cast<int>(TBackendKind::PostgreSQL)}, {0}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetStrSetting)
    ->ArgsProduct({{static_cast<int>(TBackendKind::SQLite), static_cast<int>(TBackendKind::PostgreSQL)},
                   {30}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavo::test

BENCHMARK_MAIN();
