// TOutageJournal: the call-log writes the server could not make while the database was down,
// in an append-only file of its own, in the order they were made. Each record is written and
// flushed to the disk (fdatasync) before Append returns, so a record the stations were told
// about survives a kill of the process. The records are also held in memory: when the file
// itself cannot be written (its disk is full too) they are kept there, said once in the event
// log, and the whole file is written afresh as soon as it can be.
//
// File format, UTF-8 text, one record a line:
//   kind TAB name=value TAB name=value ... TAB #checksum LF
// The kind and the fields are what the writer put in; a reader passes over fields it does not
// know, so a newer writer may add fields to a kind. In values, backslash, TAB, CR and LF are
// written \\ \t \r \n. The checksum is the FNV-1a 32-bit hash of the line before " TAB #", in
// eight lower-case hex digits: a line cut off by a crash does not read back. Lines beginning
// with "#" are comments (the file's first line says what it is).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Logging.h"

namespace tavo {

// One record: its kind and its fields in order. Texts are Windows-1252, like all server text.
struct TJournalRecord {
  std::string Kind;
  std::vector<std::pair<std::string, std::string>> Fields;

  bool Has(const std::string& name) const;
  // Empty text / 0 when absent; GetInt throws std::invalid_argument when not a number.
  std::string Get(const std::string& name) const;
  int64_t GetInt(const std::string& name) const;
  // Replaces the field's value, or adds the field at the end.
  void Set(const std::string& name, std::string value);

  // The record as one line of the file (without the line feed), and back; FromLine throws
  // std::invalid_argument for a line that does not read back (cut off, damaged).
  std::string ToLine() const;
  static TJournalRecord FromLine(const std::string& line);
};

class TOutageJournal {
 public:
  // file: where the journal lives (UTF-8 path); nothing is read or written yet.
  TOutageJournal(std::filesystem::path file, TLogging& log);
  ~TOutageJournal();
  TOutageJournal(const TOutageJournal&) = delete;
  TOutageJournal& operator=(const TOutageJournal&) = delete;

  // Reads the records an earlier process left. A last line cut off by a crash is dropped with
  // a warning (it was never flushed, so never acknowledged); a damaged line before it is set
  // aside (SetAsideLine). The file is written afresh when anything was dropped.
  void Load();

  // Appends the record and flushes it to the disk. False when the file could not be written:
  // the record is then held in memory only (one error entry until the file works again).
  bool Append(const TJournalRecord& record);
  // Writes the file afresh from memory when it fell behind; true when it is in step.
  bool Resync();

  const std::vector<TJournalRecord>& Records() const { return records_; }
  bool Empty() const { return records_.empty(); }
  size_t Size() const { return records_.size(); }
  // False while records are held in memory only.
  bool InStep() const { return inStep_; }
  // Why the file cannot be written (empty while it can).
  const std::string& Problem() const { return problem_; }
  const std::filesystem::path& File() const { return file_; }
  std::filesystem::path RejectedFile() const;

  // The first n records are in the database now: they leave the journal (the file is emptied
  // when none is left, written afresh otherwise).
  void DropFirst(size_t n);

  // A record the database refuses for good: appended to the .rejected file beside the journal
  // and logged as an error entry with its content, so it is never lost without a word.
  void SetAside(const TJournalRecord& record, const std::string& why);
  void SetAsideLine(const std::string& line, const std::string& why);

  // A number no record of this journal has used, for naming a call kept here.
  uint64_t NextKey() { return ++lastKey_; }

 private:
  bool WriteAll(const std::string& text, std::string& error);
  bool AppendText(const std::string& text, std::string& error);
  void CloseFile();
  void FellBehind(const std::string& error);

  std::filesystem::path file_;
  TLogging& log_;
  std::vector<TJournalRecord> records_;
  int fd_ = -1;
  bool inStep_ = true;
  std::string problem_;
  uint64_t lastKey_ = 0;
};

}  // namespace tavo
