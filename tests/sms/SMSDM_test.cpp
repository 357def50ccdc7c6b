// TSMSDM against a real HTTPS gateway on 127.0.0.1 (tests/sms/gateway.py) with certificates
// made for the test, and through a real tinyproxy.
#include <gtest/gtest.h>

#include <chrono>

#include "SMSTestSupport.h"
#include "sms/ServerKey.h"
#include "sms/USMSDM.h"

namespace tavo::test {
namespace {

template <typename F>
TGatewayOptions Options(F set) {
  TGatewayOptions o;
  set(o);
  return o;
}

const std::string kBasicHallonbar = "Basic SGFsbG9uYmFyOm1vc3NncmFu";  // Hallonbar:mossgran

class SMSDMTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TTempDir;
    trusted_ = MakeCertificate(certs_->Path(), "trusted", "IP:127.0.0.1");
    untrusted_ = MakeCertificate(certs_->Path(), "untrusted", "IP:127.0.0.1");
    wrongName_ = MakeCertificate(certs_->Path(), "wrongname", "DNS:gateway.elsewhere.test");
    bundle_ = certs_->Path() / "bundle.pem";
    WriteFile(bundle_, ReadFile(trusted_.Cert) + ReadFile(wrongName_.Cert));
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  void SetUp() override { env.SetReg("CAFile", bundle_.string()); }

  std::unique_ptr<TTestGateway> StartGateway(const std::string& name, TGatewayOptions o = {},
                                             const TCertificate* cert = nullptr) {
    return std::make_unique<TTestGateway>(env.work / name, cert ? *cert : trusted_, o);
  }
  std::unique_ptr<TSMSDM> Module(TGatewayTimeouts t = {}) {
    return std::make_unique<TSMSDM>(*env.registry, *env.logging, *gateway, env.programDir, t);
  }
  // A host on which nothing listens.
  static std::string DeadHost() { return "127.0.0.1:" + std::to_string(FreeLoopbackPort()); }

  TSMSEnv env;
  std::shared_ptr<TGatewayState> gateway = std::make_shared<TGatewayState>(TGatewayHosts{});

  static inline TTempDir* certs_ = nullptr;
  static inline TCertificate trusted_, untrusted_, wrongName_;
  static inline fs::path bundle_;
};

TEST_F(SMSDMTest, ConnectCheckPassesADeadHostAndRemembersTheOneThatAnswers) {
  auto gw = StartGateway("gw");
  env.SetReg("HTTPSERVER", DeadHost());
  gateway->SetGatewayHost(gw->Host());
  EXPECT_TRUE(Module()->ConnectToInternet());
  EXPECT_TRUE(gateway->GatewayConnected());
  EXPECT_EQ(gateway->GatewayHost(), gw->Host());
  EXPECT_EQ(env.Reg("HTTPSERVER"), gw->Host());
  EXPECT_EQ(gw->CountRequests("/connect"), 1u);
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();

  // Once connected, the next check asks nobody.
  EXPECT_TRUE(Module()->ConnectToInternet());
  EXPECT_EQ(gw->CountRequests("/connect"), 1u);
}

TEST_F(SMSDMTest, ConnectChainStopsAtAHostThatAnswersWithoutTheMarker) {
  auto silent = StartGateway(
      "silent", Options([](TGatewayOptions& o) { o.ConnectBody = "<html>Welcome</html>"; }));
  auto good = StartGateway("good");
  auto privateGw = StartGateway("private");
  // Order: HTTPSERVER, GatewayHost, alternative, default, private address.
  gateway = std::make_shared<TGatewayState>(
      TGatewayHosts{good->Host(), silent->Host(), privateGw->Host()});
  gateway->SetGatewayHost(DeadHost());
  env.SetReg("HTTPSERVER", DeadHost());
  const std::string before = env.Reg("HTTPSERVER");

  EXPECT_FALSE(Module()->ConnectToInternet());
  EXPECT_FALSE(gateway->GatewayConnected());
  EXPECT_EQ(silent->CountRequests("/connect"), 2u);  // the chain's try and the second try
  EXPECT_EQ(good->Requests().size(), 0u);
  EXPECT_EQ(privateGw->Requests().size(), 0u);
  EXPECT_EQ(gateway->GatewayHost(), silent->Host());
  EXPECT_EQ(env.Reg("HTTPSERVER"), before);
  EXPECT_TRUE(env.Messages().empty()) << env.Messages().front();
}

TEST_F(SMSDMTest, ConnectChainReachesTheBuiltInHosts) {
  auto good = StartGateway("good");
  gateway = std::make_shared<TGatewayState>(TGatewayHosts{good->Host(), DeadHost(), DeadHost()});
  gateway->SetGatewayHost(DeadHost());
  EXPECT_TRUE(Module()->ConnectToInternet());
  EXPECT_EQ(env.Reg("HTTPSERVER"), good->Host());
}

TEST_F(SMSDMTest, ConnectCheckWithoutAnyHostContactsNobody) {
  EXPECT_FALSE(Module()->ConnectToInternet());
  ASSERT_EQ(env.Messages().size(), 1u);
  EXPECT_EQ(env.Messages()[0].rfind("Det gick inte att ansluta till Internet:", 0), 0u);
  EXPECT_NE(env.Messages()[0].find("HTTPSERVER"), std::string::npos);
}

TEST_F(SMSDMTest, RequestsCarryTheFixedHeadersCredentialsAndCookies) {
  auto gw = StartGateway(
      "gw", Options([](TGatewayOptions& o) { o.SetCookie = "gwsession=abc123; Path=/"; }));
  gateway->SetGatewayHost(gw->Host());
  {
    auto dm = Module();
    ASSERT_TRUE(dm->ConnectToInternet());
    WriteFile(env.programDir / "TAVO_SMS_1.zi~", "[Message]\r\n");
    ASSERT_TRUE(dm->SendSMSData(env.programDir / "TAVO_SMS_1.zi~"));
  }
  gateway->SetGatewayConnected(false);
  ASSERT_TRUE(Module()->ConnectToInternet());

  auto r = gw->Requests();
  ASSERT_EQ(r.size(), 3u);
  for (const auto& q : r) {
    EXPECT_EQ(q.UserAgent, "Mozilla/3.0 (compatible; Indy Library)");
    EXPECT_EQ(q.Authorization, kBasicHallonbar);  // sent before any challenge
    EXPECT_EQ(q.ContentType, "text/html; charset=ISO-8859-1");
    EXPECT_EQ(q.Accept, "text/html, */*");
  }
  EXPECT_EQ(r[0].Cookie, "");
  EXPECT_EQ(r[1].Method, "POST");
  EXPECT_EQ(r[1].Cookie, "gwsession=abc123");  // kept within the module
  EXPECT_EQ(r[2].Cookie, "");                  // and gone with it
}

TEST_F(SMSDMTest, ChallengeIsAnsweredOnceThenTheRequestFails) {
  auto gw =
      StartGateway("gw", Options([](TGatewayOptions& o) { o.Auth = "Basic c29tZW9uZTplbHNl"; }));
  std::string stream;
  EXPECT_FALSE(Module()->TryConnect(gw->Host(), stream));
  auto r = gw->Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].Authorization, kBasicHallonbar);
  EXPECT_EQ(stream, "");
  EXPECT_TRUE(env.Messages().empty());  // not a TLS failure: not logged
}

TEST_F(SMSDMTest, CertificateVerification) {
  struct Case {
    const char* name;
    const TCertificate* cert;
    const char* verify;  // registry value, "" for none
    bool connects;
  } cases[] = {
      {"trusted", &trusted_, "", true},           {"untrusted", &untrusted_, "", false},
      {"wrongname", &wrongName_, "", false},      {"untrusted-off", &untrusted_, "NO", true},
      {"wrongname-off", &wrongName_, "NO", true}, {"untrusted-lower", &untrusted_, "no", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env.env->sink->Clear();
    env.SetReg("VerifyCertificate", c.verify);
    auto gw = StartGateway(c.name, {}, c.cert);
    gateway->SetGatewayConnected(false);
    env.SetReg("HTTPSERVER", gw->Host());
    EXPECT_EQ(Module()->ConnectToInternet(), c.connects);
    EXPECT_EQ(gw->CountRequests("/connect"), c.connects ? 1u : 0u);
    if (!c.connects) {
      auto m = env.Messages();
      ASSERT_FALSE(m.empty());
      EXPECT_EQ(m[0].rfind("Det gick inte att ansluta till Internet:", 0), 0u) << m[0];
      EXPECT_NE(m[0].find("SSL"), std::string::npos) << m[0];
      EXPECT_NE(m[0].find("\"VerifyCertificate\""), std::string::npos) << m[0];
    }
  }
}

TEST_F(SMSDMTest, SystemCertificatesDoNotTrustATestCertificate) {
  env.SetReg("CAFile", "");
  auto gw = StartGateway("gw");
  std::string stream;
  EXPECT_FALSE(Module()->TryConnect(gw->Host(), stream));
  EXPECT_EQ(gw->Requests().size(), 0u);
}

class SMSUploadTest : public SMSDMTest {
 protected:
  void SetUp() override {
    SMSDMTest::SetUp();
    message = env.programDir / "TAVO_SMS_1000.zi~";
    // Not a multiple of 8, with Windows-1252 letters.
    WriteFile(message,
              "[Message]\r\nType=SMS\r\nFromName=\xC5sa \xD6"
              "berg\r\n");
  }
  std::string Decrypt(const std::string& bytes) {
    TLbBlowfish bf;
    bf.SetKey(MakeServerKey());
    return bf.DecryptBytes(bytes);
  }
  std::vector<std::string> EncryptedFiles() {
    std::vector<std::string> out;
    for (const auto& n : env.ProgramFiles())
      if (n.rfind("TAVO_SMS_Encrypted_", 0) == 0) out.push_back(n);
    return out;
  }
  fs::path message;
};

TEST_F(SMSUploadTest, AcceptedUploadRemovesBothFiles) {
  auto gw = StartGateway("gw");
  gateway->SetGatewayHost(gw->Host());
  const std::string plain = ReadFile(message);
  EXPECT_TRUE(Module()->SendSMSData(message));
  EXPECT_TRUE(env.ProgramFiles().empty());
  auto r = gw->Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Method, "POST");
  EXPECT_EQ(r[0].Path, "/POSTSMSDATA");
  const std::string body = ReadFile(r[0].BodyFile);
  EXPECT_EQ(body.size(), 48u);  // 45 bytes: 5 whole blocks and the length block
  EXPECT_EQ(Decrypt(body), plain);
  EXPECT_TRUE(env.Messages().empty());
}

TEST_F(SMSUploadTest, UploadAnsweredWithoutTheMarkerKeepsBothFiles) {
  auto gw =
      StartGateway("gw", Options([](TGatewayOptions& o) { o.PostBody = "Fel: kund saknas"; }));
  gateway->SetGatewayHost(gw->Host());
  EXPECT_FALSE(Module()->SendSMSData(message));
  EXPECT_TRUE(fs::exists(message));
  auto encrypted = EncryptedFiles();
  ASSERT_EQ(encrypted.size(), 1u);
  EXPECT_EQ(ReadFile(env.programDir / encrypted[0]), ReadFile(gw->Requests()[0].BodyFile));
  auto entries = env.env->sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Message,
            "Error in SendSMSData.1: Det gick inte att skicka data till Ker Vanta: "
            "Fel: kund saknas");
  EXPECT_EQ(entries[0].Type, TEventType::Information);
  EXPECT_EQ(env.logging->ErrorCount(), 0);
}

TEST_F(SMSUploadTest, FailedUploadRemovesBothFiles) {
  for (bool dead : {false, true}) {
    SCOPED_TRACE(dead ? "gateway down" : "error status");
    env.env->sink->Clear();
    WriteFile(message, "[Message]\r\n");
    auto gw =
        StartGateway(dead ? "dead" : "gw", Options([](TGatewayOptions& o) { o.PostStatus = 500; }));
    const std::string host = dead ? DeadHost() : gw->Host();
    gateway->SetGatewayHost(host);
    EXPECT_FALSE(Module()->SendSMSData(message));
    EXPECT_TRUE(env.ProgramFiles().empty());
    auto entries = env.env->sink->Entries();
    ASSERT_EQ(entries.size(), 1u);
    // The entry names the host and what failed.
    const std::string expected = "Error in SendSMSData.2: Det gick inte att skicka data till "
                                 "Ker Vanta: " + host + (dead ? ": refused (" : ": HTTP status 500");
    EXPECT_EQ(entries[0].Message.substr(0, expected.size()), expected) << entries[0].Message;
    EXPECT_EQ(entries[0].Type, TEventType::Information);
  }
  EXPECT_EQ(env.logging->ErrorCount(), 0);
}

TEST_F(SMSUploadTest, MissingMessageFileIsCountedAndLeavesNothingBehind) {
  auto gw = StartGateway("gw");
  gateway->SetGatewayHost(gw->Host());
  EXPECT_FALSE(Module()->SendSMSData(env.programDir / "TAVO_SMS_missing.zi~"));
  EXPECT_TRUE(EncryptedFiles().empty());
  EXPECT_EQ(gw->Requests().size(), 0u);
  EXPECT_EQ(env.logging->ErrorCount(), 1);
  auto entries = env.env->sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Message.rfind("Error in SendSMSData: ", 0), 0u);
}

TEST_F(SMSDMTest, Download) {
  TTempDir files;
  fs::create_directories(files / "upd");
  const std::string content("MZ\x00\x01\xFF binary", 12);
  WriteFile(files / "upd" / "TAVO Client.exe", content);
  auto gw = StartGateway("gw", Options([&](TGatewayOptions& o) { o.Files = files.Path(); }));
  gateway->SetGatewayHost(gw->Host());
  auto dm = Module();
  ASSERT_TRUE(dm->ConnectToInternet());
  const fs::path local = env.programDir / "New_TAVO Client.exe";
  WriteFile(local, "an older file that must go");
  EXPECT_TRUE(dm->GetSMSData("/upd/TAVO Client.exe", local));
  EXPECT_EQ(ReadFile(local), content);
  EXPECT_EQ(gw->Requests().back().Path, "/upd/TAVO%20Client.exe");
  EXPECT_EQ(gw->Requests().back().Authorization, kBasicHallonbar);
}

TEST_F(SMSDMTest, DownloadAnsweredWithAnErrorStatusLeavesAnEmptyFile) {
  auto gw = StartGateway("gw", Options([](TGatewayOptions& o) { o.GetStatus = 403; }));
  gateway->SetGatewayHost(gw->Host());
  auto dm = Module();
  ASSERT_TRUE(dm->ConnectToInternet());
  const fs::path local = env.programDir / "TAVO_WServer.ver";
  WriteFile(local, "old");
  EXPECT_FALSE(dm->GetSMSData("/upd/TAVO_WServer.ver", local));
  ASSERT_TRUE(fs::exists(local));
  EXPECT_EQ(fs::file_size(local), 0u);
  auto entries = env.env->sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Message,
            "Det gick inte att h\xE4mta data fr\xE5n Ker Vanta: HTTP/1.1 403 Forbidden");
}

TEST_F(SMSDMTest, StalledGatewayIsGivenUp) {
  TSilentListener silent;
  std::string stream;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Module(TGatewayTimeouts{500, 1000})->TryConnect(silent.Host(), stream));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

class SMSProxyTest : public SMSDMTest {
 protected:
  void UseProxy(int port, const std::string& use = "YES") {
    env.SetReg("UseProxy", use);
    env.SetReg("ProxyServer", "127.0.0.1");
    env.SetReg("ProxyPort", std::to_string(port));
  }
};

TEST_F(SMSProxyTest, RequestsGoThroughTheProxy) {
  auto gw = StartGateway("gw");
  TTinyProxy proxy(env.work / "proxy");
  UseProxy(proxy.Port());
  env.SetReg("HTTPSERVER", gw->Host());
  auto dm = Module();
  ASSERT_TRUE(dm->ConnectToInternet());
  WriteFile(env.programDir / "TAVO_SMS_5.zi~", "[Message]\r\n");
  EXPECT_TRUE(dm->SendSMSData(env.programDir / "TAVO_SMS_5.zi~"));
  EXPECT_GE(proxy.Connects(gw->Host()), 1u);
  EXPECT_EQ(gw->Requests().size(), 2u);

  // Only "YES" exactly turns the proxy on.
  const size_t before = proxy.Connects(gw->Host());
  UseProxy(proxy.Port(), "yes");
  std::string stream;
  EXPECT_TRUE(Module()->TryConnect(gw->Host(), stream));
  EXPECT_EQ(proxy.Connects(gw->Host()), before);
}

TEST_F(SMSProxyTest, ProxyPortThatIsNoNumberMeansPort80) {
  auto gw = StartGateway("gw");
  UseProxy(0);
  env.SetReg("ProxyPort", "abc");
  env.SetReg("HTTPSERVER", gw->Host());
  gateway->SetGatewayHost(gw->Host());
  EXPECT_FALSE(Module()->ConnectToInternet());
  EXPECT_EQ(gw->Requests().size(), 0u);
  bool named80 = false;
  for (const auto& m : env.Messages()) named80 |= m.find("port 80") != std::string::npos;
  EXPECT_TRUE(named80);
}

TEST_F(SMSProxyTest, ProxyWithBasicAuthentication) {
  auto gw = StartGateway("gw");
  TTinyProxy proxy(env.work / "proxy", "tavo", "pr0xy");
  UseProxy(proxy.Port());
  // tinyproxy answers a CONNECT without credentials with 407, which is answered once more
  // with empty credentials, and wrong credentials with 401, which ends the attempt.
  struct Case {
    const char* basic;
    const char* password;
    bool connects;
    size_t proxyConnects;
  } cases[] = {
      {"YES", "pr0xy", true, 1},
      {"NO", "pr0xy", false, 2},
      {"yes", "pr0xy", false, 2},
      {"YES", "wrong", false, 1},
  };
  env.SetReg("ProxyUsername", "tavo");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.basic) + " " + c.password);
    env.SetReg("BasicAuthentication", c.basic);
    env.SetReg("ProxyPassword", c.password);
    const size_t requests = gw->Requests().size();
    const size_t connects = proxy.Connects(gw->Host());
    std::string stream;
    EXPECT_EQ(Module()->TryConnect(gw->Host(), stream), c.connects);
    EXPECT_EQ(gw->Requests().size(), requests + (c.connects ? 1 : 0));
    EXPECT_EQ(proxy.Connects(gw->Host()), connects + c.proxyConnects);
  }
}

}  // namespace
}  // namespace tavo::test
