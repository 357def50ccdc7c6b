// REGISTERUPATECALLABLE, POSTCALLABLESLIST, GETSTATIONCALLABLES and GETALLCALLABLES through the
// real server, on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <iterator>

#include "Clinic.h"

namespace tavo::test {
namespace {

using ResourceCommands = AdminTest;

const std::string kGetAllCallables = "¤GETALLCALLABLES::GETALLCALLABLES¤";
std::string Refusal(const std::string& callName) {
  return W("ERROR: 030 Det går inte att radera resursen " + callName +
           "!\rResursen används av visnings/kallelseklienter!\r\n");
}
std::string Register(const std::string& records) {
  return "¤REGISTERUPATECALLABLE:" + records + ":REGISTERUPATECALLABLE¤";
}

TEST_P(ResourceCommands, ChangedResourceReloadsAndReachesEveryStationAndDisplay) {
  StartClinic();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto vis = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto hard = s.SignOn("Hard1", 3, true, "CURRENTLIST¤\r\n");
  TLoopbackClient anonymous(s.Port());
  auto other = s.Admin();
  auto admin = s.Admin();

  admin->Send(Req(Register("3:Doktor A2:Doktor Alfa2:100:0::T:%¤:0:Ny:Ny Resurs:7:True:070-1:T:%¤:") +
                  kGetAllCallables));
  EXPECT_EQ(Until(*admin, "RETALLCALLABLES¤#DATAEND#\r\n"),
            Framed("¤RETALLCALLABLES:Alla:1:Alla:0:0::T:Avbryt:9:Avbryt:0:0::T:"
                   "Doktor A2:3:Doktor Alfa2:100:0::T:Doktor B:5:Doktor Beta:0:0::T:"
                   "Ny:10:Ny Resurs:7:-1:070-1:T:Sköterska:7:Sköterska Sms:128:-1:070-1234567:T:"
                   "Vilande:8:Vilande:0:0::F::RETALLCALLABLES¤"));
  // The lists come from the reloaded call list.
  EXPECT_EQ(Pending(*rum1), Framed(CallList(Entry("Doktor A2", 3, "Doktor Alfa2", 100) +
                                            Entry("Avbryt", 9, "Avbryt", 0, true))));
  EXPECT_EQ(Pending(*vis),
            Framed("¤CURRENTLIST:Doktor A2:3:100:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Pending(*hard), Bare("¤CURRENTLIST:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Pending(anonymous), "");
  EXPECT_EQ(Pending(*other), "");
  EXPECT_EQ(Pending(*admin), "");
  ExpectLogged("REGISTERUPATECALLABLE: resource 3 changed, requested from 127.0.0.1:");
  ExpectLogged("REGISTERUPATECALLABLE: resource 10 created, requested from 127.0.0.1:");
}

TEST_P(ResourceCommands, NewResourcesAloneAreSentToNobody) {
  StartClinic();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto vis = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  struct Case {
    std::string smsField;
    int stored;
  };
  const Case cases[] = {{"True", 1}, {"tRUE", 1}, {"-1", 1}, {"2", 1},
                        {"yes", 0},  {"False", 0}, {"0", 0}, {"", 0}};
  std::string records;
  // Field 0 empty: skipped. Field 0 not a number or 0: a new resource.
  records += ":Hoppas:Hoppas:0:1::T:%¤:";
  for (const auto& c : cases) records += "x:Sms" + c.smsField + ":Sms " + c.smsField + ":1:" + c.smsField + "::T:%¤:";
  EXPECT_EQ(Change(*admin, Register(records + "trailing text without terminator")), "");
  EXPECT_EQ(Pending(*rum1), "");
  EXPECT_EQ(Pending(*vis), "");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES"), 6 + static_cast<int>(std::size(cases)));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES WHERE CALLNAME = 'Hoppas'"), 0);
  int lopnr = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE("SMS field '" + c.smsField + "'");
    auto row = s.Rows("SELECT * FROM CALLABLES WHERE LOPNR = ?", {SqlInt(lopnr++)});
    ASSERT_EQ(row->RecordCount(), 1u);
    EXPECT_EQ(row->AsString("CALLNAME"), "Sms" + c.smsField);
    EXPECT_EQ(row->AsInteger("SENDSMS"), c.stored);
  }
}

// A refused deletion is answered bare and ends the message: nothing after it runs.
TEST_P(ResourceCommands, RefusedDeletionStopsTheMessage) {
  StartClinic();
  auto vis = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  struct Case {
    int lopnr;
    std::string callName;
  };
  // Resource 1 is in no list but may never go; resource 3 is in four stations' lists.
  const Case cases[] = {{1, "Alla"}, {3, "Doktor A"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("resource " + std::to_string(c.lopnr));
    admin->Send(Req(Register(std::to_string(c.lopnr) + ":¤DELETE_ME¤::0:0::T:%¤:" +
                             "5:Doktor B2:Doktor Beta:0:0::T:%¤:") +
                    kGetAllCallables + Register("0:Senare:Senare:0:0::T:%¤:") +
                    "¤GETCALLLIST:Rum1:0:GETCALLLIST¤"));
    EXPECT_EQ(Until(*admin, "kallelseklienter!\r\n"), Refusal(c.callName));
    EXPECT_EQ(Pending(*admin), "");
    EXPECT_EQ(Pending(*vis), "");
    EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES"), 6);
    EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES WHERE LOPNR = ?", {SqlInt(c.lopnr)}), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES WHERE CALLNAME = 'Doktor B'"), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLLIST"), 8);
  }
}

// Records before a refused one stay stored, and the stations and displays are shown them.
TEST_P(ResourceCommands, RecordsBeforeARefusalStay) {
  StartClinic();
  auto vis = s.SignOn("Visning1", 1, true, "CURRENTLIST¤\r\n");
  auto admin = s.Admin(true);
  admin->Send(Req(Register("5:Doktor B2:Doktor Beta2:0:0::T:%¤:3:¤DELETE_ME¤::0:0::T:%¤:"), true));
  EXPECT_EQ(Until(*admin, "kallelseklienter!\r\n"), Refusal("Doktor A"));
  EXPECT_EQ(Pending(*vis), Bare("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B2:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(s.Rows("SELECT CALLNAME FROM CALLABLES WHERE LOPNR = 5")->AsString("CALLNAME"), "Doktor B2");
}

TEST_P(ResourceCommands, DeletionOfAResourceInNoList) {
  StartClinic();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  // A deletion of a number no resource has changes nothing; the next deletion goes through.
  EXPECT_EQ(Change(*admin, Register("99:¤DELETE_ME¤::0:0::T:%¤:8:¤DELETE_ME¤::0:0::T:%¤:")), "");
  // A deletion marks a change: every station's list is sent again.
  EXPECT_EQ(Pending(*rum1), Framed(CallList(Entry("Doktor A", 3, "Doktor Alfa", 255) +
                                            Entry("Avbryt", 9, "Avbryt", 0, true))));
  EXPECT_EQ(Pending(*admin), "");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES"), 5);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLABLES WHERE LOPNR = 8"), 0);
  ExpectLogged("REGISTERUPATECALLABLE: resource 8 deleted, requested from 127.0.0.1:");
}

TEST_P(ResourceCommands, AdministrationReplacesAStationsList) {
  StartClinic();
  auto vis = s.SignOn("Visning1", 1, false, "CURRENTLIST¤#DATAEND#\r\n");
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  // Connected: the station is sent its new list; the cancel resource is not displayed.
  EXPECT_EQ(Change(*admin, "¤POSTCALLABLESLIST:x:y:3:5:1:9:2:3:3:POSTCALLABLESLIST¤"), "");
  EXPECT_EQ(Pending(*vis), Framed("¤CURRENTLIST:Doktor A:3:255:3:¤%%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(ListOf(3), "5@1 9@2 3@3 ");
  // Not connected: stored without any test of the pairs, sent to nobody.
  EXPECT_EQ(Change(*admin, "¤POSTCALLABLESLIST:::6:42:0:42:0:x:7:POSTCALLABLESLIST¤"), "");
  EXPECT_EQ(ListOf(6), "42@0 42@0 ");
  // No pairs: the whole list goes.
  EXPECT_EQ(Change(*admin, "¤POSTCALLABLESLIST:::2::POSTCALLABLESLIST¤"), "");
  EXPECT_EQ(ListOf(2), "");
  EXPECT_EQ(Pending(*admin), "");
  EXPECT_EQ(Pending(*vis), "");
  EXPECT_EQ(Pending(*rum1), "");
  EXPECT_EQ(ListOf(1), "3@1 9@2 ");
  ExpectLogged("POSTCALLABLESLIST: list of station 6 replaced, requested from 127.0.0.1:");
}

TEST_P(ResourceCommands, StationPostsItsOwnList) {
  StartClinic();
  auto rum1 = s.SignOn("Rum1", 0, true, "RETCALLLIST¤\r\n");
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  // Fields 1 and 2 are not read; the pairs start at field 3.
  rum1->Send(Req("¤POSTCALLABLESLIST:6:0:5:0:3:1:POSTCALLABLESLIST¤", true));
  EXPECT_EQ(Until(*rum1, "RETCALLLIST¤\r\n"),
            Bare(CallList(Entry("Doktor B", 5, "Doktor Beta", 0) + Entry("Doktor A", 3, "Doktor Alfa", 255))));
  EXPECT_EQ(ListOf(1), "5@0 3@1 ");
  EXPECT_EQ(ListOf(6), "");
  EXPECT_EQ(Pending(*exp), "");
  // Not signed on: refused as the client's fault, nothing stored.
  TLoopbackClient anonymous(s.Port());
  anonymous.Send(Req("¤POSTCALLABLESLIST:6:0:5:0:POSTCALLABLESLIST¤"));
  ExpectLogged("Error in DataRead: POSTCALLABLESLIST from a connection that has not signed on");
  EXPECT_EQ(Pending(anonymous), "");
  EXPECT_EQ(ListOf(6), "");
}

TEST_P(ResourceCommands, StationCallablesInPositionOrder) {
  StartClinic();
  auto admin = s.Admin();
  struct Case {
    std::string name;
    bool line;
    std::string reply;
  };
  const Case cases[] = {
      {"Rum5", false, Framed("¤RETSTATIONCALLABLES:7:0:3:1::RETSTATIONCALLABLES¤")},
      {"Rum5", true, Bare("¤RETSTATIONCALLABLES:7:0:3:1::RETSTATIONCALLABLES¤")},
      // No rows still give one pair.
      {"Tom", false, Framed("¤RETSTATIONCALLABLES:0:0::RETSTATIONCALLABLES¤")},
      {"Ingen", false, Framed("¤RETSTATIONCALLABLES:0:0::RETSTATIONCALLABLES¤")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + (c.line ? " in line mode" : " framed"));
    admin->Send(Req("¤GETSTATIONCALLABLES:" + c.name + ":GETSTATIONCALLABLES¤", c.line));
    EXPECT_EQ(Until(*admin, c.line ? "RETSTATIONCALLABLES¤\r\n" : "RETSTATIONCALLABLES¤#DATAEND#\r\n"),
              c.reply);
  }
}

TEST_P(ResourceCommands, AllCallablesOfAnEmptyTable) {
  s.Start();
  auto admin = s.Admin(true);
  admin->Send(Req(kGetAllCallables, true));
  EXPECT_EQ(Until(*admin, "RETALLCALLABLES¤\r\n"), Bare("¤RETALLCALLABLES::0::0:0::::RETALLCALLABLES¤"));
  // A connection that has not signed on is not answered.
  TLoopbackClient anonymous(s.Port());
  anonymous.Send(Req(kGetAllCallables));
  ExpectLogged("Error in DataRead: GETALLCALLABLES from a connection that has not signed on");
  EXPECT_EQ(Pending(anonymous), "");
}

TAVO_INSTANTIATE_BACKENDS(ResourceCommands);

}  // namespace
}  // namespace tavo::test
