// GETNEWCLIENT on the real executable: a program file goes out whole on either port, the
// server's configuration does not.
#include <gtest/gtest.h>

#include "LoopbackClient.h"
#include "SeededServer.h"

namespace tavo {
namespace {

const std::string M = "\xA4";

TEST(ClientDistribution, ProgramFilesOnBothPortsConfigurationNever) {
  test::TSeededServer seeded;
  const std::string program = std::string("MZ\x90\0\r\n#DATAEND#", 15) + std::string(70000, '\x5A');
  test::WriteFile(seeded.server.ProgramDir() / "TAVO_Call.exe", program);
  seeded.Start();
  const std::string dir = seeded.server.ProgramDir().string() + "/";
  const std::string reply =
      "#DATASTART#" + M + "RETNEWCLIENT:" + program + ":RETNEWCLIENT" + M + "#DATAEND#\r\n";

  for (const uint16_t port : {seeded.Port(), static_cast<uint16_t>(seeded.Port() + 1)}) {
    test::TLoopbackClient c(port);
    c.Send(M + "GETNEWCLIENT:TAVO_Call.exe:Rum 1:0:GETNEWCLIENT" + M + "\r\n");
    ASSERT_TRUE(c.WaitFor("#DATAEND#\r\n", 10000)) << port;
    ASSERT_TRUE(c.WaitFor(":RETNEWCLIENT" + M + "#DATAEND#\r\n", 10000)) << port;
    EXPECT_TRUE(c.Take() == reply) << port;

    c.Send(M + "GETNEWCLIENT:TAVO.udl:GETNEWCLIENT" + M);
    ASSERT_TRUE(c.WaitFor("\r\n")) << port;
    EXPECT_EQ(c.Take(), "ERROR: 210 Hittade inte filen TAVO.udl i katalogen " + dir + "\r\n");
  }
  EXPECT_TRUE(seeded.server.WaitForLog("GETNEWCLIENT refused the file name \"TAVO.udl\" asked for "
                                       "from 127.0.0.1:"))
      << seeded.server.EventLog();
  EXPECT_EQ(seeded.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo
