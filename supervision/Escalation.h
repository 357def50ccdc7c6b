// TEscalation: takes the escalation steps of calls nobody answers. Every open, unanswered call
// is timed on the monotonic clock from its call time; when a step of its resource falls due,
// one row in ESCALATIONLOG and the step's SMS are written in one transaction, and one warning
// entry names the call, the waiting time and the target. An answer, a confirmation or a
// cancellation ends the call's escalation at once and drops its queued SMS. The rows make
// steps survive a restart: the open calls come back with their call times, the steps already
// taken with them, so a due step is taken and none twice. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/Clock.h"
#include "common/Metrics.h"
#include "common/TAVOcommon.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "supervision/EscalationSms.h"
#include "supervision/EscalationSteps.h"

namespace tavo {

// An open call that has been escalated, for the operator's view.
struct TEscalatedCall {
  int32_t CallLogLopnr = 0;
  int32_t ResourceLopnr = 0;
  int32_t StationLopnr = 0;
  int StepsTaken = 0;
  TDateTime LastStep = 0;
};

class TEscalation {
 public:
  // The call list as it is now.
  using TCallListFn = std::function<const TCallList&()>;

  TEscalation(TDatabase& db, TLogging& log, const TClock& clock, TCallListFn calls,
              TEscalationSmsQueue& sms);
  TEscalation(const TEscalation&) = delete;
  TEscalation& operator=(const TEscalation&) = delete;

  void SetMetrics(TMetrics* metrics) { metrics_ = metrics; }

  // Reads the steps and the steps already taken for today's open calls, and drops rows of
  // steps older than kKeepDays. Once, after the call list was loaded, and again at the regular
  // reads until it succeeds. Never throws.
  void Load();
  // Times the open calls and takes the steps that are due. Never throws.
  void Tick();
  // The call no longer waits (answered, confirmed): no further step, its queued SMS dropped.
  void CallSettled(int32_t callLogLopnr) noexcept;
  // A command changed ESCALATION: read it at the next tick.
  void StepsChanged() { reread_ = true; }

  TEscalationSteps& Steps() { return store_; }
  // The open calls that were escalated, answered ones included.
  std::vector<TEscalatedCall> EscalatedCalls() const;
  // After how many seconds unanswered a call to the resource takes its first step; none for a
  // resource without steps.
  std::optional<int> FirstStepSeconds(int32_t resourceLopnr) const;
  // How long the longest-waiting unanswered call has waited, as of the last tick; 0 for none.
  double OldestUnansweredSeconds() const { return oldestSeconds_; }

  static constexpr int kKeepDays = 30;

 private:
  struct TTracked {
    int32_t ResourceLopnr = 0;
    int32_t StationLopnr = 0;
    std::string CallerName;
    std::chrono::steady_clock::time_point Called{};
    std::map<int32_t, int32_t> Taken;  // step number -> highest repeat taken
    int StepsTaken = 0;
    TDateTime LastStep = 0;
    std::chrono::steady_clock::time_point RetryAt{};  // after a failed step
    bool FailureLogged = false;
    bool Settled = false;  // answered: no more steps, but still shown as escalated
  };

  // Reads the steps and the cancel resource (whose calls wait for nobody); false on failure,
  // logged once until a read succeeds.
  bool ReadSteps();
  bool LoadTaken();
  // Records and sends one step; false when it could not be recorded now.
  bool TakeStep(int32_t callLogLopnr, TTracked& call, const TEscalationStep& step, int32_t repeat,
                std::chrono::steady_clock::duration waited);
  const TCallObject* FindResource(int32_t lopnr) const;

  TDatabase& db_;
  TLogging& log_;
  const TClock& clock_;
  TCallListFn calls_;
  TEscalationSmsQueue& sms_;
  TEscalationSteps store_;
  TMetrics* metrics_ = nullptr;
  std::vector<TEscalationStep> steps_;
  std::unordered_map<int32_t, TTracked> tracked_;  // the open calls, by CALLLOG number
  // Steps taken before this process, by call: read at Load, handed over when the call is seen.
  std::unordered_map<int32_t, TTracked> loaded_;
  int32_t cancelLopnr_ = 0;
  bool loadedOk_ = false;
  bool reread_ = true;
  int ticksSinceRead_ = 0;
  std::string readProblem_;
  double oldestSeconds_ = 0;
};

}  // namespace tavo
