// The event-log line file under logrotate: the packaged rule rotates it, its SIGHUP makes the
// running server write to a fresh file at the same path, and nothing is lost in between.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "LoopbackClient.h"
#include "SeededServer.h"

namespace tavo {
namespace {

// True while one of the process's descriptors still names the file.
bool HoldsFile(pid_t pid, const std::filesystem::path& file) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    if (std::filesystem::read_symlink(fd.path(), ec) == file) return true;
  return false;
}

const std::string M = "\xA4";
const std::string KA = "#DATASTART#" + M + "KEEPALIVE::KEEPALIVE" + M + "#DATAEND#";

TEST(EventLogRotation, PackagedRuleRotatesAndServerReopensOnHangup) {
  test::TSeededServer seeded;
  test::TServerProcess& server = seeded.server;
  seeded.Start();
  ASSERT_TRUE(server.WaitForLog("Service started version 1.10.4"));

  // The packaged rule, pointed at this server's file, user and process.
  std::string rule = test::ReadFile(std::filesystem::path(TAVO_SOURCE_DIR) /
                                    "packaging/TAVO_WServer.logrotate");
  const std::string log = server.EventLogFile().string();
  rule = std::regex_replace(rule, std::regex("/var/log/tavo/events\\.log"), log);
  rule = std::regex_replace(rule, std::regex("tavo tavo"), std::to_string(::getuid()) + " " +
                                                               std::to_string(::getgid()));
  rule = std::regex_replace(rule, std::regex("systemctl kill[^\n]*"),
                            "kill -HUP " + std::to_string(server.Pid()));
  ASSERT_NE(rule.find("kill -HUP"), std::string::npos);
  const auto conf = server.ProgramDir() / "logrotate.conf";
  test::WriteFile(conf, rule);
  const std::string cmd = std::string(TAVO_LOGROTATE) + " -f -s " +
                          (server.ProgramDir() / "logrotate.state").string() + " " + conf.string();
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd << "\n" << rule;

  const std::string rotated = test::ReadFile(log + ".1");
  EXPECT_NE(rotated.find("Service started version 1.10.4"), std::string::npos);
  // The signal is taken on the server's main loop a moment after logrotate sent it.
  for (int i = 0; i < 250 && HoldsFile(server.Pid(), log + ".1"); ++i) usleep(20000);
  ASSERT_FALSE(HoldsFile(server.Pid(), log + ".1")) << "the rotated file is still open";
  // After the signal the server writes to the new file at the old path.
  test::TLoopbackClient c(seeded.Port());
  c.Send(KA);
  ASSERT_TRUE(c.WaitFor("#DATAEND#\r\n"));
  EXPECT_TRUE(server.WaitForLog("Socket connected: ")) << "new file: " << server.EventLog();
  EXPECT_EQ(server.EventLog().find("Service started"), std::string::npos);
  EXPECT_EQ(test::ReadFile(log + ".1"), rotated) << "the rotated file stays as it was";
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_NE(server.EventLog().find("Service shutting down"), std::string::npos);
}

}  // namespace
}  // namespace tavo
