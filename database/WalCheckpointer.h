// Copies an SQLite file's WAL back into the file on a thread of its own, with a connection of
// its own, so that no commit of the server's connection runs a checkpoint and waits for its
// sync. The server connection's WAL hook wakes it once the WAL holds kWakePages pages, and
// again each further kWakePages pages (SQLite's own cadence: back-to-back checkpoints would
// keep the disk flushing under the commits' own syncs).
// Checkpoints are PASSIVE: they never wait for, nor hold up, a writer; what they leave (a
// busy file, frames a reader still uses) is taken at the next wake-up.
// The WAL starts over from its beginning only when a write finds it all copied back, which a
// steady stream of commits never lets a checkpoint from another connection see. So past
// kMostPages the server's connection copies what the thread has not yet copied itself, after
// its commit, and the WAL stays bounded under any load; below it, commits never checkpoint.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace tavo {

class TLogging;

class TWalCheckpointer {
 public:
  // SQLite's own automatic threshold.
  static constexpr int kWakePages = 1000;
  static constexpr int kMostPages = 4 * kWakePages;

  // Takes over the connection's automatic checkpoint and starts the thread. The connection must
  // outlive this object. A failure other than a busy file is logged once as a warning to log
  // (none: not logged).
  TWalCheckpointer(sqlite3* db, TLogging* log);
  // Gives the WAL hook back and joins the thread.
  ~TWalCheckpointer();
  TWalCheckpointer(const TWalCheckpointer&) = delete;
  TWalCheckpointer& operator=(const TWalCheckpointer&) = delete;

  // Checkpoints tried so far, successful or not (tests wait on it).
  uint64_t Attempts() const { return attempts_.load(); }

 private:
  static int OnCommit(void* self, sqlite3* db, const char* schema, int pages);
  void Run();
  // One PASSIVE checkpoint through the thread's connection, opened on first use.
  void Checkpoint(sqlite3*& conn);
  void Warn(const std::string& text);

  sqlite3* db_;
  TLogging* log_;
  std::string file_;  // UTF-8, as SQLite names it
  std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stop_ = false;
  bool warned_ = false;  // thread only
  int nextWake_ = kWakePages;  // committing thread only
  std::atomic<uint64_t> attempts_{0};
  std::thread thread_;
};

}  // namespace tavo
