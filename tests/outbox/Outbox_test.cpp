// The SMS outbox through the real executable, its database (SQLite, and PostgreSQL through
// psqlODBC) and the HTTPS test gateway: a gateway that is down, comes back, hangs or is flooded,
// and a server killed outright with SMS queued or at the gateway.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "admin/AdminServer.h"
#include "sms/LbClass.h"
#include "sms/SMSTestSupport.h"
#include "sms/ServerKey.h"

namespace tavo::test {
namespace {

using namespace std::chrono_literals;
using TClockType = std::chrono::steady_clock;

// Polls until the condition holds or the time is up.
template <typename F>
bool WaitUntil(F done, std::chrono::seconds limit) {
  const auto end = TClockType::now() + limit;
  while (!done()) {
    if (TClockType::now() > end) return false;
    std::this_thread::sleep_for(200ms);
  }
  return true;
}

// A free loopback port below the range the system hands out to connections, so that no
// client's or server's own connection takes it while the gateway is away.
int FreeGatewayPort() {
  std::mt19937 draw(std::random_device{}());
  for (int i = 0; i < 1000; ++i) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(draw);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;
  }
  throw std::runtime_error("no free port for the gateway");
}

struct TOutboxRow {
  int Lopnr = 0, Call = 0, Attempts = 0;
  std::string State, LastError;
};

class OutboxServer : public testing::TestWithParam<TBackendKind> {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TTempDir;
    cert_ = MakeCertificate(certs_->Path(), "gw", "IP:127.0.0.1");
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  void SetUp() override {
    s = std::make_unique<TAdminServer>(GetParam());
    gatewayPort = FreeGatewayPort();
    s->server.SetRegistry("CAFile", cert_.Cert.string());
    s->server.SetRegistry("HTTPSERVER", "127.0.0.1:" + std::to_string(gatewayPort));
    TLbBlowfish bf;
    bf.SetKey(MakeServerKey());
    Setting("SMSUSERNAME", "Mottagning");
    Setting("SMSPASSWORD", bf.EncryptString("hemligt"));
    s->IntSetting("SMSKUNDNR", 4711);
  }

  void Setting(const std::string& key, const std::string& value) {
    s->Seed().Execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) VALUES (?, ?)",
                      {SqlText(key), SqlText(value)});
  }
  // Stations "Rum1".. calling SMS resources 7, 8, ... (numbers 070-7, 070-8, ...), each station
  // listing every resource.
  void Clinic(int stations, int resources) {
    for (int r = 0; r < resources; ++r)
      s->Resource(7 + r, "Jour" + std::to_string(7 + r), "Jour", 0, 1, "070-" + std::to_string(7 + r));
    for (int st = 1; st <= stations; ++st) {
      s->Station(st, "Rum" + std::to_string(st), "Rum " + std::to_string(st), 0, 0);
      for (int r = 0; r < resources; ++r) s->List(st, 7 + r, r + 1);
    }
  }
  std::unique_ptr<TTestGateway> Gateway(const std::string& name, TGatewayOptions o = {}) {
    o.Port = gatewayPort;
    return std::make_unique<TTestGateway>(records_ / name, cert_, o);
  }

  // The station's CALLING, handled once its own list came back.
  void Calling(int station, int resource) {
    auto& c = Station(station);
    c.Take();
    c.Send(Req("¤CALLING:" + std::to_string(resource) + ":CALLING¤"));
    ASSERT_TRUE(c.WaitFor(W("RETCALLLIST¤#DATAEND#\r\n"))) << c.Received();
  }
  TLoopbackClient& Station(int station) {
    auto& c = stations_[station];
    if (!c) c = s->SignOn("Rum" + std::to_string(station), 0, false, "RETCALLLIST¤");
    return *c;
  }

  std::vector<TOutboxRow> Rows() {
    std::vector<TOutboxRow> out;
    auto q = s->Rows("SELECT * FROM SMSOUTBOX ORDER BY LOPNR");
    for (; !q->Eof(); q->Next())
      out.push_back({q->AsInteger("LOPNR"), q->AsInteger("CALLLOGLOPNR"), q->AsInteger("ATTEMPTS"),
                     q->AsString("STATE"), q->AsString("LASTERROR")});
    return out;
  }
  bool AllFinished(const std::string& state, size_t n) {
    auto rows = Rows();
    return rows.size() == n && std::all_of(rows.begin(), rows.end(), [&](const TOutboxRow& r) {
             return r.State == state;
           });
  }
  // The call-log numbers of the uploads the gateway received, in the order they came.
  static std::vector<int> Posted(const TTestGateway& gw) {
    TLbBlowfish bf;
    bf.SetKey(MakeServerKey());
    std::vector<int> calls;
    for (const auto& r : gw.Requests()) {
      if (r.Method != "POST") continue;
      const std::string m = bf.DecryptBytes(ReadFile(r.BodyFile));
      const size_t at = m.find("UNIKNR=");
      calls.push_back(at == std::string::npos ? -1 : std::stoi(m.substr(at + 7)));
    }
    return calls;
  }
  // The process's own threads; the kernel's io_uring workers (iou-*) come and go with the
  // writes and are left out.
  static int Threads(pid_t pid) {
    int n = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
      std::ifstream in(task.path() / "comm");
      std::string comm;
      std::getline(in, comm);
      if (comm.rfind("iou-", 0) != 0) ++n;
    }
    return n;
  }
  void Kill() {
    stations_.clear();
    s->server.Signal(SIGKILL);
    EXPECT_EQ(s->server.WaitExit(), 128 + SIGKILL);
  }

  std::unique_ptr<TAdminServer> s;
  int gatewayPort = 0;
  std::map<int, std::unique_ptr<TLoopbackClient>> stations_;
  TTempDir records_;  // what this test's gateways received
  static inline TTempDir* certs_ = nullptr;
  static inline TCertificate cert_;
};

TEST_P(OutboxServer, GatewayDownThirtySecondsThenUp) {
  Clinic(4, 2);
  s->Start();
  const auto down = TClockType::now();
  Calling(1, 7);
  Calling(2, 7);
  Calling(3, 7);
  Calling(4, 8);
  Calling(2, 7);  // confirmed while the gateway is away: its SMS never goes
  // The cancellation is written once the confirmation's replies are out.
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto r = Rows();
        return r.size() == 4 && r[0].Attempts >= 1 && r[1].State == "cancelled";
      },
      30s))
      << s->server.EventLog();
  auto rows = Rows();
  EXPECT_EQ(rows[0].LastError.rfind("127.0.0.1:" + std::to_string(gatewayPort) + ": refused", 0), 0u)
      << rows[0].LastError;
  EXPECT_EQ(rows[1].Attempts, 0);  // it waited behind the call before it to the same number

  // Back after 28 s: the retry at 30 s finds it.
  std::this_thread::sleep_until(down + 28s);
  auto gw = Gateway("gw");
  ASSERT_TRUE(WaitUntil([&] { return Rows()[2].State == "sent" && Rows()[3].State == "sent"; }, 90s))
      << s->server.EventLog();
  rows = Rows();
  EXPECT_EQ(rows[0].State, "sent");
  EXPECT_EQ(rows[1].State, "cancelled");
  // Once each; the calls to one number in the order they were made.
  auto posted = Posted(*gw);
  std::sort(posted.begin(), posted.end());
  EXPECT_EQ(posted, (std::vector<int>{rows[0].Call, rows[2].Call, rows[3].Call}));
  std::vector<int> jour;
  for (int call : Posted(*gw))
    if (call != rows[3].Call) jour.push_back(call);
  EXPECT_EQ(jour, (std::vector<int>{rows[0].Call, rows[2].Call}));
  EXPECT_EQ(s->server.Stop(), 0);
}

TEST_P(OutboxServer, GatewayDownPastTheValidityExpiresAndSendsNothingLate) {
  s->server.SetRegistry("SmsValiditySeconds", "12");
  Clinic(1, 2);
  s->Start();
  Calling(1, 7);
  Calling(1, 8);
  ASSERT_TRUE(WaitUntil([&] { return AllFinished("expired", 2); }, 40s)) << s->server.EventLog();
  const auto rows = Rows();
  EXPECT_EQ(rows[0].Attempts, 2);  // at 0 and 10 s
  const std::string log = s->server.EventLog();
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string resource = std::to_string(7 + i);
    EXPECT_NE(log.find("SMS " + std::to_string(rows[i].Lopnr) + " for call " +
                       std::to_string(rows[i].Call) + " to resource " + resource + " (Jour" +
                       resource + ", 070-" + resource + ") expired after 2 attempts: 127.0.0.1:" +
                       std::to_string(gatewayPort) + ": refused"),
              std::string::npos)
        << log;
  }
  auto gw = Gateway("gw");
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(gw->Requests().empty());
  EXPECT_EQ(s->server.Stop(), 0);
}

TEST_P(OutboxServer, QueuedSmsOutliveAKilledServer) {
  Clinic(2, 1);
  s->Start();
  Calling(1, 7);
  Calling(2, 7);
  ASSERT_TRUE(WaitUntil([&] { return Rows().size() == 2 && Rows()[0].Attempts == 1; }, 30s));
  Kill();
  auto gw = Gateway("gw");
  s->Start();
  ASSERT_TRUE(WaitUntil([&] { return AllFinished("sent", 2); }, 30s)) << s->server.EventLog();
  const auto rows = Rows();
  EXPECT_EQ(Posted(*gw), (std::vector<int>{rows[0].Call, rows[1].Call}));
  EXPECT_EQ(s->server.Stop(), 0);
}

// A message at the gateway when the server dies may have been taken: it is sent again, and the
// gateway sees the same call number twice rather than never.
TEST_P(OutboxServer, SmsAtTheGatewayWhenKilledIsSentAgain) {
  Clinic(1, 1);
  TGatewayOptions hang;
  hang.StallPosts = 1;
  auto first = Gateway("first", hang);
  s->Start();
  Calling(1, 7);
  ASSERT_TRUE(WaitUntil([&] { return first->CountRequests("/POSTSMSDATA") == 1; }, 30s));
  ASSERT_EQ(Rows()[0].State, "sending");
  Kill();
  first.reset();
  auto second = Gateway("second");
  s->Start();
  ASSERT_TRUE(WaitUntil([&] { return AllFinished("sent", 1); }, 30s)) << s->server.EventLog();
  EXPECT_EQ(Rows()[0].Attempts, 2);
  EXPECT_EQ(Posted(*second), std::vector<int>{Rows()[0].Call});
  EXPECT_TRUE(s->server.EventLog().find("SMS outbox picked up: 1 to be sent") != std::string::npos);
  EXPECT_EQ(s->server.Stop(), 0);
}

TEST_P(OutboxServer, HangingUploadTimesOutWhileTheOtherWorkerKeepsSending) {
  s->server.SetRegistry("SmsTryTimeoutSeconds", "3");
  Clinic(2, 2);
  TGatewayOptions hang;
  hang.StallPosts = 1;
  auto gw = Gateway("gw", hang);
  s->Start();
  Calling(1, 7);  // its upload hangs
  ASSERT_TRUE(WaitUntil([&] { return gw->CountRequests("/POSTSMSDATA") == 1; }, 30s))
      << s->server.EventLog();
  Calling(1, 8);
  Calling(2, 8);
  ASSERT_TRUE(WaitUntil([&] { return AllFinished("sent", 3); }, 60s)) << s->server.EventLog();
  const auto rows = Rows();
  EXPECT_EQ(rows[0].Attempts, 2);
  EXPECT_EQ(rows[0].LastError.rfind("127.0.0.1:" + std::to_string(gatewayPort) + ": timed out", 0), 0u)
      << rows[0].LastError;
  // The other two went while the first hung; the first went on its retry, 10 s after.
  EXPECT_EQ(Posted(*gw), (std::vector<int>{rows[0].Call, rows[1].Call, rows[2].Call, rows[0].Call}));
  EXPECT_EQ(s->server.Stop(), 0);
}

TEST_P(OutboxServer, BurstOf200SmsCallsQueuesRowsNotThreads) {
  constexpr int kStations = 20, kResources = 10;
  Clinic(kStations, kResources);
  TGatewayOptions slow;
  slow.PostDelay = 0.02;
  auto gw = Gateway("gw", slow);
  s->Start();
  const int threadsBefore = Threads(s->server.Pid());
  for (int st = 1; st <= kStations; ++st) {
    std::string all;
    for (int r = 0; r < kResources; ++r) all += "¤CALLING:" + std::to_string(7 + r) + ":CALLING¤";
    Station(st).Take();
    Station(st).Send(Req(all));
  }
  int threadsMost = threadsBefore;
  ASSERT_TRUE(WaitUntil(
      [&] {
        threadsMost = std::max(threadsMost, Threads(s->server.Pid()));
        return AllFinished("sent", kStations * kResources);
      },
      240s))
      << Rows().size() << " rows; " << s->server.EventLog();
  EXPECT_EQ(threadsMost, threadsBefore);
  EXPECT_EQ(gw->MaxPosts(), 2);  // "SmsWorkers" defaults to 2, and both worked
  auto posted = Posted(*gw);
  EXPECT_EQ(posted.size(), 200u);
  std::sort(posted.begin(), posted.end());
  EXPECT_EQ(std::unique(posted.begin(), posted.end()), posted.end());
  EXPECT_EQ(s->server.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, OutboxServer,
                         testing::Values(TBackendKind::SQLite, TBackendKind::PostgreSQL),
                         BackendName);

}  // namespace
}  // namespace tavo::test
