// Worst-case messages for the interpreter: many blocks in one message, opening tags without
// closing tags, interleaved keywords. Every keyword has a handler, the version request reading
// the whole text as the real one does, so the figures show the cost a hostile client can cause.
#include <benchmark/benchmark.h>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "common/StrUtils.h"
#include "protocol/Interpreter.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const std::string M = "\xA4";
constexpr size_t kMessageBound = 1024 * 1024;

struct TAllHandlers {
  test::TLogEnv env;
  TInterpreter interp{env.log};
  std::shared_ptr<test::TFakeSocket> sock = std::make_shared<test::TFakeSocket>();
  TClientSocketPtr s = sock;
  int64_t seen = 0;

  TAllHandlers() {
    for (const auto& e : interp.Table()) {
      const std::string kw = e.Keyword;
      interp.SetHandler(kw, [this, kw](const TCommandContext& c) {
        if (kw == "KEEPALIVE") c.Socket->SendText(FrameReply(Block("KEEPALIVE", ""), c.LineMode));
        if (kw == "GETSERVERVERSION") seen += StrToIntDef(WholeTextField(c, 2), 1) & 0xFF;
        seen += static_cast<int64_t>(c.BlockText.size());
        return TCommandResult::Continue;
      });
    }
  }
  static std::string WholeTextField(const TCommandContext& c, int n) {
    return c.Text.Field(n, ':');
  }
  void Run(benchmark::State& state, const std::string& msg) {
    for (auto _ : state) {
      interp.DataRead(msg, s);
      sock->sent.clear();
    }
    benchmark::DoNotOptimize(seen);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
    state.counters["bytes"] = static_cast<double>(msg.size());
  }
};

std::string Repeat(const std::string& unit, size_t count) {
  std::string s;
  s.reserve(unit.size() * count);
  for (size_t i = 0; i < count; ++i) s += unit;
  return s;
}

std::string FillBound(const std::string& unit) { return Repeat(unit, kMessageBound / unit.size()); }

// N KEEPALIVE blocks in one message: one block handled per pass.
void BM_KeepAliveBlocks(benchmark::State& state) {
  TAllHandlers h;
  h.Run(state, Repeat(M + "KEEPALIVE::KEEPALIVE" + M, static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_KeepAliveBlocks)->Arg(1000)->Arg(5000)->Arg(10000)->Arg(20000)->Arg(47000)
    ->Unit(benchmark::kMillisecond);

// A message at the bound made of opening tags of every keyword, none closed.
void BM_OpeningTagsOnly(benchmark::State& state) {
  TAllHandlers h;
  std::string unit;
  for (const auto& e : h.interp.Table()) unit += e.Open;
  h.Run(state, FillBound(unit));
}
BENCHMARK(BM_OpeningTagsOnly)->Unit(benchmark::kMillisecond);

// A message at the bound of complete blocks of every keyword in table order, repeated.
void BM_InterleavedKeywords(benchmark::State& state) {
  TAllHandlers h;
  std::string unit;
  for (const auto& e : h.interp.Table()) unit += e.Open + "1:2" + e.Close;
  h.Run(state, FillBound(unit));
}
BENCHMARK(BM_InterleavedKeywords)->Unit(benchmark::kMillisecond);

// Closing tags in front of the opening tags: every block is cut short without a payload.
void BM_ClosingBeforeOpening(benchmark::State& state) {
  TAllHandlers h;
  h.Run(state, FillBound(":KEEPALIVE" + M + "KEEPALIVE:"));
}
BENCHMARK(BM_ClosingBeforeOpening)->Unit(benchmark::kMillisecond);

// Version requests at the bound, each reading a field of the whole remaining text.
void BM_VersionRequests(benchmark::State& state) {
  TAllHandlers h;
  h.Run(state, FillBound(M + "GETSERVERVERSION:x:2:GETSERVERVERSION" + M));
}
BENCHMARK(BM_VersionRequests)->Unit(benchmark::kMillisecond);

// Version requests behind a long field: every whole-text read walks past it.
void BM_VersionRequestsBehindLongField(benchmark::State& state) {
  TAllHandlers h;
  const std::string head = "a:b:" + std::string(kMessageBound / 2, ' ') + "2:";
  const std::string unit = M + "EXECSQL$x$EXECSQL" + M + M + "GETSERVERVERSION::GETSERVERVERSION" + M;
  h.Run(state, head + Repeat(unit, (kMessageBound - head.size()) / unit.size()));
}
BENCHMARK(BM_VersionRequestsBehindLongField)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavo

BENCHMARK_MAIN();
