// A call to an SMS-marked resource through the real executable reaches the test gateway, and
// the call log records that a dispatch was started.
#include <gtest/gtest.h>

#include "SeededServer.h"
#include "sms/LbClass.h"
#include "sms/SMSTestSupport.h"
#include "sms/ServerKey.h"

namespace tavo {
namespace {

using test::W;

TEST(SMSCall, CallToSmsMarkedResourceReachesTheGateway) {
  test::TTempDir certs;
  const test::TCertificate cert = test::MakeCertificate(certs.Path(), "gw", "IP:127.0.0.1");
  test::TTestGateway gw(certs / "gw", cert);

  test::TSeededServer s;
  s.Resource(7, "Jour", "Jourhavande", 255, 1, "+46 70 123 45 67");
  s.Resource(8, "Tyst", "Utan SMS", 0, 0);
  s.Station(1, "Rum1", "Rum 1", 65280, 0);
  s.List(1, 7, 1);
  s.List(1, 8, 2);
  TLbBlowfish bf;
  bf.SetKey(MakeServerKey());
  s.StrSetting("SMSUSERNAME", "Mottagning");
  s.StrSetting("SMSPASSWORD", bf.EncryptString(W("hemligt lösen")));
  s.IntSetting("SMSKUNDNR", 4711);
  s.server.SetRegistry("CAFile", cert.Cert.string());
  s.server.SetRegistry("HTTPSERVER", gw.Host());
  s.Start();

  test::TLoopbackClient rum1(s.Port());
  rum1.Send("#DATASTART#" + W("¤GETCALLLIST:Rum1:0:GETCALLLIST¤") + "#DATAEND#");
  ASSERT_TRUE(rum1.WaitFor(W("RETCALLLIST¤#DATAEND#\r\n")));
  rum1.Send("#DATASTART#" + W("¤CALLING:8:CALLING¤¤CALLING:7:CALLING¤") + "#DATAEND#");

  std::vector<test::TGatewayRequest> posts;
  for (int i = 0; i < 300 && posts.empty(); ++i) {
    for (const auto& r : gw.Requests())
      if (r.Method == "POST") posts.push_back(r);
    if (posts.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(posts.size(), 1u) << s.server.EventLog();
  const std::string message = bf.DecryptBytes(test::ReadFile(posts[0].BodyFile));
  EXPECT_NE(message.find("FromName=Mottagning\r\n"), std::string::npos) << message;
  EXPECT_NE(message.find(W("Password=hemligt lösen\r\n")), std::string::npos) << message;
  EXPECT_NE(message.find("SMSNUMMER=+46 70 123 45 67\r\n"), std::string::npos) << message;
  EXPECT_NE(message.find(W("LARGESMSTEXT=Från signaleringssystemet: Rum 1 kallar på Jour\r\n")),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("KUNDLOPNR=4711\r\n"), std::string::npos);

  TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
  auto sms = db.Open("SELECT * FROM CALLLOG WHERE CALLABLESLOPNR = 7");
  ASSERT_EQ(sms->RecordCount(), 1u);
  EXPECT_TRUE(sms->AsBoolean("SMSSENT"));
  EXPECT_NE(message.find("UNIKNR=" + std::to_string(sms->AsInteger("LOPNR")) + "\r\n"), std::string::npos);
  auto quiet = db.Open("SELECT * FROM CALLLOG WHERE CALLABLESLOPNR = 8");
  ASSERT_EQ(quiet->RecordCount(), 1u);
  EXPECT_FALSE(quiet->AsBoolean("SMSSENT"));
  EXPECT_EQ(s.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
