// Calls while the database is down: carried out in memory and broadcast as usual, kept in the
// journal, and written to CALLLOG in order once the journal is written, the calls opened
// meanwhile taking their numbers then.
#include <gtest/gtest.h>

#include <thread>

#include "CallsFixture.h"
#include "ManualTimer.h"
#include "database/OutageJournal.h"

namespace tavo::test {
namespace {

class CallsOutageTest : public CallsTest {
 protected:
  CallsOutageTest() { service.CallLog().SetJournal(&journal); }
  TOutageJournal journal{env.dir / "TAVO.journal", env.log};
};

TEST_F(CallsOutageTest, CallsAnswersAndConfirmationsGoOnAndReachTheCallLogInOrder) {
  auto rum3 = SignOn("RUM3", 0);
  auto rum5 = SignOn("RUM5", 0);
  auto exp = SignOn("EXP", 0);
  auto display = SignOn("VISNING1", 1);
  Calling(rum3, 3);  // before the outage: row 1
  for (auto& s : {rum3, rum5, exp, display}) Take(s);

  db.GoDown();
  At(10, 20, 0);
  Calling(rum5, 3);  // opened while down: kept
  EXPECT_NE(Take(display).find(W("Rum 5~15~2026-12-09 10:20:00~255~0~")), std::string::npos);
  const std::string rum5List = Take(rum5);
  EXPECT_NE(rum5List.find(W("~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:20:00~")),
            std::string::npos)
      << rum5List;
  At(10, 21, 0);
  Coming(exp, 3, 15);  // answers the kept call
  EXPECT_NE(Take(display).find(W("Rum 5~15~2026-12-09 10:20:00~255~4~2026-12-09 10:21:00~Exp~")),
            std::string::npos);
  At(10, 22, 0);
  Calling(rum3, 3);  // confirms the call opened before the outage
  At(10, 23, 0);
  Calling(rum5, 6);  // an SMS resource: its SMS is kept in memory, without a number yet
  ASSERT_EQ(outbox.Pending().size(), 1u);
  EXPECT_EQ(outbox.Pending()[0].Request.CallLogLopnr, 0);
  EXPECT_EQ(outbox.Pending()[0].Lopnr, 0);

  for (auto& s : {rum3, rum5, exp, display})
    EXPECT_EQ(Take(s).find("ERROR"), std::string::npos);
  EXPECT_EQ(env.log.ErrorCount(), 0);
  EXPECT_FALSE(Logged("Error in"));
  EXPECT_EQ(journal.Size(), 4u);
  EXPECT_EQ(CallLog()->RecordCount(), 1u);
  const auto& calls = service.FindCallObject(3)->CurrentCallList;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->CallLogLopnr, 0);
  EXPECT_NE(calls[0]->CallLogKey, 0u);

  db.Heal();
  EXPECT_EQ(service.CallLog().WriteJournal(), 4u);
  EXPECT_TRUE(journal.Empty());
  EXPECT_EQ(ReadFile(journal.File()), "");
  auto log = CallLog();
  ASSERT_EQ(log->RecordCount(), 3u);
  // Row 1: opened before, confirmed during the outage.
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 7);
  EXPECT_EQ(FormatIsoMillis(log->AsDateTime("CONFIRMTSTAMP")), "2026-12-09 10:22:00.000");
  log->Next();  // row 2: Rum 5's call, answered by Exp, numbered in the order of the outage
  EXPECT_EQ(log->AsInteger("LOPNR"), 2);
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 15);
  EXPECT_EQ(FormatIsoMillis(log->AsDateTime("CALLTSTAMP")), "2026-12-09 10:20:00.000");
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 4);
  EXPECT_TRUE(log->IsNull("CONFIRMTSTAMP"));
  log->Next();
  EXPECT_EQ(log->AsInteger("LOPNR"), 3);
  EXPECT_EQ(log->AsInteger("CALLABLESLOPNR"), 6);
  EXPECT_TRUE(log->AsBoolean("SMSSENT"));
  // The open calls took their numbers; the SMS took its call's, and its row came with it.
  EXPECT_EQ(calls[0]->CallLogLopnr, 2);
  EXPECT_EQ(calls[0]->CallLogKey, 0u);
  ASSERT_EQ(outbox.Pending().size(), 1u);
  EXPECT_EQ(outbox.Pending()[0].Request.CallLogLopnr, 3);
  auto sms = SmsRows();
  ASSERT_EQ(sms->RecordCount(), 1u);
  EXPECT_EQ(sms->AsInteger("CALLLOGLOPNR"), 3);
  EXPECT_EQ(sms->AsString("STATE"), "queued");
  EXPECT_EQ(outbox.Pending()[0].Lopnr, sms->AsInteger("LOPNR"));

  // From now on the call is confirmed in its row directly.
  At(10, 30, 0);
  Calling(rum5, 3);
  log = CallLog();
  log->Next();
  EXPECT_EQ(FormatIsoMillis(log->AsDateTime("CONFIRMTSTAMP")), "2026-12-09 10:30:00.000");
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

// A confirmation that comes while the replay has not yet run names the call by its key; one
// that comes after the journal was written finds the number the replay gave it.
TEST_F(CallsOutageTest, KeptCallIsFoundByItsKeyBeforeAndByItsNumberAfterTheReplay) {
  auto rum3 = SignOn("RUM3", 0);
  db.GoDown();
  Calling(rum3, 3);
  TCaller copy = *service.FindCallObject(3)->CurrentCallList[0];  // a holder of the old name
  db.Heal();
  service.CallLog().WriteJournal();
  TCallLogRef byKey;
  byKey.Key = copy.CallLogKey;
  EXPECT_TRUE(service.EditCallLoggPost(byKey, TCallLogEdit::Coming, 4, env.clock.Now()));
  auto log = CallLog();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 4);
}

// After a kill during an outage the new process writes the journal before it loads its calls:
// the SMS it no longer holds is queued again once they are loaded, if the call is still open,
// with the call's number.
TEST_F(CallsOutageTest, SmsOfACallWrittenBeforeTheCallsAreLoadedIsQueuedOnceTheyAre) {
  auto rum5 = SignOn("RUM5", 0);
  db.GoDown();
  Calling(rum5, 6);
  db.Heal();
  // A new process: its own outbox and calls, the same database and journal.
  TSmsOutbox freshOutbox{db, env.log, env.clock, env.registry, nullptr};
  TCallService fresh{db, env.log, env.clock, [this] { return connections; }, [] {}, &freshOutbox};
  fresh.CallLog().SetJournal(&journal);
  fresh.CallLog().WriteJournal();
  freshOutbox.Open();
  EXPECT_TRUE(freshOutbox.Pending().empty());
  fresh.FillCallList();
  ASSERT_EQ(freshOutbox.Pending().size(), 1u);
  EXPECT_EQ(freshOutbox.Pending()[0].Request.CallLogLopnr, 1);
  EXPECT_EQ(freshOutbox.Pending()[0].Request.CallerName, "Rum 5");
  fresh.FillCallList();  // queued once only
  EXPECT_EQ(freshOutbox.Pending().size(), 1u);
  EXPECT_EQ(SmsRows()->RecordCount(), 1u);
}

// During the outage the SMS goes from memory (without the call's number, which the call does
// not have yet); once the database is back its row is written with the call's, as it ended.
TEST_F(CallsOutageTest, SmsOfAKeptCallIsSentFromMemoryAndItsRowFollowsTheCall) {
  std::vector<TSmsJob> jobs;
  outbox.Start(
      [&](const TSmsJob& job, const std::atomic<bool>&) {
        jobs.push_back(job);
        return TSmsAttemptResult{TSmsOutcome::Sent, "", {}};
      },
      std::make_unique<TManualTimer>(),
      // The main loop: what the test thread posts runs at once, the workers' results are taken
      // by the test below.
      [main = std::this_thread::get_id()](std::function<void()> f) {
        if (std::this_thread::get_id() == main) f();
      });
  auto rum5 = SignOn("RUM5", 0);
  db.GoDown();
  At(10, 20, 0);
  Calling(rum5, 6);
  outbox.Tick();
  EXPECT_TRUE(jobs.empty());  // a few seconds for the number first
  At(10, 20, 5);
  outbox.Tick();
  for (int i = 0; i < 300 && !outbox.Pending().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    outbox.TakeResults();
  }
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].Call.lopnr, 0);
  EXPECT_EQ(jobs[0].Call.CallerName, "Rum 5");
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_EQ(SmsRows()->RecordCount(), 0u);

  At(10, 21, 0);
  db.Heal();
  service.CallLog().WriteJournal();
  auto sms = SmsRows();
  ASSERT_EQ(sms->RecordCount(), 1u);
  EXPECT_EQ(sms->AsInteger("CALLLOGLOPNR"), CallLog()->AsInteger("LOPNR"));
  EXPECT_EQ(sms->AsString("STATE"), "sent");
  EXPECT_EQ(sms->AsInteger("ATTEMPTS"), 1);
  EXPECT_EQ(FormatIsoMillis(sms->AsDateTime("QUEUEDTSTAMP")), "2026-12-09 10:20:00.000");
  EXPECT_EQ(FormatIsoMillis(sms->AsDateTime("FINISHEDTSTAMP")), "2026-12-09 10:20:05.000");
  outbox.Stop(std::chrono::seconds(5));
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

// A kept call answered during the outage cancels its SMS, which is then never sent.
TEST_F(CallsOutageTest, AnswerOfAKeptCallCancelsItsSms) {
  auto rum5 = SignOn("RUM5", 0);
  auto exp = SignOn("EXP", 0);
  db.GoDown();
  Calling(rum5, 6);
  ASSERT_EQ(outbox.Pending().size(), 1u);
  Coming(exp, 6, 15);
  EXPECT_TRUE(outbox.Pending().empty());
  db.Heal();
  service.CallLog().WriteJournal();
  auto sms = SmsRows();
  ASSERT_EQ(sms->RecordCount(), 1u);
  EXPECT_EQ(sms->AsString("STATE"), "cancelled");
  EXPECT_EQ(sms->AsInteger("ATTEMPTS"), 0);
}

// The station lists come from what was last read while the database is down, also where the
// backend keeps nothing between reads.
TEST_F(CallsOutageTest, ListsAreServedAsLastReadWhileDown) {
  auto rum3 = SignOn("RUM3", 0);
  auto display = SignOn("VISNING1", 1);
  Take(rum3);
  Take(display);
  // Added through an administration command after the call list was loaded.
  sqlite.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                 "VALUES (16, 'NY', 'Ny', 0, 0)");
  List(16, 5, 1);
  service.DatabaseChanged();
  db.GoDown();
  Send(rum3, "¤GETCALLLIST:RUM3:0:GETCALLLIST¤");  // its list again, as last read
  EXPECT_NE(Take(rum3).find(W("~Doktor A~3~Doktor Alfa~255~0~0~")), std::string::npos);
  Calling(rum3, 3);
  const std::string list = Take(rum3);
  EXPECT_NE(list.find(W("~Doktor A~3~Doktor Alfa~255~0~-1~")), std::string::npos) << list;
  EXPECT_NE(list.find(W("~Avbryt~9~Avbryt~0~-1~0~")), std::string::npos) << list;
  // The cancel resource stays hidden from the displays.
  const std::string shown = Take(display);
  EXPECT_NE(shown.find(W("Doktor A:3:")), std::string::npos);
  EXPECT_EQ(shown.find(W("Avbryt:9:")), std::string::npos);
  // The station's connection drops and comes again: it signs on as it did, its call open.
  Disconnect(rum3);
  auto again = SignOn("RUM3", 0);
  const std::string signOn = Take(again);
  EXPECT_NE(signOn.find(W("TAVOCLIENTDATA:RUM3:Rum 3:65280:7")), std::string::npos) << signOn;
  EXPECT_NE(signOn.find(W("~Doktor A~3~Doktor Alfa~255~0~-1~")), std::string::npos) << signOn;
  // A station that has not signed on since the call list was loaded signs on with what the
  // database held then; a name of no station there gets no answer until the database is back.
  auto exp = SignOn("EXP", 0);
  const std::string expSignOn = Take(exp);
  EXPECT_NE(expSignOn.find(W("TAVOCLIENTDATA:EXP:Exp:16711680:")), std::string::npos) << expSignOn;
  EXPECT_NE(expSignOn.find(W("~Doktor A~3~Doktor Alfa~255~0~0~")), std::string::npos) << expSignOn;
  EXPECT_NE(expSignOn.find(W("~Doktor B~5~Doktor Beta~0~0~0~")), std::string::npos) << expSignOn;
  auto added = SignOn("NY", 0);
  const std::string addedSignOn = Take(added);
  EXPECT_NE(addedSignOn.find(W("TAVOCLIENTDATA:NY:Ny:0:")), std::string::npos) << addedSignOn;
  EXPECT_NE(addedSignOn.find(W("~Doktor B~5~Doktor Beta~0~0~0~")), std::string::npos) << addedSignOn;
  auto stranger = SignOn("NOBODY", 0);
  EXPECT_EQ(Take(stranger), "");
  EXPECT_EQ(env.log.ErrorCount(), 0);
  EXPECT_FALSE(Logged("Error in"));
}

}  // namespace
}  // namespace tavo::test
