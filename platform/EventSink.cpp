#include "platform/EventSink.h"

#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/Win1252.h"

namespace tavo {

const char* EventTypeName(TEventType t) {
  switch (t) {
    case TEventType::Success: return "Success";
    case TEventType::Error: return "Error";
    case TEventType::Warning: return "Warning";
    case TEventType::Information: return "Information";
  }
  return "Information";
}

void TJournalSink::Write(const TEventEntry& e) {
  int prio = e.Type == TEventType::Error ? LOG_ERR
             : e.Type == TEventType::Warning ? LOG_WARNING
                                             : LOG_INFO;
  std::string msg = AnsiToUtf8(e.Message);
  std::string src = AnsiToUtf8(e.Source);
  int r = sd_journal_send("MESSAGE=%s", msg.c_str(), "PRIORITY=%d", prio,
                          "SYSLOG_IDENTIFIER=%s", src.c_str(), "TAVO_EVENT_ID=0x%08X",
                          e.EventId, "TAVO_CATEGORY=%u", static_cast<unsigned>(e.Category),
                          "TAVO_EVENT_TYPE=%s", EventTypeName(e.Type), nullptr);
  if (r < 0) throw std::runtime_error("journal write failed");
}

TLineFileSink::TLineFileSink(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw std::runtime_error("Unable to open event log file " + path_ + ": " + std::strerror(errno));
}

TLineFileSink::~TLineFileSink() {
  if (fd_ >= 0) ::close(fd_);
}

std::string TLineFileSink::FormatLine(const TEventEntry& e) {
  TDateTimeParts p = DecodeDateTime(e.Time);
  char head[96];
  std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d\t%s\t0x%08X\t%u\t", p.Year,
                p.Month, p.Day, p.Hour, p.Minute, p.Second, EventTypeName(e.Type), e.EventId,
                static_cast<unsigned>(e.Category));
  std::string msg;
  for (char c : e.Message) {
    if (c == '\\') msg += "\\\\";
    else if (c == '\r') msg += "\\r";
    else if (c == '\n') msg += "\\n";
    else msg += c;
  }
  return head + AnsiToUtf8(e.Source) + "\t" + AnsiToUtf8(msg) + "\n";
}

void TLineFileSink::Write(const TEventEntry& e) {
  std::string line = FormatLine(e);
  std::lock_guard<std::mutex> lock(mutex_);
  // O_APPEND with one write per line keeps lines whole even with several writers.
  if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    throw std::runtime_error("event log file write failed");
}

bool TLineFileSink::Reopen() {
  const int fresh = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fresh < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd_);
  fd_ = fresh;
  return true;
}

void TStderrSink::Write(const TEventEntry& e) {
  std::string line = TLineFileSink::FormatLine(e);
  if (::write(2, line.data(), line.size()) < 0) throw std::runtime_error("stderr write failed");
}

TSyslogSink::TSyslogSink() { ::openlog("TAVO_WServer", LOG_PID, LOG_DAEMON); }

TSyslogSink::~TSyslogSink() { ::closelog(); }

void TSyslogSink::Write(const TEventEntry& e) {
  const int prio = e.Type == TEventType::Error     ? LOG_ERR
                   : e.Type == TEventType::Warning ? LOG_WARNING
                                                   : LOG_INFO;
  // One line per entry, as in the line file; the type and the identifier lead it.
  std::string msg;
  for (char c : e.Message) msg += c == '\r' || c == '\n' ? ' ' : c;
  char head[48];
  std::snprintf(head, sizeof head, "%s 0x%08X: ", EventTypeName(e.Type), e.EventId);
  ::syslog(prio, "%s%s", head, AnsiToUtf8(msg).c_str());
}

void TMemorySink::Write(const TEventEntry& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failing_) throw std::runtime_error("sink failure");
  entries_.push_back(e);
  cv_.notify_all();
}

std::vector<TEventEntry> TMemorySink::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::string> TMemorySink::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_) out.push_back(e.Message);
  return out;
}

bool TMemorySink::Contains(const std::string& part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& e : entries_)
    if (e.Message.find(part) != std::string::npos) return true;
  return false;
}

bool TMemorySink::WaitFor(const std::string& part, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const auto& e : entries_)
      if (e.Message.find(part) != std::string::npos) return true;
    return false;
  });
}

void TMemorySink::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

void TMemorySink::SetFailing(bool failing) {
  std::lock_guard<std::mutex> lock(mutex_);
  failing_ = failing;
}

bool RunningUnderSystemd() {
  return std::getenv("INVOCATION_ID") != nullptr || std::getenv("JOURNAL_STREAM") != nullptr;
}

std::shared_ptr<TEventSink> MakeDefaultSink(bool detaching) {
  if (RunningUnderSystemd()) return std::make_shared<TJournalSink>();
  if (detaching) return std::make_shared<TSyslogSink>();
  return std::make_shared<TStderrSink>();
}

}  // namespace tavo
