// What a client that never signs on can do to the real server: content that fails is logged
// without driving the restart, and quoted in the log only in part.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "LoopbackClient.h"
#include "SeededServer.h"

namespace tavo {
namespace {

const std::string M = "\xA4";
const std::string KA = M + "KEEPALIVE::KEEPALIVE" + M;
const std::string KAReply = "#DATASTART#" + KA + "#DATAEND#\r\n";

TEST(HostileClients, RequestsThatAreNotNumbersDoNotRestartTheServer) {
  test::TSeededServer seeded;
  seeded.server.SetEnv("TMPDIR", seeded.server.ProgramDir().string());
  seeded.Start();
  test::TLoopbackClient c(seeded.Port());
  // More than the 20 counted failures that restart the server at any hour. KEEPALIVE comes
  // first in a pass, so its answer shows the message has been interpreted.
  const std::string longField(500 * 1024, 'z');
  for (int i = 0; i < 30; ++i) {
    const std::string field = i == 0 ? longField : "nr" + std::to_string(i);
    c.Send("#DATASTART#" + M + "CALLING:" + field + ":CALLING" + M + KA + "#DATAEND#");
    ASSERT_TRUE(c.WaitFor(KAReply)) << i;
    c.Take();
  }
  ASSERT_TRUE(seeded.server.WaitForLog("'nr29' is not a valid integer value"));
  c.Send("#DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(c.WaitFor(KAReply));
  EXPECT_FALSE(c.PeerClosed());
  test::TLoopbackClient other(seeded.Port());
  other.Send("#DATASTART#" + KA + "#DATAEND#");
  EXPECT_TRUE(other.WaitFor(KAReply));

  const std::string log = seeded.server.EventLog();
  EXPECT_EQ(log.find("Too many Errors!"), std::string::npos) << log.substr(0, 4000);
  std::istringstream lines(log);
  size_t longest = 0;
  for (std::string line; std::getline(lines, line);) longest = std::max(longest, line.size());
  EXPECT_LT(longest, 1000u);
  EXPECT_NE(log.find(std::string(256, 'z') + "... (512000 characters)"), std::string::npos);
  EXPECT_EQ(seeded.server.Stop(), 0);
}

// Connections until the process has no descriptor left: the listener pauses instead of
// retrying at once, says so once, stays near idle, and accepts by itself once some close.
TEST(HostileClients, DescriptorLimitPausesAcceptingWithoutSpinning) {
  test::TSeededServer seeded;
  seeded.server.SetDescriptorLimit(64);
  seeded.Start();
  std::vector<std::unique_ptr<test::TLoopbackClient>> answered;
  std::unique_ptr<test::TLoopbackClient> waiting;
  for (int i = 0; i < 80 && !waiting; ++i) {
    auto c = std::make_unique<test::TLoopbackClient>(seeded.Port());
    c->Send("#DATASTART#" + KA + "#DATAEND#");
    if (c->WaitFor(KAReply, 3000))
      answered.push_back(std::move(c));
    else
      waiting = std::move(c);
  }
  ASSERT_TRUE(waiting) << "every connection was accepted";
  const std::string paused = "cannot accept a connection";
  ASSERT_TRUE(seeded.server.WaitForLog(paused)) << seeded.server.EventLog();

  // Retrying at once would keep a core busy; paused, the process barely runs.
  const double before = seeded.server.CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double used = seeded.server.CpuSeconds() - before;
  ASSERT_GE(before, 0);
  RecordProperty("cpu_seconds_in_2s_at_limit", std::to_string(used));
  EXPECT_LT(used, 0.1) << "CPU seconds used in 2 s at the limit";

  answered.clear();  // descriptors free up
  EXPECT_TRUE(waiting->WaitFor(KAReply, 5000));
  EXPECT_TRUE(seeded.server.WaitForLog("accepting connections again"));
  const std::string log = seeded.server.EventLog();
  EXPECT_EQ(log.find(paused), log.rfind(paused)) << "logged once per episode";
  EXPECT_EQ(seeded.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
