// A headless Chromium for the page tests, driven through cdp_bridge.py (Python, over the
// browser's DevTools pipe). Ready() is false, with the reason in Why(), where no browser can
// run: the test then skips and says why.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace tavo::test {

class TBrowser {
 public:
  TBrowser() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      why_ = "no pipes";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      const std::string script = std::string(TAVO_SOURCE_DIR) + "/tests/web/cdp_bridge.py";
      ::execl(TAVO_PYTHON3, TAVO_PYTHON3, script.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    const nlohmann::json hello = Reply(60000);
    if (hello.value("ready", false)) {
      ready_ = true;
      version_ = hello.value("version", "");
    } else {
      why_ = hello.value("error", std::string("the browser bridge did not start"));
    }
  }
  ~TBrowser() {
    if (ready_) Command({{"cmd", "quit"}}, 20000);
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    if (pid_ > 0) {
      for (int i = 0; i < 200 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(50000);
      if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
  }
  TBrowser(const TBrowser&) = delete;
  TBrowser& operator=(const TBrowser&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Why() const { return why_; }
  const std::string& Version() const { return version_; }

  // Navigates and waits for the load event; the error text, empty on success.
  std::string Open(const std::string& url) {
    const auto r = Command({{"cmd", "open"}, {"url", url}}, 30000);
    return r.value("ok", false) ? "" : r.value("error", std::string("no answer"));
  }
  // Evaluates a script (a promise is awaited) and gives its value; throws on failure.
  nlohmann::json Eval(const std::string& expr, int timeoutMs = 20000) {
    const auto r = Command({{"cmd", "eval"}, {"expr", expr}, {"timeout_ms", timeoutMs}},
                           timeoutMs + 10000);
    if (!r.value("ok", false)) throw std::runtime_error(r.value("error", std::string("no answer")));
    return r.contains("value") ? r["value"] : nlohmann::json();
  }
  // Waits in the page until the condition (a script expression) holds; the milliseconds it
  // took as the page measured them, or -1 after timeoutMs.
  double WaitUntil(const std::string& condition, int timeoutMs) {
    const std::string script =
        "new Promise(done => { const start = performance.now(); const check = () => { "
        "let ok = false; try { ok = !!(" + condition + "); } catch (e) {} "
        "if (ok) done(performance.now() - start); "
        "else if (performance.now() - start > " + std::to_string(timeoutMs) + ") done(-1); "
        "else setTimeout(check, 10); }; check(); })";
    return Eval(script, timeoutMs + 5000).get<double>();
  }
  bool Screenshot(const std::string& path, int width, int height) {
    return Command({{"cmd", "screenshot"}, {"path", path}, {"width", width}, {"height", height}},
                   30000)
        .value("ok", false);
  }

 private:
  nlohmann::json Command(const nlohmann::json& cmd, int timeoutMs) {
    const std::string line = cmd.dump() + "\n";
    if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    return Reply(timeoutMs);
  }
  nlohmann::json Reply(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return nlohmann::json::parse(line, nullptr, false);
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      pollfd p{from_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
      char buf[65536];
      const ssize_t n = ::read(from_, buf, sizeof buf);
      if (n <= 0) return {};
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buffer_;
  bool ready_ = false;
  std::string why_;
  std::string version_;
};

}  // namespace tavo::test
