// tavo-cli against the real server: the tables it prints (tab-separated off a terminal), its
// exit status, and what it leaves in the call log.
#include <gtest/gtest.h>

#include <regex>

#include "CliFixture.h"

namespace tavo {
namespace {

using TavoCli = TavoCliFixture;

const std::string kEntryHead = "station\tresource\topen\tcalled\tanswered_by\tanswered_at\n";

TEST_F(TavoCli, PingVersionAndRaw) {
  auto ping = Cli({"ping"});
  EXPECT_EQ(ping.Exit, 0) << ping.Err;
  EXPECT_TRUE(std::regex_match(ping.Out, std::regex("reply\ttime_ms\nKEEPALIVE\t[0-9]+\\.[0-9]{3}\n")))
      << ping.Out;
  auto version = Cli({"version"});
  EXPECT_EQ(version.Exit, 0) << version.Err;
  EXPECT_EQ(version.Out, "version\n1.10.4\n");
  auto json = Cli({"--json", "version"});
  EXPECT_EQ(json.Out, "[{\"version\": \"1.10.4\"}]\n");

  auto framed = Cli({"raw", "¤KEEPALIVE::KEEPALIVE¤"});
  EXPECT_EQ(framed.Exit, 0) << framed.Err;
  EXPECT_EQ(framed.Out, "#DATASTART#¤KEEPALIVE::KEEPALIVE¤#DATAEND#\r\n");
  auto line = Cli({"raw", "--line", "¤GETCALLLIST:Nobody:0:GETCALLLIST¤"});
  EXPECT_EQ(line.Exit, 0) << line.Err;
  EXPECT_EQ(line.Out, "ERROR: 001 Nobody finns ej upplagd i Systemet!\r\n");
  auto silent = Cli({"-t", "1", "raw", "no block here"});
  EXPECT_EQ(silent.Exit, 1);
  EXPECT_EQ(silent.Out, "");
}

TEST_F(TavoCli, CallAnswerConfirmShowTheStationsEntry) {
  auto call = Cli({"call", "Rum 1", "Doktor A"});
  ASSERT_EQ(call.Exit, 0) << call.Err;
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  const std::string t = Time(*log, "CALLTSTAMP");
  EXPECT_EQ(call.Out, kEntryHead + "Rum 1\tDoktor A\tyes\t" + t + "\t\t\n");

  auto answer = Cli({"answer", "Exp", "3", "Rum 1"});
  ASSERT_EQ(answer.Exit, 0) << answer.Err;
  log = Log();
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 2);
  EXPECT_EQ(answer.Out, kEntryHead + "Rum 1\tDoktor A\tyes\t" + t + "\tExpedition\t" +
                            Time(*log, "COMINGTSTAMP") + "\n");

  auto confirm = Cli({"confirm", "Rum 1", "3"});
  ASSERT_EQ(confirm.Exit, 0) << confirm.Err;
  EXPECT_EQ(confirm.Out, kEntryHead + "Rum 1\tDoktor A\tno\t\t\t\n");
  log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
}

TEST_F(TavoCli, CallingCommandsRefuseWhatWouldNotDoAsAsked) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"confirm", "Rum 1", "Doktor A"}, "Rum 1 has no open call to Doktor A"},
      {{"call", "Nobody", "3"}, "ERROR: 001 Nobody finns ej upplagd i Systemet!"},
      {{"call", "Rum 1", "Doktor B"}, "station Rum 1 has no resource Doktor B in its list"},
      {{"answer", "Exp", "3", "Rum 1"}, "Rum 1 has no open call to 3"},
  };
  for (auto& c : cases) {
    auto r = Cli(c.args);
    EXPECT_EQ(r.Exit, 1) << c.args[0];
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find(c.err), std::string::npos) << r.Err;
  }
  EXPECT_EQ(Log()->RecordCount(), 0u);
  ASSERT_EQ(Cli({"call", "Rum 1", "3"}).Exit, 0);
  auto twice = Cli({"call", "Rum 1", "3"});
  EXPECT_EQ(twice.Exit, 1);
  EXPECT_NE(twice.Err.find("Rum 1 has already called 3"), std::string::npos) << twice.Err;
  EXPECT_EQ(Log()->RecordCount(), 1u);
}

TEST_F(TavoCli, WatchShowsTheDisplaysOpenCalls) {
  ASSERT_EQ(Cli({"call", "Rum 1", "3"}).Exit, 0);
  auto log = Log();
  auto watch = Cli({"watch", "Visning1", "--count", "1"});
  ASSERT_EQ(watch.Exit, 0) << watch.Err;
  const std::string head = "resource\tcaller\tcalled\tage_s\tanswered_by\tanswered_at\tescalated\n";
  const std::regex row(head + "Doktor A\tRum 1\t" + Time(*log, "CALLTSTAMP") + "\t[0-9]+\t\t\t\n\n");
  EXPECT_TRUE(std::regex_match(watch.Out, row)) << watch.Out;
  // Visning2 does not list the resource: nothing to show.
  auto other = Cli({"watch", "Visning2", "-n", "1"});
  EXPECT_EQ(other.Out, head + "\n");
  auto unknown = Cli({"watch", "Nobody", "-n", "1"});
  EXPECT_EQ(unknown.Exit, 1);
  EXPECT_NE(unknown.Err.find("ERROR: 001"), std::string::npos) << unknown.Err;
}

TEST_F(TavoCli, TestCallPassesAndLeavesTheCallClosed) {
  auto r = Cli({"test-call", "Rum 1", "Doktor A", "Visning1"});
  EXPECT_EQ(r.Exit, 0) << r.Out << r.Err;
  const std::regex table(
      "step\ttime_ms\tresult\n"
      "display shows the call\t[0-9.]+\tok\n"
      "station list shows the call\t[0-9.]+\tok\n"
      "display clears the call\t[0-9.]+\tok\n"
      "station list clears the call\t[0-9.]+\tok\n");
  EXPECT_TRUE(std::regex_match(r.Out, table)) << r.Out;
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
}

TEST_F(TavoCli, TestCallFailsItsBudget) {
  // Visning2 never shows a call to Doktor A: that step misses its budget, the call is still
  // closed again.
  auto r = Cli({"test-call", "Rum 1", "3", "Visning2", "--budget", "0.5"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_TRUE(std::regex_match(r.Out, std::regex("step\ttime_ms\tresult\n"
                                                 "display shows the call\t\tnot within budget\n"
                                                 "station list shows the call\t[0-9.]+\tok\n"
                                                 "display clears the call\t[0-9.]+\tok\n"
                                                 "station list clears the call\t[0-9.]+\tok\n")))
      << r.Out;
  EXPECT_NE(r.Err.find("longer than the budget of 0.500 s"), std::string::npos) << r.Err;
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 1u);
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));

  // A display that is not registered never signs on: nothing is called.
  auto unknown = Cli({"test-call", "Rum 1", "3", "Nobody"});
  EXPECT_EQ(unknown.Exit, 1);
  EXPECT_NE(unknown.Err.find("ERROR: 001 Nobody"), std::string::npos) << unknown.Err;
  EXPECT_EQ(Log()->RecordCount(), 1u);
}

TEST_F(TavoCli, UsageErrorsExitWithTwo) {
  const std::vector<std::string> cases[] = {
      {"frobnicate"},
      {"call", "Rum 1"},
      {"sql", "SELECT '#'"},
      {"exec", "UPDATE X SET A = 'it''s'"},
      {"report", "--from", "yesterday"},
      {},  // no command and no terminal to ask on
  };
  for (auto& args : cases) {
    auto r = Cli(args);
    EXPECT_EQ(r.Exit, 2) << (args.empty() ? "(none)" : args[0]) << r.Err;
    EXPECT_EQ(r.Out, "");
  }
  // Nothing listens on the port: a failure, not a usage error.
  auto down = test::RunCli({"-p", std::to_string(test::FreePort()), "-t", "1", "ping"});
  EXPECT_EQ(down.Exit, 1);
}

}  // namespace
}  // namespace tavo
