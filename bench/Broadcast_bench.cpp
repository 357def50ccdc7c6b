// One CURRENTLIST broadcast, rendered and queued for 1000 display connections that are never
// written to a network: the cost of the broadcast itself, without the sockets.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "BenchClinic.h"
#include "TestSupport.h"
#include "calls/CallService.h"
#include "database/SqliteDatabase.h"

namespace tavo {
namespace {

// A connection that keeps the last reply it was handed, as a queue holds a list until it is
// written; the earlier one is released as a replaced list would be.
class TQueueingSocket final : public TClientSocket {
 public:
  bool Connected() const override { return true; }
  void SendShared(TSharedReply bytes, TReplyKind) override { last_ = std::move(bytes); }
  void Close() override {}
  const std::string& ListenerName() const override { return name_; }
  const std::string& PeerAddress() const override { return name_; }

 private:
  TSharedReply last_;
  std::string name_ = "TAVOMainSocket";
};

// 1000 display stations over `lists` distinct resource lists of five resources each, ten open
// calls on the resources (bench/BenchClinic.h), all signed on.
struct TBroadcastSetup {
  static constexpr int kDisplays = 1000;
  test::TLogEnv env;
  TSqliteDatabase db{env.dir / "bench.sqlite"};
  std::vector<TClientSocketPtr> connections;
  TCallService service{db, env.log, env.clock, [this] { return connections; }, [] {},
                       nullptr};

  explicit TBroadcastSetup(int lists) {
    env.clock.Set(EncodeDateTime(2026, 12, 9, 10, 15, 2));
    bench::SeedClinic(db, kDisplays, lists);
    service.FillCallList();
    for (int s = 1; s <= kDisplays; ++s) {
      auto c = std::make_shared<TQueueingSocket>();
      connections.push_back(c);
      service.SendClientList("\xA4GETCALLLIST:S" + std::to_string(s) + ":1:GETCALLLIST\xA4", c,
                             false, false);
    }
  }
};

void BM_BroadcastCurrentList(benchmark::State& state) {
  TBroadcastSetup setup(static_cast<int>(state.range(0)));
  for (auto _ : state) setup.service.UpdateVisningsScreens();
  state.counters["connections"] = TBroadcastSetup::kDisplays;
}
// Arg: the number of distinct resource lists among the 1000 displays.
BENCHMARK(BM_BroadcastCurrentList)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavo
BENCHMARK_MAIN();
