// The real executable on loopback ports: framing both ways, reassembly across reads, the
// command line and the shutdown.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "LoopbackClient.h"
#include "SeededServer.h"

namespace tavo {
namespace {

const std::string M = "\xA4";
const std::string KA = M + "KEEPALIVE::KEEPALIVE" + M;
const std::string VER = M + "RETSERVERVERSION:1.10.4:RETSERVERVERSION" + M;

class ServerBasics : public ::testing::Test {
 protected:
  void SetUp() override {
    seeded.Start();  // a new, empty database
    port = seeded.Port();
  }
  void TearDown() override { EXPECT_EQ(server.Stop(), 0) << server.EventLog(); }

  test::TSeededServer seeded;
  test::TServerProcess& server = seeded.server;
  uint16_t port = 0;
};

TEST_F(ServerBasics, KeepAliveAndVersionFramedAndBare) {
  test::TLoopbackClient c(port);
  c.Send("#DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), "#DATASTART#" + KA + "#DATAEND#\r\n");
  c.Send(KA + "\r\n");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), KA + "\r\n");
  c.Send("#DATASTART#" + M + "GETSERVERVERSION:X:1:GETSERVERVERSION" + M + "#DATAEND#");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), "#DATASTART#" + VER + "#DATAEND#\r\n");
  // A framed request followed by CR LF holds a line feed: answered bare.
  c.Send("#DATASTART#" + M + "GETSERVERVERSION::GETSERVERVERSION" + M + "#DATAEND#\r\n");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), VER + "\r\n");
  // Two blocks in one message are answered in keyword order.
  c.Send(M + "GETSERVERVERSION::GETSERVERVERSION" + M + KA);
  ASSERT_TRUE(c.WaitFor(VER + "#DATAEND#\r\n"));
  EXPECT_EQ(c.Take(), "#DATASTART#" + KA + "#DATAEND#\r\n#DATASTART#" + VER + "#DATAEND#\r\n");
}

TEST_F(ServerBasics, SplitFramedMessageIsAnsweredOnceAfterTheLastRead) {
  test::TLoopbackClient c(port);
  c.Send("#DATASTART#" + M + "KEEP");
  EXPECT_EQ(c.ReadFor(200), "");
  c.Send("ALIVE::KEEP");
  EXPECT_EQ(c.ReadFor(200), "");
  c.Send("ALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.ReadFor(200), "#DATASTART#" + KA + "#DATAEND#\r\n");
}

TEST_F(ServerBasics, PendingMessagesOfTwoClientsStayApart) {
  test::TLoopbackClient a(port), b(port);
  a.Send("#DATASTART#" + M + "KEEPALIVE:");
  EXPECT_EQ(a.ReadFor(200), "");
  b.Send(M + "GETSERVERVERSION::GETSERVERVERSION" + M);
  ASSERT_TRUE(b.WaitFor("\r\n"));
  EXPECT_EQ(b.ReadFor(100), "#DATASTART#" + VER + "#DATAEND#\r\n");
  a.Send(":KEEPALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(a.WaitFor("\r\n"));
  EXPECT_EQ(a.ReadFor(100), "#DATASTART#" + KA + "#DATAEND#\r\n");
}

TEST_F(ServerBasics, UpdatePortAnswersToo) {
  test::TLoopbackClient c(port + 1);
  c.Send(KA);
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), "#DATASTART#" + KA + "#DATAEND#\r\n");
}

TEST_F(ServerBasics, OversizedPendingMessageIsDroppedAndConnectionStaysUsable) {
  test::TLoopbackClient c(port);
  c.Send("#DATASTART#" + std::string(600 * 1024, 'x'));
  c.Send(std::string(600 * 1024, 'y'));
  c.Send("#DATAEND#");
  ASSERT_TRUE(server.WaitForLog("bytes without its end marker"));
  c.Send("#DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(c.WaitFor("\r\n"));
  EXPECT_EQ(c.Take(), "#DATASTART#" + KA + "#DATAEND#\r\n");
  EXPECT_FALSE(c.PeerClosed());
}

TEST_F(ServerBasics, StartAndStopAreLogged) {
  EXPECT_TRUE(server.WaitForLog("Service started version 1.10.4"));
  EXPECT_TRUE(server.WaitForLog("Listen Socket: "));
  test::TLoopbackClient c(port);
  EXPECT_TRUE(server.WaitForLog("Socket connected: "));
}

// Runs the executable with arguments and returns (exit status, stdout+stderr).
std::pair<int, std::string> RunExe(const std::string& args) {
  std::string cmd = std::string(TAVO_SERVER_EXE) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(ServerCommandLine, VersionHelpAndUnknownOption) {
  auto v = RunExe("--version");
  EXPECT_EQ(v.first, 0);
  EXPECT_EQ(v.second, "1.10.4\n");
  auto h = RunExe("--help");
  EXPECT_EQ(h.first, 0);
  EXPECT_NE(h.second.find("--event-log FILE"), std::string::npos);
  auto bad = RunExe("--frobnicate");
  EXPECT_EQ(bad.first, 2);
  EXPECT_EQ(bad.second.substr(0, bad.second.find('\n')),
            "TAVO_WServer.exe: unknown option '--frobnicate'");
  EXPECT_NE(bad.second.find("usage:"), std::string::npos);
  auto missing = RunExe("--registry");
  EXPECT_EQ(missing.first, 2);
}

TEST(ServerStartup, MainPortTakenExitsNonZeroAfterLogging) {
  test::TSeededServer first;
  first.Start();
  test::TSeededServer second;
  second.server.SetRegistry("Port", std::to_string(first.Port()));
  second.server.Start();
  EXPECT_NE(second.server.WaitExit(10000), 0);
  const std::string log = second.server.EventLog();
  EXPECT_NE(log.find("Connected to "), std::string::npos) << log;
  EXPECT_NE(log.find("Error in ServiceCreate: "), std::string::npos) << log;
  EXPECT_EQ(first.server.Stop(), 0);
}

TEST(ServerStartup, NoDatabaseExitsNonZeroAfterLogging) {
  test::TServerProcess server;
  const uint16_t port = test::FreePortPair();
  server.SetRegistry("Port", std::to_string(port));
  server.Start();  // no data-link file at all
  EXPECT_NE(server.WaitExit(10000), 0);
  const std::string log = server.EventLog();
  const size_t started = log.find("Service started version 1.10.4");
  const size_t bad = log.find("Bad UDL-file: " + (server.ProgramDir() / "TAVO.udl").string());
  const size_t failed = log.find("Error connecting to ");
  ASSERT_NE(started, std::string::npos) << log;
  ASSERT_NE(bad, std::string::npos) << log;
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_LT(started, bad);
  EXPECT_LT(bad, failed);
  test::TLoopbackClient c;
  EXPECT_FALSE(c.Connect(port, 200));
}

TEST(ServerStartup, PortsWrittenBackAndSettingStored) {
  test::TSeededServer s;
  s.server.SetRegistry("UDL", (s.server.ProgramDir() / "TAVO.udl").string());
  s.Start();
  TRegistryStore reg(s.server.RegistryFile());
  // The values are written right after the listeners opened.
  for (int i = 0; i < 250 && reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), std::to_string(s.Port()));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort"),
            std::to_string(s.Port() + 1));
  EXPECT_TRUE(s.server.WaitListening(static_cast<uint16_t>(s.Port() + 1), 2000));
  EXPECT_EQ(s.server.Stop(), 0);
  TSqliteDatabase db(s.server.ProgramDir() / "TAVO.sqlite");
  auto q = db.Open("SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'ServerSettings-UpdateServerPort'");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->AsString("STRINGVALUE"), std::to_string(s.Port() + 1));
}

TEST(ServerStartup, UpdateListenerOnlyWhenItsPortDiffers) {
  test::TSeededServer s;
  s.StrSetting("ServerSettings-UpdateServerPort", std::to_string(s.Port()));
  s.Start();
  TRegistryStore reg(s.server.RegistryFile());
  for (int i = 0; i < 250 && reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  test::TLoopbackClient update;
  EXPECT_FALSE(update.Connect(static_cast<uint16_t>(s.Port() + 1), 300));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort"), std::to_string(s.Port()));
  EXPECT_EQ(s.server.Stop(), 0);
  // Listen notices: one listener only.
  const std::string log = s.server.EventLog();
  size_t n = 0;
  for (size_t p = log.find("Listen Socket: "); p != std::string::npos; p = log.find("Listen Socket: ", p + 1)) ++n;
  EXPECT_EQ(n, 1u);
}

TEST(ServerStartup, PortThatIsNotANumberMeansTheStandardPorts) {
  {
    // The standard ports must be free on this machine for the case to mean anything.
    test::TLoopbackClient probe;
    if (probe.Connect(102, 100) || probe.Connect(103, 100)) GTEST_SKIP() << "port 102 or 103 is in use here";
  }
  test::TSeededServer s;
  s.server.SetRegistry("Port", "abc");
  s.server.Start();
  ASSERT_TRUE(s.server.WaitListening(102)) << s.server.EventLog();
  EXPECT_TRUE(s.server.WaitListening(103, 2000));
  TRegistryStore reg(s.server.RegistryFile());
  for (int i = 0; i < 250 && reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), "102");
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort"), "103");
  EXPECT_EQ(s.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
