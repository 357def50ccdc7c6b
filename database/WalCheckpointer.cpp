#include "database/WalCheckpointer.h"

#include <sqlite3.h>

#include "common/Win1252.h"
#include "platform/Logging.h"

namespace tavo {

TWalCheckpointer::TWalCheckpointer(sqlite3* db, TLogging* log) : db_(db), log_(log) {
  const char* file = sqlite3_db_filename(db, "main");
  file_ = file ? file : "";
  thread_ = std::thread([this] { Run(); });
  // Installing a hook replaces the automatic checkpoint; setting it off first says so.
  sqlite3_wal_autocheckpoint(db_, 0);
  sqlite3_wal_hook(db_, &TWalCheckpointer::OnCommit, this);
}

TWalCheckpointer::~TWalCheckpointer() {
  sqlite3_wal_hook(db_, nullptr, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

// Runs on the committing thread after each commit: now and then a flag and a wake-up, unless
// the WAL outgrew what the thread could keep up with.
int TWalCheckpointer::OnCommit(void* self, sqlite3* db, const char* schema, int pages) {
  auto* me = static_cast<TWalCheckpointer*>(self);
  if (pages < kWakePages) {  // started over
    me->nextWake_ = kWakePages;
    return SQLITE_OK;
  }
  if (pages >= kMostPages) {
    // Busy while the thread checkpoints: the next commit tries again.
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
  }
  if (pages < me->nextWake_) return SQLITE_OK;
  me->nextWake_ = pages + kWakePages;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(me->mutex_);
    wake = !me->pending_;
    me->pending_ = true;
  }
  // Already woken: no second system call on this commit.
  if (wake) me->wake_.notify_one();
  return SQLITE_OK;
}

void TWalCheckpointer::Run() {
  sqlite3* conn = nullptr;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return pending_ || stop_; });
      if (stop_) break;
      pending_ = false;
    }
    Checkpoint(conn);
    attempts_.fetch_add(1);
  }
  sqlite3_close_v2(conn);
}

void TWalCheckpointer::Checkpoint(sqlite3*& conn) {
  if (!conn) {
    // The file must exist: this connection only ever copies into it.
    if (sqlite3_open_v2(file_.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      Warn(conn ? sqlite3_errmsg(conn) : "out of memory");
      sqlite3_close_v2(conn);
      conn = nullptr;
      return;
    }
    sqlite3_extended_result_codes(conn, 1);
    // FULL: the file is synced before the WAL may be reused, whatever the server's connection
    // chose for its commits.
    if (sqlite3_exec(conn, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK) {
      Warn(sqlite3_errmsg(conn));
      sqlite3_close_v2(conn);
      conn = nullptr;
      return;
    }
  }
  const int rc = sqlite3_wal_checkpoint_v2(conn, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                           nullptr);
  const int primary = rc & 0xff;
  if (rc != SQLITE_OK && primary != SQLITE_BUSY && primary != SQLITE_LOCKED)
    Warn(sqlite3_errmsg(conn));
}

void TWalCheckpointer::Warn(const std::string& text) {
  if (warned_ || !log_) return;
  warned_ = true;
  log_->Logg("The WAL checkpoint of " + Utf8ToAnsi(file_) + " failed: " + Utf8ToAnsi(text) +
                 "; the WAL grows until a checkpoint succeeds",
             ltWarning);
}

}  // namespace tavo
