#include "service/RestartServer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavo {

std::string GetTempDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  if (dir.empty()) throw std::runtime_error("Unable to generate temporary path");
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string RestartScriptText() {
  return
      "#!/bin/sh\n"
      "# Restarts the TAVO server from outside its process: stop, pause, start.\n"
      "# Everything about the process comes from the environment, so this file never changes.\n"
      "# Under systemd the service manager stops and starts the unit itself.\n"
      "if [ -n \"$TAVO_SYSTEMD_UNIT\" ]; then\n"
      "  exec systemctl --no-block restart \"$TAVO_SYSTEMD_UNIT\"\n"
      "fi\n"
      "[ -n \"$TAVO_SERVER_PID\" ] && [ -n \"$TAVO_SERVER_CMDLINE\" ] || exit 1\n"
      "kill -TERM \"$TAVO_SERVER_PID\" 2>/dev/null\n"
      "n=0\n"
      "while kill -0 \"$TAVO_SERVER_PID\" 2>/dev/null && [ $n -lt 30 ]; do sleep 1; n=$((n+1)); done\n"
      "kill -KILL \"$TAVO_SERVER_PID\" 2>/dev/null\n"
      "sleep 1\n"
      "cd \"$TAVO_SERVER_CWD\" || exit 1\n"
      "eval \"set -- $TAVO_SERVER_CMDLINE\"\n"
      "unset TAVO_SERVER_PID TAVO_SERVER_CWD TAVO_SERVER_CMDLINE TAVO_SYSTEMD_UNIT\n"
      "exec setsid \"$@\" </dev/null >>\"${TMPDIR:-/tmp}/TAVO_WServer.out\" 2>&1\n";
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::vector<std::string> RestartEnvironment(const TRestartContext& ctx) {
  std::string cmd;
  for (const auto& a : ctx.CommandLine) {
    if (!cmd.empty()) cmd += ' ';
    cmd += ShellQuote(a);
  }
  return {"TAVO_SYSTEMD_UNIT=" + ctx.SystemdUnit, "TAVO_SERVER_PID=" + std::to_string(ctx.Pid),
          "TAVO_SERVER_CWD=" + ctx.WorkingDirectory, "TAVO_SERVER_CMDLINE=" + cmd};
}

namespace {

void WriteScript(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  if (fd < 0) {
    if (errno == EEXIST) return;  // written meanwhile: used as it is
    throw std::runtime_error("Unable to create " + path + ": " + std::strerror(errno));
  }
  const std::string text = RestartScriptText();
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    throw std::runtime_error("Unable to write " + path);
  }
}

}  // namespace

void RestartServer(const TRestartContext& ctx) {
  const std::string dir = GetTempDirectory();
  const std::string file = dir + kRestartScriptName;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) WriteScript(file);

  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "TAVO_", 5) != 0) env.emplace_back(*e);
  }
  for (auto& e : RestartEnvironment(ctx)) env.push_back(e);

  std::vector<std::string> args;
  if (!ctx.SystemdUnit.empty()) {
    // The script only queues a restart job with the service manager and ends at once; its
    // status says whether the manager (and polkit) took it. A transient unit of its own is
    // not needed, and would need a polkit rule that lets the service account run anything.
    args = {"/bin/sh", file};
  } else {
    // setsid -f: the script runs in a session of its own and its starter ends at once.
    args = {"setsid", "-f", "/bin/sh", file};
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  // The script, and the server it starts, get the standard descriptors only: an inherited
  // listener would keep the new process from binding its port.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0)
    throw std::runtime_error(std::string("Unable to start ") + args[0] + ": " + std::strerror(rc));
  // Both starters return quickly; their status tells whether the script is on its way.
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
      if (!ctx.SystemdUnit.empty())
        throw std::runtime_error("systemctl could not restart " + ctx.SystemdUnit +
                                 " (the polkit rule 50-tavo-restart.rules lets the service "
                                 "account do that; install-service.sh installs it)");
      throw std::runtime_error(args[0] + " could not start " + file);
    }
    if (r < 0) return;  // reaped elsewhere: nothing more to learn
    ::usleep(50 * 1000);
  }
  throw std::runtime_error(args[0] + " did not return while starting " + file);
}

}  // namespace tavo
