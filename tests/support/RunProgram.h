// Runs a program with arguments (and standard input, environment) and collects its exit
// status, stdout and stderr (bounded wait).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tavo::test {

struct TProgramRun {
  int Exit = -1;
  std::string Out, Err;
};

// What a run gets besides its arguments: standard input (closed when empty) and variables
// added to the environment.
struct TProgramInput {
  std::string Stdin;
  std::vector<std::pair<std::string, std::string>> Env;
};

// Runs the program argv[0] (a path) with its arguments.
inline TProgramRun RunProgram(const std::vector<std::string>& argv0, int timeoutMs = 60000,
                              const TProgramInput& input = {}) {
  int out[2], err[2], in[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0 || ::pipe(in) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // Only 0, 1 and 2: a program that leaves a process behind must not keep the pipes open.
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd > 2) ::close(fd);
    for (auto& [name, value] : input.Env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<std::string> all = argv0;
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Small inputs only: they fit the pipe, so writing before reading cannot block.
  if (!input.Stdin.empty()) {
    const ssize_t written = ::write(in[1], input.Stdin.data(), input.Stdin.size());
    static_cast<void>(written);  // a child that does not read it fails its own way
  }
  ::close(in[1]);
  TProgramRun r;
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
