// tavo-cli's station supervision and escalation against the real server: online and offline in
// `stations`, `station set --no-supervise`, `escalation set|show|rm` with names resolved and
// mistakes refused, and `watch` marking an escalated call.
#include "CliFixture.h"

#include <regex>
#include <thread>

namespace tavo {
namespace {

class TavoCliSupervision : public TavoCliFixture {
 protected:
  void SetUp() override {
    Seed();
    seeded.Resource(10, "Jour", "Jourhavande", 0, 0, "+46 70 555 00 10");
    seeded.List(1, 10, 3);
    seeded.server.SetRegistry("SupervisionSeconds", "1");
    seeded.Start();
  }
  // The stations table's row of one station, once it holds the text (states follow within a
  // second or two).
  std::string StationRow(const std::string& name, const std::string& part) {
    std::string row;
    for (int i = 0; i < 50; ++i) {
      auto r = Cli({"stations"});
      EXPECT_EQ(r.Exit, 0) << r.Err;
      const size_t at = r.Out.find("\n" + name + "\t");
      row = at == std::string::npos ? "" : r.Out.substr(at + 1, r.Out.find('\n', at + 1) - at - 1);
      if (row.find(part) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return row;
  }
};

TEST_F(TavoCliSupervision, StationsShowOnlineAndOfflineAndSupervisionCanBeTurnedOff) {
  test::TLoopbackClient visning(seeded.Port());
  visning.Send(test::Framed("¤GETCALLLIST:Visning1:1:GETCALLLIST¤"));
  ASSERT_TRUE(visning.WaitFor("CURRENTLIST"));
  const std::string time = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
  EXPECT_TRUE(std::regex_match(StationRow("Visning1", "online"),
                               std::regex("Visning1\t3\tVisning 1\tblack\tdisplay\tyes\t\t2\tyes\tonline\t" + time)));
  // Never connected, and reported once the second after start-up has passed.
  EXPECT_TRUE(std::regex_match(StationRow("Visning2", "offline"),
                               std::regex("Visning2\t4\tVisning 2\tblack\tdisplay\tno\t\t1\tyes\toffline\t" + time)));
  EXPECT_EQ(StationRow("Rum 1", ""), "Rum 1\t1\tRum 1\tlime\tcall\tno\t\t3\t\t\t");

  auto off = Cli({"station", "set", "Visning2", "--no-supervise"});
  EXPECT_EQ(off.Exit, 0) << off.Err;
  EXPECT_TRUE(std::regex_search(off.Out, std::regex("\nVisning2\t4\tVisning 2\tblack\tdisplay\tno\t\t1\tno\t"
                                                    "offline\t" + time + "\n")))
      << off.Out;
  EXPECT_NE(StationRow("Visning2", "\tno\toffline").find("\tno\toffline\t"), std::string::npos);
  EXPECT_TRUE(seeded.server.WaitForLog("SUPERVISION: station 4 not supervised, requested from 127.0.0.1:"));

  auto unknown = Cli({"station", "set", "Nobody", "--no-supervise"});
  EXPECT_EQ(unknown.Exit, 1);
  EXPECT_NE(unknown.Err.find("no station named Nobody"), std::string::npos) << unknown.Err;
  EXPECT_EQ(Cli({"station", "set", "Visning2"}).Exit, 2);
  auto call = Cli({"station", "set", "Rum 1", "--no-supervise"});
  EXPECT_EQ(call.Exit, 0);
  EXPECT_NE(call.Err.find("only display and hardware stations are supervised"), std::string::npos);
}

TEST_F(TavoCliSupervision, EscalationStepsByNameWithTheirMistakesRefused) {
  auto set = Cli({"escalation", "set", "Doktor A", "--after", "90", "--to", "Jour", "--repeat", "2"});
  EXPECT_EQ(set.Exit, 0) << set.Err;
  EXPECT_EQ(set.Out,
            "resource\tafter_s\tto\tsms_number\trepeat\tstep\n"
            "Doktor A\t90\tJour\t+46 70 555 00 10\t2\t1\n");
  // "070..." starts with 0: a number, whatever resources there are.
  ASSERT_EQ(Cli({"escalation", "set", "3", "--after", "300", "--to", "0701112233"}).Exit, 0);
  ASSERT_EQ(Cli({"escalation", "set", "Doktor B", "--after", "30", "--to", "10"}).Exit, 0);
  auto show = Cli({"escalation", "show"});
  EXPECT_EQ(show.Exit, 0) << show.Err;
  EXPECT_EQ(show.Out,
            "resource\tafter_s\tto\tsms_number\trepeat\tstep\n"
            "Doktor A\t90\tJour\t+46 70 555 00 10\t2\t1\n"
            "Doktor A\t300\t0701112233\t0701112233\t0\t2\n"
            "Doktor B\t30\tJour\t+46 70 555 00 10\t0\t3\n");
  EXPECT_EQ(Cli({"escalation", "show", "Doktor B"}).Out,
            "resource\tafter_s\tto\tsms_number\trepeat\tstep\nDoktor B\t30\tJour\t+46 70 555 00 10\t0\t3\n");

  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* err;
  } cases[] = {
      {{"escalation", "set", "Nobody", "--after", "60", "--to", "Jour"}, 1, "no resource named Nobody"},
      {{"escalation", "set", "Doktor A", "--after", "60", "--to", "Doktor B"}, 1,
       "resource Doktor B has no SMS number to send to"},
      {{"escalation", "set", "Doktor A", "--after", "60", "--to", "Nobody"}, 2,
       "neither a resource nor an SMS number"},
      {{"escalation", "set", "Doktor A", "--after", "0", "--to", "Jour"}, 2, "--after"},
      {{"escalation", "set", "Doktor A", "--to", "Jour"}, 2, "--after"},
      {{"escalation", "rm", "Doktor B", "--to", "0701112233"}, 1,
       "resource Doktor B has no escalation step to 0701112233"},
  };
  for (const auto& c : cases) {
    auto r = Cli(c.args);
    EXPECT_EQ(r.Exit, c.exit) << c.args[1] << " " << c.args[2];
    EXPECT_NE(r.Err.find(c.err), std::string::npos) << r.Err;
  }

  auto rm = Cli({"escalation", "rm", "Doktor A", "--to", "0701112233"});
  EXPECT_EQ(rm.Exit, 0) << rm.Err;
  EXPECT_EQ(rm.Out, "resource\tremoved\nDoktor A\t1\n");
  EXPECT_EQ(Cli({"escalation", "rm", "Doktor B"}).Out, "resource\tremoved\nDoktor B\t1\n");
  EXPECT_EQ(Cli({"escalation", "show"}).Out,
            "resource\tafter_s\tto\tsms_number\trepeat\tstep\nDoktor A\t90\tJour\t+46 70 555 00 10\t2\t1\n");
  EXPECT_TRUE(seeded.server.WaitForLog("ESCALATION: escalation step 1 set for resource 3"));
}

TEST_F(TavoCliSupervision, WatchMarksTheEscalatedCall) {
  ASSERT_EQ(Cli({"escalation", "set", "Doktor A", "--after", "1", "--to", "Jour"}).Exit, 0);
  ASSERT_EQ(Cli({"call", "Rum 1", "Doktor A"}).Exit, 0);
  ASSERT_TRUE(seeded.server.WaitForLog("Escalation of call 1 (Rum 1 calling Doktor A)"));
  auto watch = Cli({"watch", "Visning1", "-n", "1"});
  EXPECT_EQ(watch.Exit, 0) << watch.Err;
  EXPECT_TRUE(std::regex_match(
      watch.Out, std::regex("resource\tcaller\tcalled\tage_s\tanswered_by\tanswered_at\tescalated\n"
                            "Doktor A\tRum 1\t[^\t]+\t[0-9]+\t\t\t1 SMS, last [0-9-]+ [0-9:]+\n\n")))
      << watch.Out;
}

}  // namespace
}  // namespace tavo
