// The real executable on loopback ports: framing both ways, reassembly across reads, the
// command line and the shutdown.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "LoopbackClient.h"
#include "ServerProcess.h"

namespace tavo {
namespace {

const std::string M = "\xA4";
const std::string KA = M + "KEEPALIVE::KEEPALIVE" + M;
const std::string VER = M + "RETSERVERVERSION:1.10.4:RETSERVERVERSION" + M;

class ServerBasics : public ::testing::Test {
 protected:
  void SetUp() override {
    port = test::FreePortPair();
    server.SetRegistry("Port", std::to_string(port));
    server.Start();
    ASSERT_TRUE(server.WaitListening(port)) << server.EventLog();
  }
  void TearDown() override { EXPECT_EQ(server.Stop(), 0) << server.EventLog(); }

  test::TServerProcess server;
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
  test::TServerProcess first;
  const uint16_t port = test::FreePortPair();
  first.SetRegistry("Port", std::to_string(port));
  first.Start();
  ASSERT_TRUE(first.WaitListening(port));
  test::TServerProcess second;
  second.SetRegistry("Port", std::to_string(port));
  second.Start();
  EXPECT_NE(second.WaitExit(10000), 0);
  EXPECT_NE(second.EventLog().find("Error in ServiceCreate: "), std::string::npos) << second.EventLog();
  EXPECT_EQ(first.Stop(), 0);
}

}  // namespace
}  // namespace tavo
