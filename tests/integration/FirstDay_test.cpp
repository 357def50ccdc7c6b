// A technician's first-day mistakes, each made with the real executable: every one gets one
// line on stderr or in the event log that names the value, the file and what to do, and the
// server then does what it did before.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "RunProgram.h"
#include "integration/SeededServer.h"
#include "service/StartupChecks.h"

namespace tavo {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(FirstDay, StartUpNamesItsPortsAndItsDatabase) {
  test::TSeededServer s;
  s.Start();
  ASSERT_TRUE(s.server.WaitForLog("Serving on port")) << s.server.EventLog();
  const std::string log = s.server.EventLog();
  const std::string serving = "Serving on port " + std::to_string(s.Port()) + " (main) and " +
                              std::to_string(s.Port() + 1) +
                              " (update) from the database SQLite file " +
                              (s.server.ProgramDir() / "TAVO.sqlite").string();
  EXPECT_TRUE(Has(log, serving)) << log;
  // After the texts the start-up sequence itself writes.
  EXPECT_LT(log.find("Service started version 1.10.4"), log.find("Connected to "));
  EXPECT_LT(log.find("Connected to "), log.find(serving));
  EXPECT_EQ(s.server.Stop(), 0);
}

TEST(FirstDay, RegistryValuesTheServerCannotReadAreNamedWithWhatItDoesInstead) {
  test::TSeededServer s;
  const std::string missing = (s.server.ProgramDir() / "nosuch" / "TAVO.udl").string();
  s.server.SetRegistry("UDL", missing);
  s.server.SetRegistry("UseProxy", "yes");
  s.server.SetRegistry("SQLiteSynchronous", "fast");
  s.StrSetting("ServerSettings-UpdateServerPort", "abc");
  s.Start();  // on the data-link file of the program directory, and main port + 1
  ASSERT_TRUE(s.server.WaitForLog("Serving on port")) << s.server.EventLog();
  const std::string log = s.server.EventLog();
  const std::string reg = s.server.RegistryFile().string();
  EXPECT_TRUE(Has(log, "The registry value UDL in " + reg + " names " + missing +
                           ", which does not exist or is no file; using " +
                           (s.server.ProgramDir() / "TAVO.udl").string() +
                           " instead. Correct UDL or remove it"))
      << log;
  EXPECT_TRUE(Has(log, "The registry value UseProxy=yes in " + reg +
                           " is not YES or NO, in capitals, so no proxy is used; correct the value "
                           "or remove it"))
      << log;
  EXPECT_TRUE(Has(log, "The registry value SQLiteSynchronous=fast in " + reg +
                           " is not NORMAL or FULL, so every commit waits for the disk (FULL)"))
      << log;
  EXPECT_TRUE(Has(log, "The setting ServerSettings-UpdateServerPort=abc is not a port number, so "
                       "the update listener uses the main port + 1, " +
                           std::to_string(s.Port() + 1)))
      << log;
  // The warnings are warnings: the server serves as before.
  EXPECT_TRUE(s.server.WaitListening(static_cast<uint16_t>(s.Port() + 1), 2000));
  EXPECT_EQ(s.server.Stop(), 0);
}

TEST(FirstDay, PortThatIsNoNumberIsNamed) {
  test::TSeededServer s;
  s.server.SetRegistry("Port", "21O50");
  s.server.Start();
  // It then listens on 102, or fails to where another program has it: the warning comes first.
  ASSERT_TRUE(s.server.WaitForLog("Port=21O50")) << s.server.EventLog();
  EXPECT_TRUE(Has(s.server.EventLog(), "The registry value Port=21O50 in " +
                                           s.server.RegistryFile().string() +
                                           " is not a port number, so the server listens on port 102"))
      << s.server.EventLog();
  s.server.Stop();
}

TEST(FirstDay, PortInUseSaysSoAndWhoToAsk) {
  const uint16_t port = test::FreePortPair();
  const int holder = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  int no = 0;
  ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  test::TServerProcess server;
  test::WriteUdl(server.ProgramDir() / "TAVO.udl", "Provider=SQLite;Data Source=TAVO.sqlite");
  server.SetRegistry("Port", std::to_string(port));
  server.Start();
  EXPECT_EQ(server.WaitExit(20000), 1);
  EXPECT_TRUE(Has(server.EventLog(),
                  "Error in ServiceCreate: Cannot listen on port " + std::to_string(port) +
                      " (the main port, registry value Port in " + server.RegistryFile().string() +
                      "): Address already in use; another program, or another TAVO server, "
                      "listens there: ss -ltnp 'sport = :" + std::to_string(port) + "' names it"))
      << server.EventLog();
  ::close(holder);
}

TEST(FirstDay, ListenFailureTextsSayWhatToDo) {
  const auto denied = ListenFailureText(102, "the main port", std::make_error_code(std::errc::permission_denied));
  EXPECT_EQ(denied.rfind("Cannot listen on port 102 (the main port): ", 0), 0u) << denied;
  EXPECT_TRUE(Has(denied, "needs the capability CAP_NET_BIND_SERVICE, which the systemd unit gives"));
  // Above 1023 no capability helps.
  const auto high = ListenFailureText(2102, "x", std::make_error_code(std::errc::permission_denied));
  EXPECT_FALSE(Has(high, "CAP_NET_BIND_SERVICE"));
}

TEST(FirstDay, RegistryOrEventLogInAMissingDirectoryIsOneLineOnStderrAndExitOne) {
  test::TTempDir dir;
  const std::string missing = (dir / "nosuch").string();
  auto registry = test::RunProgram(
      {TAVO_SERVER_EXE, "--foreground", "--registry", missing + "/registry.ini"}, 20000);
  EXPECT_EQ(registry.Exit, 1);
  EXPECT_EQ(registry.Err, "TAVO_WServer.exe: the registry file " + missing +
                              "/registry.ini: its directory " + missing +
                              " does not exist; create it, or give --registry a file in a "
                              "directory that exists\n");
  auto notDir = test::RunProgram(
      {TAVO_SERVER_EXE, "--foreground", "--registry", std::string(TAVO_SERVER_EXE) + "/registry.ini"}, 20000);
  EXPECT_EQ(notDir.Exit, 1);
  EXPECT_TRUE(Has(notDir.Err, "is not a directory")) << notDir.Err;
  auto eventLog = test::RunProgram({TAVO_SERVER_EXE, "--foreground", "--registry",
                                    (dir / "registry.ini").string(), "--event-log",
                                    missing + "/events.log"},
                                   20000);
  EXPECT_EQ(eventLog.Exit, 1);
  EXPECT_EQ(eventLog.Err, "TAVO_WServer.exe: Unable to open event log file " + missing +
                              "/events.log: No such file or directory; its directory must exist "
                              "and be writable by the user the server runs as\n");
}

// Without --foreground, outside systemd and without --event-log, the entries go to syslog. The
// server runs in a mount namespace whose /dev holds a syslog socket of the test's own.
TEST(FirstDay, DetachedWithoutEventLogWritesToSyslog) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  test::TSeededServer s;
  const auto dir = s.server.ProgramDir();
  const std::string out = (dir / "syslog.txt").string();
  const std::string script =
      "set -e\n"
      "unset INVOCATION_ID JOURNAL_STREAM\n"
      "mount -t tmpfs tmpfs /dev\n"
      "mknod -m 666 /dev/null c 1 3; mknod -m 666 /dev/zero c 1 5\n"
      "mknod -m 666 /dev/urandom c 1 9; mknod -m 666 /dev/random c 1 8\n"
      "python3 -c '\n"
      "import socket, sys\n"
      "s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
      "s.bind(\"/dev/log\")\n"
      "open(sys.argv[1] + \".ready\", \"w\").close()\n"
      "s.settimeout(60)\n"
      "with open(sys.argv[1], \"ab\") as f:\n"
      "    while True:\n"
      "        f.write(s.recv(65536) + b\"\\n\")\n"
      "        f.flush()\n"
      "' \"$1\" >/dev/null 2>&1 &\n"
      "echo catcher $!\n"
      "n=0; while [ ! -e \"$1.ready\" ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n+1)); done\n"
      "\"$2\" --registry \"$3\"\n";
  auto run = test::RunProgram({"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, "sh", out,
                               (dir / "TAVO_WServer.exe").string(), s.server.RegistryFile().string()},
                              30000);
  std::smatch catcher;
  const bool started = std::regex_search(run.Out, catcher, std::regex("catcher ([0-9]+)"));
  if (run.Exit != 0 && !started) GTEST_SKIP() << "no mount namespace here: " << run.Err;
  ASSERT_EQ(run.Exit, 0) << run.Out << run.Err;
  EXPECT_TRUE(Has(run.Err, "running in the background; the event log goes to syslog")) << run.Err;
  std::string lines;
  std::smatch server;
  for (int i = 0; i < 200 && !Has(lines, "Serving on port"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lines = test::ReadFile(out);
  }
  EXPECT_TRUE(Has(lines, "Information 0x40020001: Service started version 1.10.4")) << lines;
  EXPECT_TRUE(Has(lines, "Serving on port " + std::to_string(s.Port()))) << lines;
  if (std::regex_search(lines, server, std::regex("TAVO_WServer\\[([0-9]+)\\]"))) {
    const pid_t pid = std::stoi(server[1]);
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(::kill(pid, 0), 0) << "the detached server did not end";
  } else {
    ADD_FAILURE() << "no entry names the server's process: " << lines;
  }
  if (started) ::kill(std::stoi(catcher[1]), SIGTERM);
}

}  // namespace
}  // namespace tavo
