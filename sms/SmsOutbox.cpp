#include "sms/SmsOutbox.h"

#include <algorithm>
#include <optional>
#include <set>

#include "common/StrUtils.h"

namespace tavo {
namespace {

constexpr double kSecond = 1.0 / 86400.0;
// Times are kept to the millisecond, as the database stores them: a time within half of one
// has come.
constexpr double kSlack = 0.0005 * kSecond;
constexpr uint32_t kTickMs = 1000;
constexpr int kCleanUpBatch = 100;
// How long the SMS of a call kept in the outage journal waits for the call's number before it
// goes without one: the reconnection tries every 5 s at the most.
constexpr double kKeptHold = 5 * kSecond;
constexpr double kCleanUpEvery = 1.0 / 24.0;  // an hour

// The same number written with or without blanks is one recipient.
std::string RecipientKey(const std::string& number) {
  std::string key;
  for (char c : number)
    if (c != ' ') key += c;
  return key;
}

TSmsFinal FinalOf(TSmsState state) {
  switch (state) {
    case TSmsState::Sent: return TSmsFinal::Sent;
    case TSmsState::Expired: return TSmsFinal::Expired;
    case TSmsState::Cancelled: return TSmsFinal::Cancelled;
    default: return TSmsFinal::Failed;
  }
}

// "SMS 12 for call 345 to resource 7 (Jour, 070-123 45 67)"
std::string Describe(const TSmsRow& row) {
  const TSmsRequest& r = row.Request;
  return (row.Lopnr > 0 ? "SMS " + std::to_string(row.Lopnr) : std::string("An SMS")) +
         (r.CallLogLopnr > 0 ? " for call " + std::to_string(r.CallLogLopnr)
                             : std::string(" for a call kept in the outage journal")) +
         " to resource " + std::to_string(r.ResourceLopnr) + " (" + r.CallName + ", " +
         (r.Number.empty() ? "no number" : r.Number) + ")";
}

std::string Attempts(int n) { return std::to_string(n) + (n == 1 ? " attempt" : " attempts"); }

}  // namespace

TSmsOutboxSettings TSmsOutboxSettings::Read(TRegistryStore& registry,
                                            std::vector<std::string>* problems) {
  TSmsOutboxSettings s;
  auto read = [&](const char* name, int& value, int lowest, int highest) {
    const std::string text =
        Trim(registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name));
    if (text.empty()) return;
    const int32_t v = StrToIntDef(text, lowest - 1);
    if (v >= lowest && v <= highest) {
      value = v;
    } else if (problems) {
      problems->push_back(std::string("The registry value ") + name + "=" + text +
                          " is not a number from " + std::to_string(lowest) + " to " +
                          std::to_string(highest) + ", so " + std::to_string(value) +
                          " is used; correct the value or remove it");
    }
  };
  read("SmsWorkers", s.Workers, 1, 16);
  read("SmsValiditySeconds", s.ValiditySeconds, 1, 86400);
  read("SmsTryTimeoutSeconds", s.TryTimeoutSeconds, 1, 600);
  read("SmsKeepDays", s.KeepDays, 1, 3650);
  return s;
}

int SmsRetryDelaySeconds(int attempts) {
  switch (attempts) {
    case 0:
    case 1: return 10;
    case 2: return 20;
    case 3: return 40;
    default: return 60;
  }
}

TSmsOutbox::TSmsOutbox(TDatabase& db, TLogging& log, const TClock& clock,
                       TRegistryStore& registry, TMetrics* metrics)
    : db_(db),
      log_(log),
      clock_(clock),
      registry_(registry),
      metrics_(metrics),
      store_(db, log),
      settings_(TSmsOutboxSettings::Read(registry)) {}

TSmsOutbox::~TSmsOutbox() {
  alive_.reset();
  if (tick_) tick_->SetEnabled(false);
  pool_.reset();  // joins the workers; what they did is picked up at the next start
}

void TSmsOutbox::Open() {
  // Opened again after serving stopped a while: the table says what is left, also of what
  // another server sent meanwhile; what could not be written before goes in first.
  SaveUnsaved();
  open_.clear();
  inFlight_ = 0;
  try {
    if (store_.EnsureTable()) log_.Logg("Created the table SMSOUTBOX", ltInfo);
    durable_ = true;
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox",
                    std::runtime_error(std::string("the table SMSOUTBOX cannot be created (") +
                                       e.what() + "); SMS are kept in memory only"));
    return;
  }
  std::vector<TSmsStoredRow> rows;
  try {
    rows = store_.LoadUnfinished();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
    return;
  }
  const TDateTime now = clock_.Now();
  int due = 0, expired = 0, cancelled = 0;
  for (TSmsStoredRow& stored : rows) {
    TSmsRow& row = stored.Row;
    const uint64_t key = Remember(row);
    if (stored.CallClosed) {
      Finish(key, TSmsState::Cancelled, "");
      ++cancelled;
    } else if (now + kSlack >= ExpiresAt(row)) {
      Finish(key, TSmsState::Expired, "");
      ++expired;
    } else {
      // A restart is a fresh chance: everything still valid is due now. A row that was at the
      // gateway when the server stopped may have reached it; it is sent again all the same.
      TSmsRow& kept = open_[key].Row;
      kept.State = TSmsState::Queued;
      kept.NextAttempt = now;
      ++due;
    }
  }
  if (due + expired + cancelled > 0)
    log_.Logg("SMS outbox picked up: " + std::to_string(due) + " to be sent, " +
                  std::to_string(expired) + " expired, " + std::to_string(cancelled) +
                  " cancelled",
              ltInfo);
  PublishMetrics();
}

void TSmsOutbox::Start(TSmsWorkerPool::TAttemptFn attempt, std::unique_ptr<TTimer> tick,
                       TPostFn post) {
  stopped_ = false;
  try {
    std::vector<std::string> problems;
    settings_ = TSmsOutboxSettings::Read(registry_, &problems);
    for (const auto& p : problems) log_.Logg(p, ltWarning);
    std::weak_ptr<bool> alive = alive_;
    post_ = post;
    pool_ = std::make_unique<TSmsWorkerPool>(
        settings_.Workers, std::move(attempt), [this, alive, post = std::move(post)] {
          post([this, alive] {
            if (alive.lock()) TakeResults();
          });
        });
    tick_ = std::move(tick);
    if (tick_) {
      tick_->SetOnTimer([this] { Tick(); });
      tick_->SetInterval(kTickMs);
      tick_->SetEnabled(true);
    }
    nextCleanUp_ = clock_.Now();
    Pump();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

void TSmsOutbox::Stop(std::chrono::milliseconds grace) {
  if (stopped_) return;
  stopped_ = true;
  try {
    if (tick_) tick_->SetEnabled(false);
    if (pool_) {
      const std::vector<uint64_t> unstarted = pool_->Stop(grace);
      for (auto& r : pool_->TakeResults()) OnResult(r.Key, r.Result);
      for (uint64_t key : unstarted) {
        auto it = open_.find(key);
        if (it == open_.end()) continue;
        // Never at the gateway: as it was before it was handed out.
        TSmsRow& row = it->second.Row;
        row.State = TSmsState::Queued;
        --row.Attempts;
        --inFlight_;
        Save(row);
      }
    }
    Pump();  // cancellations not written yet
    SaveUnsaved();
    if (inFlight_ > 0)
      log_.Logg("Service shutting down with " + std::to_string(inFlight_) +
                    " SMS attempt(s) still at the gateway; they are sent again at the next start",
                ltWarning);
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

TSmsRow TSmsOutbox::AddRow(const TSmsRequest& request) {
  TSmsRow row;
  row.Request = request;
  row.QueuedAt = clock_.Now();
  row.NextAttempt = row.QueuedAt;
  if (durable_) store_.Insert(row);
  return row;
}

void TSmsOutbox::Dispatch(TSmsRow row) noexcept {
  try {
    Remember(std::move(row));
    PublishMetrics();
    PumpSoon();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

int32_t TSmsOutbox::Queue(const TSmsRequest& request) noexcept {
  TSmsRow row;
  try {
    std::optional<TTransaction> transaction;
    if (durable_) transaction.emplace(db_);
    row = AddRow(request);
    if (transaction) transaction->Commit();
  } catch (const std::exception& e) {
    log_.LogFailure("QueueSms", e);
    return -1;
  }
  const int32_t number = row.Lopnr;
  Dispatch(std::move(row));
  return number;
}

void TSmsOutbox::CancelCall(int32_t callLogLopnr, uint64_t journalKey) noexcept {
  if (callLogLopnr <= 0 && journalKey == 0) return;
  bool any = false;
  for (auto& [key, entry] : open_) {
    const bool ofCall = (callLogLopnr > 0 && entry.Row.Request.CallLogLopnr == callLogLopnr) ||
                        (journalKey != 0 && entry.JournalKey == journalKey);
    if (!ofCall) continue;
    // Never handed out again; one at the gateway is decided when its attempt ends.
    entry.CallClosed = true;
    if (entry.Cancelled) entry.Cancelled->store(true);
    any = true;
  }
  if (any) PumpSoon();
}

void TSmsOutbox::DispatchKept(const TSmsRequest& request, uint64_t journalKey) noexcept {
  try {
    TSmsRow row;
    row.Request = request;
    row.QueuedAt = clock_.Now();
    row.NextAttempt = row.QueuedAt + kKeptHold;
    open_[Remember(std::move(row))].JournalKey = journalKey;
    PublishMetrics();
    PumpSoon();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

void TSmsOutbox::WriteKeptRow(uint64_t journalKey, int32_t callLogLopnr) {
  const TSmsRow* found = nullptr;
  for (const auto& [key, entry] : open_)
    if (entry.JournalKey == journalKey) found = &entry.Row;
  auto finished = keptFinished_.find(journalKey);
  if (!found && finished != keptFinished_.end()) found = &finished->second;
  if (!found || !durable_) return;
  TSmsRow row = *found;
  row.Request.CallLogLopnr = callLogLopnr;
  store_.Insert(row);
  keptRows_[journalKey] = row.Lopnr;
}

bool TSmsOutbox::CallNumbered(uint64_t journalKey, int32_t callLogLopnr) noexcept {
  try {
    auto written = keptRows_.find(journalKey);
    const int32_t rowLopnr = written == keptRows_.end() ? 0 : written->second;
    if (written != keptRows_.end()) keptRows_.erase(written);
    // The row, unless the transaction of the call's row wrote it (a replay that found the
    // call's row already there writes none).
    auto place = [&](TSmsRow& row) {
      row.Request.CallLogLopnr = callLogLopnr;
      row.Lopnr = rowLopnr;
      if (row.Lopnr == 0 && durable_) {
        TTransaction transaction(db_);
        store_.Insert(row);
        transaction.Commit();
      }
    };
    bool found = false;
    for (auto& [key, entry] : open_) {
      if (entry.JournalKey != journalKey) continue;
      entry.JournalKey = 0;
      place(entry.Row);
      // It waited only for the number.
      if (entry.Row.State == TSmsState::Queued && entry.Row.Attempts == 0)
        entry.Row.NextAttempt = std::min(entry.Row.NextAttempt, clock_.Now());
      found = true;
    }
    auto finished = keptFinished_.find(journalKey);
    if (finished != keptFinished_.end()) {
      place(finished->second);
      keptFinished_.erase(finished);
      found = true;
    }
    if (found) PumpSoon();
    return found;
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
    return true;  // it was in memory; only its row is missing
  }
}

void TSmsOutbox::Tick() noexcept {
  try {
    settings_ = TSmsOutboxSettings::Read(registry_);
    // A kept call whose row never comes (the database refused it for good) takes its SMS along.
    std::erase_if(keptFinished_, [this](const auto& kept) {
      return kept.second.FinishedAt < clock_.Now() - 1;
    });
    SaveUnsaved();
    Pump();
    CleanUp();
    PublishMetrics();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

void TSmsOutbox::TakeResults() noexcept {
  try {
    if (!pool_) return;
    for (auto& r : pool_->TakeResults()) OnResult(r.Key, r.Result);
    PublishMetrics();
    Pump();
  } catch (const std::exception& e) {
    log_.LogFailure("SmsOutbox", e);
  }
}

std::vector<TSmsRow> TSmsOutbox::Pending() const {
  std::vector<TSmsRow> rows;
  for (const auto& [key, entry] : open_) rows.push_back(entry.Row);
  return rows;
}

uint64_t TSmsOutbox::Remember(TSmsRow row) {
  const uint64_t key = nextKey_++;
  open_[key].Row = std::move(row);
  return key;
}

TDateTime TSmsOutbox::ExpiresAt(const TSmsRow& row) const {
  return row.QueuedAt + settings_.ValiditySeconds * kSecond;
}

void TSmsOutbox::PumpSoon() {
  if (!post_) {
    Pump();
    return;
  }
  if (pumpPosted_) return;
  pumpPosted_ = true;
  post_([this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.lock()) return;
    pumpPosted_ = false;
    try {
      Pump();
      PublishMetrics();
    } catch (const std::exception& e) {
      log_.LogFailure("SmsOutbox", e);
    }
  });
}

void TSmsOutbox::Pump() {
  const TDateTime now = clock_.Now();
  std::vector<std::pair<uint64_t, TSmsState>> done;
  for (const auto& [key, entry] : open_) {
    if (entry.Row.State != TSmsState::Queued) continue;
    if (entry.CallClosed)
      done.emplace_back(key, TSmsState::Cancelled);
    else if (now + kSlack >= ExpiresAt(entry.Row))
      done.emplace_back(key, TSmsState::Expired);
  }
  for (auto [key, state] : done) Finish(key, state, "");
  if (!pool_ || stopped_) return;
  // Oldest first; a number whose older SMS is not finished waits for it.
  std::set<std::string> held;
  for (auto& [key, entry] : open_) {
    if (inFlight_ >= pool_->Workers()) break;
    std::string recipient = RecipientKey(entry.Row.Request.Number);
    if (entry.Row.State == TSmsState::Queued && entry.Row.NextAttempt <= now + kSlack &&
        !held.count(recipient))
      StartAttempt(key, entry);
    held.insert(std::move(recipient));
  }
}

void TSmsOutbox::StartAttempt(uint64_t key, TEntry& entry) {
  TSmsRow& row = entry.Row;
  row.State = TSmsState::Sending;
  ++row.Attempts;
  Save(row);
  entry.Cancelled = std::make_shared<std::atomic<bool>>(false);
  TSmsJob job;
  job.Key = key;
  job.Call = {row.Request.CallerName, row.Request.CallName, row.Request.Number,
              row.Request.CallLogLopnr};
  job.TryTimeout = std::chrono::seconds(settings_.TryTimeoutSeconds);
  job.Cancelled = entry.Cancelled;
  job.LeftFiles = entry.LeftFiles;
  ++inFlight_;
  pool_->Submit(std::move(job));
}

void TSmsOutbox::OnResult(uint64_t key, const TSmsAttemptResult& result) {
  auto it = open_.find(key);
  if (it == open_.end()) return;
  --inFlight_;
  TEntry& entry = it->second;
  TSmsRow& row = entry.Row;
  entry.LeftFiles = result.LeftFiles;
  const bool callClosed = entry.CallClosed;
  entry.Cancelled.reset();
  switch (result.Outcome) {
    case TSmsOutcome::Sent: Finish(key, TSmsState::Sent, ""); return;
    case TSmsOutcome::Cancelled: Finish(key, TSmsState::Cancelled, ""); return;
    case TSmsOutcome::Failed: Finish(key, TSmsState::Failed, result.Error); return;
    case TSmsOutcome::Retry: break;
  }
  row.LastError = result.Error;
  const TDateTime now = clock_.Now();
  if (callClosed) {
    Finish(key, TSmsState::Cancelled, "");
  } else if (!stopped_ && now + kSlack >= ExpiresAt(row)) {
    Finish(key, TSmsState::Expired, "");
  } else {
    row.State = TSmsState::Queued;
    // Never past the validity: the SMS expires then, it is not tried once more late.
    row.NextAttempt = stopped_ ? now
                               : std::min(now + SmsRetryDelaySeconds(row.Attempts) * kSecond,
                                          ExpiresAt(row));
    Save(row);
  }
}

void TSmsOutbox::Finish(uint64_t key, TSmsState state, const std::string& error) {
  auto it = open_.find(key);
  if (it == open_.end()) return;
  TSmsRow& row = it->second.Row;
  row.State = state;
  row.FinishedAt = clock_.Now();
  row.NextAttempt = 0;
  if (!error.empty()) row.LastError = error;
  Save(row);
  if (metrics_) {
    metrics_->SmsFinish(FinalOf(state));
    if (state == TSmsState::Sent)
      metrics_->SmsDeliverySeconds.Observe((row.FinishedAt - row.QueuedAt) * 86400.0);
  }
  if (state == TSmsState::Expired)
    log_.Logg(Describe(row) + " expired after " + Attempts(row.Attempts) + ": " +
                  (row.LastError.empty() ? "never tried" : row.LastError),
              ltWarning);
  else if (state == TSmsState::Failed)
    log_.Logg(Describe(row) + " failed: " + row.LastError, ltWarning);
  // Its call is still in the journal: the row is written with the call's.
  if (it->second.JournalKey != 0) keptFinished_[it->second.JournalKey] = row;
  open_.erase(it);
}

void TSmsOutbox::Save(const TSmsRow& row) {
  if (!durable_ || row.Lopnr <= 0) return;
  const bool retried = std::any_of(unsaved_.begin(), unsaved_.end(),
                                   [&](const TSmsRow& r) { return r.Lopnr == row.Lopnr; });
  std::erase_if(unsaved_, [&](const TSmsRow& r) { return r.Lopnr == row.Lopnr; });
  try {
    store_.Update(row);
  } catch (const std::exception& e) {
    // Logged once per row; the tick writes it again until it goes in.
    if (!retried) log_.LogFailure("SmsOutbox", e);
    unsaved_.push_back(row);
  }
}

void TSmsOutbox::SaveUnsaved() {
  std::vector<TSmsRow> rows = std::move(unsaved_);
  unsaved_.clear();
  for (size_t i = 0; i < rows.size(); ++i) {
    try {
      store_.Update(rows[i]);
    } catch (const std::exception&) {
      // Still failing: keep this and the rest for the next tick.
      unsaved_.insert(unsaved_.end(), rows.begin() + static_cast<std::ptrdiff_t>(i), rows.end());
      return;
    }
  }
}

void TSmsOutbox::CleanUp() {
  const TDateTime now = clock_.Now();
  if (!durable_ || now < nextCleanUp_) return;
  try {
    // One small batch per tick, so that no turn of the main loop waits long for it.
    const int64_t deleted = store_.DeleteFinished(now - settings_.KeepDays, kCleanUpBatch);
    nextCleanUp_ = deleted >= kCleanUpBatch ? now : now + kCleanUpEvery;
  } catch (const std::exception& e) {
    nextCleanUp_ = now + kCleanUpEvery;
    log_.LogFailure("SmsOutbox", e);
  }
}

void TSmsOutbox::PublishMetrics() {
  if (!metrics_) return;
  metrics_->SmsQueued.store(static_cast<int64_t>(open_.size()));
  // The map is in queue order, so its first entry is the oldest.
  metrics_->SmsOldestQueuedSeconds.store(
      open_.empty() ? 0.0 : std::max(0.0, (clock_.Now() - open_.begin()->second.Row.QueuedAt) * 86400.0));
}

}  // namespace tavo
