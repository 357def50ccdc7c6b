// The SMS dispatch end to end: SendSMS on a TCaller and TCallObject, a worker thread, the
// message file, its encryption with the server's key and the upload to a real HTTPS gateway.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "SMSTestSupport.h"
#include "platform/ComputerName.h"
#include "sms/ServerKey.h"
#include "sms/USMSThread.h"

namespace tavo::test {
namespace {

// Counts the ends of dispatches, as the service's main loop would receive them.
class TEndNotices {
 public:
  std::function<void()> Callback() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      cv_.notify_all();
    };
  }
  bool WaitFor(int n, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return count_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

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
    return {env.account, gateway,        env.registry,    env.logging,
            env.clock,   env.programDir, ends.Callback(), tick, metrics};
  }
  // Started, delivered, failed.
  std::vector<uint64_t> Counted() const {
    return {metrics->SmsStarted.load(), metrics->SmsDelivered.load(), metrics->SmsFailed.load()};
  }

  // Starts one dispatch and releases the call's entries at once, as a confirmed call would.
  void Dispatch(const std::string& callerName, const std::string& callName,
                const std::string& mobile, int32_t lopnr) {
    auto caller = std::make_unique<TCaller>();
    caller->CallerName = callerName;
    auto resource = std::make_unique<TCallObject>();
    resource->CallName = callName;
    resource->CallableMobilnummer = mobile;
    resource->CallableSendSMS = true;
    SendSMS(Context(), *caller, *resource, lopnr);
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
  TEndNotices ends;
  std::function<uint32_t()> tick;  // empty: the real tick count
  std::shared_ptr<TMetrics> metrics = std::make_shared<TMetrics>();

  static inline TTempDir* certs_ = nullptr;
  static inline TCertificate cert_;
};

TEST_F(SMSDispatchTest, MessageFileReachesTheGatewayEncryptedWithTheServerKey) {
  // A call at 00:05 is dated ten minutes back, on the previous day.
  env.env->clock.Set(EncodeDateTime(2026, 12, 10, 0, 5, 0));
  Dispatch("Behandlingsrum 3 \xC4", "Doktor \xD6stberg", "070-123 45 67", 41);
  Dispatch("Rum 2", "Sk\xF6terska", "+46 70 123 45 67", 42);
  ASSERT_TRUE(ends.WaitFor(2));

  auto posted = PostedMessages();
  ASSERT_EQ(posted.size(), 2u);
  std::sort(posted.begin(), posted.end());
  EXPECT_EQ(posted[0], Expected("41", "2026-12-09 23:55:00", "", "Behandlingsrum 3 \xC4",
                                "Doktor \xD6stberg"));
  EXPECT_EQ(posted[1],
            Expected("42", "2026-12-09 23:55:00", "+46 70 123 45 67", "Rum 2", "Sk\xF6terska"));
  EXPECT_TRUE(env.ProgramFiles().empty());
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();
  EXPECT_EQ(env.Reg("HTTPSERVER"), gw->Host());
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{2, 2, 0}));
}

TEST_F(SMSDispatchTest, MissingAccountSettingsSendNothing) {
  struct Case {
    TSMSAccountData account;
    const char* message;
  } cases[] = {
      {{"", "", 0}, "Error in SendSMS: Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!"},
      {{"", "x", 5},
       "Error in SendSMS: Inget Anv\xE4ndarnamn!  Anv\xE4ndarnamn m\xE5ste fyllas i!"},
      {{"user", "", 0}, "Error in SendSMS: Inget L\xF6senord!  L\xF6senord m\xE5ste fyllas i!"},
      {{"user", "pw", 0}, "Error in SendSMS: Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!"},
      {{"user", "pw", -3}, "Error in SendSMS: Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    env.env->sink->Clear();
    env.account->Set(c.account);
    Dispatch("Rum 1", "Doktor", "0701234567", ++n);
    ASSERT_TRUE(ends.WaitFor(n));
    auto entries = env.env->sink->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Message, c.message);
    EXPECT_EQ(entries[0].Type, TEventType::Information);
  }
  EXPECT_EQ(gw->Requests().size(), 0u);
  EXPECT_TRUE(env.ProgramFiles().empty());
  EXPECT_EQ(env.logging->ErrorCount(), 0);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{5, 0, 5}));
}

TEST_F(SMSDispatchTest, GatewayNotAnsweringWritesNoFile) {
  env.SetReg("HTTPSERVER", "127.0.0.1:" + std::to_string(FreeLoopbackPort()));
  gateway->SetGatewayConnected(true);  // a check of an earlier run does not count
  Dispatch("Rum 1", "Doktor", "", 1);
  ASSERT_TRUE(ends.WaitFor(1));
  EXPECT_FALSE(gateway->GatewayConnected());
  EXPECT_TRUE(env.ProgramFiles().empty());
  ASSERT_EQ(env.Messages().size(), 1u);
  EXPECT_EQ(env.Messages()[0].rfind("Det gick inte att ansluta till Internet:", 0), 0u);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{1, 0, 1}));
}

TEST_F(SMSDispatchTest, FileFailureIsLoggedWithoutCounting) {
  env.programDir = env.work / "no-such-directory";
  Dispatch("Rum 1", "Doktor", "", 1);
  ASSERT_TRUE(ends.WaitFor(1));
  auto entries = env.env->sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Message.rfind("Error in SendSMS.1: Cannot create file", 0), 0u)
      << entries[0].Message;
  EXPECT_EQ(env.logging->ErrorCount(), 0);
  EXPECT_EQ(gw->CountRequests("/POSTSMSDATA"), 0u);
  EXPECT_EQ(Counted(), (std::vector<uint64_t>{1, 0, 1}));
}

TEST_F(SMSDispatchTest, FiftyDispatchesAtOnceAreAllDelivered) {
  constexpr int kCount = 50;
  // Every dispatch sees the same millisecond, so every file name is first computed alike.
  tick = [] { return 777u; };
  for (int i = 1; i <= kCount; ++i) Dispatch("Rum " + std::to_string(i), "Doktor", "0701234567", i);
  ASSERT_TRUE(ends.WaitFor(kCount));

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
