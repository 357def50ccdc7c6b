// The maintenance timer and the self-update glue on the real service module, with a timer the
// test fires by hand, a pinned clock and random minute, and a restart script that only reports.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "LoopbackClient.h"
#include "ManualTimer.h"
#include "TestSupport.h"
#include "service/RestartServer.h"
#include "service/UTavoServerMain.h"
#include "sms/SMSTestSupport.h"

namespace tavo {
namespace {

namespace fs = std::filesystem;

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old, hadTmp_ = true;
    setenv("TMPDIR", dir.Path().c_str(), 1);
    // An existing script is used as it is: this one only notes each start.
    test::WriteFile(dir / kRestartScriptName,
                    "#!/bin/sh\necho started >> \"" + (dir / "restarted").string() + "\"\n");
    fs::create_directories(programDir);

    TServerOptions options;
    options.Foreground = true;
    options.RegistryFile = (dir / "registry.ini").string();
    options.ProgramDirectory = programDir.string();
    options.Argv = {"TAVO_WServer.exe", "--foreground"};
    server = std::make_unique<TTAVO_WindowsServer>(options, sink, clock);
    server->Log().EventLog().InitLogging();
    auto t = std::make_unique<test::TManualTimer>();
    timer = t.get();
    server->SetTimer3(std::move(t));
    server->SetUpdateRandom([] { return 4; });
    server->MainSocket().SetPort(port);
    server->MainSocket().Open();
    server->EnableTimer3(true);
  }
  void TearDown() override {
    // A run started by a tick ends before the module goes.
    RunUntil([&] { return !server->UpdateRunning(); });
    server.reset();
    if (hadTmp_)
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  // Runs the main loop until the condition holds; false when it did not within the bound.
  template <typename F>
  bool RunUntil(F done, int maxMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      server->IO().restart();
      // The loop returns at once when it has nothing to wait for: then the test waits.
      if (server->IO().run_for(std::chrono::milliseconds(20)) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  void At(int y, int mo, int d, int h, int mi, int s) { clock->Set(EncodeDateTime(y, mo, d, h, mi, s)); }
  std::vector<test::TLoopbackClient*> Connect(int n) {
    std::vector<test::TLoopbackClient*> out;
    for (int i = 0; i < n; ++i) {
      clients.push_back(std::make_unique<test::TLoopbackClient>());
      EXPECT_TRUE(clients.back()->Connect(port, 2000));
      out.push_back(clients.back().get());
    }
    const size_t want = static_cast<size_t>(n);
    EXPECT_TRUE(RunUntil([&] { return server->MainSocket().ActiveConnections() == want; }));
    return out;
  }
  std::vector<std::string> EntriesWith(const std::string& start) const {
    std::vector<std::string> out;
    for (const auto& e : sink->Entries())
      if (e.Message.rfind(start, 0) == 0) out.push_back(e.Message);
    return out;
  }
  bool Restarted() {
    return RunUntil([&] { return fs::exists(dir / "restarted"); }, 5000);
  }

  test::TTempDir dir;
  fs::path programDir = dir / "program";
  std::shared_ptr<TMemorySink> sink = std::make_shared<TMemorySink>();
  std::shared_ptr<test::TFakeClock> clock =
      std::make_shared<test::TFakeClock>(EncodeDateTime(2026, 12, 10, 12, 0, 0));
  std::unique_ptr<TTAVO_WindowsServer> server;
  test::TManualTimer* timer = nullptr;
  const uint16_t port = test::FreePort();
  std::vector<std::unique_ptr<test::TLoopbackClient>> clients;
  std::string oldTmp_;
  bool hadTmp_ = false;
};

TEST_F(MaintenanceTest, FirstTickAfter120SecondsThenEvery55) {
  EXPECT_EQ(timer->started, (std::vector<uint32_t>{120000}));
  ASSERT_TRUE(timer->Fire());
  // The first tick starts a fresh 55 s interval; later ticks leave the interval as it is.
  EXPECT_EQ(timer->started, (std::vector<uint32_t>{120000, 55000}));
  EXPECT_TRUE(server->Timer3Enabled());
  RunUntil([&] { return !server->UpdateRunning(); });
  ASSERT_TRUE(timer->Fire());
  ASSERT_TRUE(timer->Fire());
  EXPECT_EQ(timer->started, (std::vector<uint32_t>{120000, 55000}));
  EXPECT_EQ(timer->Interval(), 55000u);
}

TEST_F(MaintenanceTest, EveryTickAsksWhetherAnUpdateIsDue) {
  // At start-up the last run lies a day back: the first tick starts one.
  server->UpdateState().dtLastUpdated = clock->Now() - 1;
  ASSERT_TRUE(timer->Fire());
  EXPECT_TRUE(server->UpdateRunning());
  // Nobody to ask: the run ends at once and the last run stays a day back.
  ASSERT_TRUE(RunUntil([&] { return !server->UpdateRunning(); }));
  EXPECT_EQ(server->UpdateState().dtLastUpdated, clock->Now() - 1);

  // 12:03 after a run at 11:10 with the random minute 4: not yet; at 12:04 it is.
  server->UpdateState().dtLastUpdated = EncodeDateTime(2026, 12, 10, 11, 10, 0);
  At(2026, 12, 10, 12, 3, 0);
  ASSERT_TRUE(timer->Fire());
  EXPECT_FALSE(server->UpdateRunning());
  At(2026, 12, 10, 12, 4, 0);
  ASSERT_TRUE(timer->Fire());
  EXPECT_TRUE(server->UpdateRunning());
}

TEST_F(MaintenanceTest, UpdateProgramWhileARunIsActiveChangesNothing) {
  server->UpdateState().dtLastUpdated = clock->Now() - 1;
  server->UpdateProgram(false);
  ASSERT_TRUE(server->UpdateRunning());
  server->UpdateState().bStartNewExeFile = true;  // as a run that got that far
  server->UpdateProgram(true);
  EXPECT_TRUE(server->UpdateState().bStartNewExeFile);
  // Left set, the end of the run would restart the service.
  server->UpdateState().bStartNewExeFile = false;
}

TEST_F(MaintenanceTest, MidnightRestartsOnceWithTheConnectedUsers) {
  Connect(3);
  server->UpdateState().dtLastUpdated = EncodeDateTime(2026, 12, 10, 23, 30, 0);
  for (auto when : {EncodeDateTime(2026, 12, 10, 23, 59, 59), EncodeDateTime(2026, 12, 11, 0, 1, 0)}) {
    clock->Set(when);
    ASSERT_TRUE(timer->Fire());
    RunUntil([&] { return !server->UpdateRunning(); });
    EXPECT_TRUE(server->MainSocket().Active());
    EXPECT_TRUE(server->Timer3Enabled());
  }
  EXPECT_TRUE(EntriesWith("Midnight").empty());
  EXPECT_FALSE(fs::exists(dir / "restarted"));

  server->UpdateState().dtLastUpdated = EncodeDateTime(2026, 12, 10, 23, 30, 0);
  At(2026, 12, 11, 0, 0, 30);
  ASSERT_TRUE(timer->Fire());
  // The tick asked for the update before it restarted (the date rule makes one due).
  EXPECT_TRUE(server->UpdateRunning());
  EXPECT_FALSE(server->MainSocket().Active());
  EXPECT_FALSE(server->Timer3Enabled());
  ASSERT_TRUE(Restarted());
  const auto entries = sink->Entries();
  const auto midnight = std::find_if(entries.begin(), entries.end(), [](const TEventEntry& e) {
    return e.Message.rfind("Midnight", 0) == 0;
  });
  ASSERT_NE(midnight, entries.end());
  EXPECT_EQ(midnight->Message, "Midnight. Restarting TAVO Server 2026-12-11 00:00:30. Connected users: 2");
  EXPECT_EQ(midnight->Type, TEventType::Information);
  EXPECT_EQ(midnight->Category, 0);

  // The timer is off: no second tick, no second restart that night.
  At(2026, 12, 11, 0, 0, 50);
  EXPECT_FALSE(timer->Fire());
  EXPECT_EQ(EntriesWith("Midnight").size(), 1u);
  EXPECT_EQ(test::ReadFile(dir / "restarted"), "started\n");
}

TEST_F(MaintenanceTest, AFailedMidnightRestartIsCountedAndLeavesTheServerClosed) {
  setenv("TMPDIR", (dir / "gone").c_str(), 1);
  At(2026, 12, 11, 0, 0, 10);
  ASSERT_TRUE(timer->Fire());
  EXPECT_FALSE(server->MainSocket().Active());
  EXPECT_FALSE(server->Timer3Enabled());
  EXPECT_EQ(server->Log().ErrorCount(), 1);
  EXPECT_EQ(EntriesWith("Error in TimerEvent3: ").size(), 1u);
}

TEST_F(MaintenanceTest, ANewExecutableFromTheGatewayRestartsTheService) {
  test::TTempDir work;
  const auto cert = test::MakeCertificate(work.Path(), "gateway", "IP:127.0.0.1");
  test::TGatewayOptions o;
  o.Files = work / "files";
  test::OfferProgramFile(o.Files, "TAVO_WServer.exe", "", test::VersionFileText(1105),
                         test::ReadFile(TAVO_SERVER_EXE));
  test::TTestGateway gw(work / "gw", cert, o);
  server->Registry().WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "HTTPSERVER", gw.Host());
  server->Registry().WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "CAFile", cert.Cert.string());
  test::WriteFile(programDir / "TAVO_WServer.exe", "running build");  // no record: 1000
  Connect(2);
  for (int i = 0; i < 3; ++i) server->Log().IncErrorCount();

  server->UpdateProgram(true);
  ASSERT_TRUE(server->UpdateRunning());
  ASSERT_TRUE(RunUntil([&] { return !server->UpdateRunning(); }));
  ASSERT_TRUE(Restarted());
  EXPECT_EQ(test::ReadFile(programDir / "Old_TAVO_WServer.exe"), "running build");
  EXPECT_TRUE(test::ReadFile(programDir / "TAVO_WServer.exe") == test::ReadFile(TAVO_SERVER_EXE));
  EXPECT_FALSE(server->MainSocket().Active());
  EXPECT_FALSE(server->Timer3Enabled());
  EXPECT_EQ(server->Log().ErrorCount(), 0);
  const auto entries = sink->Entries();
  const auto restart = std::find_if(entries.begin(), entries.end(), [](const TEventEntry& e) {
    return e.Message.rfind("New version available", 0) == 0;
  });
  ASSERT_NE(restart, entries.end());
  EXPECT_EQ(restart->Message,
            "New version available. Restarting TAVO Server 2026-12-10 12:00:00. Connected users: 1");
  EXPECT_EQ(restart->Type, TEventType::Error);
  EXPECT_EQ(restart->Category, 0);
}

}  // namespace
}  // namespace tavo
