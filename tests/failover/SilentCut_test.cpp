// One server, no standby, in a network namespace whose link to PostgreSQL is cut without a word
// (packets lost, nothing refused): calls go on being acknowledged within seconds, kept in the
// journal, and once the link is back the call log holds every one of them.
#include <gtest/gtest.h>

#include <algorithm>

#include "StandbyPair.h"

namespace tavo::test {
namespace {

TEST(SilentCutPostgreSQL, CallsGoOnThroughADeadLinkAndAreLoggedOnceItIsBack) {
  std::unique_ptr<TNamespaceLinks> links;
  try {
    links = std::make_unique<TNamespaceLinks>();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "this machine refuses the network namespace the test needs (" << e.what() << ")";
  }
  TStandbyPair pair(1, 20, links.get());
  TServerProcess& server = pair.server[0];
  server.SetRegistry("Standby", "NO");  // a server of its own; the second one is never started
  server.Start();
  ASSERT_EQ(pair.address->WaitActive(20000), 0) << server.EventLog();
  pair.address->Pin(0);
  TStation s1("S1", 0, pair.address->Port());
  ASSERT_TRUE(s1.SignOn(*pair.address, 10000));
  int r = 1;
  for (; r <= 2; ++r) ASSERT_TRUE(s1.Call(r)) << server.EventLog();

  links->CutDatabaseLink();
  // The first call after the cut waits for the dead link to be given up (3 s of unacknowledged
  // data); the kernel alone would take a quarter of an hour. Then the outage is known and calls
  // need no database.
  std::vector<double> took;
  for (int i = 0; i < 5; ++i, ++r) {
    const auto sent = TSteady::now();
    ASSERT_TRUE(s1.Call(r, 20000)) << "R" << r << "\n" << server.EventLog();
    took.push_back(SecondsSince(sent));
  }
  std::printf("calls after the cut acknowledged in:");
  for (double t : took) std::printf(" %.3f", t);
  std::printf(" s\n");
  EXPECT_LE(*std::max_element(took.begin(), took.end()), 6.0);
  EXPECT_LE(took.back(), 1.0);
  EXPECT_TRUE(server.WaitForLog("was lost", 1000)) << server.EventLog();

  links->RestoreDatabaseLink();
  const auto restored = TSteady::now();
  while (pair.OpenCalls()[1].size() < static_cast<size_t>(r - 1) && SecondsSince(restored) < 40)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::set<int> expected;
  for (int i = 1; i < r; ++i) expected.insert(i);
  EXPECT_EQ(pair.OpenCalls()[1], expected) << server.EventLog();
  EXPECT_TRUE(server.WaitForLog("is back after", 1000)) << server.EventLog();
  EXPECT_TRUE(s1.Call(r)) << server.EventLog();
}

}  // namespace
}  // namespace tavo::test
