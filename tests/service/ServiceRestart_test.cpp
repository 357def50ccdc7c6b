// The restart that too many failures trigger, on the real service module: decided on a worker
// thread, carried out on the main loop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "LoopbackClient.h"
#include "TestSupport.h"
#include "service/RestartServer.h"
#include "service/UTavoServerMain.h"

namespace tavo {
namespace {

TEST(ServiceRestart, WorkerDecisionRunsTheStepsOnTheMainLoop) {
  test::TTempDir dir;
  const std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  setenv("TMPDIR", dir.Path().c_str(), 1);
  // An existing script is used as it is: this one only reports that it ran, and for whom.
  test::WriteFile(dir / kRestartScriptName,
                  "#!/bin/sh\necho \"$TAVO_SERVER_PID\" > \"" + (dir / "restarted").string() + "\"\n");

  TServerOptions options;
  options.Foreground = true;
  options.RegistryFile = (dir / "registry.ini").string();
  options.Argv = {"TAVO_WServer.exe", "--foreground"};
  auto sink = std::make_shared<TMemorySink>();
  auto clock = std::make_shared<test::TFakeClock>(EncodeDateTime(2026, 12, 10, 12, 0, 0));
  TTAVO_WindowsServer server(options, sink, clock);
  server.Log().EventLog().InitLogging();
  const uint16_t port = test::FreePort();
  server.MainSocket().SetPort(port);
  server.MainSocket().Open();
  server.EnableTimer3(true);

  std::thread worker([&] {
    for (int i = 0; i < 21; ++i) server.Log().IncErrorCount();
    server.Log().Logg("a failing SMS dispatch", ltError);
  });
  worker.join();
  // Decided, but nothing done yet: the steps wait for the main loop.
  EXPECT_EQ(server.Log().ErrorCount(), 0);
  EXPECT_TRUE(server.MainSocket().Active());
  EXPECT_TRUE(server.Timer3Enabled());

  server.IO().run_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(server.MainSocket().Active());
  EXPECT_FALSE(server.Timer3Enabled());
  bool found = false;
  for (const auto& e : sink->Entries()) {
    if (e.Message == "Too many Errors! Restarting TAVO Server 2026-12-10 12:00:00. Connected users: -1") {
      found = true;
      EXPECT_EQ(e.Type, TEventType::Error);
      EXPECT_EQ(e.Category, 0);
    }
  }
  EXPECT_TRUE(found);
  for (int i = 0; i < 100 && !std::filesystem::exists(dir / "restarted"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(test::ReadFile(dir / "restarted"), std::to_string(getpid()) + "\n");
  test::TLoopbackClient c;
  EXPECT_FALSE(c.Connect(port, 200));

  if (oldTmp.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", oldTmp.c_str(), 1);
}

}  // namespace
}  // namespace tavo
