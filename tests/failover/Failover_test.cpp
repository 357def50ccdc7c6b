// Two real servers on one PostgreSQL, stations and a display on the floating address: the
// serving one killed, frozen, or without its database, and both started at once. Rounds and
// the length of the outage can be raised through the environment (bench/takeover.sh does).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

#include "StandbyPair.h"

namespace tavo::test {
namespace {

int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

// The text of the event-log lines that contain `part`.
size_t LogCount(const TServerProcess& s, const std::string& part) {
  const std::string log = s.EventLog();
  size_t n = 0;
  for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
  return n;
}

struct TAck {
  int Station;
  int Resource;
  int Server;
  TSteady::time_point When;
};

// S1 calling R1, R2, ... in turn through the floating address, signing on again whenever its
// connection is gone; every call it saw acknowledged is kept.
struct TCallingStation {
  explicit TCallingStation(TStandbyPair& pair)
      : Station("S1", 0, pair.address->Port()), Address(*pair.address) {}
  bool Call() {
    if (!Station.Client() || Station.Client()->PeerClosed()) {
      if (!Station.SignOn(Address, 300)) return false;
    }
    const int resource = Next++;
    if (!Station.Call(resource, 1000)) return false;
    Acks.push_back({1, resource, Station.Server(), TSteady::now()});
    return true;
  }

  TStation Station;
  TFloatingAddress& Address;
  std::vector<TAck> Acks;
  int Next = 1;
};

TEST(FailoverPostgreSQL, KilledServerIsReplacedWithEveryAcknowledgedCall) {
  const int rounds = EnvInt("TAVO_TAKEOVER_ROUNDS", 1);
  const int kStations = 4;
  TStandbyPair pair(kStations, 12 + 6 * rounds);
  pair.server[0].Start();
  pair.server[1].Start();
  int serving = pair.address->WaitActive(20000);
  ASSERT_GE(serving, 0) << pair.server[0].EventLog() << pair.server[1].EventLog();

  std::vector<TStation> stations;
  for (int s = 1; s <= kStations; ++s) stations.emplace_back("S" + std::to_string(s), 0, pair.address->Port());
  for (auto& st : stations) ASSERT_TRUE(st.SignOn(*pair.address, 10000));
  std::vector<int> next(kStations, 1);
  std::vector<TAck> acks;
  // One call of a station to its next resource; reconnects first when its connection is gone.
  auto callOnce = [&](int i) {
    TStation& st = stations[static_cast<size_t>(i)];
    if (!st.Client() || st.Client()->PeerClosed()) {
      if (!st.SignOn(*pair.address, 300)) return false;
    }
    const int r = next[static_cast<size_t>(i)]++;
    if (!st.Call(r, 1000)) return false;
    acks.push_back({i + 1, r, st.Server(), TSteady::now()});
    return true;
  };

  std::vector<double> takeovers;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2 * kStations; ++k) ASSERT_TRUE(callOnce(k % kStations)) << "round " << round;
    pair.server[serving].Signal(SIGKILL);
    const auto killed = TSteady::now();
    ASSERT_EQ(pair.server[serving].WaitExit(), 128 + SIGKILL);
    // The stations keep calling; the first call the other server acknowledges ends the takeover.
    double takeover = -1;
    for (int k = 0; takeover < 0 && SecondsSince(killed) < 20; ++k) {
      const int i = k % kStations;
      if (callOnce(i) && acks.back().Server == 1 - serving) takeover = SecondsSince(killed);
    }
    ASSERT_GT(takeover, 0) << pair.server[1 - serving].EventLog();
    takeovers.push_back(takeover);
    std::printf("takeover round %d: %.3f s\n", round + 1, takeover);
    EXPECT_LE(takeover, 5.0) << "round " << round;
    for (int k = 0; k < kStations; ++k) callOnce(k);
    // The killed one comes back as the standby.
    pair.server[serving].Start();
    const auto back = TSteady::now();
    while (pair.Health(serving) != 503 && SecondsSince(back) < 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(pair.Health(serving), 503) << pair.server[serving].EventLog();
    serving = 1 - serving;
  }
  std::sort(takeovers.begin(), takeovers.end());
  std::printf("takeover over %d rounds: median %.3f s, worst %.3f s\n", rounds,
              takeovers[takeovers.size() / 2], takeovers.back());

  // Every acknowledged call is in the call log and on the display of the server that serves.
  auto logged = pair.OpenCalls();
  for (const TAck& a : acks)
    EXPECT_TRUE(logged[a.Station].count(a.Resource)) << "S" << a.Station << " R" << a.Resource;
  TStation display("V", 1, pair.address->Port());
  ASSERT_TRUE(display.SignOn(*pair.address, 10000));
  for (const TAck& a : acks)
    EXPECT_TRUE(TStandbyPair::DisplayShows(display.SignOnText(), a.Station, a.Resource))
        << "S" << a.Station << " R" << a.Resource;
  EXPECT_EQ(pair.address->BothServing(), 0);
}

TEST(FailoverPostgreSQL, FrozenServerStepsDownBeforeItAnswersAnything) {
  TStandbyPair pair(3, 30);
  pair.server[0].Start();
  pair.server[1].Start();
  const int frozen = pair.address->WaitActive(20000);
  ASSERT_GE(frozen, 0);
  const int other = 1 - frozen;

  TCallingStation caller(pair);
  TStation& s1 = caller.Station;
  ASSERT_TRUE(s1.SignOn(*pair.address, 10000));
  // S3 holds a connection of its own to the server that is about to freeze.
  TLoopbackClient direct(pair.MainPort(frozen));
  direct.Send(Req("¤GETCALLLIST:S3:0:GETCALLLIST¤"));
  ASSERT_TRUE(direct.WaitFor(ListEnd()));
  direct.Take();

  std::vector<TAck>& acks = caller.Acks;
  auto call = [&] { return caller.Call(); };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(call());

  pair.server[frozen].Signal(SIGSTOP);
  const auto stopped = TSteady::now();
  direct.Send(Req("¤CALLING:25:CALLING¤"));  // waits in the frozen server's socket
  // Calls until the other server answers, then one a second until the frozen one wakes.
  while (SecondsSince(stopped) < 10) {
    const bool tookOver = !acks.empty() && acks.back().Server == other;
    if (!call() || tookOver) std::this_thread::sleep_for(std::chrono::milliseconds(tookOver ? 1000 : 50));
  }
  ASSERT_FALSE(acks.empty());
  ASSERT_EQ(acks.back().Server, other) << pair.server[other].EventLog();
  pair.server[frozen].Signal(SIGCONT);

  // The woken server closes its connections without a word and stands by.
  const auto woken = TSteady::now();
  while (!direct.PeerClosed() && SecondsSince(woken) < 5) direct.ReadFor(100);
  EXPECT_TRUE(direct.PeerClosed());
  EXPECT_EQ(direct.Received().find("RETCALLLIST"), std::string::npos) << direct.Received();
  EXPECT_TRUE(pair.server[frozen].WaitForLog("Role changed to standby", 5000));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(call());
  EXPECT_EQ(pair.Health(frozen), 503);
  EXPECT_EQ(pair.Health(other), 200);
  EXPECT_EQ(pair.OpenCalls()[3].count(25), 0u) << "the frozen server wrote a call after waking";

  // At no moment did both accept a call: every reply of the frozen server came before the
  // first of the other, and /health never said 200 for both.
  TSteady::time_point firstOther = TSteady::time_point::max();
  for (const TAck& a : acks)
    if (a.Server == other) firstOther = std::min(firstOther, a.When);
  for (const TAck& a : acks) {
    if (a.Server == frozen) {
      EXPECT_LT(a.When, firstOther) << "R" << a.Resource;
    }
  }
  EXPECT_EQ(pair.address->BothServing(), 0);
  EXPECT_EQ(LogCount(pair.server[frozen], "Role changed to standby"), 1u);
  EXPECT_EQ(LogCount(pair.server[other], "Role changed to serving"), 1u);
  EXPECT_GE(LogCount(pair.server[other], "heartbeat has not moved"), 1u) << pair.server[other].EventLog();
}

TEST(FailoverPostgreSQL, DatabaseDownForBothNobodyTakesOver) {
  const int seconds = EnvInt("TAVO_OUTAGE_SECONDS", 30);
  TStandbyPair pair(2, 10);
  pair.server[0].Start();
  pair.server[1].Start();
  const int serving = pair.address->WaitActive(20000);
  ASSERT_GE(serving, 0);
  TStation s1("S1", 0, pair.address->Port());
  ASSERT_TRUE(s1.SignOn(*pair.address, 10000));
  ASSERT_TRUE(s1.Call(1));

  pair.pg.Pause();
  const auto paused = TSteady::now();
  int servingSamples = 0, otherServing = 0;
  while (SecondsSince(paused) < seconds) {
    if (pair.Health(serving) == 200) ++servingSamples;
    if (pair.Health(1 - serving) == 200) ++otherServing;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const int samples = static_cast<int>(seconds * 2);
  EXPECT_GE(servingSamples, samples * 9 / 10) << pair.server[serving].EventLog();
  EXPECT_EQ(otherServing, 0);
  EXPECT_FALSE(s1.Client()->PeerClosed()) << "the station kept its connection";
  pair.pg.Resume();
  std::this_thread::sleep_for(std::chrono::seconds(6));  // longer than any promise
  EXPECT_EQ(pair.Health(serving), 200);
  EXPECT_EQ(pair.Health(1 - serving), 503);
  EXPECT_EQ(LogCount(pair.server[serving], "Role changed to standby"), 0u)
      << pair.server[serving].EventLog();
  EXPECT_EQ(LogCount(pair.server[1 - serving], "Role changed to serving"), 0u);
  EXPECT_EQ(pair.address->BothServing(), 0);
  EXPECT_EQ(pair.address->Active(), serving);
}

TEST(FailoverPostgreSQL, ServerCutOffFromTheDatabaseHandsOverWithinFiveSeconds) {
  std::unique_ptr<TNamespaceLinks> links;
  try {
    links = std::make_unique<TNamespaceLinks>();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "this machine refuses the network namespace the test needs (" << e.what() << ")";
  }
  TStandbyPair pair(2, 30, links.get());
  pair.server[0].Start();  // the one to be cut off serves first
  ASSERT_EQ(pair.address->WaitActive(20000), 0) << pair.server[0].EventLog();
  pair.server[1].Start();
  const auto started = TSteady::now();
  while (pair.Health(1) != 503 && SecondsSince(started) < 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  TCallingStation caller(pair);
  TStation& s1 = caller.Station;
  ASSERT_TRUE(s1.SignOn(*pair.address, 10000));
  std::vector<TAck>& acks = caller.Acks;
  int& r = caller.Next;
  auto call = [&] { return caller.Call(); };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(call());

  links->CutDatabaseLink();
  const auto cut = TSteady::now();
  double takeover = -1;
  long cutOffHealth = -1;
  while (takeover < 0 && SecondsSince(cut) < 15 && r <= 30) {
    if (call() && acks.back().Server == 1) {
      takeover = SecondsSince(cut);
      cutOffHealth = pair.Health(0);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::printf("takeover after the database link was cut: %.3f s\n", takeover);
  ASSERT_GT(takeover, 0) << pair.server[1].EventLog();
  EXPECT_LE(takeover, 5.0);
  EXPECT_NE(cutOffHealth, 200) << "the cut-off server still said it serves";
  EXPECT_TRUE(pair.server[0].WaitForLog("Role changed to standby", 5000)) << pair.server[0].EventLog();

  // With its link back the cut-off server stays the standby.
  links->RestoreDatabaseLink();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(pair.Health(0), 503);
  EXPECT_EQ(pair.Health(1), 200);
  EXPECT_TRUE(call()) << pair.server[1].EventLog() << pair.server[0].EventLog();
  EXPECT_EQ(LogCount(pair.server[0], "Role changed to serving"), 1u) << pair.server[0].EventLog();
  EXPECT_EQ(pair.address->BothServing(), 0);
  auto logged = pair.OpenCalls();
  for (const TAck& a : acks) EXPECT_TRUE(logged[1].count(a.Resource)) << "R" << a.Resource;
  // The calls the cut-off server acknowledged before it stood by reached the serving server's
  // call list once it wrote them: a display signing on there shows every acknowledged call.
  const size_t keptByTheCutOff = static_cast<size_t>(std::count_if(
      acks.begin(), acks.end(), [](const TAck& a) { return a.Server == 0; }));
  TStation display("V", 1, pair.address->Port());
  auto showsAll = [&] {
    return std::all_of(acks.begin(), acks.end(), [&](const TAck& a) {
      return TStandbyPair::DisplayShows(display.SignOnText(), 1, a.Resource);
    });
  };
  const auto restored = TSteady::now();
  do {
    ASSERT_TRUE(display.SignOn(*pair.address, 5000));
    if (showsAll()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  } while (SecondsSince(restored) < 30);
  EXPECT_EQ(display.Server(), 1);
  for (const TAck& a : acks)
    EXPECT_TRUE(TStandbyPair::DisplayShows(display.SignOnText(), 1, a.Resource))
        << "R" << a.Resource << " acknowledged by server " << a.Server << "\n"
        << pair.server[1].EventLog();
  std::printf("calls acknowledged by the cut-off server: %zu of %zu\n", keptByTheCutOff,
              acks.size());
}

TEST(FailoverPostgreSQL, BothStartedAtOnceExactlyOneServes) {
  const int rounds = EnvInt("TAVO_START_ROUNDS", 3);
  TStandbyPair pair(1, 2);
  std::vector<double> times;
  for (int round = 0; round < rounds; ++round) {
    for (auto& s : pair.server) std::filesystem::remove(s.EventLogFile());
    const auto started = TSteady::now();
    pair.server[0].Start();
    pair.server[1].Start();
    int serving = -1;
    while (serving < 0 && SecondsSince(started) < 20) {
      for (int i = 0; i < 2; ++i)
        if (pair.Health(i, 200) == 200) serving = i;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(serving, 0) << pair.server[0].EventLog() << pair.server[1].EventLog();
    times.push_back(SecondsSince(started));
    // For two seconds: one serves, the other stands by.
    const auto seen = TSteady::now();
    while (SecondsSince(seen) < 2) {
      EXPECT_EQ(pair.Health(serving), 200);
      const THttpAnswer standby = HttpGet(pair.HealthPort(1 - serving), "/health", 500);
      EXPECT_EQ(standby.Status, 503);
      EXPECT_NE(standby.Body.find("\"role\":\"standby\""), std::string::npos) << standby.Body;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(HttpGet(pair.HealthPort(serving), "/metrics").Body.find("tavo_role{role=\"serving\"} 1"),
              std::string::npos);
    EXPECT_NE(HttpGet(pair.HealthPort(1 - serving), "/metrics").Body.find("tavo_role{role=\"standby\"} 1"),
              std::string::npos);
    EXPECT_EQ(LogCount(pair.server[serving], "Role changed to serving"), 1u);
    EXPECT_EQ(LogCount(pair.server[1 - serving], "Role changed to serving"), 0u);
    EXPECT_EQ(pair.server[0].Stop(), 0);
    EXPECT_EQ(pair.server[1].Stop(), 0);
  }
  std::sort(times.begin(), times.end());
  std::printf("both started %d times: one served after median %.3f s, worst %.3f s\n", rounds,
              times[times.size() / 2], times.back());
  EXPECT_EQ(pair.address->BothServing(), 0);
}

TEST(Failover, StandbyIsRefusedOnSqlite) {
  TSeededServer s;
  s.server.SetRegistry("Standby", "YES");
  s.server.SetRegistry("MetricsPort", std::to_string(FreePort()));
  s.server.Start();
  EXPECT_EQ(s.server.WaitExit(), 1);
  EXPECT_NE(s.server.EventLog().find("Standby=YES refused: it needs a database server both servers "
                                     "share (PostgreSQL or SQL Server); an SQLite file cannot be shared"),
            std::string::npos)
      << s.server.EventLog();
}

}  // namespace
}  // namespace tavo::test
