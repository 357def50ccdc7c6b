// The rules of the serving role, on a clock the test moves: when a standby may serve after
// taking the lock, when a holder counts as frozen, that a lease never comes back once it ran
// out, what a promise of the other server is worth, and what /health says.
#include <gtest/gtest.h>

#include <vector>

#include "service/PeerHealth.h"
#include "service/ServingRole.h"

namespace tavo {
namespace {

using namespace std::chrono_literals;
using TState = TServingRole::THolderState;

class ServingRoleTest : public ::testing::Test {
 protected:
  ServingRoleTest()
      : role_(TRoleTimings{}, "self", [this](TRole r, const std::string&) { changes_.push_back(r); }) {}

  TServingRole::TTime At(std::chrono::milliseconds ms) const { return t0_ + ms; }
  // A standby that takes the free lock at `ms`, its answer 10 ms later.
  void TakeFreeLock(std::chrono::milliseconds ms, bool pastLease = false) {
    role_.StatementStarted(At(ms));
    role_.StatementEnded(true, At(ms + 10ms));
    role_.LockConfirmed(At(ms));
    role_.Acquired(At(ms + 10ms), pastLease);
  }
  // Confirmations every 250 ms from `from` up to `to`, each followed by TryServe.
  void ConfirmEvery250(std::chrono::milliseconds from, std::chrono::milliseconds to) {
    for (auto t = from; t <= to; t += 250ms) {
      role_.LockConfirmed(At(t));
      role_.TryServe(At(t + 5ms));
    }
  }
  TOperatingSnapshot Listening() const {
    TOperatingSnapshot s;
    s.Published = true;
    s.MainListenerOpen = true;
    s.DatabaseOk = true;
    s.LoopTurned = t0_;
    return s;
  }

  TServingRole::TTime t0_ = TServingRole::TClock::now() + 1h;  // later than any real "now"
  std::vector<TRole> changes_;
  TServingRole role_;
};

TEST_F(ServingRoleTest, FreeLockServesOnlyOnceTheOldHoldersLeaseMustHaveRunOut) {
  TakeFreeLock(0ms);
  ConfirmEvery250(250ms, 2250ms);
  EXPECT_EQ(role_.Role(), TRole::Standby) << "the old holder may still serve on its lease";
  EXPECT_FALSE(role_.MayServe(At(2400ms)));
  ConfirmEvery250(2500ms, 2750ms);  // 2.51 s after the answer
  EXPECT_EQ(role_.Role(), TRole::Serving);
  EXPECT_TRUE(role_.MayServe(At(2800ms)));
  EXPECT_EQ(changes_, std::vector<TRole>{TRole::Serving});
}

TEST_F(ServingRoleTest, HolderThatStoodStillIsPastItsLeaseAndServingStartsAtOnce) {
  TLockHolder other{"4711", "2026-12-11 10:00:00.123", false};
  EXPECT_EQ(role_.ObserveHolder(other, At(0ms)), TState::Live);
  EXPECT_EQ(role_.ObserveHolder(other, At(2900ms)), TState::Live);
  EXPECT_EQ(role_.ObserveHolder(other, At(3000ms)), TState::Stale);
  TakeFreeLock(3050ms, true);
  role_.TryServe(At(3100ms));
  EXPECT_EQ(role_.Role(), TRole::Serving);
}

TEST_F(ServingRoleTest, HeartbeatThatMovesOrCannotBeReadNeverCountsAsStale) {
  struct TCase {
    const char* Name;
    std::vector<TLockHolder> Seen;  // one every 500 ms
    TState Last;
  };
  const std::vector<TCase> cases = {
      {"moving", {{"1", "a", false}, {"1", "b", false}, {"1", "c", false}, {"1", "d", false},
                  {"1", "e", false}, {"1", "f", false}, {"1", "g", false}}, TState::Live},
      {"unreadable", std::vector<TLockHolder>(8, TLockHolder{"1", "", false}), TState::Live},
      {"new session, same text", {{"1", "a", false}, {"1", "a", false}, {"1", "a", false},
                                  {"1", "a", false}, {"1", "a", false}, {"2", "a", false},
                                  {"2", "a", false}}, TState::Live},
      {"standing", std::vector<TLockHolder>(7, TLockHolder{"1", "a", false}), TState::Stale},
  };
  for (const auto& c : cases) {
    TServingRole role(TRoleTimings{}, "self", nullptr);
    TState last = TState::Free;
    for (size_t i = 0; i < c.Seen.size(); ++i)
      last = role.ObserveHolder(c.Seen[i], At(std::chrono::milliseconds(500 * i)));
    EXPECT_EQ(last, c.Last) << c.Name;
    // A lock found free right after: no wait only when the last holder had stood still.
    EXPECT_EQ(role.ObserveHolder(std::nullopt, At(4000ms)),
              c.Last == TState::Stale ? TState::FreeAfterStale : TState::Free)
        << c.Name;
  }
}

TEST_F(ServingRoleTest, LeaseThatRanOutNeverComesBack) {
  TakeFreeLock(0ms);
  ConfirmEvery250(250ms, 3000ms);
  ASSERT_EQ(role_.Role(), TRole::Serving);
  // Frozen at 3 s: the last confirmation was sent at 3.0 s, so the lease ends at 5.5 s.
  EXPECT_TRUE(role_.MayServe(At(5499ms)));
  EXPECT_FALSE(role_.MayServe(At(5500ms)));
  // Woken at 10 s, its first confirmation succeeds: it must not serve on it.
  role_.LockConfirmed(At(10000ms));
  EXPECT_FALSE(role_.MayServe(At(10010ms)));
  EXPECT_TRUE(role_.CheckLease(At(10010ms)));
  EXPECT_EQ(role_.Role(), TRole::Standby);
  EXPECT_TRUE(role_.TakeReleaseRequest()) << "a server that stepped down lets the lock go";
  // Serving again takes the whole way of a standby: a fresh lock and the wait.
  role_.LockConfirmed(At(10100ms));
  EXPECT_FALSE(role_.TryServe(At(10110ms)));
  EXPECT_EQ(changes_, (std::vector<TRole>{TRole::Serving, TRole::Standby}));
}

TEST_F(ServingRoleTest, PromiseOfTheOtherServerCarriesTheHolderThroughAnOutage) {
  TakeFreeLock(0ms);
  ConfirmEvery250(250ms, 2750ms);
  ASSERT_EQ(role_.Role(), TRole::Serving);
  // The database goes at 2.8 s; the lease from the 2.75 s confirmation ends at 5.25 s.
  role_.PeerAnswered(TPeerAnswer::None, At(3000ms));
  EXPECT_FALSE(role_.MayServe(At(5250ms)));
  role_.PeerAnswered(TPeerAnswer::Promise, At(5000ms));  // asked while the lease ran
  EXPECT_TRUE(role_.MayServe(At(6999ms)));
  EXPECT_FALSE(role_.MayServe(At(7000ms)));
  role_.PeerAnswered(TPeerAnswer::Promise, At(7100ms));  // asked too late: nothing revives
  EXPECT_FALSE(role_.MayServe(At(7200ms)));
  EXPECT_EQ(role_.Role(), TRole::Serving) << "until the lease is checked";
  EXPECT_TRUE(role_.CheckLease(At(7200ms)));
}

TEST_F(ServingRoleTest, OtherServerServingMakesTheHolderStepDown) {
  TakeFreeLock(0ms);
  ConfirmEvery250(250ms, 2750ms);
  role_.PeerAnswered(TPeerAnswer::Serving, At(2800ms));
  EXPECT_EQ(role_.Role(), TRole::Standby);
  EXPECT_FALSE(role_.MayServe(At(2900ms)));
  EXPECT_NE(role_.Reason().find("other server"), std::string::npos) << role_.Reason();
}

TEST_F(ServingRoleTest, StandbyWithoutDatabasePromisesAndKeepsItsPromise) {
  std::string body;
  // A server that has not tried the database yet promises nothing.
  EXPECT_EQ(role_.Health(Listening(), At(0ms), body), 503);
  EXPECT_EQ(ReadPeerHealth(503, body, "other"), TPeerAnswer::None) << body;
  EXPECT_TRUE(role_.MayTake(At(0ms)));
  role_.StatementStarted(At(0ms));
  role_.StatementEnded(true, At(10ms));
  EXPECT_EQ(role_.Health(Listening(), At(20ms), body), 503);
  EXPECT_EQ(ReadPeerHealth(503, body, "other"), TPeerAnswer::None) << body;
  // A statement under way for a second counts as an unreachable database.
  role_.StatementStarted(At(100ms));
  EXPECT_EQ(role_.Health(Listening(), At(1000ms), body), 503);
  EXPECT_EQ(ReadPeerHealth(503, body, "other"), TPeerAnswer::None) << body;
  EXPECT_EQ(role_.Health(Listening(), At(1100ms), body), 503);
  EXPECT_EQ(ReadPeerHealth(503, body, "other"), TPeerAnswer::Promise) << body;
  EXPECT_FALSE(role_.MayTake(At(4099ms)));
  // The lock comes through after all: serving waits for the promise's end.
  role_.StatementEnded(true, At(1200ms));
  TakeFreeLock(1200ms, true);
  ConfirmEvery250(1450ms, 3950ms);
  EXPECT_EQ(role_.Role(), TRole::Standby);
  ConfirmEvery250(4100ms, 4100ms);
  EXPECT_EQ(role_.Role(), TRole::Serving);
  EXPECT_EQ(role_.Health(Listening(), At(4200ms), body), 200);
  EXPECT_EQ(ReadPeerHealth(200, body, "other"), TPeerAnswer::Serving) << body;
  EXPECT_EQ(ReadPeerHealth(200, body, "self"), TPeerAnswer::Itself) << body;
}

TEST(PeerHealth, AnswersThatCountAndThoseThatDoNot) {
  struct TCase {
    long Status;
    const char* Body;
    TPeerAnswer Expected;
  };
  const std::vector<TCase> cases = {
      {200, R"({"instance":"b","status":"ok","role":"serving","database":"down"})", TPeerAnswer::Serving},
      {503, R"({"instance":"b","status":"standby","role":"standby","database":"unreachable","promise_s":3})",
       TPeerAnswer::Promise},
      {503, R"({"instance":"b","status":"standby","role":"standby","database":"ok"})", TPeerAnswer::None},
      {503, R"({"instance":"b","status":"unavailable","role":"serving","reason":"lease expired"})",
       TPeerAnswer::None},
      {200, R"({"status":"ok","database":"ok"})", TPeerAnswer::None},  // a server without Standby
      {500, R"({"role":"standby","promise_s":3})", TPeerAnswer::None},
      {503, R"({"instance":"a","role":"standby","promise_s":3})", TPeerAnswer::Itself},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadPeerHealth(c.Status, c.Body, "a"), c.Expected) << c.Body;
}

}  // namespace
}  // namespace tavo
