// TSmsOutbox: every SMS the server sends, kept in SMSOUTBOX from the moment it is queued until
// the gateway takes it or it is known not to go (expired, cancelled, failed). A few workers
// take due SMS in order; a failed attempt is tried again after 10, 20, 40 s, then every 60 s,
// until the SMS's validity ends. The SMS of one number go one at a time, in the order they
// were queued, so nobody reads a later message before an earlier one.
//
// Everything here runs on the main thread, which also does all database work; the workers only
// talk to the gateway. The table is the durable record; what is in memory decides, and a row
// that could not be written is written again on the next tick.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "common/Clock.h"
#include "common/Metrics.h"
#include "common/Registry.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "platform/Timer.h"
#include "sms/SmsOutboxStore.h"
#include "sms/SmsRow.h"
#include "sms/SmsWorkerPool.h"

namespace tavo {

// Registry values of the outbox, read afresh every tick (the workers only at the start).
struct TSmsOutboxSettings {
  int Workers = 2;             // "SmsWorkers"
  int ValiditySeconds = 600;   // "SmsValiditySeconds": an older SMS is not sent any more
  int TryTimeoutSeconds = 30;  // "SmsTryTimeoutSeconds": one attempt, connect check included
  int KeepDays = 30;           // "SmsKeepDays": finished rows are deleted after this

  // A value that is not a number in its range keeps its default; each such value is named in
  // problems when given.
  static TSmsOutboxSettings Read(TRegistryStore& registry,
                                 std::vector<std::string>* problems = nullptr);
};

// Seconds until the next attempt after `attempts` failed ones: 10, 20, 40, then 60.
int SmsRetryDelaySeconds(int attempts);

class TSmsOutbox {
 public:
  // Posts a function to the main loop, from any thread.
  using TPostFn = std::function<void(std::function<void()>)>;

  TSmsOutbox(TDatabase& db, TLogging& log, const TClock& clock, TRegistryStore& registry,
             TMetrics* metrics);
  ~TSmsOutbox();
  TSmsOutbox(const TSmsOutbox&) = delete;
  TSmsOutbox& operator=(const TSmsOutbox&) = delete;

  // Creates the table where it is missing and picks up where the last run stopped: queued and
  // sending SMS within their validity are due at once, older ones expire, those whose call was
  // closed meanwhile are cancelled. Without the table the outbox keeps its SMS in memory only
  // (logged). Called again after a Stop, it takes the table's word over what was in memory.
  // Never throws.
  void Open();
  // Starts the workers and the tick (one a second: due attempts, validity, metrics, clean-up);
  // without a tick timer the owner calls Tick once a second itself.
  // attempt: what a worker runs for a job; the service passes SendSMSAttempt. Never throws.
  void Start(TSmsWorkerPool::TAttemptFn attempt, std::unique_ptr<TTimer> tick, TPostFn post);
  // Ends the workers (running attempts get `grace`, then are cut off) and records what they
  // did. Never throws.
  void Stop(std::chrono::milliseconds grace);

  // --- queueing, for the calls and anyone who sends staff an SMS ---
  // Writes the row of a new SMS on the server's connection, inside the transaction the caller
  // holds; throws when it cannot be written. Once the caller committed, it hands the row to
  // Dispatch; a rolled-back row is simply dropped. Dispatch, Queue and CancelCall change only
  // what is in memory; the outbox writes and sends once the main loop's current event is done.
  TSmsRow AddRow(const TSmsRequest& request);
  void Dispatch(TSmsRow row) noexcept;
  // AddRow and Dispatch in a transaction of its own: "queue an SMS for call N to number X with
  // these text inputs". The row's number, or -1 when it could not be kept (logged).
  int32_t Queue(const TSmsRequest& request) noexcept;
  // The call was answered, confirmed or cancelled: its SMS that the gateway has not taken are
  // cancelled, now or, for one at the gateway this moment, when its attempt ends. A call kept
  // in the outage journal is named by its key. Never throws.
  void CancelCall(int32_t callLogLopnr, uint64_t journalKey = 0) noexcept;

  // --- while the database is down ---
  // The SMS of a call kept in the outage journal under `journalKey`: it has no call-log number
  // yet, so it waits a few seconds for one and then goes from memory (its message's UNIKNR is
  // 0 until the call has its number). Its row is written with the call's when the journal is.
  void DispatchKept(const TSmsRequest& request, uint64_t journalKey) noexcept;
  // Inside the transaction that writes the kept call's row: the SMS's row, with its outcome so
  // far and the call's number. Throws when it cannot be written (the call's row goes back too).
  void WriteKeptRow(uint64_t journalKey, int32_t callLogLopnr);
  // Once that transaction is committed: the SMS takes the number (and its row's). True when
  // an SMS of that call was in memory. Never throws.
  bool CallNumbered(uint64_t journalKey, int32_t callLogLopnr) noexcept;

  // One turn of the tick; the timer calls it, tests may too.
  void Tick() noexcept;
  // Takes the workers' results; posted to the main loop by the workers.
  void TakeResults() noexcept;

  // SMS not finished yet, oldest first (for tests and the status).
  std::vector<TSmsRow> Pending() const;
  bool Durable() const { return durable_; }

 private:
  struct TEntry {
    TSmsRow Row;
    uint64_t JournalKey = 0;                       // of its call, kept in the outage journal
    bool CallClosed = false;                       // cancelled, to be written
    std::shared_ptr<std::atomic<bool>> Cancelled;  // of the attempt at the gateway
    std::vector<std::filesystem::path> LeftFiles;
  };

  // Pump once the main loop has finished what it is doing: a call's broadcasts do not wait
  // for the outbox's writes. Without a main loop (no Start), at once.
  void PumpSoon();
  // Writes the cancellations, expires what outlived its validity and hands due SMS to free
  // workers.
  void Pump();
  void StartAttempt(uint64_t key, TEntry& entry);
  void OnResult(uint64_t key, const TSmsAttemptResult& result);
  // Final state: written, counted, logged when it expired or failed, forgotten.
  void Finish(uint64_t key, TSmsState state, const std::string& error);
  void Save(const TSmsRow& row);
  void SaveUnsaved();
  void CleanUp();
  void PublishMetrics();
  TDateTime ExpiresAt(const TSmsRow& row) const;
  uint64_t Remember(TSmsRow row);

  TDatabase& db_;
  TLogging& log_;
  const TClock& clock_;
  TRegistryStore& registry_;
  TMetrics* metrics_;
  TSmsOutboxStore store_;
  TSmsOutboxSettings settings_;
  bool durable_ = false;  // the table is there
  std::map<uint64_t, TEntry> open_;  // by the order they were queued in
  uint64_t nextKey_ = 1;
  int inFlight_ = 0;
  std::vector<TSmsRow> unsaved_;  // rows whose last write failed
  // SMS of calls kept in the journal that finished before the call had its row, by the key.
  std::map<uint64_t, TSmsRow> keptFinished_;
  // Row numbers written by WriteKeptRow, taken by CallNumbered once committed.
  std::map<uint64_t, int32_t> keptRows_;
  std::unique_ptr<TSmsWorkerPool> pool_;
  std::unique_ptr<TTimer> tick_;
  TPostFn post_;
  bool pumpPosted_ = false;
  TDateTime nextCleanUp_ = 0;
  bool stopped_ = false;
  // Posted functions check it, so that none runs after the outbox is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tavo
