// The self-restart of a server started by hand (no systemd): the restart script gets nothing of
// the server but the standard descriptors, and the server comes back serving on the same ports
// with its open calls, after too many errors and at midnight.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "SeededServer.h"
#include "service/RestartServer.h"
#include "sms/SMSTestSupport.h"

namespace tavo {
namespace {

using test::W;
const std::string kListEnd = W("RETCALLLIST¤#DATAEND#\r\n");
const std::string kCurrentEnd = W("CURRENTLIST¤#DATAEND#\r\n");
std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }

// Processes running the server copy of this program directory.
std::vector<pid_t> ServersOf(const std::filesystem::path& programDir) {
  std::vector<pid_t> pids;
  const std::string exe = (programDir / "TAVO_WServer.exe").string();
  DIR* proc = ::opendir("/proc");
  if (!proc) return pids;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/proc/" + std::string(e->d_name) + "/exe", ec);
    if (!ec && target.string() == exe) pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

// Ends the servers a restart started (they are not this process's children).
void StopServersOf(const std::filesystem::path& programDir) {
  for (pid_t pid : ServersOf(programDir)) ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && !ServersOf(programDir).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (pid_t pid : ServersOf(programDir)) ::kill(pid, SIGKILL);
}

// Seconds until both ports accept again, or -1.
double SecondsUntilServing(uint16_t port, std::chrono::steady_clock::time_point since) {
  test::TLoopbackClient main, update;
  if (!main.Connect(port, 20000) || !update.Connect(static_cast<uint16_t>(port + 1), 5000)) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Seed(test::TSeededServer& s) {
  s.Resource(1, "R1", "Resurs 1", 0);
  s.Resource(2, "R2", "Resurs 2", 0);
  s.Station(1, "S1", "Rum 1", 0, 0);
  s.Station(2, "E", "Exp", 0, 0);
  s.Station(3, "V", "Visning", 0, 1);
  for (int st = 1; st <= 3; ++st)
    for (int r = 1; r <= 2; ++r) s.List(st, r, r);
}

TEST(HandStartedRestart, TooManyErrorsBringItBackServingWithItsCallsAndNoInheritedDescriptor) {
  test::TSeededServer s;
  Seed(s);
  test::TTempDir tmp;
  s.server.SetEnv("TMPDIR", tmp.Path().string());
  // The server uses the script it finds: this one first notes what its shell inherited, then
  // restarts as the server's own script does.
  const std::string fds = (tmp / "fds.txt").string();
  const std::string script = (tmp / kRestartScriptName).string();
  std::string text = RestartScriptText();
  // The names are taken before any redirection, which makes the shell hold copies of its own.
  text = "#!/bin/sh\nset -- /proc/$$/fd/*\nls -l \"$@\" > '" + fds + "' 2>&1\n" +
         text.substr(text.find('\n') + 1);
  test::WriteFile(script, text);
  s.Start();

  test::TLoopbackClient s1(s.Port()), exp(s.Port());
  s1.Send(Req("¤GETCALLLIST:S1:0:GETCALLLIST¤"));
  exp.Send(Req("¤GETCALLLIST:E:0:GETCALLLIST¤"));
  ASSERT_TRUE(s1.WaitFor(kListEnd) && exp.WaitFor(kListEnd));
  for (int r : {1, 2}) {
    s1.Take();
    s1.Send(Req("¤CALLING:" + std::to_string(r) + ":CALLING¤"));
    ASSERT_TRUE(s1.WaitFor(kListEnd));
  }
  // Every answer now fails in the database: a failure of the server's own, counted.
  s.Db().Execute("CREATE TRIGGER NO_ANSWER BEFORE UPDATE ON CALLLOG "
                 "BEGIN SELECT RAISE(ABORT, 'answers are refused'); END");
  for (int i = 0; i < 21; ++i) {
    exp.Take();
    exp.Send(Req("¤COMING:1:1:COMING¤"));
    if (!exp.WaitFor("ERROR: 002", 5000)) break;
  }
  ASSERT_TRUE(s.server.WaitForLog("Too many Errors! Restarting TAVO Server")) << s.server.EventLog();
  const auto restarted = std::chrono::steady_clock::now();
  EXPECT_EQ(s.server.WaitExit(15000), 0);  // reaped at once: the script waits for it to be gone
  const double seconds = SecondsUntilServing(s.Port(), restarted);
  ASSERT_GE(seconds, 0) << test::ReadFile(tmp / "TAVO_WServer.out");
  std::printf("serving again on both ports %.1f s after the restart began\n", seconds);
  EXPECT_LT(seconds, 10.0);  // 5 s asked for; a loaded test machine gets a margin

  // The shell had 0, 1 and 2, besides its own handle on the script.
  std::set<std::string> inherited;
  std::istringstream lines(test::ReadFile(fds));
  for (std::string line; std::getline(lines, line);) {
    const size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::string target = line.substr(arrow + 4);
    std::string fd = line.substr(0, arrow);
    fd = fd.substr(fd.rfind('/') + 1);
    if (target != script) inherited.insert(fd + " " + target);
  }
  ASSERT_FALSE(inherited.empty()) << test::ReadFile(fds);
  for (const std::string& e : inherited) EXPECT_TRUE(e[0] >= '0' && e[0] <= '2' && e[1] == ' ') << e;

  // Back with its open calls.
  test::TLoopbackClient v(s.Port());
  v.Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
  ASSERT_TRUE(v.WaitFor(kCurrentEnd));
  EXPECT_NE(v.Received().find(W("R1:1:0:1:¤%Rum 1~1~")), std::string::npos) << v.Received();
  EXPECT_NE(v.Received().find(W("R2:2:0:2:¤%Rum 1~1~")), std::string::npos) << v.Received();
  StopServersOf(s.server.ProgramDir());
}

// Runs the server under libfaketime, its clock as the file says (re-read at every call, so the
// test can change it); the file's path.
std::filesystem::path FakeClock(test::TSeededServer& s, const test::TTempDir& tmp, const char* lib,
                                const std::string& clock) {
  const auto rc = tmp / "faketime.rc";
  test::WriteFile(rc, clock);
  s.server.SetEnv("TMPDIR", tmp.Path().string());
  s.server.SetEnv("LD_PRELOAD", lib);
  s.server.SetEnv("FAKETIME_TIMESTAMP_FILE", rc.string());
  s.server.SetEnv("FAKETIME_NO_CACHE", "1");
  const char* asan = std::getenv("ASAN_OPTIONS");
  s.server.SetEnv("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
  return rc;
}

TEST(HandStartedRestart, MidnightUnderAFakeClockComesBackServing) {
  const char* lib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (::access(lib, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed (package libfaketime)";
  test::TSeededServer s;
  Seed(s);
  test::TTempDir tmp;
  // Two minutes before midnight, twenty times as fast: the maintenance timer's first tick,
  // 120 s after the start, falls in the first minute of the new day. The new process reads
  // the clock file afresh and runs on the real time.
  const auto rc = FakeClock(s, tmp, lib, "@2026-12-10 23:58:01 x20\n");
  s.Start();
  ASSERT_TRUE(s.server.WaitForLog("Midnight. Restarting TAVO Server 2026-12-11 00:00:", 30000))
      << s.server.EventLog();
  const auto restarted = std::chrono::steady_clock::now();
  test::WriteFile(rc, "+0 x1\n");
  EXPECT_EQ(s.server.WaitExit(15000), 0);
  const double seconds = SecondsUntilServing(s.Port(), restarted);
  ASSERT_GE(seconds, 0) << test::ReadFile(tmp / "TAVO_WServer.out");
  std::printf("serving again on both ports %.1f s after the midnight restart began\n", seconds);
  EXPECT_LT(seconds, 10.0);
  test::TLoopbackClient c(s.Port());
  c.Send(Req("¤KEEPALIVE::KEEPALIVE¤"));
  EXPECT_TRUE(c.WaitFor(W("KEEPALIVE¤")));
  StopServersOf(s.server.ProgramDir());
}

// A self-update that replaces the server's executable restarts it through the script: the new
// executable serves on the same ports with the open calls. The maintenance timer's first tick
// (120 s after the start) comes six seconds after it under a clock twenty times as fast; the
// clock runs at its own pace again as soon as the gateway is asked.
TEST(HandStartedRestart, SelfUpdateBringsTheNewExecutableBackServingWithTheCalls) {
  const char* lib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (::access(lib, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed (package libfaketime)";
  test::TSeededServer s;
  Seed(s);
  test::TTempDir tmp;
  const auto certificate = test::MakeCertificate(tmp.Path(), "gateway", "IP:127.0.0.1");
  test::TGatewayOptions options;
  options.Files = tmp / "files";
  test::TTestGateway gateway(tmp / "gw", certificate, options);
  // The same build offered as a newer version: what runs after the restart is the downloaded
  // copy.
  test::OfferProgramFile(options.Files, "TAVO_WServer.exe", "Solbacken", test::VersionFileText(9999),
                         test::ReadFile(TAVO_SERVER_EXE));
  s.server.SetRegistry("HTTPSERVER", gateway.Host());
  s.server.SetRegistry("CAFile", certificate.Cert.string());
  s.server.SetRegistry("ClinicName", "Solbacken");
  const auto rc = FakeClock(s, tmp, lib, "+0 x20\n");
  s.Start();
  test::TLoopbackClient s1(s.Port());
  s1.Send(Req("¤GETCALLLIST:S1:0:GETCALLLIST¤"));
  ASSERT_TRUE(s1.WaitFor(kListEnd));
  s1.Take();
  s1.Send(Req("¤CALLING:2:CALLING¤"));
  ASSERT_TRUE(s1.WaitFor(kListEnd));

  for (int i = 0; i < 300 && gateway.Requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  test::WriteFile(rc, "+0 x1\n");
  ASSERT_FALSE(gateway.Requests().empty()) << s.server.EventLog();
  ASSERT_TRUE(s.server.WaitForLog("New version available. Restarting TAVO Server", 60000))
      << s.server.EventLog();
  const auto restarted = std::chrono::steady_clock::now();
  EXPECT_EQ(s.server.WaitExit(15000), 0);
  const double seconds = SecondsUntilServing(s.Port(), restarted);
  ASSERT_GE(seconds, 0) << test::ReadFile(tmp / "TAVO_WServer.out");
  std::printf("serving again on both ports %.1f s after the update's restart began\n", seconds);
  EXPECT_LT(seconds, 10.0);
  EXPECT_TRUE(std::filesystem::exists(s.server.ProgramDir() / "Old_TAVO_WServer.exe"));
  test::TLoopbackClient v(s.Port());
  v.Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
  ASSERT_TRUE(v.WaitFor(kCurrentEnd));
  EXPECT_NE(v.Received().find(W("R2:2:0:2:¤%Rum 1~1~")), std::string::npos) << v.Received();
  StopServersOf(s.server.ProgramDir());
}

}  // namespace
}  // namespace tavo
