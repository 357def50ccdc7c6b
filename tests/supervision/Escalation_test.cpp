// Escalation of unanswered calls, made and answered through the real calling commands, with a
// clock the test moves and a queue that records each SMS: when steps are taken, what stops
// them, and what a restart in the middle does.
#include <gtest/gtest.h>

#include "calls/CallsFixture.h"
#include "supervision/Escalation.h"

namespace tavo::test {
namespace {

// Keeps what it is given in the transaction and counts it as queued once handed over.
class TRecordingQueue final : public TEscalationSmsQueue {
 public:
  THandOver Queue(const TEscalationSms& sms) override {
    if (fail) throw std::runtime_error("queue refused");
    return [this, sms] { queued.push_back(sms); };
  }
  void Cancel(int32_t callLogLopnr) noexcept override { cancelled.push_back(callLogLopnr); }

  std::vector<TEscalationSms> queued;
  std::vector<int32_t> cancelled;
  bool fail = false;
};

class EscalationTest : public CallsTest {
 protected:
  void SetUp() override {
    sqlite.Execute("UPDATE CALLABLES SET SMSNUMMER = '+46 70 555 00 05' WHERE LOPNR = 5");
    CallsTest::SetUp();
    service.SetCallChanged([this](const TCallObject&, const TCaller& c, TCallChange change) {
      if (change != TCallChange::Opened) escalation->CallSettled(c.CallLogLopnr);
    });
    escalation = Make();
    rum3 = SignOn("RUM3", 0);
    rum5 = SignOn("RUM5", 0);
    exp = SignOn("EXP", 0);
  }
  std::unique_ptr<TEscalation> Make() {
    auto e = std::make_unique<TEscalation>(
        db, env.log, env.clock, [this]() -> const TCallList& { return service.CallList(); }, queue);
    e->SetMetrics(&metrics);
    e->Load();
    return e;
  }
  int32_t Step(int resource, int after, int toResource, const std::string& toNumber, int repeat) {
    TEscalationStep s;
    s.ResourceLopnr = resource;
    s.AfterSeconds = after;
    s.ToResourceLopnr = toResource;
    s.ToNumber = toNumber;
    s.RepeatCount = repeat;
    const int32_t lopnr = escalation->Steps().Set(s);
    escalation->StepsChanged();
    return lopnr;
  }
  void Pass(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      env.clock.Advance(1);
      escalation->Tick();
    }
  }
  std::vector<std::string> Entries(const std::string& part) const {
    std::vector<std::string> out;
    for (auto& e : env.sink->Entries())
      if (e.Message.find(part) != std::string::npos) out.push_back(e.Message);
    return out;
  }
  size_t Rows() { return sqlite.Open("SELECT * FROM ESCALATIONLOG")->RecordCount(); }

  TRecordingQueue queue;
  TMetrics metrics;
  std::unique_ptr<TEscalation> escalation;
  std::shared_ptr<TFakeSocket> rum3, rum5, exp;
};

TEST_F(EscalationTest, UnansweredCallGoesToTheTargetsNumberAndRepeatsThenStops) {
  const int32_t step = Step(3, 60, 5, "", 2);
  Calling(rum3, 3);
  escalation->Tick();
  Pass(59);
  EXPECT_TRUE(queue.queued.empty());
  Pass(1);
  ASSERT_EQ(queue.queued.size(), 1u);
  const TEscalationSms& sms = queue.queued[0];
  EXPECT_EQ(sms.CallLogLopnr, 1);
  EXPECT_EQ(sms.CallerName, "Rum 3");
  EXPECT_EQ(sms.CallName, "Doktor A");
  EXPECT_EQ(sms.Number, "+46 70 555 00 05");
  EXPECT_EQ(Entries("Escalation of call"),
            (std::vector<std::string>{"Escalation of call 1 (Rum 3 calling Doktor A), unanswered "
                                      "for 60 s: SMS to Doktor B at +46 70 555 00 05 (1 of 3)"}));
  auto row = sqlite.Open("SELECT * FROM ESCALATIONLOG");
  ASSERT_EQ(row->RecordCount(), 1u);
  EXPECT_EQ(row->AsInteger("CALLLOGLOPNR"), 1);
  EXPECT_EQ(row->AsInteger("ESCALATIONLOPNR"), step);
  EXPECT_EQ(row->AsInteger("REPEATNO"), 0);
  EXPECT_EQ(row->AsString("SMSNUMMER"), "+46 70 555 00 05");
  EXPECT_EQ(row->AsInteger("WAITSECONDS"), 60);

  Pass(59);
  EXPECT_EQ(queue.queued.size(), 1u);
  Pass(1);
  EXPECT_EQ(queue.queued.size(), 2u);
  Pass(60);
  EXPECT_EQ(queue.queued.size(), 3u);
  EXPECT_EQ(Entries("(3 of 3)").size(), 1u);
  Pass(600);
  EXPECT_EQ(queue.queued.size(), 3u);
  EXPECT_EQ(Rows(), 3u);
  EXPECT_EQ(metrics.Escalations.load(), 3u);
  EXPECT_DOUBLE_EQ(escalation->OldestUnansweredSeconds(), 780);
  auto escalated = escalation->EscalatedCalls();
  ASSERT_EQ(escalated.size(), 1u);
  EXPECT_EQ(escalated[0].StationLopnr, 7);
  EXPECT_EQ(escalated[0].StepsTaken, 3);
}

TEST_F(EscalationTest, AnAnswerBeforeTheTimeSendsNothingAndOneBetweenRepeatsStopsTheRest) {
  Step(3, 60, 0, "+46701112233", 3);
  Calling(rum3, 3);
  escalation->Tick();
  Pass(30);
  Coming(exp, 3, 7);
  Pass(300);
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_TRUE(queue.cancelled.empty());
  EXPECT_DOUBLE_EQ(escalation->OldestUnansweredSeconds(), 0);

  Calling(rum5, 3);  // call 2
  escalation->Tick();
  Pass(60);
  ASSERT_EQ(queue.queued.size(), 1u);
  EXPECT_EQ(queue.queued[0].Number, "+46701112233");
  Pass(30);
  // The answer stops it at once, and drops what is still queued for the call.
  Coming(exp, 3, 15);
  EXPECT_EQ(queue.cancelled, std::vector<int32_t>{2});
  Pass(600);
  EXPECT_EQ(queue.queued.size(), 1u);
  // Still shown as escalated while the call is open.
  EXPECT_EQ(escalation->EscalatedCalls().size(), 1u);
  Calling(rum5, 3);  // confirmed: gone
  escalation->Tick();
  EXPECT_TRUE(escalation->EscalatedCalls().empty());
}

TEST_F(EscalationTest, AConfirmationBetweenRepeatsStopsTheRest) {
  Step(3, 10, 5, "", 5);
  Calling(rum3, 3);
  escalation->Tick();
  Pass(25);
  EXPECT_EQ(queue.queued.size(), 2u);
  Calling(rum3, 3);
  EXPECT_EQ(queue.cancelled, std::vector<int32_t>{1});
  Pass(100);
  EXPECT_EQ(queue.queued.size(), 2u);
}

TEST_F(EscalationTest, RestartNeitherRepeatsATakenStepNorLosesADueOne) {
  Step(3, 60, 5, "", 2);
  Calling(rum3, 3);
  escalation->Tick();
  Pass(70);
  ASSERT_EQ(queue.queued.size(), 1u);

  // The server is away for a minute: the call comes back from the call log with its call
  // time, the steps taken from their rows, and the repeat that fell due meanwhile is taken.
  env.clock.Advance(60);
  service.FillCallList();
  escalation = Make();
  escalation->Tick();
  ASSERT_EQ(queue.queued.size(), 2u);
  EXPECT_EQ(Entries("unanswered for 130 s").size(), 1u);
  EXPECT_EQ(escalation->EscalatedCalls()[0].StepsTaken, 2);
  Pass(50);
  EXPECT_EQ(queue.queued.size(), 3u);
  Pass(300);
  EXPECT_EQ(queue.queued.size(), 3u);
  EXPECT_EQ(Rows(), 3u);
}

TEST_F(EscalationTest, AfterALongAbsenceOnlyTheLatestDueRepeatIsSent) {
  Step(3, 60, 5, "", 4);
  Calling(rum3, 3);
  escalation->Tick();
  Pass(61);
  env.clock.Advance(200);  // repeats 2 to 4 fell due while away
  service.FillCallList();
  escalation = Make();
  escalation->Tick();
  ASSERT_EQ(queue.queued.size(), 2u);
  EXPECT_EQ(Entries("(4 of 5)").size(), 1u);
  Pass(60);
  EXPECT_EQ(queue.queued.size(), 3u);
  EXPECT_EQ(Entries("(5 of 5)").size(), 1u);
}

TEST_F(EscalationTest, WallClockJumpsTakeNoStep) {
  Step(3, 60, 5, "", 0);
  Calling(rum3, 3);
  escalation->Tick();
  env.clock.Set(env.clock.Now() + 1.0 / 24);
  escalation->Tick();
  Pass(30);
  EXPECT_TRUE(queue.queued.empty());
  Pass(30);
  EXPECT_EQ(queue.queued.size(), 1u);
}

TEST_F(EscalationTest, TargetWithoutAValidNumberIsLoggedOnceAndNothingSent) {
  // Doktor A's number, 070-1234567, is no SMS number.
  Step(5, 20, 3, "", 0);
  Calling(exp, 5);
  escalation->Tick();
  Pass(40);
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_EQ(Entries("no SMS, Doktor A has no valid SMS number").size(), 1u);
  EXPECT_EQ(Rows(), 1u);
}

TEST_F(EscalationTest, CallsToTheCancelResourceAndOtherResourcesDoNotEscalate) {
  Step(3, 10, 5, "", 0);
  Step(9, 10, 5, "", 0);
  Calling(rum3, 9);
  Calling(exp, 5);
  escalation->Tick();
  Pass(30);
  EXPECT_TRUE(queue.queued.empty());
  // The cancel resource's call waits for nobody; Doktor B's does, without a step.
  EXPECT_DOUBLE_EQ(escalation->OldestUnansweredSeconds(), 30);
}

TEST_F(EscalationTest, ACallWithoutItsRowCountsAsWaitingButHasNoStepToRecord) {
  Step(3, 10, 5, "", 0);
  db.FailOn("INSERT INTO CALLLOG");
  Calling(rum3, 3);
  ASSERT_LE(service.FindCallObject(3)->CurrentCallList.at(0)->CallLogLopnr, 0);
  escalation->Tick();
  Pass(30);
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_NEAR(escalation->OldestUnansweredSeconds(), 30, 0.01);  // from the wall clock
}

TEST_F(EscalationTest, StepThatCannotBeRecordedIsTriedAgainAndOneTakenElsewhereIsNotSent) {
  const int32_t step = Step(3, 30, 5, "", 1);
  Calling(rum3, 3);
  escalation->Tick();
  queue.fail = true;
  Pass(30);
  EXPECT_EQ(Entries("could not be recorded and is tried again every 10 s: queue refused").size(), 1u);
  EXPECT_EQ(Rows(), 0u);  // the row went with the refused SMS
  queue.fail = false;
  Pass(5);
  EXPECT_TRUE(queue.queued.empty());  // not before the pause is over
  Pass(5);
  EXPECT_EQ(queue.queued.size(), 1u);

  // Another server of the same database took the repeat first: its row stands, ours is refused.
  sqlite.Execute(
      "INSERT INTO ESCALATIONLOG (CALLLOGLOPNR, ESCALATIONLOPNR, REPEATNO, SMSNUMMER, STEPTSTAMP, "
      "WAITSECONDS) VALUES (1, ?, 1, NULL, ?, 60)",
      {SqlInt(step), SqlDateTime(env.clock.Now())});
  Pass(20);
  EXPECT_EQ(queue.queued.size(), 1u);
  EXPECT_EQ(Rows(), 2u);
  EXPECT_EQ(Entries("unanswered for").size(), 1u);
}

TEST_F(EscalationTest, AStepWhoseCommitFailsSendsNothingAndIsTakenLater) {
  Step(3, 30, 5, "", 0);
  Calling(rum3, 3);
  escalation->Tick();
  db.FailOn("COMMIT");
  Pass(30);
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_EQ(Rows(), 0u);
  db.Heal();
  Pass(10);
  EXPECT_EQ(queue.queued.size(), 1u);
  EXPECT_EQ(Rows(), 1u);
}

TEST_F(EscalationTest, StepsStoreChangesTheStepToTheSameTargetAndRemovesByTarget) {
  TEscalationSteps& store = escalation->Steps();
  const int32_t a = Step(3, 60, 5, "", 0);
  const int32_t b = Step(3, 120, 0, "+4670", 1);
  EXPECT_EQ(Step(3, 90, 5, "", 2), a);
  auto steps = store.ReadAll();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].Lopnr, a);
  EXPECT_EQ(steps[0].AfterSeconds, 90);
  EXPECT_EQ(steps[0].RepeatCount, 2);
  TEscalationStep byNumber;
  byNumber.ResourceLopnr = 3;
  byNumber.ToNumber = "+4670";
  EXPECT_EQ(store.Remove(3, &byNumber), 1);
  EXPECT_EQ(store.ReadAll().size(), 1u);
  EXPECT_EQ(store.Remove(5, nullptr), 0);
  EXPECT_EQ(store.Remove(3, nullptr), 1);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tavo::test
