// Who may run EXECSQL, OPENSQL, POSTSMSSETTINGS and GETSMSSETTINGS, through the real
// executable: administration connections by default, everyone with "ANY", and administration
// connections from listed addresses only with a list. A refusal removes the block silently and
// is logged once per connection. Also: an OPENSQL result too large to send.
#include <gtest/gtest.h>

#include "BackendServer.h"

namespace tavo {
namespace {

using test::Ask;
using test::Framed;
using test::Req;
using test::W;

const std::string kKlinik = W("RETKLINIKNAMN¤") + "#DATAEND#\r\n";
const std::string kRetSql = Framed("¤RETSQL:0:¤%N|1~%¤::RETSQL¤");
const std::string kNoName = Framed("¤RETKLINIKNAMN::RETKLINIKNAMN¤");

class AdminAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    s.Resource(3, "Doktor A");
    s.Start();
  }
  void TearDown() override { EXPECT_EQ(s.server.Stop(), 0) << s.server.EventLog(); }
  void SetRule(const std::string& value) { s.server.SetRegistry("AdminCommandsFrom", value); }
  // OPENSQL comes before GETKLINIKNAMN in a pass: once the name has arrived, so has any RETSQL.
  std::string TryOpenSql(test::TLoopbackClient& c) {
    return Ask(c, Req("¤OPENSQL:x:SELECT COUNT(*) AS N FROM CALLABLES:OPENSQL¤¤GETKLINIKNAMN::GETKLINIKNAMN¤"),
               kKlinik);
  }
  test::TBackendServer s;
};

TEST_F(AdminAccess, RulesOfAdminCommandsFrom) {
  struct Case {
    const char* rule;  // nullptr: value absent
    bool admin;
    const char* refusal;  // the warning, or nullptr when allowed
  } cases[] = {
      {nullptr, false, "Refused OPENSQL from 127.0.0.1: the connection has not signed on as an administration client"},
      {nullptr, true, nullptr},
      {"ADMIN", false, "Refused OPENSQL from 127.0.0.1: the connection has not signed on as an administration client"},
      {"ANY", false, nullptr},
      {"10.2.0.0/16,127.0.0.1", true, nullptr},
      {"10.2.0.0/16, 127.0.0.0/8", true, nullptr},
      {"10.2.0.0/16,127.0.0.1", false, "Refused OPENSQL from 127.0.0.1: the connection has not signed on"},
      {"10.2.0.0/16", true, "Refused OPENSQL from 127.0.0.1: 127.0.0.1 is not in AdminCommandsFrom"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rule ? c.rule : "(absent)") + (c.admin ? " admin" : " station"));
    if (c.rule) SetRule(c.rule);
    std::unique_ptr<test::TLoopbackClient> client =
        c.admin ? test::AdminClient(s.Port()) : std::make_unique<test::TLoopbackClient>(s.Port());
    const size_t before = c.refusal ? s.LogLines(c.refusal) : 0;
    const std::string first = TryOpenSql(*client);
    const std::string second = TryOpenSql(*client);
    if (!c.refusal) {
      EXPECT_EQ(first, kRetSql + kNoName);
      EXPECT_EQ(second, kRetSql + kNoName);
    } else {
      EXPECT_EQ(first, kNoName);
      EXPECT_EQ(second, kNoName);
      // Once per connection, however often it tries.
      EXPECT_EQ(s.LogLines(c.refusal), before + 1) << s.server.EventLog();
    }
  }
  EXPECT_EQ(s.LogLines("Error in"), 0u) << s.server.EventLog();
}

TEST_F(AdminAccess, RefusedCommandsChangeNothingAndReadNothing) {
  auto admin = test::AdminClient(s.Port());
  admin->Send(Req("¤POSTSMSSETTINGS:klinik:hemligt:42:POSTSMSSETTINGS¤"));
  test::TLoopbackClient station(s.Port());
  EXPECT_EQ(Ask(station,
                Req("¤POSTSMSSETTINGS:inkräktare:x:1:POSTSMSSETTINGS¤"
                    "¤EXECSQL$x$UPDATE CALLABLES SET CALLNAME = #X# WHERE LOPNR = 3$EXECSQL¤"
                    "¤GETSMSSETTINGS::GETSMSSETTINGS¤¤GETKLINIKNAMN::GETKLINIKNAMN¤"),
                kKlinik),
            kNoName);
  EXPECT_EQ(s.LogLines("Refused POSTSMSSETTINGS from 127.0.0.1"), 1u);
  EXPECT_EQ(s.LogLines("Refused "), 1u);
  EXPECT_EQ(s.Read("SELECT CALLNAME FROM CALLABLES WHERE LOPNR = 3", "CALLNAME"), "Doktor A");
  EXPECT_EQ(Ask(*admin, Req("¤GETSMSSETTINGS::GETSMSSETTINGS¤"), W("RETSMSSETTINGS¤") + "#DATAEND#\r\n"),
            Framed("¤RETSMSSETTINGS:klinik:hemligt:42:RETSMSSETTINGS¤"));
}

TEST_F(AdminAccess, AResultLargerThanTheOutgoingLimitIsNotSent) {
  // 33 rows of 1 MiB: more than the 32 MiB a connection may have waiting.
  s.Db().Execute("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < 33) "
                 "INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) SELECT 'Stor-' || I, "
                 "hex(zeroblob(524288)) FROM N");
  auto admin = test::AdminClient(s.Port());
  admin->Send(Req("¤OPENSQL:x:SELECT STRINGVALUE FROM SETTINGS:OPENSQL¤"));
  EXPECT_TRUE(s.server.WaitForLog("Error in DataRead: OPENSQL from 127.0.0.1: the result of the query "
                                  "passes the limit of 33554394 bytes of one reply; nothing was sent",
                                  60000))
      << s.server.EventLog();
  // Nothing of it was sent: the next answer is the first thing to arrive.
  EXPECT_EQ(Ask(*admin, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n"), Framed("¤KEEPALIVE::KEEPALIVE¤"));
  // The same connection is served on, and a result within the limit still arrives.
  EXPECT_EQ(Ask(*admin, Req("¤OPENSQL:x:SELECT COUNT(*) AS N FROM CALLABLES:OPENSQL¤"), W("RETSQL¤") + "#DATAEND#\r\n"),
            kRetSql);
}

}  // namespace
}  // namespace tavo
