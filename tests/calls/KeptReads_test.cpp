// What sign-on read from the database is kept only while the database still holds it: a
// change made by another program shows on the next broadcast, a change made through our own
// connection as soon as the command that made it says so.
#include "CallsFixture.h"

namespace tavo::test {
namespace {

class KeptReadsTest : public CallsTest {
 protected:
  KeptReadsTest() { db.PassDataVersion(); }

  // Another program writing the same file.
  void WriteFromOutside(const std::string& sql) {
    TSqliteDatabase other(env.dir / "tavo.sqlite");
    other.Execute(W(sql));
  }
};

struct TChangeCase {
  const char* What;
  const char* Statement;
  // The station signed on, and what it shows before and after the change.
  const char* Station;
  int Kind;
  const char* Before;
  const char* After;
};

// Each change is followed by the same COMING from EXP: it re-sends the lists of every
// connection that lists resource 3. The changes add up, in this order.
const TChangeCase kChanges[] = {
    {"a display's place of a resource", "UPDATE CALLLIST SET IXLOPNR = 7 WHERE STATIONSLOPNR = 12 AND CALLABLESLOPNR = 3",
     "VISNING2", 1, "Doktor A:3:255:4:", "Doktor A:3:255:7:"},
    {"the cancel resource", "UPDATE SETTINGS SET INTEGERVALUE = 5 WHERE NYCKELNAMN = 'AVBRYTCALLNAME'",
     "VISNING1", 1, "Doktor B:5:0:2:", "CURRENTLIST:Avbryt:9:0:3:"},
    {"a resource's full name", "UPDATE CALLABLES SET FULLNAME = 'Doktor Ny' WHERE LOPNR = 3",
     "RUM3", 0, "~Doktor Alfa~", "~Doktor Ny~"},
    {"a resource leaving a station's list", "DELETE FROM CALLLIST WHERE STATIONSLOPNR = 7 AND CALLABLESLOPNR = 9",
     "RUM3", 0, "Avbryt~9~", "RETCALLLIST~Doktor A~3~Doktor Ny~255~0~-1~2026-12-09 10:15:02~Exp~"
     "2026-12-09 10:15:02~4~RETCALLLIST"},
};

TEST_F(KeptReadsTest, ChangeByAnotherProgramShowsOnTheNextBroadcast) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  Calling(rum3, 3);
  for (const TChangeCase& c : kChanges) {
    SCOPED_TRACE(c.What);
    auto station = c.Station == std::string("RUM3") ? rum3 : SignOn(c.Station, c.Kind);
    Coming(exp, 3, 7);
    EXPECT_NE(Take(station).find(W(c.Before)), std::string::npos);
    WriteFromOutside(c.Statement);
    Coming(exp, 3, 7);
    EXPECT_NE(Take(station).find(W(c.After)), std::string::npos);
    if (station != rum3) Disconnect(station);
  }
}

// Without a change the lists come from what was kept: a COMING costs the same queries
// however many displays list the resource.
TEST_F(KeptReadsTest, ComingReadsNothingPerDisplay) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  Calling(rum3, 3);
  auto queriesOfOneComing = [&] {
    const size_t before = db.Opens;
    Coming(exp, 3, 7);
    return db.Opens - before;
  };
  SignOn("VISNING1", 1);
  Coming(exp, 3, 7);  // the first lists after sign-on fill what is kept
  const size_t withOne = queriesOfOneComing();
  for (int i = 0; i < 5; ++i) SignOn(i % 2 ? "VISNING1" : "VISNING2", 1);
  Coming(exp, 3, 7);
  EXPECT_EQ(queriesOfOneComing(), withOne);
}

// Our own connection's changes do not move the data version: the command that made one says
// so through DatabaseChanged, and the next list is read afresh.
TEST_F(KeptReadsTest, OwnChangeShowsOnceTheCommandSaysSo) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  auto display = SignOn("VISNING2", 1);
  Calling(rum3, 3);
  sqlite.Execute("UPDATE CALLLIST SET IXLOPNR = 7 WHERE STATIONSLOPNR = 12 AND CALLABLESLOPNR = 3");
  Take(display);
  Coming(exp, 3, 7);
  // Still the kept list: this is what the hook is for.
  EXPECT_NE(Take(display).find(W("Doktor A:3:255:4:")), std::string::npos);
  service.DatabaseChanged();
  Coming(exp, 3, 7);
  EXPECT_NE(Take(display).find(W("Doktor A:3:255:7:")), std::string::npos);
}

// A reload of the call list follows every change of resources and every remote statement;
// it drops what was kept as well.
TEST_F(KeptReadsTest, ReloadReadsTheListsAfresh) {
  auto rum3 = SignOn("RUM3", 0);
  Take(rum3);
  sqlite.Execute("UPDATE CALLABLES SET FULLNAME = 'Doktor Ny' WHERE LOPNR = 3");
  service.FillCallList();
  Calling(rum3, 3);
  EXPECT_NE(Take(rum3).find(W("~Doktor Ny~")), std::string::npos);
}

}  // namespace
}  // namespace tavo::test
