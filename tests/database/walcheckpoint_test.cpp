// The WAL of the server's SQLite connection is copied back into the file by a thread of its
// own: commits never checkpoint, the WAL stays bounded, and a failure is said once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "database/SqliteDatabase.h"
#include "database/WalCheckpointer.h"
#include "support/TestSupport.h"

namespace tavo::test {
namespace {

// The frames in the WAL and how many of them are already in the file, from the WAL-index
// header in the -shm file (its layout is SQLite's documented WAL-index format: mxFrame at
// byte 16, nBackfill at byte 96, native byte order).
struct TWalState {
  uint32_t Frames = 0;
  uint32_t Backfilled = 0;
};

TWalState ReadWalState(const std::filesystem::path& db) {
  std::ifstream in(db.string() + "-shm", std::ios::binary);
  char head[100] = {};
  TWalState s;
  if (!in.read(head, sizeof head)) return s;
  std::memcpy(&s.Frames, head + 16, 4);
  std::memcpy(&s.Backfilled, head + 96, 4);
  return s;
}

// Waits, bounded, until every frame of a WAL past the threshold is back in the file.
bool WaitBackfilled(const std::filesystem::path& db) {
  for (int i = 0; i < 3000; ++i) {
    const TWalState s = ReadWalState(db);
    if (s.Frames > 0 && s.Backfilled == s.Frames) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void InsertCall(TDatabase& db, int64_t& rows) {
  db.Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
             "VALUES (?, 1, 1, 0, '2026-12-10 08:00:00.000')",
             {SqlInt(++rows)});
}

// Commits one call-log row at a time until the WAL holds the given frames; the commit that
// gets there is the last.
void CommitUntilFrames(TDatabase& db, const std::filesystem::path& file, int64_t& rows,
                       uint32_t frames) {
  for (int i = 0; i < 20000; ++i) {
    InsertCall(db, rows);
    if (ReadWalState(file).Frames >= frames) return;
  }
  FAIL() << "the WAL never reached " << frames << " frames";
}

// Once the WAL is all back in the file, the next commit starts it over from its beginning,
// unless the checkpointer was still finishing; then the commits go on to its next wake-up.
bool WaitWalStartsOver(TDatabase& db, const std::filesystem::path& file, int64_t& rows) {
  for (int i = 0; i < 20; ++i) {
    if (!WaitBackfilled(file)) return false;
    const uint32_t before = ReadWalState(file).Frames;
    InsertCall(db, rows);
    if (ReadWalState(file).Frames < before) return true;
    CommitUntilFrames(db, file, rows, before + TWalCheckpointer::kWakePages);
  }
  return false;
}

int64_t CallLogRows(const std::filesystem::path& file) {
  TSqliteDatabase db(file);
  return db.Open("SELECT COUNT(*) AS N FROM CALLLOG")->AsInteger("N");
}

TEST(WalCheckpointer, CommitsLeaveCheckpointsToTheThreadAndTheWalStaysBounded) {
  TTempDir dir;
  const auto file = dir / "tavo.db";
  const auto wal = std::filesystem::path(file.string() + "-wal");
  int64_t rows = 0;
  for (int opening = 0; opening < 2; ++opening) {
    // Reopened, the connection gets a checkpointer of its own.
    TSqliteDatabase db(file);
    db.Execute("PRAGMA synchronous=NORMAL");  // no sync per commit: the test stays quick
    EXPECT_EQ(db.Open("PRAGMA wal_autocheckpoint")->AsInteger("wal_autocheckpoint"), 0);
    const uintmax_t frame = db.Open("PRAGMA page_size")->AsInteger("page_size") + 24;
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(testing::Message() << "opening " << opening << ", round " << round);
      CommitUntilFrames(db, file, rows, TWalCheckpointer::kWakePages);
      ASSERT_TRUE(WaitBackfilled(file));
      // The file alone, without its WAL, holds every committed row.
      const auto copy = dir / "copy.db";
      std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
      EXPECT_EQ(CallLogRows(copy), rows);
      for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(copy.string() + suffix);
      ASSERT_TRUE(WaitWalStartsOver(db, file, rows));
      // Used again from its beginning, not grown round by round (eight rounds would need
      // twice this).
      EXPECT_LE(std::filesystem::file_size(wal), 32 + TWalCheckpointer::kMostPages * frame);
    }
  }
  EXPECT_EQ(CallLogRows(file), rows);
}

// Commits one after another, with no pause in which the thread could catch up.
TEST(WalCheckpointer, AStreamOfCommitsKeepsTheWalBounded) {
  TTempDir dir;
  const auto file = dir / "tavo.db";
  TSqliteDatabase db(file);
  db.Execute("PRAGMA synchronous=NORMAL");
  const uintmax_t frame = db.Open("PRAGMA page_size")->AsInteger("page_size") + 24;
  int64_t rows = 0;
  uint32_t most = 0;
  // About ten times the bound in frames, had the WAL never started over.
  for (int i = 0; i < 20000; ++i) {
    InsertCall(db, rows);
    most = std::max(most, ReadWalState(file).Frames);
  }
  EXPECT_GE(most, static_cast<uint32_t>(TWalCheckpointer::kWakePages));
  EXPECT_LE(most, static_cast<uint32_t>(TWalCheckpointer::kMostPages + 1000));
  EXPECT_LE(std::filesystem::file_size(file.string() + "-wal"),
            32 + (TWalCheckpointer::kMostPages + 1000) * frame);
  EXPECT_EQ(db.Open("SELECT COUNT(*) AS N FROM CALLLOG")->AsInteger("N"), rows);
}

// A raw connection in WAL mode with one table, as the checkpointer sees the server's.
sqlite3* OpenWal(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; "
                             "CREATE TABLE T (V BLOB)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  return db;
}

// Each insert writes a few pages, so that a handful of commits pass the threshold.
void CommitPages(sqlite3* db, int commits) {
  for (int i = 0; i < commits; ++i)
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO T VALUES (randomblob(20000))", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
}

bool WaitAttempts(const TWalCheckpointer& c, uint64_t atLeast) {
  for (int i = 0; i < 3000 && c.Attempts() < atLeast; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return c.Attempts() >= atLeast;
}

TEST(WalCheckpointer, QuietBelowTheThresholdAndWokenPastIt) {
  TLogEnv env;
  const auto file = env.dir / "t.db";
  sqlite3* db = OpenWal(file);
  {
    TWalCheckpointer checkpointer(db, &env.log);
    CommitPages(db, 100);  // about 600 pages
    EXPECT_EQ(checkpointer.Attempts(), 0u);
    EXPECT_EQ(ReadWalState(file).Backfilled, 0u);
    while (ReadWalState(file).Frames < TWalCheckpointer::kWakePages) CommitPages(db, 1);
    EXPECT_TRUE(WaitAttempts(checkpointer, 1));
    EXPECT_TRUE(WaitBackfilled(file));
  }
  EXPECT_TRUE(env.sink->Entries().empty());
  sqlite3_close(db);
}

TEST(WalCheckpointer, AFailureIsLoggedOnceAsAWarningAndTheCommitsGoOn) {
  TLogEnv env;
  const auto file = env.dir / "t.db";
  sqlite3* db = OpenWal(file);
  int commits = 0;
  {
    TWalCheckpointer checkpointer(db, &env.log);
    // The checkpointer's own connection cannot open a file that is gone; the server's
    // connection keeps it open and goes on committing.
    std::filesystem::remove(file);
    auto commit = [&] {
      CommitPages(db, 1);
      ++commits;
    };
    // Nothing is copied back, so the WAL only grows: woken at each threshold's worth.
    for (uint32_t wake = 1; wake <= 3; ++wake) {
      while (ReadWalState(file).Frames < wake * TWalCheckpointer::kWakePages - 30)
        commit();
      EXPECT_EQ(checkpointer.Attempts(), wake - 1);
      while (ReadWalState(file).Frames < wake * TWalCheckpointer::kWakePages) commit();
      EXPECT_TRUE(WaitAttempts(checkpointer, wake));
    }
  }
  const auto entries = env.sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Type, TEventType::Warning);
  EXPECT_NE(entries[0].Message.find("The WAL checkpoint of " + file.string() + " failed: "),
            std::string::npos)
      << entries[0].Message;
  EXPECT_EQ(env.log.ErrorCount(), 0);
  sqlite3_int64 n = 0;
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM T", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  n = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  EXPECT_EQ(n, commits);
  sqlite3_close(db);
}

}  // namespace
}  // namespace tavo::test
