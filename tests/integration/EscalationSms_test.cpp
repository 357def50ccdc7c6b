// Escalation through the real executable and the project's HTTPS test gateway, with steps a
// few seconds long: an unanswered call's SMS go to the target's number, repeated; an answer
// before the time sends nothing and one between repeats stops the rest; a restart in the middle
// neither repeats a sent step nor loses one that fell due while the server was away; the SMS are
// kept in the outbox, where an answer cancels one still waiting for its retry.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SeededServer.h"
#include "sms/LbClass.h"
#include "sms/SMSTestSupport.h"
#include "sms/ServerKey.h"

namespace tavo {
namespace {

using test::W;
using Clock = std::chrono::steady_clock;

// A framed request as the clients send it (no line end: that would make it line mode).
std::string Req(const std::string& utf8) { return "#DATASTART#" + W(utf8) + "#DATAEND#"; }

class EscalationSms : public ::testing::Test {
 protected:
  void SetUp() override {
    bf.SetKey(MakeServerKey());
    s.Resource(3, "Doktor A", "Doktor Alfa", 255);  // no SMS of its own
    s.Resource(10, "Jour", "Jourhavande", 0, 0, "+46 70 555 00 10");
    s.Station(1, "Rum1", "Rum 1", 65280, 0);
    s.Station(2, "Exp", "Expedition", 0, 0);
    s.List(1, 3, 1);
    s.List(2, 3, 1);
    s.StrSetting("SMSUSERNAME", "Mottagning");
    s.StrSetting("SMSPASSWORD", bf.EncryptString(W("hemligt")));
    s.IntSetting("SMSKUNDNR", 4711);
    s.server.SetRegistry("CAFile", cert.Cert.string());
    s.server.SetRegistry("HTTPSERVER", gw.Host());
  }
  void TearDown() override { EXPECT_EQ(s.server.Stop(), 0) << s.server.EventLog(); }

  void Step(int resource, int after, int toResource, int repeat) {
    s.Db().Execute(
        "INSERT INTO ESCALATION (LOPNR, CALLABLESLOPNR, AFTERSECONDS, TOCALLABLESLOPNR, TONUMBER, "
        "REPEATCOUNT) VALUES (?, ?, ?, ?, NULL, ?)",
        {SqlInt(++steps), SqlInt(resource), SqlInt(after), SqlInt(toResource), SqlInt(repeat)});
  }
  std::unique_ptr<test::TLoopbackClient> SignOn(const std::string& name) { return s.SignOn(name, 0); }
  // The SMS the gateway has taken, decrypted.
  std::vector<std::string> Posts() {
    std::vector<std::string> out;
    for (const auto& r : gw.Requests())
      if (r.Method == "POST") out.push_back(bf.DecryptBytes(test::ReadFile(r.BodyFile)));
    return out;
  }
  bool WaitPosts(size_t n, int ms = 20000) {
    for (int waited = 0; Posts().size() < n && waited < ms; waited += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Posts().size() >= n;
  }
  size_t Steps() {
    TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
    return db.Open("SELECT * FROM ESCALATIONLOG")->RecordCount();
  }

  // "STATE/CALLABLESLOPNR" of every SMSOUTBOX row, in the queue's order.
  std::string OutboxStates() {
    TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
    auto rows = db.Open("SELECT STATE, CALLABLESLOPNR FROM SMSOUTBOX ORDER BY LOPNR");
    std::string out;
    for (; !rows->Eof(); rows->Next())
      out += (out.empty() ? "" : " ") + rows->AsString("STATE") + "/" +
             std::to_string(rows->AsInteger("CALLABLESLOPNR"));
    return out;
  }
  // The outbox's rows once they read `expected`, or as they are after 5 s.
  std::string WaitOutbox(const std::string& expected) {
    for (int waited = 0; OutboxStates() != expected && waited < 5000; waited += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return OutboxStates();
  }

  test::TTempDir certs;
  test::TCertificate cert = test::MakeCertificate(certs.Path(), "gw", "IP:127.0.0.1");
  test::TTestGateway gw{certs / "gw", cert};
  test::TSeededServer s;
  TLbBlowfish bf;
  int steps = 0;
};

TEST_F(EscalationSms, UnansweredCallRepeatsAndARestartInTheMiddleKeepsCount) {
  Step(3, 3, 10, 1);  // at 3 s and 6 s
  s.Start();
  auto rum = SignOn("Rum1");
  rum->Send(Req("¤CALLING:3:CALLING¤"));
  const auto called = Clock::now();
  ASSERT_TRUE(rum->WaitFor("RETCALLLIST"));
  ASSERT_TRUE(WaitPosts(1)) << s.server.EventLog();
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - called).count(), 3.0);
  const std::string sms = Posts()[0];
  EXPECT_NE(sms.find("SMSNUMMER=+46 70 555 00 10\r\n"), std::string::npos) << sms;
  EXPECT_NE(sms.find(W("LARGESMSTEXT=Från signaleringssystemet: Rum 1 kallar på Doktor A\r\n")),
            std::string::npos)
      << sms;
  EXPECT_NE(sms.find("UNIKNR=1\r\n"), std::string::npos) << sms;
  EXPECT_TRUE(s.server.WaitForLog("Escalation of call 1 (Rum 1 calling Doktor A), unanswered for "))
      << s.server.EventLog();
  EXPECT_TRUE(s.server.WaitForLog("s: SMS to Jour at +46 70 555 00 10 (1 of 2)")) << s.server.EventLog();

  // Away while the repeat falls due; back, it is sent once, and the first is not sent again.
  rum.reset();
  ASSERT_EQ(s.server.Stop(), 0);
  std::this_thread::sleep_until(called + std::chrono::milliseconds(6500));
  s.Start();
  ASSERT_TRUE(WaitPosts(2)) << s.server.EventLog();
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_EQ(Posts().size(), 2u) << s.server.EventLog() << OutboxStates();
  EXPECT_EQ(Steps(), 2u);
  EXPECT_TRUE(s.server.WaitForLog("(2 of 2)")) << s.server.EventLog();
  // Both went through the outbox, to the target resource's number.
  EXPECT_EQ(OutboxStates(), "sent/10 sent/10");
}

// The step's SMS is kept in the outbox: a refused upload leaves it queued for its retry, and an
// answer meanwhile cancels it there, so the retry never goes.
TEST_F(EscalationSms, ARefusedStepSmsWaitsInTheOutboxAndAnAnswerCancelsIt) {
  test::TGatewayOptions refusing;
  refusing.PostStatus = 500;
  test::TTestGateway down{certs / "down", cert, refusing};
  s.server.SetRegistry("HTTPSERVER", down.Host());
  Step(3, 2, 10, 0);
  s.Start();
  auto rum = SignOn("Rum1");
  auto exp = SignOn("Exp");
  rum->Send(Req("¤CALLING:3:CALLING¤"));
  ASSERT_TRUE(rum->WaitFor("RETCALLLIST"));
  auto uploads = [&] {
    size_t n = 0;
    for (const auto& r : down.Requests()) n += r.Method == "POST";
    return n;
  };
  for (int waited = 0; uploads() < 1 && waited < 10000; waited += 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(uploads(), 1u) << s.server.EventLog();
  const auto refused = Clock::now();
  ASSERT_EQ(WaitOutbox("queued/10"), "queued/10") << s.server.EventLog();

  exp->Send(Req("¤COMING:3:1:COMING¤"));
  ASSERT_TRUE(rum->WaitFor("~Expedition~"));
  EXPECT_EQ(WaitOutbox("cancelled/10"), "cancelled/10") << s.server.EventLog();
  // Past the retry the first refusal set (10 s): nothing more reached the gateway.
  std::this_thread::sleep_until(refused + std::chrono::seconds(12));
  EXPECT_EQ(uploads(), 1u);
  EXPECT_TRUE(Posts().empty());
}

TEST_F(EscalationSms, AnAnswerBeforeTheTimeSendsNothingAndBetweenRepeatsStopsTheRest) {
  Step(3, 2, 10, 5);
  s.Start();
  auto rum = SignOn("Rum1");
  auto exp = SignOn("Exp");
  rum->Send(Req("¤CALLING:3:CALLING¤"));
  ASSERT_TRUE(rum->WaitFor("RETCALLLIST"));
  rum->Take();
  exp->Send(Req("¤COMING:3:1:COMING¤"));
  ASSERT_TRUE(rum->WaitFor("~Expedition~"));
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_TRUE(Posts().empty());

  exp->Send(Req("¤CALLING:3:CALLING¤"));  // call 2, answered after its first SMS
  ASSERT_TRUE(WaitPosts(1)) << s.server.EventLog();
  rum->Send(Req("¤COMING:3:2:COMING¤"));
  ASSERT_TRUE(exp->WaitFor("~Rum 1~"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_LE(Posts().size(), 2u);  // a repeat may have been due the moment the answer came
  const size_t sent = Posts().size();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Posts().size(), sent);
  EXPECT_EQ(Steps(), sent);
}

}  // namespace
}  // namespace tavo
