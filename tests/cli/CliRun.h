// Runs tavo-cli with arguments and collects its exit status, stdout and stderr (bounded wait).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace tavo::test {

struct TCliRun {
  int Exit = -1;
  std::string Out, Err;
};

inline TCliRun RunCli(const std::vector<std::string>& args, int timeoutMs = 60000) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    std::vector<std::string> all = {TAVO_CLI_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  TCliRun r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.Out : r.Err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  if (open > 0) ::kill(pid, SIGKILL);
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace tavo::test
