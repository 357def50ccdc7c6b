// TCallLogWriter: the call log's rows as the calls write them — a new call's number and row,
// and the confirmation or answer of a call — told back as "written" or "kept for later".
// A write is kept in the outage journal instead of the database while the database is down
// (EDatabaseDown), and also while the journal still holds writes the database has not taken,
// since those must go first. WriteJournal() writes the journal to the database in order once
// it is back (the reconnection and the start-up call it; so may anything that takes over the
// serving, as soon as it can).
//
// A call opened while the database is down has no CALLLOG number yet: it is named by a key of
// the journal (TCallLogRef::Key) until its row is written. Its confirmation or answer is kept
// under the same key, and the replay writes it to the row it has just given that call. Each
// call written from the journal is told to SetOnCallWritten's function, so the open call in
// memory takes its number for the writes that follow.
//
// Journal records written here (TOutageJournal gives the file format; fields may be added):
//   call     key=K station=S resource=R sms=0|1 time=T
//   confirm  (lopnr=N | key=K) time=T
//   coming   (lopnr=N | key=K) station=A time=T
// T is "YYYY-MM-DD HH:MM:SS.mmm" local time. A replay writes a kept call once only: a row of the
// same station, resource and time (within 3 ms, the rounding of the coarsest DATETIME) that is
// already there is taken as its row, so a replay cut off by a crash may run again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "common/DateTime.h"
#include "database/Database.h"
#include "database/OutageJournal.h"
#include "platform/Logging.h"

namespace tavo {

// What a call-log edit writes.
enum class TCallLogEdit : uint8_t { Confirm, Coming };

// A new call's row.
struct TNewCall {
  int32_t StationLopnr = 0;
  int32_t CallableLopnr = 0;
  bool SmsSent = false;
  TDateTime CallTime = 0;
};

// Rows that belong to a call (its SMS), written with its number inside the transaction of its
// row; throwing rolls the call's row back too.
using TWithCallRowFn = std::function<void(int32_t lopnr)>;

// Which call an edit is for: its CALLLOG number, or the journal key of a call kept while the
// database was down (Key != 0). A plain number converts to a reference.
struct TCallLogRef {
  TCallLogRef() = default;
  TCallLogRef(int32_t lopnr) : Lopnr(lopnr) {}  // NOLINT: a number names its row
  int32_t Lopnr = 0;
  uint64_t Key = 0;
  bool Kept() const { return Key != 0; }
};

class TCallLogWriter {
 public:
  // A call the journal's replay gave a row: its key, its number, and its SMSSENT.
  using TCallWrittenFn = std::function<void(uint64_t key, int32_t lopnr, bool smsSent)>;
  // Rows that belong to a kept call, written inside the transaction of its replayed row.
  using TKeptCallRowFn = std::function<void(uint64_t key, int32_t lopnr)>;

  TCallLogWriter(TDatabase& db, TLogging& log) : db_(db), log_(log) {}

  // The journal to keep writes in; without one (nullptr) an outage fails the write.
  void SetJournal(TOutageJournal* journal) { journal_ = journal; }
  TOutageJournal* Journal() const { return journal_; }
  void SetOnCallWritten(TCallWrittenFn fn) { onCallWritten_ = std::move(fn); }
  void SetWithKeptCallRow(TKeptCallRowFn fn) { withKeptCallRow_ = std::move(fn); }

  // Takes the next number and inserts the row in one transaction: the reference holds the
  // number. Kept: the reference holds the journal key (and number 0). Throws the database's
  // failure otherwise, having written nothing (a failed GetNextLopnr is logged by it).
  // withRow (may be empty) runs inside the transaction of a row written now, never for a kept
  // call.
  TCallLogRef Add(const TNewCall& call, const TWithCallRowFn& withRow = {});
  // Writes the confirm or the answer into the call's row, checked in the same transaction (no
  // row, or several, writes nothing and is no failure). True when written, false when kept;
  // throws the database's failure otherwise.
  bool Edit(const TCallLogRef& call, TCallLogEdit kind, int32_t comingLopnr, TDateTime time);

  // True while the journal holds writes the database has not taken.
  bool HoldsKept() const { return journal_ && !journal_->Empty(); }

  // Writes the journal to the database: in order, each record in a transaction of its own,
  // then the journal is emptied. A record the database refuses for good is set aside (the
  // .rejected file and an error entry) and the replay goes on; when the database cannot be
  // reached the replay stops, keeps what is left and throws EDatabaseDown. Returns the number of
  // records written.
  size_t WriteJournal();

 private:
  // key: the journal's key of a kept call being replayed (0: a call written as it is made).
  int32_t InsertCall(const TNewCall& call, const TWithCallRowFn& withRow, uint64_t key = 0);
  void UpdateCall(int32_t lopnr, TCallLogEdit kind, int32_t comingLopnr, TDateTime time);
  // The number of a row already written for this call, or 0.
  int32_t FindWritten(const TNewCall& call);
  void Keep(TJournalRecord record);
  // Writes one record; throws what the database threw.
  void Replay(const TJournalRecord& record, std::map<uint64_t, int32_t>& keys);

  TDatabase& db_;
  TLogging& log_;
  TOutageJournal* journal_ = nullptr;
  TCallWrittenFn onCallWritten_;
  TKeptCallRowFn withKeptCallRow_;
  // Numbers the replays gave kept calls, for an edit that still names the key.
  std::map<uint64_t, int32_t> written_;
};

}  // namespace tavo
