// Where event-log entries go: journald under systemd, a line file, stderr, or memory in tests.
// A sink may throw; its callers (the event-log writer) swallow the failure.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Clock.h"

namespace tavo {

enum class TEventType : uint16_t { Success = 0, Error = 1, Warning = 2, Information = 4 };

struct TEventEntry {
  TDateTime Time = 0;
  TEventType Type = TEventType::Information;
  uint32_t EventId = 0;
  uint16_t Category = 0;
  std::string Source;   // Windows-1252
  std::string Message;  // Windows-1252
};

const char* EventTypeName(TEventType t);

class TEventSink {
 public:
  virtual ~TEventSink() = default;
  virtual void Write(const TEventEntry& e) = 0;
  // Lets go of the destination and opens it again (a log file that was rotated away); false
  // when that failed and the old destination is still in use.
  virtual bool Reopen() { return true; }
};

// journald: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, TAVO_EVENT_ID, TAVO_CATEGORY, TAVO_EVENT_TYPE.
class TJournalSink final : public TEventSink {
 public:
  void Write(const TEventEntry& e) override;
};

// One tab-separated line per entry, appended and flushed at once.
class TLineFileSink final : public TEventSink {
 public:
  explicit TLineFileSink(std::string path);
  ~TLineFileSink() override;
  void Write(const TEventEntry& e) override;
  bool Reopen() override;
  static std::string FormatLine(const TEventEntry& e);

 private:
  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
};

class TStderrSink final : public TEventSink {
 public:
  void Write(const TEventEntry& e) override;
};

// syslog(3) under the identifier TAVO_WServer, facility daemon: where a server that detached
// from its terminal writes when it was given no file, so that no entry goes nowhere.
class TSyslogSink final : public TEventSink {
 public:
  TSyslogSink();
  ~TSyslogSink() override;
  void Write(const TEventEntry& e) override;
};

// Keeps every entry; tests read and wait for them.
class TMemorySink final : public TEventSink {
 public:
  void Write(const TEventEntry& e) override;
  std::vector<TEventEntry> Entries() const;
  std::vector<std::string> Messages() const;
  bool Contains(const std::string& messagePart) const;
  // Waits up to timeoutMs for an entry whose message contains the text.
  bool WaitFor(const std::string& messagePart, int timeoutMs) const;
  void Clear();
  // When set, Write throws after recording nothing (a failing sink).
  void SetFailing(bool failing);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<TEventEntry> entries_;
  bool failing_ = false;
};

// Under systemd (JOURNAL_STREAM or INVOCATION_ID set) journald; a server that detaches from
// its terminal syslog; else stderr.
std::shared_ptr<TEventSink> MakeDefaultSink(bool detaching);
bool RunningUnderSystemd();

}  // namespace tavo
