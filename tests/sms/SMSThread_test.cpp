// One attempt of the SMS dispatch end to end: the account check, the connect check, the
// message file, its encryption with the server's key and the upload to a real HTTPS gateway,
// within the attempt's time and its signals.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "SMSTestSupport.h"
#include "platform/ComputerName.h"
#include "sms/ServerKey.h"
#include "sms/USMSThread.h"

namespace tavo::test {
namespace {

class SMSDispatchTest : public ::testing::Test {
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
    env.SetReg("CAFile", cert_.Cert.string());
    gw = std::make_unique<TTestGateway>(env.work / "gw", cert_);
    env.SetReg("HTTPSERVER", gw->Host());
    env.account->Set({"Mottagning \xC5sa", "l\xF6sen", 4711});
  }

  TSMSDispatchContext Context() {
    return {env.account, gateway, env.registry, env.logging, env.clock, env.programDir, tick, metrics};
  }
  // Started, delivered, failed.
  std::vector<uint64_t> Counted() const {
    return {metrics->SmsStarted.load(), metrics->SmsDelivered.load(), metrics->SmsFailed.load()};
  }

  // One attempt for one call, with the attempt's whole time.
  TSmsAttemptResult Attempt(const std::string& callerName, const std::string& callName,
                            const std::string& mobile, int32_t lopnr,
                            std::chrono::milliseconds time = std::chrono::seconds(30),
                            const std::atomic<bool>* cancelled = nullptr,
                            const std::atomic<bool>* abort = nullptr,
                            const std::vector<fs::path>& leftFiles = {}) {
    TSmsAttemptLimits limits{std::chrono::steady_clock::now() + time, cancelled, abort};
    return SendSMSAttempt(Context(), {callerName, callName, mobile, lopnr}, limits, leftFiles);
  }

  std::string Decrypt(const fs::path& file) {
    TLbBlowfish bf;
    bf.SetKey(MakeServerKey());
    return bf.DecryptBytes(ReadFile(file));
  }

  std::vector<std::string> PostedMessages() {
    std::vector<std::string> out;
    for (const auto& r : gw->Requests())
      if (r.Method == "POST") out.push_back(Decrypt(r.BodyFile));
    return out;
  }

  static std::string Expected(const std::string& lopnr, const std::string& when,
                              const std::string& number, const std::string& caller,
                              const std::string& callName) {
    return "[Message]\r\n"
           "Type=SMS\r\n"
           "FromName=Mottagning \xC5sa\r\n"
           "Password=l\xF6sen\r\n"
           "FromComputerName=" +
           GetLocalComputerName() +
           "\r\n"
           "Karvlen.exe-version=TAVO_WServer 1.10.4\r\n"
           "SendSMSInRealTime=YES\r\n"
           "[SMS1]\r\n"
           "UNIKNR=" +
           lopnr +
           "\r\n"
           "SMSDATUM=" +
           when +
           "\r\n"
           "DATUM=" +
           when +
           "\r\n"
           "SMSNUMMER=" +
           number +
           "\r\n"
           "BTEXT=\r\n"
           "LARGESMSTEXT=Fr\xE5n signaleringssystemet: " +
           caller + " kallar p\xE5 " + callName +
           "\r\n"
           "SENDSMS=T\r\n"
           "KUNDLOPNR=4711\r\n"
           "SMSTEXT=4711\r\n";
  }

  TSMSEnv env;
  std::shared_ptr<TGatewayState> gateway = std::make_shared<TGatewayState>(TGatewayHosts{});
  std::unique_ptr<TTestGateway> gw;
  std::function<uint32_t()> tick;  // empty: the real tick count
  std::shared_ptr<TMetrics> metrics = std::make_shared<TMetrics>();

  static inline TTempDir* certs_ = nullptr;
  static inline TCertificate cert_;
};

TEST_F(SMSDispatchTest, MessageFileReachesTheGatewayEncryptedWithTheServerKey) {
  // A call at 00:05 is dated ten minutes back, on the previous day.
  env.env->clock.Set(EncodeDateTime(2026, 12, 10, 0, 5, 0));
  auto a = Attempt("Behandlingsrum 3 \xC4", "Doktor \xD6stberg", "070-123 45 67", 41);
  auto b = Attempt("Rum 2", "Sk\xF6terska", "+46 70 123 45 67", 42);
  EXPECT_EQ(a.Outcome, TSmsOutcome::Sent) << a.Error;
  EXPECT_EQ(b.Outcome, TSmsOutcome::Sent) << b.Error;

  auto posted = PostedMessages();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0], Expected("41", "2026-12-09 23:55:00", "", "Behandlingsrum 3 \xC4",
                                "Doktor \xD6stberg"));
  EXPECT_EQ(posted[1],
            Expected("42", "2026-12-09 23:55:00", "+46 70 123 45 67", "Rum 2", "Sk\xF6terska"));
  // Every attempt checks the gateway afresh.
  EXPECT_EQ(gw->CountRequests("/connect"), 2u);
  EXPECT_TRUE(env.ProgramFiles().empty());
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();
  EXPECT_EQ(env.Reg("HTTPSERVER"), gw->Host());
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{2, 2, 0}));
}

TEST_F(SMSDispatchTest, MissingAccountSettingsFailWithoutContactingTheGateway) {
  struct Case {
    TSMSAccountData account;
    const char* reason;
  } cases[] = {
      {{"", "", 0}, "Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!"},
      {{"", "x", 5}, "Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!"},
      {{"user", "", 0}, "Inget L\xF6senord!  L\xF6senord m\xE5ste fyllas i!"},
      {{"user", "pw", 0}, "Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!"},
      {{"user", "pw", -3}, "Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    env.env->sink->Clear();
    env.account->Set(c.account);
    auto r = Attempt("Rum 1", "Doktor", "0701234567", ++n);
    EXPECT_EQ(r.Outcome, TSmsOutcome::Failed);
    EXPECT_EQ(r.Error, c.reason);
    auto entries = env.env->sink->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Message, std::string("Error in SendSMS: ") + c.reason);
    EXPECT_EQ(entries[0].Type, TEventType::Information);
  }
  EXPECT_EQ(gw->Requests().size(), 0u);
  EXPECT_TRUE(env.ProgramFiles().empty());
  EXPECT_EQ(env.logging->ErrorCount(), 0);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{5, 0, 5}));
}

TEST_F(SMSDispatchTest, GatewayNotAnsweringIsToBeRetriedAndNamesTheHost) {
  const std::string dead = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  env.SetReg("HTTPSERVER", dead);
  gateway->SetGatewayConnected(true);  // a check of an earlier attempt does not count
  auto r = Attempt("Rum 1", "Doktor", "", 1);
  EXPECT_EQ(r.Outcome, TSmsOutcome::Retry);
  EXPECT_EQ(r.Error.rfind(dead + ": refused (", 0), 0u) << r.Error;
  EXPECT_FALSE(gateway->GatewayConnected());
  EXPECT_TRUE(env.ProgramFiles().empty());
  // One entry naming the host, never "no gateway host is known" while one is configured.
  ASSERT_EQ(env.Messages().size(), 1u);
  EXPECT_EQ(env.Messages()[0], "Det gick inte att ansluta till Internet:" + r.Error);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{1, 0, 1}));
}

TEST_F(SMSDispatchTest, GatewayThatNeverAnswersEndsTheAttemptAtItsTime) {
  TSilentListener silent;
  env.SetReg("HTTPSERVER", silent.Host());
  const auto start = std::chrono::steady_clock::now();
  auto r = Attempt("Rum 1", "Doktor", "", 1, std::chrono::seconds(2));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.Outcome, TSmsOutcome::Retry);
  EXPECT_EQ(r.Error.rfind(silent.Host() + ": timed out", 0), 0u) << r.Error;
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::seconds(15));  // not three requests of two minutes each

  // The shutdown's abort ends a stalled attempt at once.
  std::atomic<bool> abort{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    abort = true;
  });
  const auto start2 = std::chrono::steady_clock::now();
  r = Attempt("Rum 1", "Doktor", "", 2, std::chrono::seconds(60), nullptr, &abort);
  stopper.join();
  EXPECT_EQ(r.Outcome, TSmsOutcome::Retry);
  EXPECT_NE(r.Error.find("stopped by the shutdown"), std::string::npos) << r.Error;
  EXPECT_LT(std::chrono::steady_clock::now() - start2, std::chrono::seconds(15));
}

TEST_F(SMSDispatchTest, ClosedCallIsNotPosted) {
  std::atomic<bool> cancelled{true};
  auto r = Attempt("Rum 1", "Doktor", "", 1, std::chrono::seconds(30), &cancelled);
  EXPECT_EQ(r.Outcome, TSmsOutcome::Cancelled);
  EXPECT_EQ(gw->Requests().size(), 0u);
  EXPECT_TRUE(env.ProgramFiles().empty());
}

TEST_F(SMSDispatchTest, RefusedUploadLeavesItsFilesUntilTheNextAttempt) {
  auto refusing = std::make_unique<TTestGateway>(
      env.work / "refusing", cert_, [] {
        TGatewayOptions o;
        o.PostBody = "Fel kundnummer";
        return o;
      }());
  env.SetReg("HTTPSERVER", refusing->Host());
  auto first = Attempt("Rum 1", "Doktor", "", 1);
  EXPECT_EQ(first.Outcome, TSmsOutcome::Retry);
  EXPECT_EQ(first.Error, refusing->Host() + ": the upload was refused: Fel kundnummer");
  ASSERT_EQ(first.LeftFiles.size(), 2u);
  EXPECT_EQ(env.ProgramFiles().size(), 2u);
  // The next attempt removes what the one before left: one pair at most per SMS.
  auto second = Attempt("Rum 1", "Doktor", "", 1, std::chrono::seconds(30), nullptr, nullptr,
                        first.LeftFiles);
  EXPECT_EQ(second.Outcome, TSmsOutcome::Retry);
  EXPECT_EQ(env.ProgramFiles().size(), 2u);
  for (const auto& f : first.LeftFiles) EXPECT_FALSE(fs::exists(f));
}

TEST_F(SMSDispatchTest, FileFailureIsLoggedWithoutCounting) {
  env.programDir = env.work / "no-such-directory";
  auto r = Attempt("Rum 1", "Doktor", "", 1);
  EXPECT_EQ(r.Outcome, TSmsOutcome::Retry);
  auto entries = env.env->sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Message.rfind("Error in SendSMS.1: Cannot create file", 0), 0u)
      << entries[0].Message;
  EXPECT_EQ(r.Error.rfind("Cannot create file", 0), 0u) << r.Error;
  EXPECT_EQ(env.logging->ErrorCount(), 0);
  EXPECT_EQ(gw->CountRequests("/POSTSMSDATA"), 0u);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{1, 0, 1}));
}

TEST_F(SMSDispatchTest, FiftyAttemptsAtOnceAreAllDelivered) {
  constexpr int kCount = 50;
  // Every attempt sees the same millisecond, so every file name is first computed alike.
  tick = [] { return 777u; };
  std::vector<std::thread> threads;
  std::vector<TSmsOutcome> outcomes(kCount);
  for (int i = 1; i <= kCount; ++i)
    threads.emplace_back([&, i] {
      outcomes[i - 1] = Attempt("Rum " + std::to_string(i), "Doktor", "0701234567", i).Outcome;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), TSmsOutcome::Sent), kCount);

  auto posted = PostedMessages();
  ASSERT_EQ(posted.size(), static_cast<size_t>(kCount));
  std::map<std::string, std::string> byNumber;
  for (const auto& m : posted) {
    size_t p = m.find("UNIKNR=") + 7;
    byNumber[m.substr(p, m.find("\r\n", p) - p)] = m;
  }
  ASSERT_EQ(byNumber.size(), static_cast<size_t>(kCount));  // no file was sent twice
  for (int i = 1; i <= kCount; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(byNumber[n], Expected(n, "2026-12-10 11:50:00", "0701234567", "Rum " + n, "Doktor"));
  }
  EXPECT_TRUE(env.ProgramFiles().empty());
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();
}

}  // namespace
}  // namespace tavo::test
