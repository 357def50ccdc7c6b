// The settings the server acts on when SETINITEXT stores them (the cancel resource, the clinic
// name), the start-up entry naming the database, and the audit of the SMS account, through the
// real server on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include "Clinic.h"

namespace tavo::test {
namespace {

using ServerSettings = AdminTest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_P(ServerSettings, StartUpNamesTheDatabaseItServesFrom) {
  s.Start();
  ASSERT_TRUE(s.server.WaitForLog("Serving on port")) << s.server.EventLog();
  const std::string log = s.server.EventLog();
  const std::string from = "Serving on port " + std::to_string(s.Port()) + " (main) and " +
                           std::to_string(s.Port() + 1) + " (update) from the database ";
  if (GetParam() == TBackendKind::SQLite) {
    EXPECT_TRUE(Has(log, from + "SQLite file " + (s.server.ProgramDir() / "TAVO.sqlite").string())) << log;
  } else {
    // As the driver reports it: the product, the driver, the server and the database.
    EXPECT_TRUE(Has(log, from + "ODBC: PostgreSQL through psqlodbcw.so, server 127.0.0.1, database tavo_"))
        << log;
  }
}

TEST_P(ServerSettings, CancelResourceIsSetForEveryoneAtOnce) {
  StartClinic();
  auto admin = s.Admin();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤");
  auto display = s.SignOn("Visning1", 1, false, "CURRENTLIST¤");
  admin->Send(Req("¤GETINITEXT:ServerSettings:CancelResource:GETINITEXT¤"));
  EXPECT_EQ(Until(*admin, "RETINITEXT¤#DATAEND#\r\n"), Framed("¤RETINITEXT:9:RETINITEXT¤"));

  EXPECT_EQ(Change(*admin, "¤SETINITEXT:ServerSettings:CancelResource:5:SETINITEXT¤"), "");
  EXPECT_EQ(Count("SELECT INTEGERVALUE AS N FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'"), 5);
  // Kept where the server reads it, not as a text of its own.
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SETTINGS WHERE NYCKELNAMN LIKE 'ServerSettings-Cancel%'"), 0);
  // Avbryt is no longer flagged; the display leaves Doktor B out.
  EXPECT_EQ(Pending(*rum1), Framed(CallList(Entry("Doktor A", 3, "Doktor Alfa", 255) +
                                            Entry("Avbryt", 9, "Avbryt", 0))));
  EXPECT_EQ(Pending(*display), Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_TRUE(s.server.WaitForLog("SETINITEXT: cancel resource 5 set, requested from 127.0.0.1:"));

  // A number no resource has is refused; a station may not set it.
  admin->Send(Req("¤SETINITEXT:ServerSettings:CancelResource:42:SETINITEXT¤"));
  EXPECT_TRUE(s.server.WaitForLog("the cancel resource 42 does not exist"));
  Change(*rum1, "¤SETINITEXT:ServerSettings:CancelResource:3:SETINITEXT¤");
  EXPECT_TRUE(s.server.WaitForLog("Refused SETINITEXT CancelResource from 127.0.0.1"));
  EXPECT_EQ(Count("SELECT INTEGERVALUE AS N FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'"), 5);
  // Empty: no cancel resource.
  Change(*admin, "¤SETINITEXT:ServerSettings:CancelResource::SETINITEXT¤");
  EXPECT_EQ(Count("SELECT INTEGERVALUE AS N FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'"), 0);
}

TEST_P(ServerSettings, ClinicNameIsKeptInTheRegistryAndAnsweredAtOnce) {
  StartClinic();
  auto admin = s.Admin();
  admin->Send(Req("¤SETINITEXT:ServerSettings:ClinicName:Vårdcentralen Norr:SETINITEXT¤"
                  "¤GETKLINIKNAMN::GETKLINIKNAMN¤¤GETINITEXT:ServerSettings:ClinicName:GETINITEXT¤"));
  EXPECT_EQ(Until(*admin, "RETKLINIKNAMN¤#DATAEND#\r\n"),
            Framed("¤RETINITEXT:Vårdcentralen Norr:RETINITEXT¤") +
                Framed("¤RETKLINIKNAMN:Vårdcentralen Norr:RETKLINIKNAMN¤"));
  TRegistryStore reg(s.server.RegistryFile());
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName"), W("Vårdcentralen Norr"));
  // Not from a connection that has not signed on as administration client, and not a name
  // that would change the path of the update requests.
  TLoopbackClient stranger(s.Port());
  Change(stranger, "¤SETINITEXT:ServerSettings:ClinicName:Annan:SETINITEXT¤");
  admin->Send(Req("¤SETINITEXT:ServerSettings:ClinicName:a/../b:SETINITEXT¤"));
  EXPECT_TRUE(s.server.WaitForLog("holds a character the update requests cannot carry"));
  admin->Send(Req("¤GETKLINIKNAMN::GETKLINIKNAMN¤"));
  EXPECT_EQ(Until(*admin, "RETKLINIKNAMN¤#DATAEND#\r\n"),
            Framed("¤RETKLINIKNAMN:Vårdcentralen Norr:RETKLINIKNAMN¤"));
  EXPECT_TRUE(s.server.WaitForLog("SETINITEXT: clinic name set to \"Vårdcentralen Norr\", requested from"));
}

TAVO_INSTANTIATE_BACKENDS(ServerSettings);

}  // namespace
}  // namespace tavo::test
