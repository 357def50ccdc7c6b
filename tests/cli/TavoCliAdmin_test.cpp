// tavo-cli's administration commands against the real server: the station and resource lists,
// remote SQL and the response-time report over a seeded call log. They sign on as an
// administration client first.
#include "CliFixture.h"
#include "TestSupport.h"
#include "sms/SmsOutboxStore.h"

#include <regex>

namespace tavo {
namespace {

class TavoCliAdmin : public TavoCliFixture {
 protected:
  void SetUp() override {
    Seed();
    // Four calls on 4 and 5 March with known answer and close times, one the day before and
    // one the day after.
    auto at = [](int day, int h, int m, int s) { return SqlDateTime(EncodeDateTime(2025, 3, day, h, m, s, 0)); };
    struct Row {
      int lopnr, station, resource;
      TSqlValue called, coming, confirmed;
    } rows[] = {
        {1, 1, 3, at(3, 9, 0, 0), at(3, 9, 0, 1), at(3, 9, 0, 2)},
        {2, 1, 3, at(4, 10, 0, 0), at(4, 10, 0, 10), at(4, 10, 5, 0)},
        {3, 2, 3, at(4, 11, 0, 0), at(4, 11, 0, 30), at(4, 11, 2, 0)},
        {4, 1, 3, at(5, 12, 0, 0), SqlNull(), at(5, 12, 1, 0)},
        {5, 1, 5, at(5, 13, 0, 0), at(5, 13, 0, 4), SqlNull()},
        {6, 2, 5, at(6, 8, 0, 0), at(6, 8, 0, 5), at(6, 8, 1, 0)},
    };
    for (auto& r : rows)
      seeded.Db().Execute(
          "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
          "COMINGTSTAMP, CONFIRMTSTAMP, COMINGLOPNR) VALUES (?, ?, ?, 0, ?, ?, ?, NULL)",
          {SqlInt(r.lopnr), SqlInt(r.station), SqlInt(r.resource), r.called, r.coming, r.confirmed});
    // The SMS of some of those calls, as the outbox left them.
    test::TLogEnv env;
    TSmsOutboxStore outbox(seeded.Db(), env.log);
    outbox.EnsureTable();
    auto when = [](int day, int h, int m, int s) { return EncodeDateTime(2025, 3, day, h, m, s, 0); };
    struct Sms {
      int call, resource;
      TSmsState state;
      TDateTime queued, finished;
      const char* error;
    } sms[] = {
        {1, 3, TSmsState::Sent, when(3, 9, 0, 0), when(3, 9, 0, 4), ""},
        {2, 3, TSmsState::Sent, when(4, 10, 0, 0), when(4, 10, 0, 5), ""},
        {3, 3, TSmsState::Cancelled, when(4, 11, 0, 0), when(4, 11, 0, 30), ""},
        {5, 5, TSmsState::Expired, when(5, 13, 0, 0), when(5, 13, 10, 0), "127.0.0.1:4433: refused (a~b)"},
        {6, 5, TSmsState::Failed, when(6, 8, 0, 0), when(6, 8, 0, 0), "Inget Kundnummer!"},
    };
    for (auto& m : sms) {
      TSmsRow row;
      row.Request = {m.call, m.resource, "070-" + std::to_string(m.resource), "Rum 1", "Doktor"};
      row.State = m.state;
      row.Attempts = 1;
      row.QueuedAt = m.queued;
      row.FinishedAt = m.finished;
      row.LastError = m.error;
      outbox.Insert(row);
    }
    seeded.Start();
  }
};

TEST_F(TavoCliAdmin, StationsResourcesAndList) {
  test::TLoopbackClient rum(seeded.Port());
  rum.Send(test::Framed("¤GETCALLLIST:Rum 1:0:GETCALLLIST¤"));
  ASSERT_TRUE(rum.WaitFor("RETCALLLIST"));

  auto stations = Cli({"stations"});
  EXPECT_EQ(stations.Exit, 0) << stations.Err;
  // Displays are supervised; nobody has connected them since start-up.
  const std::string since = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n";
  EXPECT_TRUE(std::regex_match(
      stations.Out,
      std::regex("name\tlopnr\tfriendly_name\tcolour\ttype\tconnected\timei\tresources\tsupervised\t"
                 "state\tsince\n"
                 "Exp\t2\tExpedition\tblack\tcall\tno\t\t1\t\t\t\n"
                 "Rum 1\t1\tRum 1\tlime\tcall\tyes\t\t2\t\t\t\n"
                 "Visning1\t3\tVisning 1\tblack\tdisplay\tno\t\t2\tyes\twaiting\t" + since +
                 "Visning2\t4\tVisning 2\tblack\tdisplay\tno\t\t1\tyes\twaiting\t" + since)))
      << stations.Out;
  auto resources = Cli({"resources"});
  EXPECT_EQ(resources.Exit, 0) << resources.Err;
  EXPECT_EQ(resources.Out,
            "lopnr\tcallname\tfullname\tcolour\tsms\tsms_number\tactive\n"
            "9\tAvbryt\tAvbryt\tblack\tno\t\tyes\n"
            "3\tDoktor A\tDoktor Alfa\tred\tno\t\tyes\n"
            "5\tDoktor B\tDoktor Beta\tblack\tno\t\tyes\n");
  auto list = Cli({"list", "Rum 1"});
  EXPECT_EQ(list.Exit, 0) << list.Err;
  EXPECT_EQ(list.Out, "ix\tlopnr\tcallname\tfullname\tactive\n1\t3\tDoktor A\tDoktor Alfa\tyes\n2\t9\tAvbryt\tAvbryt\tyes\n");
  auto nobody = Cli({"list", "Nobody"});
  EXPECT_EQ(nobody.Exit, 1);
  EXPECT_NE(nobody.Err.find("no station named Nobody"), std::string::npos) << nobody.Err;
}

TEST_F(TavoCliAdmin, SqlAndExecWithQuotes) {
  auto exec = Cli({"exec", "UPDATE CALLABLES SET FULLNAME = 'Doktor Ärlig' WHERE LOPNR IN (3,5)"});
  EXPECT_EQ(exec.Exit, 0) << exec.Err;
  EXPECT_EQ(exec.Out, "changed_rows\n2\n");
  auto sql = Cli({"sql", "SELECT LOPNR, FULLNAME FROM CALLABLES WHERE FULLNAME='Doktor Ärlig' ORDER BY LOPNR"});
  EXPECT_EQ(sql.Exit, 0) << sql.Err;
  EXPECT_EQ(sql.Out, "LOPNR\tFULLNAME\n3\tDoktor Ärlig\n5\tDoktor Ärlig\n");
  auto none = Cli({"sql", "SELECT LOPNR FROM CALLABLES WHERE LOPNR = 77"});
  EXPECT_EQ(none.Exit, 0) << none.Err;
  EXPECT_EQ(none.Out, "");
  // Statements the database refuses fail the command; nothing was changed.
  for (const char* cmd : {"sql", "exec"}) {
    auto bad = Cli({cmd, "SELECT * FROM NOSUCHTABLE"});
    EXPECT_EQ(bad.Exit, 1) << cmd;
  }
}

TEST_F(TavoCliAdmin, ReportGivesTheResponseTimesOfTheSeededDays) {
  auto r = Cli({"report", "--from", "2025-03-04", "--to", "2025-03-05"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "by\tname\tcalls\tanswered\tnever_answered\tanswer_median_s\tanswer_p90_s\tclose_median_s\tclose_p90_s"
            "\tsms_sent\tsms_expired\tsms_cancelled\tsms_failed\n"
            "resource\tDoktor A\t3\t2\t1\t20.0\t30.0\t120.0\t300.0\t1\t0\t1\t0\n"
            "resource\tDoktor B\t1\t1\t0\t4.0\t4.0\t\t\t0\t1\t0\t0\n"
            "station\tExp\t1\t1\t0\t30.0\t30.0\t120.0\t120.0\t\t\t\t\n"
            "station\tRum 1\t3\t2\t1\t7.0\t10.0\t180.0\t300.0\t\t\t\t\n");
  auto all = Cli({"report", "--csv"});
  EXPECT_EQ(all.Exit, 0) << all.Err;
  EXPECT_EQ(all.Out,
            "by,name,calls,answered,never_answered,answer_median_s,answer_p90_s,close_median_s,close_p90_s,"
            "sms_sent,sms_expired,sms_cancelled,sms_failed\n"
            "resource,Doktor A,4,3,1,10.0,30.0,90.0,300.0,2,0,1,0\n"
            "resource,Doktor B,2,2,0,4.5,5.0,60.0,60.0,0,1,0,1\n"
            "station,Exp,2,2,0,17.5,30.0,90.0,120.0,,,,\n"
            "station,Rum 1,4,3,1,4.0,10.0,60.0,300.0,,,,\n");
}

TEST_F(TavoCliAdmin, SmsListsTheOutboxByStateAndDay) {
  const std::string header =
      "sms\tcall\tresource\tnumber\tstate\tattempts\tqueued\tnext_attempt\tfinished\tlast_error\n";
  auto all = Cli({"sms"});
  EXPECT_EQ(all.Exit, 0) << all.Err;
  EXPECT_EQ(all.Out,
            header +
                "1\t1\tDoktor A\t070-3\tsent\t1\t2025-03-03 09:00:00\t\t2025-03-03 09:00:04\t\n"
                "2\t2\tDoktor A\t070-3\tsent\t1\t2025-03-04 10:00:00\t\t2025-03-04 10:00:05\t\n"
                "3\t3\tDoktor A\t070-3\tcancelled\t1\t2025-03-04 11:00:00\t\t2025-03-04 11:00:30\t\n"
                "4\t5\tDoktor B\t070-5\texpired\t1\t2025-03-05 13:00:00\t\t2025-03-05 13:10:00\t"
                "127.0.0.1:4433: refused (a-b)\n"
                "5\t6\tDoktor B\t070-5\tfailed\t1\t2025-03-06 08:00:00\t\t2025-03-06 08:00:00\t"
                "Inget Kundnummer!\n");
  auto expired = Cli({"sms", "--state", "expired"});
  EXPECT_EQ(expired.Exit, 0) << expired.Err;
  EXPECT_EQ(expired.Out.substr(header.size()).rfind("4\t5\tDoktor B", 0), 0u) << expired.Out;
  EXPECT_EQ(std::count(expired.Out.begin(), expired.Out.end(), '\n'), 2);
  auto later = Cli({"sms", "--from", "2025-03-05"});
  EXPECT_EQ(later.Exit, 0) << later.Err;
  EXPECT_EQ(std::count(later.Out.begin(), later.Out.end(), '\n'), 3);
  for (std::vector<std::string> bad : {std::vector<std::string>{"sms", "--state", "lost"},
                                       std::vector<std::string>{"sms", "--from", "yesterday"}}) {
    auto r = Cli(bad);
    EXPECT_EQ(r.Exit, 2) << bad[2];
    EXPECT_EQ(r.Out, "");
  }
}

}  // namespace
}  // namespace tavo
