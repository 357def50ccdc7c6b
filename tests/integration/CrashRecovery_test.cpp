// The server killed outright in the middle of a stream of calls: every call a station was told
// about (its list came back with the call open) is in CALLLOG after a restart and on a display.
#include <gtest/gtest.h>

#include <signal.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "SeededServer.h"

namespace tavo {
namespace {

using test::W;

constexpr int kStations = 10;
constexpr int kResources = 20;  // every station calls every resource once: 200 calls
const std::string kListEnd = W("RETCALLLIST¤#DATAEND#\r\n");

std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }

// Resources shown with an open call in any RETCALLLIST of the received text.
std::set<int> OpenInLists(const std::string& received) {
  std::set<int> open;
  const std::string head = W("¤RETCALLLIST~"), tail = "RETCALLLIST" + W("¤");
  for (size_t p = received.find(head); p != std::string::npos; p = received.find(head, p + 1)) {
    const size_t end = received.find(tail, p + head.size());
    if (end == std::string::npos) break;  // cut off by the kill: not a reply the station saw
    std::vector<std::string> f;
    std::string cur;
    for (size_t i = p + head.size(); i < end; ++i) {
      if (received[i] == '~') {
        f.push_back(cur);
        cur.clear();
      } else {
        cur += received[i];
      }
    }
    for (size_t r = 0; r + 10 <= f.size(); r += 10)
      if (f[r + 5] == "-1") open.insert(std::stoi(f[r + 1]));
  }
  return open;
}

TEST(CrashRecovery, EveryAcknowledgedCallSurvivesSigkill) {
  test::TSeededServer s;
  for (int r = 1; r <= kResources; ++r) s.Resource(r, "R" + std::to_string(r), "Resurs " + std::to_string(r), 0);
  for (int st = 1; st <= kStations; ++st) {
    s.Station(st, "S" + std::to_string(st), "Rum " + std::to_string(st), 0, 0);
    for (int r = 1; r <= kResources; ++r) s.List(st, r, r);
  }
  s.Station(kStations + 1, "V", "Visning", 0, 1);
  for (int r = 1; r <= kResources; ++r) s.List(kStations + 1, r, r);
  s.Start();

  std::vector<std::unique_ptr<test::TLoopbackClient>> stations;
  for (int st = 1; st <= kStations; ++st) {
    auto c = std::make_unique<test::TLoopbackClient>(s.Port());
    c->Send(Req("¤GETCALLLIST:S" + std::to_string(st) + ":0:GETCALLLIST¤"));
    ASSERT_TRUE(c->WaitFor(kListEnd)) << c->Received();
    c->Take();
    stations.push_back(std::move(c));
  }
  auto display = std::make_unique<test::TLoopbackClient>(s.Port());
  display->Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
  ASSERT_TRUE(display->WaitFor(W("CURRENTLIST¤#DATAEND#\r\n")));

  auto call = [&](int i) {
    stations[i % kStations]->Send(Req("¤CALLING:" + std::to_string(i / kStations + 1) + ":CALLING¤"));
  };
  std::map<int, std::string> received;  // by station number
  // The first half one by one, each acknowledged before the next.
  const int total = kStations * kResources;
  for (int i = 0; i < total / 2; ++i) {
    call(i);
    auto& c = *stations[i % kStations];
    ASSERT_TRUE(c.WaitFor(kListEnd)) << i;
    received[i % kStations + 1] += c.Take();
  }
  // The second half at once, and the process killed while it works on them.
  for (int i = total / 2; i < total; ++i) call(i);
  s.server.Signal(SIGKILL);
  EXPECT_EQ(s.server.WaitExit(), 128 + SIGKILL);
  for (int st = 1; st <= kStations; ++st) {
    auto& c = *stations[st - 1];
    c.ReadFor(300);
    received[st] += c.Take();
  }
  stations.clear();
  display.reset();

  std::map<int, std::set<int>> acknowledged;
  size_t count = 0;
  for (auto& [st, text] : received) {
    acknowledged[st] = OpenInLists(text);
    count += acknowledged[st].size();
  }
  ASSERT_GE(count, static_cast<size_t>(total / 2));

  s.Start();
  {
    auto log = s.Db().Open("SELECT STATIONSLOPNR, CALLABLESLOPNR FROM CALLLOG WHERE CONFIRMTSTAMP IS NULL");
    std::map<int, std::set<int>> logged;
    for (; !log->Eof(); log->Next())
      logged[log->AsInteger("STATIONSLOPNR")].insert(log->AsInteger("CALLABLESLOPNR"));
    for (auto& [st, resources] : acknowledged)
      for (int r : resources) EXPECT_TRUE(logged[st].count(r)) << "station " << st << " resource " << r;
  }
  test::TLoopbackClient v(s.Port());
  v.Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
  ASSERT_TRUE(v.WaitFor(W("CURRENTLIST¤#DATAEND#\r\n")));
  const std::string list = v.Take();
  for (auto& [st, resources] : acknowledged) {
    for (int r : resources) {
      // The resource's section: "R<r>:<r>:colour:position:¤%" callers "%¤:".
      const std::string head = W("R" + std::to_string(r) + ":" + std::to_string(r) + ":0:" +
                                 std::to_string(r) + ":¤%");
      const size_t from = list.find(head);
      ASSERT_NE(from, std::string::npos) << r;
      const std::string section = list.substr(from, list.find(W("%¤:"), from) - from);
      EXPECT_NE(section.find("Rum " + std::to_string(st) + "~" + std::to_string(st) + "~"),
                std::string::npos)
          << "station " << st << " resource " << r;
    }
  }
  EXPECT_EQ(s.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
