// The outbox's decisions on both backends, with a manual clock and a scripted gateway: when an
// SMS is tried again, when it expires, fails or is cancelled, which SMS go first, what a start
// picks up, and what the clean-up deletes. The real exchange is tested in SMSThread_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "DatabaseBackends.h"
#include "ManualTimer.h"
#include "sms/SmsOutbox.h"

namespace tavo::test {
namespace {

constexpr double kSec = 1.0 / 86400.0;

TSmsAttemptResult Retry(const std::string& why) { return {TSmsOutcome::Retry, why, {}}; }
TSmsAttemptResult Sent() { return {TSmsOutcome::Sent, "", {}}; }

// The gateway as the workers see it: each call's attempts take the answers scripted for that
// call, in order; an attempt with no answer yet waits (it is "at the gateway") until one is
// given or the pool aborts it.
class TScriptedGateway {
 public:
  void Answer(int32_t call, TSmsAttemptResult r) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[call].push_back(std::move(r));
    cv_.notify_all();
  }
  TSmsWorkerPool::TAttemptFn Fn() {
    return [this](const TSmsJob& job, const std::atomic<bool>& abort) {
      std::unique_lock<std::mutex> lock(mutex_);
      jobs_.push_back(job);
      ++running_;
      cv_.notify_all();
      auto& queue = answers_[job.Call.lopnr];
      while (queue.empty() && !abort) cv_.wait_for(lock, std::chrono::milliseconds(10));
      --running_;
      if (queue.empty()) return Retry("gw: stopped by the shutdown");
      TSmsAttemptResult r = std::move(queue.front());
      queue.pop_front();
      return r;
    };
  }
  // The calls of the attempts made so far, in the order they reached the gateway.
  std::vector<int32_t> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int32_t> out;
    for (const auto& j : jobs_) out.push_back(j.Call.lopnr);
    return out;
  }
  TSmsJob Job(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.at(i);
  }
  bool WaitRunning(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return running_ == n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<int32_t, std::deque<TSmsAttemptResult>> answers_;
  std::vector<TSmsJob> jobs_;
  int running_ = 0;
};

class SmsOutboxTest : public TBackendTest {
 protected:
  void SetUp() override {
    TBackendTest::SetUp();
    db = backend->OpenNew();
    t0 = env.clock.Now();
    outbox = std::make_unique<TSmsOutbox>(*db, env.log, env.clock, env.registry, &metrics);
  }
  void TearDown() override {
    if (outbox) outbox->Stop(std::chrono::seconds(5));
  }

  void Start() {
    outbox->Open();
    outbox->Start(gateway.Fn(), std::make_unique<TManualTimer>(), Post());
  }
  // The main loop: what the test thread posts runs once the call that posted it is done (here:
  // at once); what the workers post waits for Settle.
  TSmsOutbox::TPostFn Post() {
    return [this, main = std::this_thread::get_id()](std::function<void()> f) {
      if (std::this_thread::get_id() == main) return f();
      std::lock_guard<std::mutex> lock(mutex);
      posted.push_back(std::move(f));
      cv.notify_all();
    };
  }
  // Waits until `n` more attempts have reported, then hands their results to the outbox, as
  // the main loop does.
  void Settle(size_t n) {
    std::vector<std::function<void()>> run;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return posted.size() >= n; }))
          << posted.size() << " of " << n << " results";
      run.swap(posted);
    }
    for (auto& f : run) f();
  }
  void At(double seconds) {
    env.clock.Set(t0 + seconds * kSec);
    outbox->Tick();
  }
  int32_t Queue(int32_t call, const std::string& number = "070-111 11 11") {
    return outbox->Queue({call, 7, number, "Rum " + std::to_string(call), "Jour"});
  }
  std::unique_ptr<TQuery> Row(int32_t lopnr) {
    return db->Open("SELECT * FROM SMSOUTBOX WHERE LOPNR = ?", {SqlInt(lopnr)});
  }
  double Seconds(TDateTime t) const { return std::round((t - t0) / kSec); }
  uint64_t Finished(TSmsFinal s) const {
    return metrics.SmsFinished[static_cast<size_t>(s)].load();
  }

  std::unique_ptr<TDatabase> db;
  TMetrics metrics;
  TDateTime t0 = 0;
  TScriptedGateway gateway;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::function<void()>> posted;
  std::unique_ptr<TSmsOutbox> outbox;
};

TEST_P(SmsOutboxTest, FailedAttemptsAreRetriedWithBackoffUntilTheValidityEnds) {
  Start();
  const int32_t sms = Queue(41);
  ASSERT_EQ(sms, 1);
  // 10, 20, 40, then every 60 s after the attempt before; the last try before 600 s is at 550.
  const std::vector<double> tries = {0, 10, 30, 70, 130, 190, 250, 310, 370, 430, 490, 550};
  for (size_t i = 0; i < tries.size(); ++i) {
    SCOPED_TRACE(tries[i]);
    if (i > 0) {
      At(tries[i] - 1);  // not yet due
      EXPECT_EQ(gateway.Calls().size(), i);
      At(tries[i]);
    }
    gateway.Answer(41, Retry("127.0.0.1:4433: refused (Connection refused)"));
    Settle(1);
    auto row = Row(sms);
    EXPECT_EQ(row->AsString("STATE"), "queued");
    EXPECT_EQ(row->AsInteger("ATTEMPTS"), static_cast<int>(i + 1));
    EXPECT_EQ(row->AsString("LASTERROR"), "127.0.0.1:4433: refused (Connection refused)");
    const double next = i + 1 < tries.size() ? tries[i + 1] : 600;
    EXPECT_EQ(Seconds(row->AsDateTime("NEXTATTEMPT")), next);
  }
  EXPECT_EQ(metrics.SmsQueued.load(), 1);
  At(599);
  EXPECT_NEAR(metrics.SmsOldestQueuedSeconds.load(), 599, 0.01);
  At(600);
  EXPECT_EQ(gateway.Calls().size(), tries.size());  // not tried once more late
  auto row = Row(sms);
  EXPECT_EQ(row->AsString("STATE"), "expired");
  EXPECT_EQ(Seconds(row->AsDateTime("FINISHEDTSTAMP")), 600);
  EXPECT_TRUE(row->IsNull("NEXTATTEMPT"));
  EXPECT_TRUE(Logged("SMS 1 for call 41 to resource 7 (Jour, 070-111 11 11) expired after 12 "
                     "attempts: 127.0.0.1:4433: refused (Connection refused)"));
  EXPECT_EQ(Finished(TSmsFinal::Expired), 1u);
  EXPECT_EQ(metrics.SmsQueued.load(), 0);
  EXPECT_EQ(metrics.SmsOldestQueuedSeconds.load(), 0);
  EXPECT_EQ(ErrorCount(), 0);  // a gateway away for long is no reason to restart
}

TEST_P(SmsOutboxTest, SentFailedAndCancelledAreFinal) {
  Start();
  // Sent on the second attempt: the time from queue to gateway is observed.
  const int32_t sent = Queue(1, "0701");
  gateway.Answer(1, Retry("gw: timed out"));
  Settle(1);
  At(10);
  gateway.Answer(1, Sent());
  Settle(1);
  auto row = Row(sent);
  EXPECT_EQ(row->AsString("STATE"), "sent");
  EXPECT_EQ(row->AsInteger("ATTEMPTS"), 2);
  EXPECT_EQ(row->AsString("LASTERROR"), "gw: timed out");  // what the first attempt met
  EXPECT_EQ(Seconds(row->AsDateTime("FINISHEDTSTAMP")), 10);
  EXPECT_EQ(metrics.SmsDeliverySeconds.Snapshot().Count, 1u);
  EXPECT_NEAR(metrics.SmsDeliverySeconds.Snapshot().Sum, 10, 0.001);

  // An incomplete SMS account fails at once and is never tried again.
  const int32_t failed = Queue(2, "0702");
  gateway.Answer(2, {TSmsOutcome::Failed, "Inget Kundnummer!  Kundnummer m\xE5ste fyllas i!", {}});
  Settle(1);
  At(100);
  EXPECT_EQ(Row(failed)->AsString("STATE"), "failed");
  EXPECT_TRUE(Logged("SMS 2 for call 2 to resource 7 (Jour, 0702) failed: Inget Kundnummer!"));

  // Cancelled while waiting for its next attempt.
  const int32_t waiting = Queue(3, "0703");
  gateway.Answer(3, Retry("gw: refused"));
  Settle(1);
  outbox->CancelCall(3);
  EXPECT_EQ(Row(waiting)->AsString("STATE"), "cancelled");
  At(200);
  EXPECT_EQ(gateway.Calls(), (std::vector<int32_t>{1, 1, 2, 3}));
  EXPECT_TRUE(outbox->Pending().empty());
  EXPECT_EQ(Finished(TSmsFinal::Sent), 1u);
  EXPECT_EQ(Finished(TSmsFinal::Failed), 1u);
  EXPECT_EQ(Finished(TSmsFinal::Cancelled), 1u);
}

TEST_P(SmsOutboxTest, CallClosedDuringAnAttemptIsNotTriedAgain) {
  Start();
  const int32_t a = Queue(1, "0701");
  const int32_t b = Queue(2, "0702");
  ASSERT_TRUE(gateway.WaitRunning(2));
  outbox->CancelCall(1);
  outbox->CancelCall(2);
  EXPECT_TRUE(gateway.Job(0).Cancelled->load());  // the attempt sees it before it posts
  // The one that failed is cancelled; the one the gateway took stays sent.
  gateway.Answer(1, Retry("gw: refused"));
  gateway.Answer(2, Sent());
  Settle(2);
  EXPECT_EQ(Row(a)->AsString("STATE"), "cancelled");
  EXPECT_EQ(Row(b)->AsString("STATE"), "sent");
  At(60);
  EXPECT_EQ(gateway.Calls().size(), 2u);
}

TEST_P(SmsOutboxTest, OneNumberAtATimeInQueueOrderOthersInParallel) {
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "SmsWorkers", "3");
  Start();
  Queue(1, "070-111 11 11");
  Queue(2, "070-1111111");  // the same number written without blanks
  Queue(3, "0702222222");
  ASSERT_TRUE(gateway.WaitRunning(2));  // 1 and 3; 2 waits for 1 although a worker is free
  gateway.Answer(1, Retry("gw: refused"));
  gateway.Answer(3, Sent());
  Settle(2);
  At(5);  // 1 is not due again yet, and 2 keeps waiting behind it
  gateway.Answer(1, Sent());
  gateway.Answer(2, Sent());
  At(10);
  Settle(1);  // 1 sent: 2 goes at once
  Settle(1);
  const auto calls = gateway.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(std::vector<int32_t>(calls.begin() + 2, calls.end()), (std::vector<int32_t>{1, 2}));
  EXPECT_TRUE(outbox->Pending().empty());
}

TEST_P(SmsOutboxTest, StartPicksUpWhereTheLastRunStopped) {
  TSmsOutboxStore store(*db, env.log);
  store.EnsureTable();
  db->Execute(
      "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
      "COMINGTSTAMP) VALUES (4, 1, 7, ?, ?, ?)",
      {SqlBool(true), SqlDateTime(t0 - 60 * kSec), SqlDateTime(t0 - 30 * kSec)});
  struct Seed {
    int32_t call;
    TSmsState state;
    double age;
  } seeds[] = {
      {1, TSmsState::Queued, 100},    // due again now
      {2, TSmsState::Sending, 50},    // was at the gateway: sent again
      {3, TSmsState::Queued, 601},    // too old
      {4, TSmsState::Queued, 60},     // its call was answered meanwhile
      {5, TSmsState::Sent, 30},       // finished: left alone
  };
  for (const auto& s : seeds) {
    TSmsRow row;
    row.Request = {s.call, 7, "070" + std::to_string(s.call), "Rum", "Jour"};
    row.State = s.state;
    row.Attempts = 1;
    row.QueuedAt = t0 - s.age * kSec;
    row.NextAttempt = t0 + 30 * kSec;
    row.LastError = "gw: refused";
    store.Insert(row);
  }
  gateway.Answer(1, Sent());
  gateway.Answer(2, Sent());
  Start();
  EXPECT_TRUE(Logged("SMS outbox picked up: 2 to be sent, 1 expired, 1 cancelled"));
  EXPECT_TRUE(Logged("SMS 3 for call 3 to resource 7 (Jour, 0703) expired after 1 attempt: gw: refused"));
  Settle(2);
  auto rows = db->Open("SELECT STATE, ATTEMPTS FROM SMSOUTBOX ORDER BY LOPNR");
  std::vector<std::string> states;
  for (; !rows->Eof(); rows->Next())
    states.push_back(rows->AsString("STATE") + "/" + rows->AsString("ATTEMPTS"));
  EXPECT_EQ(states, (std::vector<std::string>{"sent/2", "sent/2", "expired/1", "cancelled/1", "sent/1"}));
}

// A server of a pair that stood by serves again: what the other one did with the SMS meanwhile
// is what the table says, not what this one still had in memory.
TEST_P(SmsOutboxTest, OpenedAgainAfterAStopTakesTheTablesWordOverMemory) {
  outbox->Open();  // not started: nothing reaches the gateway yet
  const int32_t first = Queue(1);
  Queue(2);
  ASSERT_EQ(outbox->Pending().size(), 2u);
  outbox->Stop(std::chrono::seconds(1));
  db->Execute("UPDATE SMSOUTBOX SET STATE = 'sent', NEXTATTEMPT = NULL, FINISHEDTSTAMP = ? "
              "WHERE LOPNR = ?",
              {SqlDateTime(t0), SqlInt(first)});
  TSmsRow other;
  other.Request = {3, 7, "0703", "Rum 3", "Jour"};
  other.QueuedAt = other.NextAttempt = t0;
  TSmsOutboxStore(*db, env.log).Insert(other);
  gateway.Answer(2, Sent());
  gateway.Answer(3, Sent());
  Start();
  Settle(2);
  std::vector<int32_t> calls = gateway.Calls();
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<int32_t>{2, 3}));
  EXPECT_TRUE(outbox->Pending().empty());
}

TEST_P(SmsOutboxTest, ShutdownCutsOffAStalledAttemptAndKeepsItQueued) {
  Start();
  const int32_t sms = Queue(1);
  ASSERT_TRUE(gateway.WaitRunning(1));
  EXPECT_EQ(Row(sms)->AsString("STATE"), "sending");
  outbox->Stop(std::chrono::milliseconds(100));
  auto row = Row(sms);
  EXPECT_EQ(row->AsString("STATE"), "queued");
  EXPECT_EQ(row->AsString("LASTERROR"), "gw: stopped by the shutdown");
}

TEST_P(SmsOutboxTest, CleanUpDeletesOldFinishedRowsInSmallBatches) {
  outbox->Open();
  TSmsOutboxStore store(*db, env.log);
  auto seed = [&](int n, TSmsState state, double daysAgo) {
    for (int i = 0; i < n; ++i) {
      TSmsRow row;
      row.State = state;
      row.QueuedAt = t0 - daysAgo;
      row.FinishedAt = state == TSmsState::Queued ? 0 : t0 - daysAgo;
      store.Insert(row);
    }
  };
  seed(230, TSmsState::Sent, 31);
  seed(5, TSmsState::Expired, 29);
  seed(1, TSmsState::Queued, 40);  // not finished: never deleted
  auto count = [&] { return db->Open("SELECT COUNT(*) AS N FROM SMSOUTBOX")->AsInteger("N"); };
  outbox->Start(gateway.Fn(), std::make_unique<TManualTimer>(), Post());
  std::vector<int> left;
  for (int tick = 0; tick < 5; ++tick) {
    outbox->Tick();
    left.push_back(count());
  }
  EXPECT_EQ(left, (std::vector<int>{136, 36, 6, 6, 6}));
  // The next run comes an hour later.
  seed(1, TSmsState::Sent, 40);
  At(3599);
  EXPECT_EQ(count(), 7);
  At(3601);
  EXPECT_EQ(count(), 6);
}

TAVO_INSTANTIATE_BACKENDS(SmsOutboxTest);

TEST(SmsOutboxSettings, ValuesOutOfRangeKeepTheirDefaults) {
  TLogEnv env;
  auto set = [&](const char* name, const char* value) {
    env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name, value);
  };
  set("SmsWorkers", "0");
  set("SmsValiditySeconds", "abc");
  set("SmsTryTimeoutSeconds", " 5 ");
  set("SmsKeepDays", "7");
  std::vector<std::string> problems;
  const auto s = TSmsOutboxSettings::Read(env.registry, &problems);
  EXPECT_EQ(s.Workers, 2);
  EXPECT_EQ(s.ValiditySeconds, 600);
  EXPECT_EQ(s.TryTimeoutSeconds, 5);
  EXPECT_EQ(s.KeepDays, 7);
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "The registry value SmsWorkers=0 is not a number from 1 to 16, so 2 is "
                          "used; correct the value or remove it",
                          "The registry value SmsValiditySeconds=abc is not a number from 1 to "
                          "86400, so 600 is used; correct the value or remove it"}));
}

class SmsOutboxStoreTest : public TBackendTest {};

TEST_P(SmsOutboxStoreTest, TableIsCreatedOnceAndTextsAreCutToTheirColumns) {
  auto db = backend->OpenNew();
  TSmsOutboxStore store(*db, env.log);
  EXPECT_TRUE(store.EnsureTable());
  EXPECT_FALSE(store.EnsureTable());
  TSmsRow row;
  row.Request = {12, 7, std::string(300, '1'), std::string(300, 'a'), "Sk\xF6terska"};
  row.QueuedAt = EncodeDateTime(2026, 12, 9, 10, 15, 2, 250);
  row.NextAttempt = row.QueuedAt;
  row.LastError = std::string(1200, 'e');
  store.Insert(row);
  EXPECT_EQ(row.Lopnr, 1);
  store.Insert(row);
  EXPECT_EQ(row.Lopnr, 2);
  auto q = db->Open("SELECT * FROM SMSOUTBOX WHERE LOPNR = 1");
  EXPECT_EQ(q->AsString("SMSNUMMER").size(), kSmsNumberWidth);
  EXPECT_EQ(q->AsString("CALLERNAME").size(), kSmsNameWidth);
  EXPECT_EQ(q->AsString("CALLNAME"), "Sk\xF6terska");
  EXPECT_EQ(q->AsString("LASTERROR").size(), kSmsErrorWidth);
  EXPECT_EQ(q->AsString("STATE"), "queued");
  EXPECT_EQ(FormatIsoMillis(q->AsDateTime("QUEUEDTSTAMP")), "2026-12-09 10:15:02.250");
  EXPECT_TRUE(q->IsNull("FINISHEDTSTAMP"));
}

TAVO_INSTANTIATE_BACKENDS(SmsOutboxStoreTest);

}  // namespace
}  // namespace tavo::test
