#include "database/CallLogWriter.h"

#include <stdexcept>

#include "database/SqlHelpers.h"

namespace tavo {
namespace {

// The coarsest DATETIME (SQL Server's) rounds to 1/300 s.
constexpr TDateTime kSameTime = 3.0 / 86400000.0;

TDateTime TimeField(const TJournalRecord& r) {
  TDateTime t = 0;
  if (!ParseIsoDateTime(r.Get("time"), t)) throw std::invalid_argument("no valid time: " + r.Get("time"));
  return t;
}

int32_t IntField(const TJournalRecord& r, const char* name) {
  return static_cast<int32_t>(r.GetInt(name));
}

}  // namespace

int32_t TCallLogWriter::InsertCall(const TNewCall& call, const TWithCallRowFn& withRow,
                                   uint64_t key) {
  // Number and row in one transaction: one round of locks, and no other program can take
  // the number in between.
  TTransaction transaction(db_);
  // MAX only: the row count would read the whole, ever-growing call log on every call.
  const int32_t number = GetNextLopnr(db_, log_, "CALLLOG", "LOPNR");
  // Without a number there is no row to write: a row numbered -1 would be taken by the next
  // call that also finds no number.
  if (number == -1) throw EDatabaseError("no running number for CALLLOG; the call is not logged");
  db_.Execute(
      "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
      "VALUES (?, ?, ?, ?, ?)",
      {SqlInt(number), SqlInt(call.StationLopnr), SqlInt(call.CallableLopnr),
       SqlBool(call.SmsSent), SqlDateTime(call.CallTime)});
  if (withRow) withRow(number);
  if (key != 0 && withKeptCallRow_) withKeptCallRow_(key, number);
  transaction.Commit();
  return number;
}

void TCallLogWriter::UpdateCall(int32_t lopnr, TCallLogEdit kind, int32_t comingLopnr,
                                TDateTime time) {
  // The check and the change in one transaction: one round of locks, and the row checked is
  // the row changed.
  TTransaction transaction(db_);
  auto rows = RunSQLOrThrow(db_, log_, "SELECT LOPNR FROM CALLLOG WHERE LOPNR = ?", {SqlInt(lopnr)});
  // No row, or several, is not a failure: nothing is written.
  if (rows->RecordCount() != 1) return;
  if (kind == TCallLogEdit::Confirm)
    db_.Execute("UPDATE CALLLOG SET CONFIRMTSTAMP = ? WHERE LOPNR = ?",
                {SqlDateTime(time), SqlInt(lopnr)});
  else
    db_.Execute("UPDATE CALLLOG SET COMINGTSTAMP = ?, COMINGLOPNR = ? WHERE LOPNR = ?",
                {SqlDateTime(time), SqlInt(comingLopnr), SqlInt(lopnr)});
  transaction.Commit();
}

int32_t TCallLogWriter::FindWritten(const TNewCall& call) {
  auto rows = db_.Open(
      "SELECT LOPNR FROM CALLLOG WHERE STATIONSLOPNR = ? AND CALLABLESLOPNR = ? AND "
      "CALLTSTAMP >= ? AND CALLTSTAMP <= ?",
      {SqlInt(call.StationLopnr), SqlInt(call.CallableLopnr),
       SqlDateTime(call.CallTime - kSameTime), SqlDateTime(call.CallTime + kSameTime)});
  return rows->Eof() ? 0 : rows->AsInteger("LOPNR");
}

void TCallLogWriter::Keep(TJournalRecord record) {
  // Held in memory when the file cannot take it: the journal says so once.
  journal_->Append(record);
}

TCallLogRef TCallLogWriter::Add(const TNewCall& call, const TWithCallRowFn& withRow) {
  if (HoldsKept()) {
    try {
      WriteJournal();  // what waits goes first; refused at once while the database is down
    } catch (const EDatabaseDown&) {
    }
  }
  if (!HoldsKept()) {
    try {
      TCallLogRef ref;
      ref.Lopnr = InsertCall(call, withRow);
      return ref;
    } catch (const EDatabaseDown&) {
      if (!journal_) throw;
      // Lost during the write: the row may have reached the database all the same; the
      // replay finds it there rather than writing it twice.
    }
  }
  TCallLogRef ref;
  ref.Key = journal_->NextKey();
  Keep(TJournalRecord{"call",
                      {{"key", std::to_string(ref.Key)},
                       {"station", std::to_string(call.StationLopnr)},
                       {"resource", std::to_string(call.CallableLopnr)},
                       {"sms", call.SmsSent ? "1" : "0"},
                       {"time", FormatIsoMillis(call.CallTime)}}});
  return ref;
}

bool TCallLogWriter::Edit(const TCallLogRef& call, TCallLogEdit kind, int32_t comingLopnr,
                          TDateTime time) {
  int32_t lopnr = call.Lopnr;
  if (call.Kept()) {
    auto it = written_.find(call.Key);
    if (it != written_.end()) lopnr = it->second;
  }
  if (HoldsKept()) {
    try {
      WriteJournal();
    } catch (const EDatabaseDown&) {
    }
    if (call.Kept() && lopnr == 0) {
      auto it = written_.find(call.Key);
      if (it != written_.end()) lopnr = it->second;
    }
  }
  const bool rowPending = call.Kept() && lopnr == 0;
  if (rowPending && !HoldsKept())
    throw EDatabaseError("the call kept in the journal as " + std::to_string(call.Key) +
                         " has no row: the database refused it (see the .rejected file)");
  if (!HoldsKept()) {
    try {
      UpdateCall(lopnr, kind, comingLopnr, time);
      return true;
    } catch (const EDatabaseDown&) {
      if (!journal_) throw;
    }
  }
  TJournalRecord record{kind == TCallLogEdit::Confirm ? "confirm" : "coming", {}};
  if (rowPending)
    record.Set("key", std::to_string(call.Key));
  else
    record.Set("lopnr", std::to_string(lopnr));
  if (kind == TCallLogEdit::Coming) record.Set("station", std::to_string(comingLopnr));
  record.Set("time", FormatIsoMillis(time));
  Keep(std::move(record));
  return false;
}

void TCallLogWriter::Replay(const TJournalRecord& r, std::map<uint64_t, int32_t>& keys) {
  if (r.Kind == "call") {
    TNewCall call;
    call.StationLopnr = IntField(r, "station");
    call.CallableLopnr = IntField(r, "resource");
    call.SmsSent = r.Get("sms") == "1";
    call.CallTime = TimeField(r);
    const uint64_t key = static_cast<uint64_t>(r.GetInt("key"));
    int32_t lopnr = FindWritten(call);
    if (lopnr == 0) lopnr = InsertCall(call, {}, key);
    keys[key] = lopnr;
    written_[key] = lopnr;
    if (onCallWritten_) onCallWritten_(key, lopnr, call.SmsSent);
    return;
  }
  TCallLogEdit kind;
  if (r.Kind == "confirm")
    kind = TCallLogEdit::Confirm;
  else if (r.Kind == "coming")
    kind = TCallLogEdit::Coming;
  else
    throw EDatabaseError("unknown kind of record: " + r.Kind);
  int32_t lopnr = 0;
  if (r.Has("lopnr")) {
    lopnr = IntField(r, "lopnr");
  } else {
    const uint64_t key = static_cast<uint64_t>(r.GetInt("key"));
    auto it = keys.find(key);
    if (it == keys.end()) {
      it = written_.find(key);
      if (it == written_.end())
        throw EDatabaseError("its call (key " + std::to_string(key) + ") has no row in CALLLOG");
    }
    lopnr = it->second;
  }
  UpdateCall(lopnr, kind, IntField(r, "station"), TimeField(r));
}

size_t TCallLogWriter::WriteJournal() {
  if (!HoldsKept()) return 0;
  std::map<uint64_t, int32_t> keys;
  const auto& records = journal_->Records();
  size_t done = 0;
  size_t written = 0;
  try {
    for (; done < records.size(); ++done) {
      try {
        Replay(records[done], keys);
        ++written;
      } catch (const std::exception& e) {
        if (IsKnownOutage(e)) throw;
        // Refused for good: set aside with its content, never dropped without a word.
        journal_->SetAside(records[done], e.what());
      }
    }
  } catch (...) {
    journal_->DropFirst(done);
    throw;
  }
  journal_->DropFirst(done);
  return written;
}

}  // namespace tavo
