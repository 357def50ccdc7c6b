#include "supervision/Escalation.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "common/StrUtils.h"
#include "sms/USMSThread.h"

namespace tavo {
namespace {

using std::chrono::steady_clock;

// The steps are read again this often (ticks of about a second), so that changes made by
// other programs are seen; a step that could not be recorded is tried again after this long.
constexpr int kReadEveryTicks = 10;
constexpr auto kRetryAfter = std::chrono::seconds(10);

long WholeSeconds(steady_clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

TEscalation::TEscalation(TDatabase& db, TLogging& log, const TClock& clock, TCallListFn calls,
                         TEscalationSmsQueue& sms)
    : db_(db), log_(log), clock_(clock), calls_(std::move(calls)), sms_(sms), store_(db, log) {}

bool TEscalation::ReadSteps() {
  try {
    auto steps = store_.ReadAll();
    auto cancel = db_.Open("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = ?",
                           {SqlText("AVBRYTCALLNAME")});
    cancelLopnr_ = cancel->AsInteger("INTEGERVALUE");
    steps_ = std::move(steps);
    readProblem_.clear();
    return true;
  } catch (const std::exception& e) {
    // Not counted: a lost database is the database check's to report.
    if (readProblem_ != e.what())
      log_.Logg(std::string("Escalation cannot read its steps: ") + e.what(), ltWarning);
    readProblem_ = e.what();
    return false;
  }
}

bool TEscalation::LoadTaken() {
  int32_t first = 0;
  for (const auto& entry : calls_())
    for (const auto& c : entry->CurrentCallList)
      if (c->CallLogLopnr > 0 && (first == 0 || c->CallLogLopnr < first)) first = c->CallLogLopnr;
  try {
    if (first > 0) {
      auto rows = db_.Open(
          "SELECT CALLLOGLOPNR, ESCALATIONLOPNR, REPEATNO, STEPTSTAMP FROM ESCALATIONLOG "
          "WHERE CALLLOGLOPNR >= ?",
          {SqlInt(first)});
      for (; !rows->Eof(); rows->Next()) {
        TTracked& t = loaded_[rows->AsInteger("CALLLOGLOPNR")];
        const int32_t step = rows->AsInteger("ESCALATIONLOPNR");
        const int32_t repeat = rows->AsInteger("REPEATNO");
        auto it = t.Taken.find(step);
        if (it == t.Taken.end() || it->second < repeat) t.Taken[step] = repeat;
        ++t.StepsTaken;
        t.LastStep = std::max(t.LastStep, rows->AsDateTime("STEPTSTAMP"));
      }
    }
  } catch (const std::exception& e) {
    if (readProblem_ != e.what())
      log_.Logg(std::string("Escalation cannot read the steps taken: ") + e.what(), ltWarning);
    readProblem_ = e.what();
    loaded_.clear();
    return false;
  }
  try {
    db_.Execute("DELETE FROM ESCALATIONLOG WHERE STEPTSTAMP < ?",
                {SqlDateTime(clock_.Now() - kKeepDays)});
  } catch (const std::exception& e) {
    log_.Logg(std::string("Escalation could not remove old steps: ") + e.what(), ltWarning);
  }
  return true;
}

void TEscalation::Load() {
  reread_ = false;
  ticksSinceRead_ = 0;
  ReadSteps();
  // Until the steps taken are known, none is taken: better late than twice.
  loadedOk_ = LoadTaken();
}

const TCallObject* TEscalation::FindResource(int32_t lopnr) const {
  for (const auto& entry : calls_())
    if (entry->CallLopnr == lopnr) return entry.get();
  return nullptr;
}

std::optional<int> TEscalation::FirstStepSeconds(int32_t resourceLopnr) const {
  std::optional<int> first;
  for (const auto& step : steps_)
    if (step.ResourceLopnr == resourceLopnr && (!first || step.AfterSeconds < *first))
      first = step.AfterSeconds;
  return first;
}

void TEscalation::CallSettled(int32_t callLogLopnr) noexcept {
  auto it = tracked_.find(callLogLopnr);
  if (it == tracked_.end() || it->second.Settled) return;
  it->second.Settled = true;
  if (it->second.StepsTaken > 0) sms_.Cancel(callLogLopnr);
}

bool TEscalation::TakeStep(int32_t callLogLopnr, TTracked& call, const TEscalationStep& step,
                           int32_t repeat, steady_clock::duration waited) {
  std::string number = step.ToNumber;
  std::string target = number;
  if (step.ToResourceLopnr != 0) {
    const TCallObject* to = FindResource(step.ToResourceLopnr);
    number = to ? to->CallableMobilnummer : std::string();
    target = to ? to->CallName : "resource " + std::to_string(step.ToResourceLopnr);
  }
  const bool usable = !Trim(number).empty() && IsValidMobileNumber(number);
  const TCallObject* called = FindResource(call.ResourceLopnr);
  TEscalationSms sms;
  sms.CallLogLopnr = callLogLopnr;
  sms.CallerName = call.CallerName;
  sms.CallName = called ? called->CallName : std::to_string(call.ResourceLopnr);
  sms.Number = number;
  sms.ResourceLopnr = step.ToResourceLopnr;
  const TDateTime now = clock_.Now();
  TEscalationSmsQueue::THandOver handOver;
  try {
    TTransaction tx(db_);
    // The key of the row refuses a step taken before, by this process or any other.
    db_.Execute(
        "INSERT INTO ESCALATIONLOG (CALLLOGLOPNR, ESCALATIONLOPNR, REPEATNO, SMSNUMMER, "
        "STEPTSTAMP, WAITSECONDS) VALUES (?, ?, ?, ?, ?, ?)",
        {SqlInt(callLogLopnr), SqlInt(step.Lopnr), SqlInt(repeat),
         usable ? SqlText(number) : SqlNull(), SqlDateTime(now), SqlInt(WholeSeconds(waited))});
    if (usable) handOver = sms_.Queue(sms);
    tx.Commit();
  } catch (const std::exception& e) {
    bool takenBefore = false;
    try {
      takenBefore = db_.Open("SELECT REPEATNO FROM ESCALATIONLOG WHERE CALLLOGLOPNR = ? AND "
                             "ESCALATIONLOPNR = ? AND REPEATNO = ?",
                             {SqlInt(callLogLopnr), SqlInt(step.Lopnr), SqlInt(repeat)})
                        ->RecordCount() > 0;
    } catch (const std::exception&) {
    }
    if (takenBefore) {
      call.Taken[step.Lopnr] = repeat;
      return true;
    }
    // Once per call until a step of it succeeds: a database outage would repeat it every time.
    if (!call.FailureLogged)
      log_.Logg("An escalation step of call " + std::to_string(callLogLopnr) +
                    " could not be recorded and is tried again every " +
                    std::to_string(kRetryAfter.count()) + " s: " + e.what(),
                ltWarning);
    call.FailureLogged = true;
    return false;
  }
  if (handOver) handOver();
  call.FailureLogged = false;
  call.Taken[step.Lopnr] = repeat;
  ++call.StepsTaken;
  call.LastStep = now;
  if (metrics_) metrics_->Escalations.fetch_add(1, std::memory_order_relaxed);
  std::string entry = "Escalation of call " + std::to_string(callLogLopnr) + " (" +
                      call.CallerName + " calling " + sms.CallName + "), unanswered for " +
                      std::to_string(WholeSeconds(waited)) + " s: ";
  if (usable)
    entry += "SMS to " + (step.ToResourceLopnr ? target + " at " + number : number);
  else
    entry += "no SMS, " + (step.ToResourceLopnr ? target + " has no valid SMS number"
                                                : "\"" + number + "\" is no valid SMS number");
  if (step.RepeatCount > 0)
    entry += " (" + std::to_string(repeat + 1) + " of " + std::to_string(step.RepeatCount + 1) + ")";
  log_.Logg(entry, ltWarning);
  return true;
}

void TEscalation::Tick() {
  try {
    // A failed read is tried again at the next regular one, not at every tick.
    if (reread_ || ++ticksSinceRead_ >= kReadEveryTicks) {
      ticksSinceRead_ = 0;
      reread_ = false;
      if (loadedOk_)
        ReadSteps();
      else
        Load();
    }
    const TDateTime now = clock_.Now();
    const auto steadyNow = clock_.Steady();

    // Follow the call list: new calls are timed from their call time; answered calls settle,
    // and calls that left the list (confirmed, cancelled) are forgotten once settled.
    std::unordered_set<int32_t> open;
    // A call that waits for its call-log row (a database outage) has no number to record a step
    // under; it is escalated once it has one, but its wait counts from now on.
    double unnumbered = 0;
    for (const auto& entry : calls_()) {
      for (const auto& c : entry->CurrentCallList) {
        if (c->CallLogLopnr <= 0) {
          if (c->CallComingLopnr == 0 && entry->CallLopnr != cancelLopnr_)
            unnumbered = std::max(unnumbered, (now - c->CallTimeStamp) * 86400.0);
          continue;
        }
        open.insert(c->CallLogLopnr);
        auto it = tracked_.find(c->CallLogLopnr);
        if (it == tracked_.end()) {
          TTracked t;
          if (auto before = loaded_.find(c->CallLogLopnr); before != loaded_.end()) {
            t = std::move(before->second);
            loaded_.erase(before);
          }
          t.ResourceLopnr = entry->CallLopnr;
          t.StationLopnr = c->CallerLopnr;
          t.CallerName = c->CallerName;
          // The wall clock only once, for how long the call waited before we saw it (after a
          // restart: the whole time the server was away); from here on the monotonic clock.
          // Call times are kept to the millisecond.
          const double before = std::max(0.0, (now - c->CallTimeStamp) * 86400.0);
          t.Called = steadyNow - std::chrono::milliseconds(std::llround(before * 1000.0));
          // The cancel resource's calls wait for nobody.
          t.Settled = c->CallComingLopnr != 0 || entry->CallLopnr == cancelLopnr_;
          it = tracked_.emplace(c->CallLogLopnr, std::move(t)).first;
        }
        if (c->CallComingLopnr != 0) CallSettled(c->CallLogLopnr);
      }
    }
    for (auto it = tracked_.begin(); it != tracked_.end();) {
      if (open.count(it->first)) {
        ++it;
        continue;
      }
      CallSettled(it->first);
      it = tracked_.erase(it);
    }
    // Rows of calls that are no longer open have nothing left to say.
    loaded_.clear();

    double oldest = unnumbered;
    for (auto& [lopnr, t] : tracked_) {
      if (t.Settled) continue;
      const auto waited = steadyNow - t.Called;
      oldest = std::max(oldest, std::chrono::duration<double>(waited).count());
      if (!loadedOk_ || steadyNow < t.RetryAt) continue;
      for (const auto& step : steps_) {
        if (step.ResourceLopnr != t.ResourceLopnr || step.AfterSeconds < 1) continue;
        const auto periods = waited / std::chrono::seconds(step.AfterSeconds);
        if (periods < 1) continue;
        // Only the latest due repeat: after a long absence one SMS, not a burst of them.
        const auto repeat = static_cast<int32_t>(std::min<int64_t>(periods - 1, step.RepeatCount));
        auto taken = t.Taken.find(step.Lopnr);
        if (taken != t.Taken.end() && taken->second >= repeat) continue;
        if (!TakeStep(lopnr, t, step, repeat, waited)) {
          t.RetryAt = steadyNow + kRetryAfter;
          break;
        }
      }
    }
    oldestSeconds_ = oldest;
  } catch (const std::exception& e) {
    log_.Logg(std::string("Error in Escalation: ") + e.what(), ltWarning);
  }
}

std::vector<TEscalatedCall> TEscalation::EscalatedCalls() const {
  std::vector<TEscalatedCall> out;
  for (const auto& [lopnr, t] : tracked_)
    if (t.StepsTaken > 0)
      out.push_back({lopnr, t.ResourceLopnr, t.StationLopnr, t.StepsTaken, t.LastStep});
  std::sort(out.begin(), out.end(),
            [](const TEscalatedCall& a, const TEscalatedCall& b) { return a.CallLogLopnr < b.CallLogLopnr; });
  return out;
}

}  // namespace tavo
