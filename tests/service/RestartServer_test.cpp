#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TestSupport.h"
#include "service/RestartServer.h"

namespace tavo {
namespace {

class RestartServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old) oldTmp_ = old, hadTmp_ = true;
    setenv("TMPDIR", dir.Path().c_str(), 1);
  }
  void TearDown() override {
    if (hadTmp_)
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  bool WaitForFile(const std::filesystem::path& p, int ms) {
    for (int i = 0; i < ms / 50; ++i) {
      if (std::filesystem::exists(p) && std::filesystem::file_size(p) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  test::TTempDir dir;
  std::string oldTmp_;
  bool hadTmp_ = false;
};

TEST_F(RestartServerTest, TemporaryDirectoryEndsWithSlash) {
  EXPECT_EQ(GetTempDirectory(), dir.Path().string() + "/");
}

TEST_F(RestartServerTest, ExistingScriptIsStartedUnchangedWithItsEnvironment) {
  const auto script = dir / kRestartScriptName;
  const std::string own = "#!/bin/sh\necho \"reused $TAVO_SERVER_PID\" > \"$TAVO_SERVER_CWD/marker\"\n";
  test::WriteFile(script, own);
  TRestartContext ctx;
  ctx.Pid = 4242;
  ctx.WorkingDirectory = dir.Path().string();
  ctx.CommandLine = {"/bin/true"};
  RestartServer(ctx);
  ASSERT_TRUE(WaitForFile(dir / "marker", 5000));
  EXPECT_EQ(test::ReadFile(dir / "marker"), "reused 4242\n");
  EXPECT_EQ(test::ReadFile(script), own);
}

TEST_F(RestartServerTest, WrittenScriptStopsTheProcessAndStartsTheSameCommandLine) {
  // The "server": a child that only ends when told to.
  pid_t victim = fork();
  if (victim == 0) {
    execl("/bin/sleep", "sleep", "60", nullptr);
    _exit(127);
  }
  TRestartContext ctx;
  ctx.Pid = victim;
  ctx.WorkingDirectory = dir.Path().string();
  ctx.CommandLine = {"/bin/sh", "-c", "printf '%s|' \"$@\" > restarted", "sh", "a b", "it's"};
  RestartServer(ctx);

  int status = 0;
  ASSERT_EQ(waitpid(victim, &status, 0), victim);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  ASSERT_TRUE(WaitForFile(dir / "restarted", 15000));
  EXPECT_EQ(test::ReadFile(dir / "restarted"), "a b|it's|");
  EXPECT_EQ(test::ReadFile(dir / kRestartScriptName), RestartScriptText());
}

// Under systemd the script asks the service manager to restart the unit and ends; a refusal
// (no polkit rule for the service account) fails RestartServer, so the caller can end the
// process and let systemd start it again.
TEST_F(RestartServerTest, UnderSystemdTheUnitIsRestartedBySystemctl) {
  const auto bin = dir / "bin";
  std::filesystem::create_directory(bin);
  test::WriteFile(bin / "systemctl",
                  "#!/bin/sh\necho \"$*\" >> \"$TMPDIR/systemctl.calls\"\n"
                  "[ \"$3\" = TAVO_WindowsServer.service ]\n");
  std::filesystem::permissions(bin / "systemctl", std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  TRestartContext ctx;
  ctx.SystemdUnit = "TAVO_WindowsServer.service";
  ctx.Pid = 4242;
  ctx.CommandLine = {"/bin/true"};
  EXPECT_NO_THROW(RestartServer(ctx));
  // It has already ended: the server's process is left for systemd to stop.
  EXPECT_EQ(test::ReadFile(dir / "systemctl.calls"), "--no-block restart TAVO_WindowsServer.service\n");
  ctx.SystemdUnit = "Other.service";  // refused by the stand-in
  try {
    RestartServer(ctx);
    ADD_FAILURE() << "a refused restart passed";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("systemctl could not restart Other.service"), std::string::npos)
        << e.what();
  }
  setenv("PATH", path.c_str(), 1);
}

TEST_F(RestartServerTest, MissingTemporaryDirectoryFails) {
  setenv("TMPDIR", (dir.Path() / "gone").c_str(), 1);
  TRestartContext ctx;
  ctx.CommandLine = {"/bin/true"};
  EXPECT_THROW(RestartServer(ctx), std::runtime_error);
}

}  // namespace
}  // namespace tavo
