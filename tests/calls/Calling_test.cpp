// CALLING and COMING: the call log rows, the broadcasts that follow, the SMS kept with a call
// and cancelled by its answer, and the failure replies.
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "CallsFixture.h"
#include "ManualTimer.h"

namespace tavo::test {
namespace {

using CallingTest = CallsTest;

const std::string kRum3ListOpen =
    "¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~~1899-12-30~0~"
    "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤";
const std::string kRum3ListAnswered =
    "¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~Exp~2026-12-09 10:16:40~4~"
    "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤";
const std::string kRum3ListIdle =
    "¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
    "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤";
const std::string kDisplay1Open =
    "¤CURRENTLIST:Doktor A:3:255:1:¤%Rum 3~7~2026-12-09 10:15:02~65280~0~1899-12-30~~%¤:"
    "Doktor B:5:0:2:¤%%¤:CURRENTLIST¤";
const std::string kDisplay1Answered =
    "¤CURRENTLIST:Doktor A:3:255:1:¤%Rum 3~7~2026-12-09 10:15:02~65280~4~2026-12-09 10:16:40~Exp~"
    "%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤";
const std::string kDisplay1Idle =
    "¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤";

TEST_F(CallingTest, RoadOfOneCall) {
  auto rum3 = SignOn("RUM3", 0);
  auto display = SignOn("VISNING1", 1);
  auto lineDisplay = SignOn("VISNING2", 1, true);
  auto exp = SignOn("EXP", 0);
  for (auto& s : {rum3, display, lineDisplay, exp}) Take(s);

  // Open: one CALLLOG row, every display its rendering, the caller its list.
  Calling(rum3, 3);
  auto log = CallLog();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(log->AsInteger("LOPNR"), 1);
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 7);
  EXPECT_EQ(log->AsInteger("CALLABLESLOPNR"), 3);
  EXPECT_FALSE(log->AsBoolean("SMSSENT"));
  EXPECT_EQ(DateTimeToStr(log->AsDateTime("CALLTSTAMP")), "2026-12-09 10:15:02");
  EXPECT_TRUE(log->IsNull("COMINGTSTAMP"));
  EXPECT_TRUE(log->IsNull("CONFIRMTSTAMP"));
  EXPECT_EQ(Take(display), Framed(kDisplay1Open));
  // The same resource part at this display's own positions.
  EXPECT_EQ(Take(lineDisplay),
            Line("¤CURRENTLIST:Doktor A:3:255:4:¤%Rum 3~7~2026-12-09 10:15:02~65280~0~"
                 "1899-12-30~~%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Take(rum3), Framed(kRum3ListOpen));
  EXPECT_EQ(Take(exp), "");

  // Answer: the row gets the answer, every connection listing the resource a fresh list.
  At(10, 16, 40);
  Coming(exp, 3, 7);
  log = CallLog();
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 4);
  EXPECT_EQ(DateTimeToStr(log->AsDateTime("COMINGTSTAMP")), "2026-12-09 10:16:40");
  EXPECT_TRUE(log->IsNull("CONFIRMTSTAMP"));
  EXPECT_EQ(Take(rum3), Framed(kRum3ListAnswered));
  EXPECT_EQ(Take(display), Framed(kDisplay1Answered));
  EXPECT_NE(Take(lineDisplay).find(W("~4~2026-12-09 10:16:40~Exp~%¤:")), std::string::npos);
  EXPECT_EQ(Take(exp),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                   "Doktor B~5~Doktor Beta~0~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));

  // Confirm: the row is closed, the call leaves memory and the displays.
  At(10, 20, 0);
  Calling(rum3, 3);
  log = CallLog();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(DateTimeToStr(log->AsDateTime("CONFIRMTSTAMP")), "2026-12-09 10:20:00");
  EXPECT_TRUE(service.FindCallObject(3)->CurrentCallList.empty());
  EXPECT_EQ(Take(display), Framed(kDisplay1Idle));
  EXPECT_EQ(Take(rum3), Framed(kRum3ListIdle));
  EXPECT_EQ(Take(exp), "");
  EXPECT_EQ(SmsRows()->RecordCount(), 0u);
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(CallingTest, ComingReachesOnlyConnectionsListingTheResource) {
  auto rum3 = SignOn("RUM3", 0);
  auto display1 = SignOn("VISNING1", 1);  // lists 3
  auto display3 = SignOn("VISNING3", 1);  // lists only 5
  auto exp = SignOn("EXP", 0);
  auto rum5 = SignOn("RUM5", 0);          // lists 3
  auto tom = SignOn("TOM", 0);            // lists nothing
  for (auto& s : {rum3, display1, display3, exp, rum5, tom}) Take(s);
  Calling(rum3, 3);
  // A call reaches every display, also one that does not list the resource.
  EXPECT_EQ(Take(display3), Framed("¤CURRENTLIST:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  for (auto& s : {rum3, display1, exp, rum5, tom}) Take(s);

  Coming(exp, 3, 7);
  EXPECT_NE(Take(rum3), "");
  EXPECT_NE(Take(display1), "");
  EXPECT_NE(Take(exp), "");
  EXPECT_NE(Take(rum5), "");
  EXPECT_EQ(Take(display3), "");
  EXPECT_EQ(Take(tom), "");

  // An answer for a station without an open call changes nothing and replies nothing.
  Coming(exp, 3, 15);
  Coming(exp, 5, 7);
  for (auto& s : {rum3, display1, display3, exp, rum5, tom}) EXPECT_EQ(Take(s), "");
  EXPECT_EQ(CallLog()->AsInteger("COMINGLOPNR"), 4);
}

TEST_F(CallingTest, TwoStationsCallTheSameResourceOldestFirst) {
  auto rum3 = SignOn("RUM3", 0);
  auto rum5 = SignOn("RUM5", 0);
  auto display = SignOn("VISNING1", 1);
  for (auto& s : {rum3, rum5, display}) Take(s);
  Calling(rum3, 3);
  At(10, 15, 30);
  Calling(rum5, 3);
  Take(rum3);
  EXPECT_EQ(Take(display).substr(Framed(kDisplay1Open).size()),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%Rum 3~7~2026-12-09 10:15:02~65280~0~"
                   "1899-12-30~~Rum 5~15~2026-12-09 10:15:30~255~0~1899-12-30~~%¤:"
                   "Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  // Each station's list shows its own call only; closing one leaves the other.
  Calling(rum3, 3);
  EXPECT_EQ(Take(rum3), Framed(kRum3ListIdle));
  EXPECT_NE(Take(rum5).find(W("~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:30~")),
            std::string::npos);
  const auto& calls = service.FindCallObject(3)->CurrentCallList;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->CallerLopnr, 15);
  EXPECT_EQ(calls[0]->CallLogLopnr, 2);
  auto log = CallLog();
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
  log->Next();
  EXPECT_TRUE(log->IsNull("CONFIRMTSTAMP"));
}

TEST_F(CallingTest, StationWithTwoConnectionsBothGetTheList) {
  auto first = SignOn("RUM3", 0);
  auto second = SignOn("RUM3", 0, true);
  auto other = SignOn("RUM5", 0);
  for (auto& s : {first, second, other}) Take(s);
  Calling(first, 3);
  // The broadcast passes on the line mode of the message; each record keeps its own framing.
  EXPECT_EQ(Take(first), Framed(kRum3ListOpen));
  EXPECT_EQ(Take(second), Line(kRum3ListOpen));
  EXPECT_EQ(Take(other), "");
  // The other connection closes the same call: it is the same station.
  Calling(second, 3, true);
  EXPECT_EQ(Take(first), Framed(kRum3ListIdle));
  EXPECT_EQ(Take(second), Line(kRum3ListIdle));
  EXPECT_TRUE(service.FindCallObject(3)->CurrentCallList.empty());
}

TEST_F(CallingTest, CallingWithoutSignOnOrForNoResourceDoesNothing) {
  auto stranger = Connect();
  auto display = SignOn("VISNING1", 1);
  auto rum3 = SignOn("RUM3", 0);
  Take(display);
  Take(rum3);
  Calling(stranger, 3);
  Calling(rum3, 42);
  Coming(stranger, 3, 7);
  EXPECT_EQ(Take(stranger), "");
  EXPECT_EQ(Take(display), "");
  EXPECT_EQ(Take(rum3), "");
  EXPECT_EQ(CallLog()->RecordCount(), 0u);
}

TEST_F(CallingTest, NumberFieldThatIsNoNumberAbandonsTheMessage) {
  auto rum3 = SignOn("RUM3", 0);
  Take(rum3);
  // The GETCALLLIST of the same message is never reached.
  Send(rum3, "¤CALLING:tre:CALLING¤¤GETCALLLIST:RUM3:0:GETCALLLIST¤");
  EXPECT_EQ(Take(rum3), "");
  EXPECT_TRUE(Logged("Error in DataRead: 'tre' is not a valid integer value"));
  Send(rum3, "¤COMING:3:x:COMING¤");
  EXPECT_TRUE(Logged("Error in DataRead: 'x' is not a valid integer value"));
  EXPECT_EQ(CallLog()->RecordCount(), 0u);
}

TEST_F(CallingTest, CallingIsHandledBeforeComingInOneMessage) {
  auto exp = SignOn("EXP", 0);
  // The COMING stands first, but the CALLING runs first and opens the call it answers.
  Send(exp, "¤COMING:3:4:COMING¤¤CALLING:3:CALLING¤");
  const auto& calls = service.FindCallObject(3)->CurrentCallList;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->CallerLopnr, 4);
  EXPECT_EQ(calls[0]->CallComingLopnr, 4);
  EXPECT_EQ(calls[0]->CallComingName, "Exp");
}

TEST_F(CallingTest, SmsResourceQueuesOneSmsPerNewCallAndAnAnswerCancelsIt) {
  auto rum5 = SignOn("RUM5", 0);
  Calling(rum5, 3);
  Calling(rum5, 6);
  auto row = SmsRows();
  ASSERT_EQ(row->RecordCount(), 1u);
  EXPECT_EQ(row->AsInteger("CALLLOGLOPNR"), 2);
  EXPECT_EQ(row->AsInteger("CALLABLESLOPNR"), 6);
  EXPECT_EQ(row->AsString("SMSNUMMER"), "070-1234567");
  EXPECT_EQ(row->AsString("CALLERNAME"), "Rum 5");
  EXPECT_EQ(row->AsString("CALLNAME"), "Sk\xF6terska");
  EXPECT_EQ(row->AsString("STATE"), "queued");
  EXPECT_EQ(DateTimeToStr(row->AsDateTime("QUEUEDTSTAMP")), "2026-12-09 10:15:02");
  auto log = CallLog();
  EXPECT_FALSE(log->AsBoolean("SMSSENT"));
  log->Next();
  EXPECT_EQ(log->AsInteger("CALLABLESLOPNR"), 6);
  EXPECT_TRUE(log->AsBoolean("SMSSENT"));
  // Someone is coming: the SMS is not sent any more. Closing queues nothing either.
  auto exp = SignOn("EXP", 0);
  At(10, 15, 30);
  Coming(exp, 6, 15);
  row = SmsRows();
  EXPECT_EQ(row->AsString("STATE"), "cancelled");
  EXPECT_EQ(DateTimeToStr(row->AsDateTime("FINISHEDTSTAMP")), "2026-12-09 10:15:30");
  EXPECT_TRUE(outbox.Pending().empty());
  Calling(rum5, 6);
  EXPECT_EQ(SmsRows()->RecordCount(), 1u);
  // A new call queues a new SMS, and its confirmation cancels it.
  Calling(rum5, 6);
  ASSERT_EQ(outbox.Pending().size(), 1u);
  EXPECT_EQ(outbox.Pending()[0].Request.CallLogLopnr, 3);
  Calling(rum5, 6);
  row = SmsRows();
  row->Next();
  EXPECT_EQ(row->AsInteger("CALLLOGLOPNR"), 3);
  EXPECT_EQ(row->AsString("STATE"), "cancelled");
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(CallingTest, AnSmsThatCannotBeKeptTakesItsCallLogRowWithIt) {
  auto rum5 = SignOn("RUM5", 0);
  db.FailOn("INSERT INTO SMSOUTBOX");
  Calling(rum5, 6);
  db.Heal();
  EXPECT_TRUE(Logged("Error in AddCallLoggPost: injected failure"));
  EXPECT_EQ(CallLog()->RecordCount(), 0u);
  EXPECT_EQ(SmsRows()->RecordCount(), 0u);
  EXPECT_TRUE(outbox.Pending().empty());
  // The station's call stands in memory, as any call whose row failed.
  ASSERT_EQ(service.FindCallObject(6)->CurrentCallList.size(), 1u);
  EXPECT_EQ(service.FindCallObject(6)->CurrentCallList[0]->CallLogLopnr, -1);
}

TEST_F(CallingTest, Error002WhenTheLogCannotBeEdited) {
  for (bool lineMode : {false, true}) {
    SCOPED_TRACE(lineMode);
    connections.clear();
    auto rum3 = SignOn("RUM3", 0, lineMode);
    auto exp = SignOn("EXP", 0, lineMode);
    auto display = SignOn("VISNING1", 1, lineMode);
    Calling(rum3, 3, lineMode);
    for (auto& s : {rum3, exp, display}) Take(s);
    const std::string msg =
        "ERROR: 002 Det gick inte att redigera kallelsen! Kontrollera felen på servern.";

    db.FailOn("UPDATE CALLLOG");
    // COMING: the answer stays in memory, nothing is broadcast.
    Coming(exp, 3, 7, lineMode);
    EXPECT_EQ(Take(exp), lineMode ? Line(msg) : Framed(msg));
    EXPECT_EQ(Take(rum3), "");
    EXPECT_EQ(Take(display), "");
    EXPECT_EQ(service.FindCallObject(3)->CurrentCallList[0]->CallComingLopnr, 4);
    // CALLING: the call stays open; the station still gets its list.
    Calling(rum3, 3, lineMode);
    const std::string list = Take(rum3);
    EXPECT_EQ(list.rfind(lineMode ? Line(msg) : Framed(msg), 0), 0u);
    EXPECT_NE(list.find(W("~Doktor A~3~Doktor Alfa~255~0~-1~")), std::string::npos);
    EXPECT_EQ(Take(display), "");
    EXPECT_EQ(service.FindCallObject(3)->CurrentCallList.size(), 1u);
    EXPECT_TRUE(Logged("Error in EditCallLoggPost: injected failure"));
    db.Heal();
    Calling(rum3, 3, lineMode);  // closes it for the next round
    EXPECT_TRUE(service.FindCallObject(3)->CurrentCallList.empty());
  }
  EXPECT_EQ(env.log.ErrorCount(), 4);
}

TEST_F(CallingTest, NoRunningNumberSkipsTheLogRowButOpensTheCall) {
  auto rum5 = SignOn("RUM5", 0);
  auto display = SignOn("VISNING1", 1);
  Take(display);
  db.FailOn("SELECT MAX(LOPNR)");
  Calling(rum5, 6);  // an SMS resource: no row, so no SMS either
  EXPECT_EQ(CallLog()->RecordCount(), 0u);
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_TRUE(Logged("Error in GetNextLopnr: injected failure"));
  EXPECT_TRUE(Logged("Error in AddCallLoggPost: "));
  EXPECT_EQ(env.log.ErrorCount(), 2);
  const auto& calls = service.FindCallObject(6)->CurrentCallList;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->CallLogLopnr, -1);
  EXPECT_NE(Take(rum5).find(W("~Sköterska~6~Sköterska Sms~128~0~-1~2026-12-09 10:15:02~")),
            std::string::npos);
  db.Heal();
  // The call can still be closed; nothing is written for it.
  Calling(rum5, 6);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(CallLog()->RecordCount(), 0u);
}

TEST_F(CallingTest, FailedInsertDoesNotLetTheCallEditAnotherCallsRow) {
  auto rum3 = SignOn("RUM3", 0);
  auto rum5 = SignOn("RUM5", 0);
  db.FailOn("INSERT INTO CALLLOG");
  Calling(rum3, 3);
  EXPECT_TRUE(Logged("Error in AddCallLoggPost: injected failure"));
  EXPECT_EQ(env.log.ErrorCount(), 1);
  db.Heal();
  Calling(rum5, 3);  // gets number 1, the number the failed insert did not take
  auto log = CallLog();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 15);
  // Closing Rum 3's unlogged call leaves Rum 5's row open.
  Calling(rum3, 3);
  EXPECT_TRUE(CallLog()->IsNull("CONFIRMTSTAMP"));
  ASSERT_EQ(service.FindCallObject(3)->CurrentCallList.size(), 1u);
  EXPECT_EQ(service.FindCallObject(3)->CurrentCallList[0]->CallerLopnr, 15);
}

TEST_F(CallingTest, NumberAndRowAndEachEditAreOneTransaction) {
  using TTrail = std::vector<std::string>;
  TCaller caller;
  caller.CallerLopnr = 7;
  db.Trail.clear();
  EXPECT_EQ(service.AddCallLoggPost(caller, *service.FindCallObject(3), env.clock.Now()), 1);
  EXPECT_EQ(db.Trail, (TTrail{"BEGIN", "SELECT", "INSERT", "COMMIT"}));
  for (auto kind : {TCallLogEdit::Coming, TCallLogEdit::Confirm}) {
    db.Trail.clear();
    EXPECT_TRUE(service.EditCallLoggPost(1, kind, 4, env.clock.Now()));
    EXPECT_EQ(db.Trail, (TTrail{"BEGIN", "SELECT", "UPDATE", "COMMIT"}));
  }
  // A row that is not there is no failure, and nothing is written.
  db.Trail.clear();
  EXPECT_TRUE(service.EditCallLoggPost(2, TCallLogEdit::Confirm, 0, env.clock.Now()));
  EXPECT_EQ(db.Trail, (TTrail{"BEGIN", "SELECT", "ROLLBACK"}));
  EXPECT_EQ(CallLog()->RecordCount(), 1u);
  // A call to an SMS resource writes its SMS in the same transaction.
  db.Trail.clear();
  EXPECT_EQ(service.AddCallLoggPost(caller, *service.FindCallObject(6), env.clock.Now()), 2);
  EXPECT_EQ(db.Trail, (TTrail{"BEGIN", "SELECT", "INSERT", "SELECT", "INSERT", "COMMIT"}));
  EXPECT_EQ(SmsRows()->AsInteger("CALLLOGLOPNR"), 2);
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

TEST_F(CallingTest, NewCallThatIsNotCommittedLeavesNoRowNoNumberAndNoSms) {
  const struct {
    const char* failOn;
    const char* logged;
    int counted;
  } cases[] = {
      {"SELECT MAX(LOPNR)", "Error in GetNextLopnr: injected failure", 2},
      {"INSERT INTO CALLLOG", "Error in AddCallLoggPost: injected failure", 1},
      {"COMMIT", "Error in AddCallLoggPost: injected failure", 1},
  };
  auto rum5 = SignOn("RUM5", 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failOn);
    env.sink->Clear();
    env.log.ResetErrorCount();
    db.FailOn(c.failOn);
    Calling(rum5, 6);  // an SMS resource
    db.Heal();
    EXPECT_TRUE(Logged(c.logged));
    EXPECT_EQ(env.log.ErrorCount(), c.counted);
    EXPECT_EQ(CallLog()->RecordCount(), 0u);
    EXPECT_EQ(SmsRows()->RecordCount(), 0u);
    EXPECT_TRUE(outbox.Pending().empty());
    const auto& calls = service.FindCallObject(6)->CurrentCallList;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]->CallLogLopnr, -1);
    Calling(rum5, 6);  // closed again; nothing is written for it
    EXPECT_TRUE(calls.empty());
  }
  // The number no failed call took is the next call's.
  Calling(rum5, 6);
  ASSERT_EQ(outbox.Pending().size(), 1u);
  EXPECT_EQ(outbox.Pending()[0].Request.CallLogLopnr, 1);
  EXPECT_EQ(CallLog()->AsInteger("LOPNR"), 1);
}

TEST_F(CallingTest, SmsIsSentOnlyOnceItsRowAndTheCallsAreCommitted) {
  // Another connection sees only committed rows; the worker looks through it.
  TSqliteDatabase other(env.dir / "tavo.sqlite");
  std::mutex mutex;
  std::condition_variable done;
  std::vector<size_t> rowsSeen;
  std::vector<std::function<void()>> posted;
  outbox.Start(
      [&](const TSmsJob& job, const std::atomic<bool>&) {
        std::lock_guard<std::mutex> lock(mutex);
        rowsSeen.push_back(
            other.Open("SELECT L.LOPNR FROM CALLLOG L, SMSOUTBOX O WHERE L.LOPNR = ? AND "
                       "O.CALLLOGLOPNR = L.LOPNR",
                       {SqlInt(job.Call.lopnr)})
                ->RecordCount());
        done.notify_all();
        return TSmsAttemptResult{TSmsOutcome::Sent, "", {}};
      },
      std::make_unique<TManualTimer>(),
      [&, main = std::this_thread::get_id()](std::function<void()> f) {
        if (std::this_thread::get_id() == main) return f();  // after the command, as the loop
        std::lock_guard<std::mutex> lock(mutex);
        posted.push_back(std::move(f));
        done.notify_all();
      });
  auto rum5 = SignOn("RUM5", 0);
  Calling(rum5, 6);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return !posted.empty(); }));
  }
  EXPECT_EQ(rowsSeen, std::vector<size_t>{1});
  posted.front()();  // on the main thread
  EXPECT_EQ(SmsRows()->AsString("STATE"), "sent");
  outbox.Stop(std::chrono::seconds(5));
}

TEST_F(CallingTest, FailedCommitOfAnEditRepliesError002AndLeavesTheRow) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  Calling(rum3, 3);
  Take(exp);
  db.FailOn("COMMIT");
  Coming(exp, 3, 7);
  EXPECT_EQ(Take(exp), Framed("ERROR: 002 Det gick inte att redigera kallelsen! Kontrollera felen "
                              "på servern."));
  db.Heal();
  EXPECT_TRUE(Logged("Error in EditCallLoggPost: injected failure"));
  EXPECT_TRUE(CallLog()->IsNull("COMINGLOPNR"));
}

// What was kept from the database is checked once per command, after the command's own
// commit and before the lists are built.
TEST_F(CallingTest, OneDataVersionCheckPerCommandAfterItsCommit) {
  db.PassDataVersion();
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  auto display = SignOn("VISNING1", 1);
  const struct {
    const char* name;
    std::function<void()> send;
    const char* failOn;
  } cases[] = {
      {"new call", [&] { Calling(rum3, 3); }, ""},
      {"answer", [&] { Coming(exp, 3, 7); }, ""},
      {"confirm that fails", [&] { Calling(rum3, 3); }, "UPDATE CALLLOG"},
      {"confirm", [&] { Calling(rum3, 3); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.failOn) db.FailOn(c.failOn);
    db.Trail.clear();
    c.send();
    db.Heal();
    const auto& trail = db.Trail;
    EXPECT_EQ(std::count(trail.begin(), trail.end(), "DATA_VERSION"), 1);
    const auto check = std::find(trail.begin(), trail.end(), "DATA_VERSION");
    const auto end = std::find_if(trail.begin(), trail.end(), [](const std::string& s) {
      return s == "COMMIT" || s == "ROLLBACK";
    });
    ASSERT_NE(end, trail.end());
    EXPECT_LT(end, check);
    EXPECT_NE(Take(rum3), "");
  }
  EXPECT_TRUE(service.FindCallObject(3)->CurrentCallList.empty());
}

}  // namespace
}  // namespace tavo::test

namespace tavo::test {
namespace {

// A client's content that fails is logged but not counted towards a restart; a failure of the
// database is counted as before. A client's field reaches the log cut to a bounded length.
TEST_F(CallsTest, OnlyTheServersOwnFailuresAreCounted) {
  const std::string longField(1000, 'x');
  struct Case {
    const char* name;
    std::string message;
    std::string failOn;
    int counted;
    std::string logged;
    bool signedOn = true;
  };
  const Case cases[] = {
      {"calling not a number", "¤CALLING:tre:CALLING¤", "", 0,
       "Error in DataRead: 'tre' is not a valid integer value"},
      {"coming not a number", "¤COMING:3:x:COMING¤", "", 0, "'x' is not a valid integer value"},
      {"long field quoted short", "¤CALLING:" + longField + ":CALLING¤", "", 0,
       "'" + longField.substr(0, 256) + "... (1000 characters)' is not a valid integer value"},
      {"call log insert fails", "¤CALLING:3:CALLING¤", "INSERT INTO CALLLOG", 1,
       "Error in AddCallLoggPost: injected failure"},
      {"sign-on query fails", "¤GETCALLLIST:EXP:0:GETCALLLIST¤", "FROM STATIONS", 1,
       "Error in SendClientList: injected failure", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = c.signedOn ? SignOn("RUM3", 0) : Connect();
    env.log.ResetErrorCount();
    if (!c.failOn.empty()) db.FailOn(c.failOn);
    Send(client, c.message);
    db.Heal();
    EXPECT_EQ(env.log.ErrorCount(), c.counted);
    EXPECT_TRUE(Logged(c.logged));
    EXPECT_FALSE(Logged(longField.substr(0, 257)));
  }
}

}  // namespace
}  // namespace tavo::test
