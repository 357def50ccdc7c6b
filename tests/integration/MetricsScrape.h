// Reading the server's operating endpoint as a monitoring system would: a plain HTTP GET, the
// metrics body through a strict Prometheus parser, and commands run for their output.
#pragma once

#include <cstdio>
#include <set>
#include <string>

#include "LoopbackClient.h"
#include "TestSupport.h"

namespace tavo::test {

struct THttpAnswer {
  int Status = 0;
  std::string Body;
};

inline THttpAnswer HttpGet(uint16_t port, const std::string& path) {
  TLoopbackClient c(port);
  c.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  for (int i = 0; i < 100 && !c.PeerClosed(); ++i) c.ReadFor(50);
  const std::string& all = c.Received();
  THttpAnswer a;
  std::sscanf(all.c_str(), "HTTP/1.%*d %d", &a.Status);
  const size_t body = all.find("\r\n\r\n");
  if (body != std::string::npos) a.Body = all.substr(body + 4);
  return a;
}

// Runs a shell command; its standard output and error together, and its exit status.
inline std::string RunCommand(const std::string& cmd, int& status) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buf[1024];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  status = ::pclose(p);
  return out;
}

// The samples of a metrics body as the Python parser reads them, one per line:
// name{label="value",...} value, labels sorted.
inline std::set<std::string> ParsedSamples(const std::string& body, std::string& error) {
  TTempDir dir;
  WriteFile(dir / "metrics.txt", body);
  int status = 0;
  const std::string out = RunCommand(std::string(TAVO_PYTHON3) + " " + TAVO_SOURCE_DIR +
                                         "/tests/integration/metrics_samples.py < " +
                                         (dir / "metrics.txt").string(),
                                     status);
  if (status != 0) error = out;
  std::set<std::string> lines;
  size_t pos = 0;
  for (size_t nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
    lines.insert(out.substr(pos, nl - pos));
  return lines;
}

}  // namespace tavo::test
