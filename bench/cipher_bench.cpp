// The cipher's cost per operation: building the context from the key, and the stream form with
// the BlockMask against the same blocks transformed round by round.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "sms/LbClass.h"
#include "sms/ServerKey.h"

namespace {

void BM_KeySchedule(benchmark::State& state) {
  const tavo::TKey128 key = tavo::MakeServerKey();
  for (auto _ : state) {
    tavo::TBlowfishContext ctx;
    tavo::BlowfishInitContext(ctx, key);
    benchmark::DoNotOptimize(ctx.P[0]);
  }
}
BENCHMARK(BM_KeySchedule);

void BM_EncryptBytes(benchmark::State& state) {
  tavo::TLbBlowfish cipher;
  cipher.SetKey(tavo::MakeServerKey());
  const std::string data(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(cipher.EncryptBytes(data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncryptBytes)->Arg(200)->Arg(1 << 20);

void BM_RoundsPerBlock(benchmark::State& state) {
  tavo::TBlowfishContext ctx;
  tavo::BlowfishInitContext(ctx, tavo::MakeServerKey());
  const size_t n = static_cast<size_t>(state.range(0));
  std::string data(n, 'x');
  for (auto _ : state) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
      tavo::TBlock8 b;
      std::copy_n(data.data() + i, 8, b.begin());
      tavo::BlowfishEncryptBlock(ctx, b);
      std::copy_n(b.begin(), 8, data.data() + i);
    }
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RoundsPerBlock)->Arg(1 << 20);

}  // namespace
BENCHMARK_MAIN();
