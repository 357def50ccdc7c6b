// SETINITEXT, GETINITEXT, GETKLINIKNAMN, the SMS account commands and the update listener,
// through the real executable over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BackendServer.h"
#include "sms/LbClass.h"
#include "sms/ServerKey.h"

namespace tavo {
namespace {

using test::Ask;
using test::Framed;
using test::Req;
using test::W;

const std::string kRetIni = W("RETINITEXT¤") + "#DATAEND#\r\n";

class SettingsCommands : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(s.server.Stop(), 0) << s.server.EventLog(); }
  std::string Setting(const std::string& key) {
    return s.Read("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = ?", "STRINGVALUE",
                  {SqlText(key)});
  }
  std::string RegistryValue(const std::string& name) {
    TRegistryStore reg(s.server.RegistryFile());
    return reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name);
  }
  test::TBackendServer s;
};

TEST_F(SettingsCommands, TextsRoundTrip) {
  s.Start();
  test::TLoopbackClient c(s.Port());
  struct Case {
    const char* set;  // SETINITEXT payload, or nothing
    const char* get;  // GETINITEXT payload
    const char* value;
    const char* stored;  // key in SETTINGS
  } cases[] = {
      {"Skrivare:Namn:HP 4", "Skrivare:Namn", "HP 4", "Skrivare-Namn"},
      // Blanks around every field go; a ":" ends the value.
      {"  Skrivare :  Fax  :   Brother 12:30  ", "Skrivare:Fax", "Brother 12", "Skrivare-Fax"},
      {"PC7\\Rum:Färg:Grön", "PC7\\Rum:Färg", "Grön", "PC7\\Rum-Färg"},
      {nullptr, "Aldrig:Satt", "", nullptr},
      // A second write replaces the first.
      {"Skrivare:Namn:HP 5", "Skrivare:Namn", "HP 5", "Skrivare-Namn"},
  };
  for (const auto& k : cases) {
    if (k.set) c.Send(Req(std::string("¤SETINITEXT:") + k.set + ":SETINITEXT¤"));
    EXPECT_EQ(Ask(c, Req(std::string("¤GETINITEXT:") + k.get + ":GETINITEXT¤"), kRetIni),
              Framed(std::string("¤RETINITEXT:") + k.value + ":RETINITEXT¤"))
        << k.get;
    if (k.stored) {
      EXPECT_EQ(Setting(W(k.stored)), W(k.value));
    }
  }
  auto rows = s.Db().Open("SELECT COUNT(*) AS N FROM SETTINGS WHERE NYCKELNAMN = 'Skrivare-Namn'");
  EXPECT_EQ(rows->AsInteger("N"), 1);
  // Line mode is answered bare; SETINITEXT itself answers nothing.
  c.Send(W("¤SETINITEXT:A:B:C:SETINITEXT¤") + "\r\n");
  EXPECT_EQ(Ask(c, W("¤GETINITEXT:A:B:GETINITEXT¤") + "\r\n", "\r\n"), test::Bare("¤RETINITEXT:C:RETINITEXT¤"));
}

TEST_F(SettingsCommands, VersionQuestionAboutProgramFiles) {
  s.Start();
  test::WriteFile(s.server.ProgramDir() / "Klient.exe", "MZ but no version record");
  test::TLoopbackClient c(s.Port());
  struct Case {
    const char* block;
    const char* value;
  } cases[] = {
      {"¤GETINITEXT:\\CHECKVERSION:TAVO_WServer.exe:GETINITEXT¤", "1104"},
      {"¤GETINITEXT:PC7\\CHECKVERSION:TAVO_WServer.exe:GETINITEXT¤", "1104"},
      {"¤GETINITEXT:\\CHECKVERSION:Saknas.exe:GETINITEXT¤", ""},
      {"¤GETINITEXT:\\CHECKVERSION:Klient.exe:GETINITEXT¤", "<info not available>"},
      // Only files of the program directory: no paths, no directories.
      {"¤GETINITEXT:\\CHECKVERSION:../TAVO_WServer.exe:GETINITEXT¤", ""},
      {"¤GETINITEXT:\\CHECKVERSION:/proc/self/exe:GETINITEXT¤", ""},
      {"¤GETINITEXT:\\CHECKVERSION:..:GETINITEXT¤", ""},
      {"¤GETINITEXT:\\CHECKVERSION::GETINITEXT¤", ""},
      // The keyword is matched with its letter case.
      {"¤GETINITEXT:\\checkversion:TAVO_WServer.exe:GETINITEXT¤", ""},
  };
  for (const auto& k : cases)
    EXPECT_EQ(Ask(c, Req(k.block), kRetIni), Framed(std::string("¤RETINITEXT:") + k.value + ":RETINITEXT¤"))
        << k.block;
}

TEST_F(SettingsCommands, ClinicNameFromTheRegistry) {
  s.server.SetRegistry("ClinicName", W("Vårdcentralen Norr"));
  s.Start();
  test::TLoopbackClient c(s.Port());
  EXPECT_EQ(Ask(c, Req("¤GETKLINIKNAMN::GETKLINIKNAMN¤"), W("RETKLINIKNAMN¤") + "#DATAEND#\r\n"),
            Framed("¤RETKLINIKNAMN:Vårdcentralen Norr:RETKLINIKNAMN¤"));
}

TEST_F(SettingsCommands, SmsAccountRoundTripAndStoredEncrypted) {
  s.Start();
  auto admin = test::AdminClient(s.Port());
  const std::string retSms = W("RETSMSSETTINGS¤") + "#DATAEND#\r\n";
  EXPECT_EQ(Ask(*admin, Req("¤GETSMSSETTINGS::GETSMSSETTINGS¤"), retSms),
            Framed("¤RETSMSSETTINGS:::0:RETSMSSETTINGS¤"));
  // Posted and asked for in one message: the answer already has the new values.
  EXPECT_EQ(Ask(*admin,
                Req("¤GETSMSSETTINGS::GETSMSSETTINGS¤¤POSTSMSSETTINGS:klinik: Lösen ord :12x:"
                    "POSTSMSSETTINGS¤"),
                retSms),
            Framed("¤RETSMSSETTINGS:klinik:Lösen ord:0:RETSMSSETTINGS¤"));
  EXPECT_EQ(Setting("SMSUSERNAME"), "klinik");
  EXPECT_EQ(s.Read("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = 'SMSKUNDNR'", "INTEGERVALUE"), "0");
  const std::string stored = Setting("SMSPASSWORD");
  EXPECT_EQ(stored.find("Lösen"), std::string::npos);
  EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos)
      << stored;
  TLbBlowfish cipher;
  cipher.SetKey(MakeServerKey());
  EXPECT_EQ(cipher.DecryptString(stored), W("Lösen ord"));

  EXPECT_EQ(Ask(*admin, Req("¤POSTSMSSETTINGS:klinik2:x:4711:POSTSMSSETTINGS¤¤GETSMSSETTINGS::GETSMSSETTINGS¤"),
                retSms),
            Framed("¤RETSMSSETTINGS:klinik2:x:4711:RETSMSSETTINGS¤"));
  // A new process reads the account back from SETTINGS.
  admin.reset();
  ASSERT_EQ(s.server.Stop(), 0);
  s.Start();
  auto admin2 = test::AdminClient(s.Port());
  EXPECT_EQ(Ask(*admin2, Req("¤GETSMSSETTINGS::GETSMSSETTINGS¤"), retSms),
            Framed("¤RETSMSSETTINGS:klinik2:x:4711:RETSMSSETTINGS¤"));
}

bool Accepts(uint16_t port) {
  test::TLoopbackClient c;
  return c.Connect(port, 300);
}

TEST_F(SettingsCommands, UpdateListenerFollowsItsPortSetting) {
  s.Start();
  const uint16_t main = s.Port();
  ASSERT_TRUE(Accepts(main + 1));
  test::TLoopbackClient c(main);
  const auto setPort = [&](const std::string& value) {
    // KEEPALIVE is answered before SETINITEXT in a pass: send it behind, in the next message.
    c.Send(Req("¤SETINITEXT:ServerSettings:UpdateServerPort:" + value + ":SETINITEXT¤"));
    return Ask(c, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n");
  };
  const uint16_t moved = test::FreePort();
  setPort(std::to_string(moved));
  EXPECT_TRUE(Accepts(moved));
  EXPECT_FALSE(Accepts(main + 1));
  EXPECT_EQ(RegistryValue("UpdatePort"), std::to_string(moved));
  EXPECT_EQ(Setting("ServerSettings-UpdateServerPort"), std::to_string(moved));
  {
    test::TLoopbackClient u(moved);
    EXPECT_EQ(Ask(u, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n"), Framed("¤KEEPALIVE::KEEPALIVE¤"));
  }
  // Equal to the main port: the second listener stays closed.
  setPort(std::to_string(main));
  EXPECT_FALSE(Accepts(moved));
  EXPECT_EQ(RegistryValue("UpdatePort"), std::to_string(main));
  // Not a number: the main port + 1, as at start-up.
  setPort("abc");
  EXPECT_TRUE(Accepts(main + 1));
  EXPECT_EQ(RegistryValue("UpdatePort"), std::to_string(main + 1));
  // A number that is no port is refused before anything is stored or moved.
  setPort("70000");
  EXPECT_EQ(Setting("ServerSettings-UpdateServerPort"), "abc");
  EXPECT_TRUE(Accepts(main + 1));
  EXPECT_TRUE(s.server.WaitForLog("ServerSettings-UpdateServerPort 70000 is no TCP port"));
  // A port that cannot be opened fails the command and the rest of its message; the listener
  // stays closed and the registry keeps the port it had.
  const uint16_t busy = test::FreePort();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(busy);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  c.Send(Req("¤SETINITEXT:ServerSettings:UpdateServerPort:" + std::to_string(busy) +
             ":SETINITEXT¤¤GETKLINIKNAMN::GETKLINIKNAMN¤"));
  EXPECT_TRUE(s.server.WaitForLog("Error in DataRead: "));
  EXPECT_EQ(c.ReadFor(300), "");  // GETKLINIKNAMN was dropped with the rest of the message
  ::close(fd);
  EXPECT_FALSE(Accepts(main + 1));
  EXPECT_EQ(RegistryValue("UpdatePort"), std::to_string(main + 1));
  EXPECT_EQ(Ask(c, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n"), Framed("¤KEEPALIVE::KEEPALIVE¤"));
}

}  // namespace
}  // namespace tavo
