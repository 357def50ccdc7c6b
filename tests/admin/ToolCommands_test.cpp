// SUPERVISION and ESCALATION, the blocks only tavo-cli sends, through the real server on SQLite
// and PostgreSQL: what they answer, what they store and log, what they refuse and to whom.
#include <gtest/gtest.h>

#include <regex>

#include "Clinic.h"

namespace tavo::test {
namespace {

using ToolCommands = AdminTest;

// Everything the client received up to the end of the tool answer.
std::string Answer(TLoopbackClient& c, const std::string& block, const std::string& keyword,
                   bool line = false) {
  c.Send(Req(block, line));
  const std::string end = "RET" + keyword + "¤" + (line ? "\r\n" : "#DATAEND#\r\n");
  EXPECT_TRUE(c.WaitFor(W(end))) << block << " got: " << c.Received();
  return c.Take();
}

std::string Ok(const std::string& keyword, const std::string& fields) {
  return Framed("¤RET" + keyword + "~OK~" + fields + "RET" + keyword + "¤");
}
std::string Error(const std::string& keyword, const std::string& text) {
  return Framed("¤RET" + keyword + "~ERROR~" + text + "~RET" + keyword + "¤");
}

TEST_P(ToolCommands, SupervisionListsDisplayAndHardwareStationsAndStoresTheMark) {
  StartClinic();
  auto admin = s.Admin();
  // Hard1 and Visning1 in name order; nobody connected yet, so both wait since start-up.
  const std::string list = Answer(*admin, "¤SUPERVISION:LIST:SUPERVISION¤", "SUPERVISION");
  const std::regex waiting(
      "#DATASTART#\xA4RETSUPERVISION~OK~60~4~-1~waiting~\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d~"
      "3~-1~waiting~[^~]+~RETSUPERVISION\xA4#DATAEND#\r\n");
  EXPECT_TRUE(std::regex_match(list, waiting)) << list;

  EXPECT_EQ(Answer(*admin, "¤SUPERVISION:SET:4:0:SUPERVISION¤", "SUPERVISION"), Ok("SUPERVISION", ""));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONSUPERVISION WHERE STATIONSLOPNR = 4 AND "
                  "SUPERVISE = 0"),
            1);
  ExpectLogged("SUPERVISION: station 4 not supervised, requested from 127.0.0.1:");
  const std::string after = Answer(*admin, "¤SUPERVISION:LIST:SUPERVISION¤", "SUPERVISION");
  EXPECT_NE(after.find("~4~0~offline~"), std::string::npos) << after;  // not supervised, not connected

  // Line mode is answered bare; bad requests say what is wrong and change nothing.
  const std::string bare = Answer(*admin, "¤SUPERVISION:SET:4:1:SUPERVISION¤", "SUPERVISION", true);
  EXPECT_EQ(bare, Bare("¤RETSUPERVISION~OK~RETSUPERVISION¤"));
  EXPECT_EQ(Answer(*admin, "¤SUPERVISION:SET:77:0:SUPERVISION¤", "SUPERVISION"),
            Error("SUPERVISION", "no station 77"));
  EXPECT_EQ(Answer(*admin, "¤SUPERVISION:SET:4:ja:SUPERVISION¤", "SUPERVISION"),
            Error("SUPERVISION", "SET needs a station number and 1 or 0"));
  EXPECT_EQ(Answer(*admin, "¤SUPERVISION:DROP:SUPERVISION¤", "SUPERVISION"),
            Error("SUPERVISION", "unknown request; LIST or SET"));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONSUPERVISION WHERE SUPERVISE = 0"), 0);

  // A deleted station's mark goes with it: a station that gets its number later starts clean.
  Change(*admin, "¤REGISTERUPATEMACHINE:Hard1:3:¤DELETE_ME¤:0:::4:REGISTERUPATEMACHINE¤");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONSUPERVISION"), 0);
}

TEST_P(ToolCommands, EscalationStepsAreSetListedAndRemovedWithTheirChecks) {
  SeedClinic(s);
  s.Resource(10, "Jour", "Jourhavande", 0, 0, "+46 70 555 00 10");
  s.Start();
  auto admin = s.Admin();
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:SET:3:60:10::2:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "1~"));
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:SET:3:120:0:+46 70 111 22 33:0:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "2~"));
  // The same target again changes its step.
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:SET:3:90:10::1:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "1~"));
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:LIST:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "1~3~90~10~~1~2~3~120~0~+46 70 111 22 33~0~"));
  ExpectLogged("ESCALATION: escalation step 1 set for resource 3, requested from 127.0.0.1:");

  struct Case {
    const char* block;
    const char* error;
  } refused[] = {
      {"SET:4:60:10::0", "no resource 4"},
      {"SET:3:0:10::0", "the time must be 1 to 86400 seconds"},
      {"SET:3:60:10::101", "the repeat count must be 0 to 100"},
      {"SET:3:60:10:+4670:0", "name one target: a resource or an SMS number"},
      {"SET:3:60:0::0", "name one target: a resource or an SMS number"},
      {"SET:3:60:5::0", "resource Doktor B has no SMS number to send to"},
      {"SET:3:60:7::0", "resource Sköterska has no SMS number to send to"},  // 070-1234567
      {"SET:3:60:0:070-123:0", "\"070-123\" is no SMS number (digits, blanks, \"+\" and \",\")"},
      {"SET:3:60:10:0", "unknown request; LIST, SET, RM or CALLS with their fields"},
  };
  for (const auto& c : refused)
    EXPECT_EQ(Answer(*admin, std::string("¤ESCALATION:") + c.block + ":ESCALATION¤", "ESCALATION"),
              Error("ESCALATION", c.error))
        << c.block;
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM ESCALATION"), 2);

  EXPECT_EQ(Answer(*admin, "¤ESCALATION:RM:3:0:+46 70 111 22 33:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "1~"));
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:RM:3:0:+46 70 111 22 33:ESCALATION¤", "ESCALATION"),
            Ok("ESCALATION", "0~"));
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:RM:3:*:ESCALATION¤", "ESCALATION"), Ok("ESCALATION", "1~"));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM ESCALATION"), 0);
  ExpectLogged("ESCALATION: escalation steps of resource 3 removed (1), requested from");
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:CALLS:ESCALATION¤", "ESCALATION"), Ok("ESCALATION", ""));
}

TEST_P(ToolCommands, OnlyAnAdministrationSignOnMayAskEvenWhereAnyoneMayRunSql) {
  StartClinic();
  for (const char* rule : {"ADMIN", "ANY"}) {
    SCOPED_TRACE(rule);
    s.server.SetRegistry("AdminCommandsFrom", rule);
    TLoopbackClient anyone(s.Port());
    auto station = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
    for (TLoopbackClient* c : {&anyone, station.get()}) {
      const std::string refusal = "refused: the connection has not signed on as an administration client";
      EXPECT_EQ(Answer(*c, "¤ESCALATION:SET:3:60:0:+4670:0:ESCALATION¤", "ESCALATION"),
                Error("ESCALATION", refusal));
      EXPECT_EQ(Answer(*c, "¤SUPERVISION:SET:3:0:SUPERVISION¤", "SUPERVISION"),
                Error("SUPERVISION", refusal));
    }
  }
  // A range the test's loopback connections are not in; nothing connects to it.
  s.server.SetRegistry("AdminCommandsFrom", "10.9.0.0/16");
  auto admin = s.Admin();
  EXPECT_EQ(Answer(*admin, "¤ESCALATION:LIST:ESCALATION¤", "ESCALATION"),
            Error("ESCALATION", "refused: 127.0.0.1 is not in AdminCommandsFrom"));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM ESCALATION"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONSUPERVISION"), 0);
  ExpectLogged("Refused ESCALATION from 127.0.0.1: the connection has not signed on");
}

TAVO_INSTANTIATE_BACKENDS(ToolCommands);

}  // namespace
}  // namespace tavo::test
