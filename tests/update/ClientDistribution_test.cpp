// GETNEWCLIENT through the interpreter, on a program directory of the test's own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "protocol/WireFormat.h"
#include "update/ClientDistribution.h"

namespace tavo {
namespace {

namespace fs = std::filesystem;

class ClientDistributionTest : public ::testing::Test {
 protected:
  void SetUp() override { distribution.RegisterCommands(interp); }

  std::string Ask(const std::string& name, bool lineMode = false) {
    socket->sent.clear();
    const std::string block = Block("GETNEWCLIENT", name + ":Station 1:0");
    interp.DataRead(lineMode ? block + "\r\n" : block, socket);
    return socket->sent;
  }
  std::string NotFound(const std::string& name) const {
    return "ERROR: 210 Hittade inte filen " + name + " i katalogen " + dir + "\r\n";
  }

  test::TLogEnv env;
  test::TTempDir program;
  std::string dir = program.Path().string() + "/";
  std::vector<std::string> configured = {"tavo-data.ini", "Klinik.sqlite"};
  TClientDistribution distribution{env.log, dir, [this] { return configured; }};
  TInterpreter interp{env.log};
  std::shared_ptr<test::TFakeSocket> socket = std::make_shared<test::TFakeSocket>();
};

TEST_F(ClientDistributionTest, FileGoesOutWholeInOneFramedBlockWhateverTheMode) {
  test::WriteFile(program / "TAVO_Empty.exe", "");
  const std::string empty = Ask("TAVO_Empty.exe");
  EXPECT_EQ(empty.size(), 50u);
  EXPECT_EQ(empty, "#DATASTART#\xA4RETNEWCLIENT::RETNEWCLIENT\xA4#DATAEND#\r\n");

  // Bytes that look like markers and line ends stand as they are.
  const std::string bytes = std::string("MZ\0\x01:RETNEWCLIENT\xA4\r\n#DATAEND#\xFF", 28);
  test::WriteFile(program / "TAVO_Call.exe", bytes);
  const std::string expected = "#DATASTART#\xA4RETNEWCLIENT:" + bytes + ":RETNEWCLIENT\xA4#DATAEND#\r\n";
  EXPECT_EQ(Ask("TAVO_Call.exe", true), expected);
  EXPECT_EQ(Ask("  TAVO_Call.exe  "), expected);

  // A file the server may only read is served all the same.
  ::chmod((program / "TAVO_Call.exe").c_str(), 0444);
  EXPECT_EQ(Ask("TAVO_Call.exe"), expected);
  EXPECT_EQ(env.log.ErrorCount(), 0);
  EXPECT_TRUE(env.sink->Messages().empty());
}

TEST_F(ClientDistributionTest, WhatIsNoFileIsError210Bare) {
  fs::create_directories(program / "TAVO_Dir.exe");
  ::mkfifo((program / "TAVO_Pipe.exe").c_str(), 0644);  // must not block the server
  for (const std::string name : {"TAVO_Missing.exe", "", "TAVO_Dir.exe", "TAVO_Pipe.exe"}) {
    EXPECT_EQ(Ask(name), NotFound(name)) << name;
    EXPECT_EQ(Ask(name, true), NotFound(name)) << name;
  }
  EXPECT_TRUE(env.sink->Messages().empty());
}

TEST_F(ClientDistributionTest, ConfigurationAndDataAreRefusedAndTheRefusalLogged) {
  fs::create_directories(program / "sub");
  for (const char* f : {"TAVO.udl", "registry.ini", "tavo-data.ini", "Klinik.sqlite",
                        "TAVO.sqlite-wal", "TAVO_SMS_Encrypted_12.zi~", "TAVO_SMS_1.txt",
                        ".hidden", "sub/TAVO_Call.exe", "klinik.mdb", "TAVO.journal",
                        "TAVO.journal.rejected"})
    test::WriteFile(program / f, "secret");
  socket->peer = "192.0.2.7:40100";
  const std::string refused[] = {
      "TAVO.udl",         "tavo.UDL",         "registry.ini",   "tavo-data.ini",
      "KLINIK.SQLITE",    "TAVO.sqlite-wal",  "TAVO_SMS_Encrypted_12.zi~",
      "tavo_sms_1.txt",   ".hidden",          "..",             "sub/TAVO_Call.exe",
      "sub\\TAVO_Call.exe", "../etc/passwd",  "/etc/passwd",    "klinik.mdb",
      "TAVO.journal",     "TAVO.journal.rejected",
      std::string("TAVO.udl\0.exe", 13)};
  for (const std::string& name : refused) {
    const size_t before = env.sink->Entries().size();
    EXPECT_EQ(Ask(name), NotFound(name)) << name;
    const auto entries = env.sink->Entries();
    ASSERT_EQ(entries.size(), before + 1) << name;
    EXPECT_EQ(entries.back().Type, TEventType::Warning);
    EXPECT_EQ(entries.back().Message, "GETNEWCLIENT refused the file name \"" + name +
                                          "\" asked for from 192.0.2.7:40100");
  }
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

}  // namespace
}  // namespace tavo
