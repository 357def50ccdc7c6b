// Loading the call list from the call log: today's open calls only, the answering station's
// name, and what a failure leaves behind.
#include <cmath>
#include <limits>

#include "CallsFixture.h"

namespace tavo::test {
namespace {

using CallListTest = CallsTest;

TDateTime Dec(int day, int h, int m, int s) { return EncodeDateTime(2026, 12, day, h, m, s); }

std::vector<std::string> Names(const TCallList& list) {
  std::vector<std::string> names;
  for (const auto& e : list) names.push_back(e->CallName);
  return names;
}

TEST_F(CallListTest, LoadsTodaysOpenCallsOnly) {
  InsertCallLog(1, 7, 3, Dec(8, 23, 59, 59));                    // yesterday
  InsertCallLog(2, 7, 3, Dec(9, 0, 0, 0));                       // the first moment of today
  InsertCallLog(3, 15, 3, Dec(9, 9, 0, 0), SqlNull(), SqlInt(4), SqlDateTime(Dec(9, 9, 1, 0)));
  InsertCallLog(4, 4, 3, Dec(9, 9, 30, 0), SqlNull(), SqlInt(99), SqlDateTime(Dec(9, 9, 31, 0)));
  InsertCallLog(5, 7, 3, Dec(9, 9, 40, 0), SqlDateTime(Dec(9, 9, 45, 0)));  // confirmed
  InsertCallLog(6, 7, 3, Dec(9, 10, 0, 0));                      // the same station again
  InsertCallLog(7, 7, 5, Dec(9, 10, 1, 0));                      // Rum 3 does not list 5
  InsertCallLog(8, 15, 8, Dec(9, 10, 2, 0));                     // inactive resource
  InsertCallLog(9, 7, 3, Dec(10, 0, 0, 0));                      // tomorrow
  InsertCallLog(10, 4, 5, Dec(9, 10, 3, 0), SqlNull(), SqlInt(0));
  InsertCallLog(11, 4, 5, Dec(9, 10, 4, 0));
  sqlite.Execute("UPDATE CALLLOG SET CANCELTSTAMP = ? WHERE LOPNR = 11",
                 {SqlDateTime(Dec(9, 10, 5, 0))});
  InsertCallLog(12, 3333, 5, Dec(9, 10, 6, 0));                  // a station since deleted
  sqlite.Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, NAMECOLOUR, SENDSMS) "
                 "VALUES (20, 'Utan status', 7, 0)");
  List(4, 20, 3);
  InsertCallLog(13, 4, 20, Dec(9, 10, 7, 0));                    // AKTIV null: not 'T'

  service.FillCallList();
  service.FillCallList();  // a reload replaces everything, nothing doubles
  const TCallList& list = service.CallList();
  EXPECT_EQ(Names(list), (std::vector<std::string>{"Avbryt", "Doktor A", "Doktor B",
                                                    "Sk\xF6terska", "Utan status", "Vilande"}));

  const TCallObject& a = *service.FindCallObject(3);
  EXPECT_EQ(a.CallColour, 255);
  EXPECT_TRUE(a.Aktiv);
  EXPECT_FALSE(a.CallableSendSMS);
  ASSERT_EQ(a.CurrentCallList.size(), 4u);
  struct Expect { int log; int station; const char* name; int colour; TDateTime at; int coming;
                  const char* comingName; TDateTime comingAt; };
  const Expect expected[] = {
      {2, 7, "Rum 3", 65280, Dec(9, 0, 0, 0), 0, "", 0},
      {3, 15, "Rum 5", 255, Dec(9, 9, 0, 0), 4, "Exp", Dec(9, 9, 1, 0)},
      {4, 4, "Exp", 16711680, Dec(9, 9, 30, 0), 99, "(ej funnet)", Dec(9, 9, 31, 0)},
      {6, 7, "Rum 3", 65280, Dec(9, 10, 0, 0), 0, "", 0},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const TCaller& c = *a.CurrentCallList[i];
    EXPECT_EQ(c.CallLogLopnr, expected[i].log);
    EXPECT_EQ(c.CallerLopnr, expected[i].station);
    EXPECT_EQ(c.CallerName, expected[i].name);
    EXPECT_EQ(c.CallerColour, expected[i].colour);
    EXPECT_EQ(DateTimeToStr(c.CallTimeStamp), DateTimeToStr(expected[i].at));
    EXPECT_EQ(c.CallComingLopnr, expected[i].coming);
    EXPECT_EQ(c.CallComingName, expected[i].comingName);
    EXPECT_EQ(c.CallComingTimeStamp, expected[i].comingAt);
  }
  const TCallObject& b = *service.FindCallObject(5);
  ASSERT_EQ(b.CurrentCallList.size(), 1u);
  EXPECT_EQ(b.CurrentCallList[0]->CallLogLopnr, 10);
  EXPECT_EQ(b.CurrentCallList[0]->CallComingName, "");

  const TCallObject& sms = *service.FindCallObject(6);
  EXPECT_TRUE(sms.CallableSendSMS);
  EXPECT_EQ(sms.CallableMobilnummer, "070-1234567");
  EXPECT_FALSE(service.FindCallObject(8)->Aktiv);
  EXPECT_TRUE(service.FindCallObject(8)->CurrentCallList.empty());
  EXPECT_TRUE(service.FindCallObject(20)->Aktiv);
  EXPECT_TRUE(service.FindCallObject(20)->CurrentCallList.empty());
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(CallListTest, NewProcessBringsBackTheStationsOwnCall) {
  auto rum3 = SignOn("RUM3", 0);
  Calling(rum3, 3);
  auto exp = SignOn("EXP", 0);
  At(10, 16, 40);
  Coming(exp, 3, 7);

  // A fresh service over the same database, as after a restart later the same day.
  At(14, 0, 0);
  TCallService restarted(db, env.log, env.clock, [this] { return connections; }, [] {},
                         nullptr);
  restarted.FillCallList();
  TInterpreter fresh(env.log);
  restarted.RegisterCommands(fresh);
  auto again = Connect();
  fresh.DataRead(W("¤GETCALLLIST:RUM3:0:GETCALLLIST¤"), again);
  EXPECT_EQ(Take(again),
            Framed("¤TAVOCLIENTDATA:RUM3:Rum 3:65280:7:TAVOCLIENTDATA¤") +
                Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~Exp~"
                       "2026-12-09 10:16:40~4~Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~"
                       "RETCALLLIST¤"));

  // The next morning every list starts empty, although the row is still open.
  env.clock.Set(Dec(10, 0, 0, 30));
  restarted.FillCallList();
  EXPECT_EQ(restarted.CallList().size(), 5u);
  for (const auto& e : restarted.CallList()) EXPECT_TRUE(e->CurrentCallList.empty()) << e->CallName;
  EXPECT_TRUE(CallLog()->IsNull("CONFIRMTSTAMP"));
}

TEST_F(CallListTest, UnreadableCallRowKeepsResourceAndLoadingGoesOn) {
  InsertCallLog(1, 7, 3, Dec(9, 8, 0, 0));
  InsertCallLog(2, 15, 3, Dec(9, 8, 1, 0));
  sqlite.Execute("UPDATE CALLLOG SET COMINGLOPNR = 'abc' WHERE LOPNR = 2");
  InsertCallLog(3, 4, 3, Dec(9, 8, 2, 0));
  InsertCallLog(4, 4, 5, Dec(9, 8, 3, 0));
  service.FillCallList();
  EXPECT_TRUE(Logged("Error in FillCallList.Next: 'abc' is not a valid integer value"));
  EXPECT_EQ(env.log.ErrorCount(), 1);
  ASSERT_EQ(service.CallList().size(), 5u);
  const auto& a = service.FindCallObject(3)->CurrentCallList;
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]->CallLogLopnr, 1);
  EXPECT_EQ(service.FindCallObject(5)->CurrentCallList.size(), 1u);
}

TEST_F(CallListTest, StationTableMissingFailsOnlyResourcesThatNeedIt) {
  InsertCallLog(1, 7, 3, Dec(9, 8, 0, 0), SqlNull(), SqlInt(4), SqlDateTime(Dec(9, 8, 1, 0)));
  InsertCallLog(2, 4, 5, Dec(9, 8, 3, 0));
  db.FailOn("SELECT * FROM STATIONS");
  service.FillCallList();
  EXPECT_TRUE(Logged("Error in FillCallList.Next: "));
  EXPECT_EQ(env.log.ErrorCount(), 1);
  EXPECT_TRUE(service.FindCallObject(3)->CurrentCallList.empty());
  EXPECT_EQ(service.FindCallObject(5)->CurrentCallList.size(), 1u);
}

TEST_F(CallListTest, ResourceQueryFailureStopsLoading) {
  db.FailOn("FROM CALLABLES ORDER BY");
  service.FillCallList();
  EXPECT_TRUE(service.CallList().empty());
  EXPECT_TRUE(Logged("Error in FillCallList: injected failure"));
  EXPECT_TRUE(Logged("Det gick inte att utföra SQL-frågan: SELECT * FROM CALLABLES ORDER BY CALLNAME"));
  EXPECT_EQ(env.log.ErrorCount(), 1);
  EXPECT_EQ(restarts, 0);
}

// A clock that gives a usable time a few times and then none.
class TFailingClock final : public TClock {
 public:
  TFailingClock(TDateTime good, int goodReads) : good_(good), left_(goodReads) {}
  TDateTime Now() const override {
    return left_-- > 0 ? good_ : std::numeric_limits<double>::quiet_NaN();
  }

 private:
  TDateTime good_;
  mutable int left_;
};

TEST_F(CallListTest, NoDateTextStopsLoadingAndRestarts) {
  InsertCallLog(1, 7, 3, Dec(9, 8, 0, 0));
  TFailingClock clock(Dec(9, 12, 0, 0), 2);
  TCallService broken(db, env.log, clock, [this] { return connections; }, [this] { ++restarts; },
                      nullptr);
  const size_t entriesBefore = env.sink->Entries().size();
  broken.FillCallList();
  EXPECT_EQ(restarts, 1);
  // The two resources read before stay, with their calls; the third is dropped.
  EXPECT_EQ(Names(broken.CallList()), (std::vector<std::string>{"Avbryt", "Doktor A"}));
  EXPECT_EQ(broken.FindCallObject(3)->CurrentCallList.size(), 1u);
  EXPECT_EQ(env.sink->Entries().size(), entriesBefore);
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

}  // namespace
}  // namespace tavo::test
