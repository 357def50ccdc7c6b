// The pieces of the self-update that need no gateway: the due rule, the version file and the
// check a new server executable must pass.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "ImageBuilder.h"
#include "TestSupport.h"
#include "common/VersionRecordWriter.h"
#include "update/ExeCheck.h"
#include "update/UUpdateThread.h"
#include "update/VersionFile.h"

namespace tavo {
namespace {

namespace fs = std::filesystem;

TEST(UpdateDue, HourRuleDateRuleAndForce) {
  struct Case {
    const char* what;
    TDateTime last, now;
    bool force;
    int random;      // the number the draw gives
    bool drawn;      // whether the rule had to draw it
    bool due;
  };
  const TDateTime d = EncodeDate(2026, 12, 10), next = EncodeDate(2026, 12, 11);
  auto at = [](TDateTime day, int h, int m) { return day + EncodeTime(h, m, 0); };
  const Case cases[] = {
      {"11:00 after 10:20, draw 0", at(d, 10, 20), at(d, 11, 0), false, 0, true, true},
      {"11:00 after 10:20, draw 1", at(d, 10, 20), at(d, 11, 0), false, 1, true, false},
      {"11:04 after 10:20, draw 4", at(d, 10, 20), at(d, 11, 4), false, 4, true, true},
      {"10:59 after 10:20: same hour", at(d, 10, 20), at(d, 10, 59), false, 0, false, false},
      {"00:01 after 23:30 the day before", at(d, 23, 30), at(next, 0, 1), false, 4, false, true},
      {"a day back at start-up", at(d, 12, 0), at(next, 12, 0), false, 4, false, true},
      {"next day, later hour, draw above the minute", at(d, 9, 0), at(next, 10, 2), false, 4, true, true},
      {"same hour, forced", at(d, 10, 20), at(d, 10, 30), true, 0, false, true},
  };
  for (const Case& c : cases) {
    bool drawn = false;
    auto draw = [&] {
      drawn = true;
      return c.random;
    };
    EXPECT_EQ(UpdateDue(c.now, c.last, c.force, draw), c.due) << c.what;
    EXPECT_EQ(drawn, c.drawn) << c.what;
  }
}

TEST(UpdateResources, PathsCarryFileAndClinic) {
  EXPECT_EQ(VersionResource("TAVO_Call.exe", "Solbacken"), "/$TAVO_Call.exe$GENERELLVERSION$Solbacken$");
  EXPECT_EQ(UpdateResource("TAVO_Call.exe", ""), "/$TAVO_Call.exe$GENERELLUPDATE$$");
}

TEST(VersionFile, NumberOfProgramversion) {
  struct Case {
    std::string text;
    int32_t expected;
  };
  const Case cases[] = {
      {"[Programversion]\r\nversionsnummer=1105\r\n", 1105},
      {"[Other]\nversionsnummer=9\n[PROGRAMVERSION]\nVersionsNummer = 1200 \n", 1200},
      {"[Programversion]\nversionsnummer=\"1300\"\n", 1300},
      {"[Programversion]\nannat=5\n", -1},
      {"[Programversion]\nversionsnummer=12a\n", -1},
      {"versionsnummer=1105\n", -1},
      {"", -1},
      {"\xEF\xBB\xBF[Programversion]\nversionsnummer=1400\n", 1400},
      {"\xFF\xFE" + AnsiToUtf16LE("[Programversion]\r\nversionsnummer=15\r\n"), 15},
  };
  for (const Case& c : cases) EXPECT_EQ(VersionFileNumber(c.text, -1), c.expected) << c.text;
}

TEST(ExeCheck, VersionLine) {
  EXPECT_TRUE(IsVersionLine("1.10.4"));
  EXPECT_TRUE(IsVersionLine(" 1.11 \r"));
  for (const char* no : {"", "1104", "1..4", "1.10.", ".1", "sleep (GNU coreutils) 9.1", "v1.2"})
    EXPECT_FALSE(IsVersionLine(no)) << no;
}

class ExeCheckTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const std::string& bytes, mode_t mode = 0644) {
    const fs::path p = dir / name;
    test::WriteFile(p, bytes);
    ::chmod(p.c_str(), mode);
    return p;
  }
  test::TTempDir dir;
};

TEST_F(ExeCheckTest, TheServerBuildPasses) {
  const fs::path p = dir / "New_TAVO_WServer.exe";
  fs::copy_file(TAVO_SERVER_EXE, p);
  ::chmod(p.c_str(), 0644);  // as downloaded: the check makes it runnable
  EXPECT_EQ(CheckServerExecutable(p), "");
}

TEST_F(ExeCheckTest, FilesThatCannotRunHereAreRefusedWithTheirReason) {
  std::string own = test::ReadFile("/proc/self/exe").substr(0, 64);
  std::string foreign = own;
  foreign[18] = static_cast<char>(foreign[18] ^ 0x7F);  // another e_machine
  std::string object = own;
  object[16] = 1;  // ET_REL: an object file, not a program
  TVersionRecordFields f;
  f.ProductVersion = {1, 10, 5, 0};
  f.Strings = {{"ProductVersion", "1.10.5"}};
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"pe", test::BuildPeImage(BuildVersionRecord(f)), "a Windows program, not an ELF executable"},
      {"script", "#!/bin/sh\necho 1.10.5\n", "not an ELF executable"},
      {"empty", "", "not an ELF executable"},
      {"foreign", foreign, "an ELF executable for another machine"},
      {"object", object, "an ELF file that is not an executable"},
  };
  for (const Case& c : cases) {
    const std::string reason = CheckServerExecutable(Put(c.name, c.bytes, 0755), 2000);
    EXPECT_EQ(reason.substr(0, std::string(c.reason).size()), c.reason) << c.name << ": " << reason;
  }
}

TEST_F(ExeCheckTest, ProgramsThatDoNotAnswerWithAVersionLineAreRefused) {
  const fs::path silent = dir / "silent";
  fs::copy_file(TAVO_SILENT_PROGRAM, silent);
  EXPECT_EQ(CheckServerExecutable(silent, 300), "it did not answer --version within 300 ms");
  // It runs without the service manager's variables, which belong to the server alone.
  setenv("TAVO_TEST_ANSWER", "1.10.9", 1);
  setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
  EXPECT_EQ(CheckServerExecutable(silent, 5000), "");
  unsetenv("NOTIFY_SOCKET");
  setenv("TAVO_TEST_ANSWER", "ready", 1);
  EXPECT_EQ(CheckServerExecutable(silent, 5000), "its answer to --version is not a version line");
  unsetenv("TAVO_TEST_ANSWER");

  const fs::path quiet = dir / "quiet";
  fs::copy_file("/bin/true", quiet);
  EXPECT_EQ(CheckServerExecutable(quiet, 5000), "its answer to --version is not a version line");
  const fs::path failing = dir / "failing";
  fs::copy_file("/bin/false", failing);
  EXPECT_EQ(CheckServerExecutable(failing, 5000),
            "it ended with status 1 when asked for its version");
}

}  // namespace
}  // namespace tavo
