#include "database/OutageJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/Win1252.h"

namespace tavo {
namespace {

const char kHeader[] =
    "# TAVO outage journal: call-log writes waiting for the database, oldest first; one record a "
    "line: kind, name=value fields, #checksum, TAB-separated\n";

uint32_t Fnv1a(const std::string& s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

std::string Escape(const std::string& ansi) {
  std::string out;
  for (char c : AnsiToUtf8(ansi)) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) throw std::invalid_argument("a value ends in a lone backslash");
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: throw std::invalid_argument("unknown escape in a value");
    }
  }
  return Utf8ToAnsi(out);
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

bool WriteFully(int fd, const std::string& text, std::string& error) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Path(const std::filesystem::path& p) { return Utf8ToAnsi(p.string()); }

}  // namespace

bool TJournalRecord::Has(const std::string& name) const {
  for (const auto& [n, v] : Fields)
    if (n == name) return true;
  return false;
}

std::string TJournalRecord::Get(const std::string& name) const {
  for (const auto& [n, v] : Fields)
    if (n == name) return v;
  return {};
}

int64_t TJournalRecord::GetInt(const std::string& name) const {
  const std::string v = Get(name);
  if (v.empty()) return 0;
  size_t used = 0;
  const long long n = std::stoll(v, &used);
  if (used != v.size()) throw std::invalid_argument("field " + name + " is not a number: " + v);
  return n;
}

void TJournalRecord::Set(const std::string& name, std::string value) {
  for (auto& [n, v] : Fields) {
    if (n == name) {
      v = std::move(value);
      return;
    }
  }
  Fields.emplace_back(name, std::move(value));
}

std::string TJournalRecord::ToLine() const {
  std::string line = Escape(Kind);
  for (const auto& [n, v] : Fields) line += "\t" + Escape(n) + "=" + Escape(v);
  char sum[16];
  std::snprintf(sum, sizeof sum, "%08x", Fnv1a(line));
  return line + "\t#" + sum;
}

TJournalRecord TJournalRecord::FromLine(const std::string& line) {
  const size_t mark = line.rfind("\t#");
  if (mark == std::string::npos) throw std::invalid_argument("the record has no checksum");
  const std::string body = line.substr(0, mark);
  char sum[16];
  std::snprintf(sum, sizeof sum, "%08x", Fnv1a(body));
  if (line.compare(mark + 2, std::string::npos, sum) != 0)
    throw std::invalid_argument("the record's checksum does not match");
  const std::vector<std::string> parts = SplitTabs(body);
  TJournalRecord r;
  r.Kind = Unescape(parts[0]);
  if (r.Kind.empty()) throw std::invalid_argument("the record has no kind");
  for (size_t i = 1; i < parts.size(); ++i) {
    const size_t eq = parts[i].find('=');
    if (eq == std::string::npos) throw std::invalid_argument("a field has no '='");
    r.Fields.emplace_back(Unescape(parts[i].substr(0, eq)), Unescape(parts[i].substr(eq + 1)));
  }
  return r;
}

TOutageJournal::TOutageJournal(std::filesystem::path file, TLogging& log)
    : file_(std::move(file)), log_(log) {}

TOutageJournal::~TOutageJournal() { CloseFile(); }

std::filesystem::path TOutageJournal::RejectedFile() const {
  return std::filesystem::path(file_.string() + ".rejected");
}

void TOutageJournal::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TOutageJournal::Load() {
  records_.clear();
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;  // no journal: nothing was kept
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bool dropped = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool last = end == std::string::npos || end + 1 == text.size();
    const bool whole = end != std::string::npos;
    const std::string line = text.substr(start, whole ? end - start : std::string::npos);
    start = whole ? end + 1 : text.size();
    if (line.empty() || line[0] == '#') continue;
    try {
      if (!whole) throw std::invalid_argument("the record has no line end");
      TJournalRecord r = TJournalRecord::FromLine(line);
      if (r.Has("key")) lastKey_ = std::max<uint64_t>(lastKey_, static_cast<uint64_t>(r.GetInt("key")));
      records_.push_back(std::move(r));
    } catch (const std::exception& e) {
      dropped = true;
      if (last) {
        // Cut off while it was written: its flush never returned, so no station was told.
        log_.Logg("The journal " + Path(file_) + " ended in a record cut off while it was written (" +
                      e.what() + "); it is left out",
                  ltWarning);
      } else {
        SetAsideLine(line, e.what());
      }
    }
  }
  if (dropped) Resync();
}

bool TOutageJournal::AppendText(const std::string& text, std::string& error) {
  if (fd_ < 0) {
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error = std::strerror(errno);
      return false;
    }
  }
  std::string all = text;
  if (::lseek(fd_, 0, SEEK_END) == 0) all = kHeader + all;
  if (!WriteFully(fd_, all, error)) return false;
  if (::fdatasync(fd_) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

// The whole journal through a file beside it and a rename: a crash leaves the old file or the
// new one, never half of either.
bool TOutageJournal::WriteAll(const std::string& text, std::string& error) {
  const std::filesystem::path tmp = file_.string() + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = WriteFully(fd, text, error);
  if (ok && ::fdatasync(fd) != 0) {
    error = std::strerror(errno);
    ok = false;
  }
  ::close(fd);
  if (ok && ::rename(tmp.c_str(), file_.c_str()) != 0) {
    error = std::strerror(errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  CloseFile();  // the append descriptor still names the old file
  const std::filesystem::path dir = file_.has_parent_path() ? file_.parent_path() : ".";
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

void TOutageJournal::FellBehind(const std::string& error) {
  if (inStep_)
    log_.EventLog().LogError("The journal " + Path(file_) + " cannot be written: " + error +
                                 ". Calls are still served, but what the database has not taken "
                                 "is held in memory only until the journal or the database works "
                                 "again; the server will not restart itself meanwhile.",
                             1);
  inStep_ = false;
  problem_ = error;
}

bool TOutageJournal::Append(const TJournalRecord& record) {
  records_.push_back(record);
  if (!inStep_) return Resync();
  std::string error;
  if (AppendText(record.ToLine() + "\n", error)) return true;
  // A part of the line may be in the file now: only a whole rewrite puts it right.
  CloseFile();
  FellBehind(error);
  return false;
}

bool TOutageJournal::Resync() {
  std::string text = kHeader;
  for (const TJournalRecord& r : records_) text += r.ToLine() + "\n";
  std::string error;
  if (!WriteAll(text, error)) {
    FellBehind(error);
    return false;
  }
  if (!inStep_)
    log_.Logg("The journal " + Path(file_) + " can be written again; " +
                  std::to_string(records_.size()) + " records are in it",
              ltInfo);
  inStep_ = true;
  problem_.clear();
  return true;
}

void TOutageJournal::DropFirst(size_t n) {
  if (n == 0) return;
  records_.erase(records_.begin(),
                 records_.begin() + static_cast<std::ptrdiff_t>(std::min(n, records_.size())));
  if (records_.empty()) {
    CloseFile();
    std::string error;
    const int fd = ::open(file_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
      ::fdatasync(fd);
      ::close(fd);
    }
    inStep_ = true;
    problem_.clear();
    return;
  }
  Resync();
}

void TOutageJournal::SetAsideLine(const std::string& line, const std::string& why) {
  std::string error;
  bool written = false;
  const std::filesystem::path rejected = RejectedFile();
  const int fd = ::open(rejected.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) {
    written = WriteFully(fd, line + "\n", error) && ::fdatasync(fd) == 0;
    ::close(fd);
  } else {
    error = std::strerror(errno);
  }
  log_.EventLog().LogError(
      "A journal record was set aside" +
          (written ? " in " + Path(rejected) : " (and could not be written to " + Path(rejected) +
                                                   ": " + error + ")") +
          ": " + why + ": " + Utf8ToAnsi(line),
      1);
}

void TOutageJournal::SetAside(const TJournalRecord& record, const std::string& why) {
  SetAsideLine(record.ToLine(), why);
}

}  // namespace tavo
