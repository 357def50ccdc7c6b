#include "update/ClientDistribution.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "protocol/WireFormat.h"

namespace tavo {

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && SameTextAscii(s.substr(s.size() - end.size()), end);
}

// Database files and their side files, configuration and data-link files.
const char* const kRefusedEndings[] = {".udl",   ".ini", ".sqlite", ".sqlite3", ".db",
                                       ".db3",   ".mdb", ".accdb",  ".ldb",     ".laccdb",
                                       "-journal", "-wal", "-shm", ".journal", ".rejected"};

// Opens a regular file for reading; -1 when there is none. A name of a pipe or device never
// blocks or reads: only regular files count.
int OpenRegularFile(const std::string& path, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == EISDIR || errno == ENAMETOOLONG ||
        errno == ELOOP || errno == ENXIO)
      return -1;
    throw std::runtime_error("Cannot open file \"" + Utf8ToAnsi(path) + "\". " +
                             std::strerror(errno));
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TClientDistribution::TClientDistribution(TLogging& log, std::string programDir,
                                         TProtectedNamesFn protectedNames)
    : log_(log), programDir_(std::move(programDir)), protectedNames_(std::move(protectedNames)) {}

void TClientDistribution::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler("GETNEWCLIENT",
                         [this](const TCommandContext& c) { return CmdGetNewClient(c); });
}

std::string TClientDistribution::ReplyHead() {
  return std::string(kDataStart) + kBlockMarker + "RETNEWCLIENT:";
}

std::string TClientDistribution::ReplyTail() {
  return std::string(":RETNEWCLIENT") + kBlockMarker + std::string(kDataEnd) + "\r\n";
}

bool TClientDistribution::IsRefusedName(const std::string& name,
                                        const std::vector<std::string>& protectedNames) {
  if (name.empty()) return false;  // the directory itself: simply not a file
  if (name.front() == '.') return true;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 0x20) return true;
  if (SameTextAscii(name.substr(0, 9), "TAVO_SMS_")) return true;
  for (const char* end : kRefusedEndings)
    if (EndsWithNoCase(name, end)) return true;
  for (const auto& p : protectedNames)
    if (!p.empty() && SameTextAscii(name, p)) return true;
  return false;
}

TCommandResult TClientDistribution::CmdGetNewClient(const TCommandContext& c) {
  const std::string name = GetField(c.BlockText, 1, ':');
  const std::string path = programDir_ + AnsiToUtf8(name);
  int fd = -1;
  struct stat st {};
  if (IsRefusedName(name, protectedNames_ ? protectedNames_() : std::vector<std::string>{})) {
    log_.Logg("GETNEWCLIENT refused the file name \"" + QuoteClientText(name) + "\" asked for from " +
                  (c.Socket->PeerAddress().empty() ? "an unknown address" : c.Socket->PeerAddress()),
              ltWarning);
  } else if (!name.empty()) {
    fd = OpenRegularFile(path, st);
  }
  if (fd < 0) {
    c.Socket->SendText("ERROR: 210 Hittade inte filen " + name + " i katalogen " +
                       Utf8ToAnsi(programDir_) + "\r\n");
    return TCommandResult::Continue;
  }

  // The reply is built once, with the file read straight into its place.
  const std::string head = ReplyHead(), tail = ReplyTail();
  std::string reply;
  try {
    const size_t size = static_cast<size_t>(st.st_size);
    reply.reserve(head.size() + size + tail.size());
    reply = head;
    reply.resize(head.size() + size);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd, reply.data() + head.size() + done, size - done,
                                static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0)
        throw std::runtime_error("Cannot read file \"" + name + "\". " + std::strerror(errno));
      if (n == 0) break;  // shrunk under us: what is there goes out
      done += static_cast<size_t>(n);
    }
    reply.resize(head.size() + done);
    reply += tail;
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  c.Socket->SendText(reply);
  return TCommandResult::Continue;
}

}  // namespace tavo
