#include "update/ExeCheck.h"

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "common/StrUtils.h"

extern char** environ;

namespace tavo {
namespace {

using Clock = std::chrono::steady_clock;

// What an ELF header says about the machine it was built for.
struct TElfIdentity {
  unsigned char Class = 0, Data = 0;
  uint16_t Type = 0, Machine = 0;
};

// Reads the identity of an ELF file; false when the file is not one.
bool ReadElfIdentity(const std::filesystem::path& file, TElfIdentity& id, bool& isPe) {
  isPe = false;
  std::ifstream in(file, std::ios::binary);
  unsigned char h[EI_NIDENT + 4] = {};
  in.read(reinterpret_cast<char*>(h), sizeof h);
  if (in.gcount() >= 2 && h[0] == 'M' && h[1] == 'Z') isPe = true;
  if (in.gcount() < static_cast<std::streamsize>(sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0)
    return false;
  id.Class = h[EI_CLASS];
  id.Data = h[EI_DATA];
  // e_type and e_machine follow the identification, in the file's byte order.
  auto u16 = [&](int off) {
    return id.Data == ELFDATA2MSB ? static_cast<uint16_t>(h[off] << 8 | h[off + 1])
                                  : static_cast<uint16_t>(h[off] | h[off + 1] << 8);
  };
  id.Type = u16(EI_NIDENT);
  id.Machine = u16(EI_NIDENT + 2);
  return true;
}

// The machine this process runs on, as its own executable states it.
bool OwnIdentity(TElfIdentity& id) {
  bool pe = false;
  return ReadElfIdentity("/proc/self/exe", id, pe);
}

// Runs file --version; returns the reason it failed, or empty with its output in out.
std::string RunVersion(const std::filesystem::path& file, int timeoutMs, std::string& out) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return std::string("it could not be started: ") + std::strerror(errno);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  const std::string dir = file.parent_path().string();
  posix_spawn_file_actions_addchdir_np(&fa, dir.empty() ? "/" : dir.c_str());
  // Nothing of the server beyond the three standard descriptors reaches the program.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // A group of its own, so that whatever it starts ends with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  // The service manager's variables are this process's own: the program asked never sees them.
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view v(*e);
    if (v.rfind("NOTIFY_SOCKET=", 0) != 0 && v.rfind("LISTEN_", 0) != 0 &&
        v.rfind("WATCHDOG_", 0) != 0)
      env.push_back(*e);
  }
  env.push_back(nullptr);

  std::string path = file.string();
  std::string arg = "--version";
  char* argv[] = {path.data(), arg.data(), nullptr};
  pid_t pid = -1;
  int rc = 0;
  // A file just written may still be open in a child that another thread forked: wait a little.
  for (int attempt = 0; attempt < 20; ++attempt) {
    rc = posix_spawn(&pid, path.c_str(), &fa, &attr, argv, env.data());
    if (rc != ETXTBSY) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return std::string("it could not be started: ") + std::strerror(rc);
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto left = [&] {
    return static_cast<int>(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  bool eof = false;
  while (!eof && left() > 0) {
    pollfd p{pipeFds[0], POLLIN, 0};
    const int n = ::poll(&p, 1, left());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[1024];
    const ssize_t got = ::read(pipeFds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      eof = true;
    } else if (out.size() < 4096) {
      out.append(buf, static_cast<size_t>(got));
    }
  }
  ::close(pipeFds[0]);

  int status = 0;
  bool exited = false;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      exited = r == pid;
      break;
    }
    if (left() <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!exited) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return "it did not answer --version within " +
           (timeoutMs % 1000 == 0 ? std::to_string(timeoutMs / 1000) + " s"
                                  : std::to_string(timeoutMs) + " ms");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return WIFEXITED(status) ? "it ended with status " + std::to_string(WEXITSTATUS(status)) +
                                   " when asked for its version"
                             : "it was ended by signal " + std::to_string(WTERMSIG(status)) +
                                   " when asked for its version";
  return {};
}

}  // namespace

bool IsVersionLine(std::string_view line) {
  const std::string t = Trim(line);
  bool digit = false, dot = false;
  char last = '.';
  for (char c : t) {
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digit = true;
    } else if (c == '.' && last != '.') {
      dot = true;
    } else {
      return false;
    }
    last = c;
  }
  return digit && dot && last != '.';
}

std::string CheckServerExecutable(const std::filesystem::path& file, int timeoutMs) {
  try {
    TElfIdentity id, own;
    bool isPe = false;
    if (!ReadElfIdentity(file, id, isPe))
      return isPe ? "a Windows program, not an ELF executable" : "not an ELF executable";
    if (!OwnIdentity(own)) return "the machine's own executable format cannot be read";
    if (id.Class != own.Class || id.Data != own.Data || id.Machine != own.Machine)
      return "an ELF executable for another machine (machine " + std::to_string(id.Machine) + ")";
    if (id.Type != ET_EXEC && id.Type != ET_DYN) return "an ELF file that is not an executable";

    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || ::chmod(file.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
      return std::string("it cannot be made executable: ") + std::strerror(errno);

    std::string out;
    std::string reason = RunVersion(file, timeoutMs, out);
    if (!reason.empty()) return reason;
    const std::string first = out.substr(0, out.find('\n'));
    if (!IsVersionLine(first)) return "its answer to --version is not a version line";
    return {};
  } catch (const std::exception& e) {
    return std::string("it could not be checked: ") + e.what();
  }
}

}  // namespace tavo
