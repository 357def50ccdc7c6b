// The gate in front of every read of a server in a standby pair: a server whose lease has run
// out (frozen, cut off) handles nothing, closes the connection and stands by; one whose lease
// runs answers as always.
#include <gtest/gtest.h>

#include <thread>

#include "LoopbackClient.h"
#include "TestSupport.h"
#include "integration/SeededServer.h"
#include "service/UTavoServerMain.h"

namespace tavo {
namespace {

TEST(StandbyGate, ReadIsHandledOnlyWithinTheLease) {
  using namespace std::chrono_literals;
  struct TCase {
    const char* Name;
    std::chrono::milliseconds Lease;
    bool Answered;
  };
  for (const TCase& c : {TCase{"lease runs", 60000ms, true}, TCase{"lease ran out", 1000ms, false}}) {
    test::TTempDir dir;
    TServerOptions options;
    options.RegistryFile = (dir / "registry.ini").string();
    options.ProgramDirectory = dir.Path().string();
    TTAVO_WindowsServer server(options, std::make_shared<TMemorySink>(),
                               std::make_shared<test::TFakeClock>(EncodeDateTime(2026, 12, 11, 12, 0, 0)));
    server.Log().EventLog().InitLogging();
    TRoleTimings timings;
    timings.Lease = c.Lease;
    auto role = std::make_shared<TServingRole>(timings, "gate", nullptr);
    const auto now = TServingRole::TClock::now();
    role->LockConfirmed(now);
    role->Acquired(now, true);
    ASSERT_TRUE(role->TryServe(now)) << c.Name;
    server.UseRole(role);
    const uint16_t port = test::FreePort();
    server.MainSocket().SetPort(port);
    server.MainSocket().Open();

    test::TLoopbackClient client(port);
    server.IO().run_for(200ms);  // accepted within the lease
    ASSERT_TRUE(server.MainSocket().ActiveConnections() == 1) << c.Name;
    std::this_thread::sleep_for(1100ms);  // the short lease runs out: as if frozen
    client.Send(test::Framed("¤KEEPALIVE::KEEPALIVE¤"));
    server.IO().run_for(300ms);
    client.ReadFor(100);
    EXPECT_EQ(client.Received().find("KEEPALIVE") != std::string::npos, c.Answered)
        << c.Name << ": " << client.Received();
    EXPECT_EQ(client.PeerClosed(), !c.Answered) << c.Name;
    EXPECT_EQ(role->Role() == TRole::Serving, c.Answered) << c.Name;
  }
}

}  // namespace
}  // namespace tavo
