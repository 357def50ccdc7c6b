// The outbox table SMSOUTBOX: one row per SMS, on the server's one connection (main thread).
// The server creates the table itself where it is missing; the five tables of the call system
// stay as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "database/Database.h"
#include "platform/Logging.h"
#include "sms/SmsRow.h"

namespace tavo {

inline constexpr size_t kSmsNumberWidth = 250;  // SMSNUMMER, as wide as the resource's
inline constexpr size_t kSmsNameWidth = 255;    // CALLERNAME, CALLNAME
inline constexpr size_t kSmsErrorWidth = 1000;  // LASTERROR

// A row picked up at start-up, with whether its call was closed (answered, confirmed or
// cancelled) in the call log meanwhile.
struct TSmsStoredRow {
  TSmsRow Row;
  bool CallClosed = false;
};

class TSmsOutboxStore {
 public:
  TSmsOutboxStore(TDatabase& db, TLogging& log) : db_(db), log_(log) {}

  // Creates the table when it is missing; true when it was created.
  // Throws EDatabaseError when it is missing and cannot be created.
  bool EnsureTable();
  // Numbers the row (highest number + 1) and inserts it, within whatever transaction the
  // connection has open. Texts longer than their columns are cut to fit. Throws.
  void Insert(TSmsRow& row);
  // Writes the row's state, attempts, next attempt, last error and finish time; false when
  // the row is not there (deleted by hand). Throws.
  bool Update(const TSmsRow& row);
  // The queued and sending rows, oldest first. Throws.
  std::vector<TSmsStoredRow> LoadUnfinished();
  // Deletes at most `batch` finished rows that finished before the time; returns how many.
  // Throws.
  int64_t DeleteFinished(TDateTime before, int batch);

 private:
  TDatabase& db_;
  TLogging& log_;
};

}  // namespace tavo
