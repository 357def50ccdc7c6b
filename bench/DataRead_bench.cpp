// Cost of interpreting station messages and of the read path from bytes to a queued reply.
#include <benchmark/benchmark.h>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "protocol/Interpreter.h"
#include "protocol/MessageAssembler.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const std::string M = "\xA4";

// The server's KEEPALIVE answer: the reply framed by the request's form and queued.
void AnswerKeepAlive(TInterpreter& interp) {
  interp.SetHandler("KEEPALIVE", [](const TCommandContext& c) {
    c.Socket->SendText(FrameReply(Block("KEEPALIVE", ""), c.LineMode));
    return TCommandResult::Continue;
  });
}

// A call station's CALLING request, its handler reading both fields as the command does.
void BM_DataReadCalling(benchmark::State& state) {
  test::TLogEnv env;
  TInterpreter interp(env.log);
  int64_t sum = 0;
  interp.SetHandler("CALLING", [&](const TCommandContext& c) {
    sum += GetField(c.BlockText, 1).size() + GetField(c.BlockText, 2).size();
    return TCommandResult::Continue;
  });
  auto sock = std::make_shared<test::TFakeSocket>();
  TClientSocketPtr s = sock;
  const std::string msg = M + "CALLING:17:0:CALLING" + M;
  for (auto _ : state) interp.DataRead(msg, s);
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_DataReadCalling);

// A sign-on request of a display station, no handler: the cost of the keyword scan alone.
void BM_DataReadScanOnly(benchmark::State& state) {
  test::TLogEnv env;
  TInterpreter interp(env.log);
  auto sock = std::make_shared<test::TFakeSocket>();
  TClientSocketPtr s = sock;
  const std::string msg = M + "GETCALLLIST:Visning v\xE4ntrum 2:1:GETCALLLIST" + M;
  for (auto _ : state) interp.DataRead(msg, s);
}
BENCHMARK(BM_DataReadScanOnly);

// An interpreter answering KEEPALIVE, a connection that records the reply, and its reassembly.
struct TReadPath {
  test::TLogEnv env;
  TInterpreter interp{env.log};
  std::shared_ptr<test::TFakeSocket> sock = std::make_shared<test::TFakeSocket>();
  TClientSocketPtr s = sock;
  TMessageAssembler assembler;

  TReadPath() { AnswerKeepAlive(interp); }
  void Feed(const std::string& chunk) {
    auto r = assembler.Feed(chunk);
    if (r.Message) interp.DataRead(std::move(*r.Message), s);
  }
};

// Bytes of a framed KEEPALIVE in, through reassembly and interpretation, to the queued reply.
void BM_ReadPathKeepAlive(benchmark::State& state) {
  TReadPath path;
  const std::string chunk = "#DATASTART#" + M + "KEEPALIVE::KEEPALIVE" + M + "#DATAEND#";
  for (auto _ : state) {
    path.Feed(chunk);
    path.sock->Clear();
  }
}
BENCHMARK(BM_ReadPathKeepAlive);

// The same message arriving in three reads.
void BM_ReadPathSplitInThree(benchmark::State& state) {
  TReadPath path;
  const std::string parts[] = {"#DATASTART#" + M + "KEEP", "ALIVE::KEEP", "ALIVE" + M + "#DATAEND#"};
  for (auto _ : state) {
    for (const auto& p : parts) path.Feed(p);
    path.sock->Clear();
  }
}
BENCHMARK(BM_ReadPathSplitInThree);

}  // namespace
}  // namespace tavo

BENCHMARK_MAIN();
