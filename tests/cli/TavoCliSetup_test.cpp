// Setting a clinic up with tavo-cli against the real server: stations, resources and lists
// through the administration commands (names with every character the protocol carries, and
// a clear refusal of those it cannot), refused deletions, honest sql and exec, the SMS
// password kept out of sight, and the command-line conventions.
#include <pty.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "CliFixture.h"

namespace tavo {
namespace {

using test::W;

// A framed request, as a client sends it (no line feed behind it).
std::string Req(const std::string& utf8) { return "#DATASTART#" + W(utf8) + "#DATAEND#"; }
const std::string kKeepAliveAnswer = test::Framed("¤KEEPALIVE::KEEPALIVE¤");

class TavoCliSetup : public TavoCliFixture {
 protected:
  void SetUp() override {
    Seed();
    seeded.Resource(1, "Reception", "Reception", 0);
    seeded.Station(6, "Visning3", "Visning 3", 0, 1);  // a display without a list
    seeded.server.SetRegistry("AdminCommandsFrom", adminFrom_);
    seeded.Start();
  }

  std::unique_ptr<TQuery> Rows(const std::string& sql, const TSqlParams& params = {}) {
    TSqliteDatabase db(seeded.server.ProgramDir() / "TAVO.sqlite");
    return db.Open(sql, params);
  }
  int Count(const std::string& table) {
    return Rows("SELECT COUNT(*) AS N FROM " + table)->AsInteger("N");
  }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  std::string adminFrom_ = "ADMIN";
};

TEST_F(TavoCliSetup, NamesWithQuotesHashesApostrophesAndLettersGoThroughAddListCallAndRm) {
  const std::string station = "Dr. O'Brien's \"Rum\" #2";
  const std::string resource = "Sköterska 'Åsa' #1";
  const std::string full = "Åsa \"Syster\" O'Neil";
  auto add = Cli({"station", "add", station, "--colour", "red"});
  ASSERT_EQ(add.Exit, 0) << add.Err;
  EXPECT_EQ(add.Out,
            "name\tlopnr\tfriendly_name\tcolour\ttype\tconnected\timei\tresources\tsupervised\tstate\t"
            "since\n" + station + "\t7\t" + station + "\tred\tcall\tno\t\t0\t\t\t\n");
  auto res = Cli({"resource", "add", resource, "--full", full, "--colour", "#00FF00"});
  ASSERT_EQ(res.Exit, 0) << res.Err;
  EXPECT_EQ(res.Out, "lopnr\tcallname\tfullname\tcolour\tsms\tsms_number\tactive\n10\t" + resource +
                         "\t" + full + "\tlime\tno\t\tyes\n");
  auto s = Rows("SELECT * FROM STATIONS WHERE LOPNR = 7");
  EXPECT_EQ(s->AsString("STATIONNAME"), W(station));
  EXPECT_EQ(s->AsInteger("NAMECOLOUR"), 255);
  EXPECT_EQ(s->AsInteger("STATIONTYPE"), 0);
  auto r = Rows("SELECT * FROM CALLABLES WHERE LOPNR = 10");
  EXPECT_EQ(r->AsString("CALLNAME"), W(resource));
  EXPECT_EQ(r->AsString("FULLNAME"), W(full));
  EXPECT_EQ(r->AsInteger("NAMECOLOUR"), 65280);
  EXPECT_EQ(r->AsString("AKTIV"), "T");

  // The display that shows the resource sees the call come and go.
  ASSERT_EQ(Cli({"list", "set", "Visning3", resource}).Exit, 0);
  auto list = Cli({"list", "set", station, resource, "Doktor A"});
  ASSERT_EQ(list.Exit, 0) << list.Err;
  EXPECT_EQ(list.Out, "ix\tlopnr\tcallname\tfullname\tactive\n0\t10\t" + resource + "\t" + full +
                          "\tyes\n1\t3\tDoktor A\tDoktor Alfa\tyes\n");
  test::TLoopbackClient display(seeded.Port());
  display.Send(Req("¤GETCALLLIST:Visning3:1:GETCALLLIST¤"));
  ASSERT_TRUE(display.WaitFor(W(resource + ":10:65280:0:¤%%¤:"))) << display.Received();
  display.Take();
  auto call = Cli({"call", station, resource});
  ASSERT_EQ(call.Exit, 0) << call.Err;
  EXPECT_TRUE(Has(call.Out, station + "\t" + resource + "\tyes\t")) << call.Out;
  EXPECT_TRUE(display.WaitFor(W(resource + ":10:65280:0:¤%" + station + "~7~"))) << display.Received();
  ASSERT_EQ(Cli({"confirm", station, resource}).Exit, 0);

  // Listed, the resource stays; its lists emptied, it and the station go.
  auto busy = Cli({"resource", "rm", resource});
  EXPECT_EQ(busy.Exit, 1);
  EXPECT_TRUE(Has(busy.Err, "the stations " + station + " and Visning3 list it")) << busy.Err;
  ASSERT_EQ(Cli({"list", "set", station, "--empty"}).Exit, 0);
  ASSERT_EQ(Cli({"list", "set", "Visning3", "--empty"}).Exit, 0);
  auto rmRes = Cli({"resource", "rm", resource});
  EXPECT_EQ(rmRes.Exit, 0) << rmRes.Err;
  auto rmSt = Cli({"station", "rm", station});
  EXPECT_EQ(rmSt.Exit, 0) << rmSt.Err;
  EXPECT_EQ(Rows("SELECT COUNT(*) AS N FROM STATIONS WHERE LOPNR = 7")->AsInteger("N"), 0);
  EXPECT_EQ(Rows("SELECT COUNT(*) AS N FROM CALLABLES WHERE LOPNR = 10")->AsInteger("N"), 0);

  // Each change is in the event log as the administration program's changes are.
  const std::string log = seeded.server.EventLog();
  for (const char* entry :
       {"REGISTERUPATEMACHINE: station 7 created, requested from 127.0.0.1",
        "REGISTERUPATECALLABLE: resource 10 created, requested from 127.0.0.1",
        "POSTCALLABLESLIST: list of station 7 replaced, requested from 127.0.0.1",
        "REGISTERUPATECALLABLE: resource 10 deleted, requested from 127.0.0.1",
        "REGISTERUPATEMACHINE: station 7 deleted, requested from 127.0.0.1"})
    EXPECT_TRUE(Has(log, entry)) << entry;
}

TEST_F(TavoCliSetup, WhatTheProtocolCannotCarryIsRefusedNamingItBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{"station", "add", "Rum:3"}, "\":\""},
      {{"station", "add", "Rum 3", "--friendly", "Rum~3"}, "\"~\""},
      {{"station", "add", "Rum 3", "--friendly", "Rum¤3"}, "\"¤\""},
      {{"resource", "add", "Łukasz"}, "\"Ł\""},
      {{"resource", "add", "Doktor C", "--sms", "070:1"}, "\":\""},
      {{"resource", "add", "Doktor C "}, "blank"},
      {{"station", "add", "Rum 3", "--type", "kiosk"}, "kiosk"},
      {{"station", "add", "Rum 3", "--colour", "reddish"}, "reddish"},
      {{"clinic-name", "Klinik $1"}, "\"$\""},
      {{"setting", "set", "ServerSettings-Motd", "12:30"}, "\":\""},
      {{"exec", "UPDATE CALLABLES SET FULLNAME = 'O''Neil'"}, "char(39)"},
      {{"sql", "SELECT '12:30'"}, "\":\""},
  };
  // Every connection is a notice in the event log; the start-up's own probe is the first.
  auto connections = [&] {
    const std::string log = seeded.server.EventLog();
    size_t n = 0;
    for (size_t at = 0; (at = log.find("Socket connected", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  ASSERT_TRUE(seeded.server.WaitForLog("Socket connected"));
  const size_t before = connections();
  for (auto& c : cases) {
    auto r = Cli(c.args);
    EXPECT_EQ(r.Exit, 2) << c.args[0] << " " << c.args[1];
    EXPECT_TRUE(Has(r.Err, c.named)) << r.Err;
  }
  EXPECT_EQ(Count("STATIONS"), 5);
  EXPECT_EQ(Count("CALLABLES"), 4);
  // Not even a connection reached the server.
  EXPECT_EQ(connections(), before);
}

TEST_F(TavoCliSetup, RefusedDeletionSaysWhichStationsListTheResource) {
  auto listed = Cli({"resource", "rm", "Doktor A"});
  EXPECT_EQ(listed.Exit, 1);
  EXPECT_TRUE(Has(listed.Err,
                  "resource Doktor A cannot be deleted: the stations Exp, Rum 1 and Visning1 list it"))
      << listed.Err;
  auto first = Cli({"resource", "rm", "Reception"});
  EXPECT_EQ(first.Exit, 1);
  EXPECT_TRUE(Has(first.Err, "resource number 1, which the server never deletes")) << first.Err;
  EXPECT_EQ(Count("CALLABLES"), 4);
}

TEST_F(TavoCliSetup, ChangesReachTheConnectedStationAtOnce) {
  test::TLoopbackClient rum(seeded.Port());
  rum.Send(Req("¤GETCALLLIST:Rum 1:0:GETCALLLIST¤"));
  ASSERT_TRUE(rum.WaitFor("RETCALLLIST"));
  rum.Take();
  // A connected station keeps the record it signed on with and gets its list again.
  auto set = Cli({"station", "set", "Rum 1", "--friendly", "Rum Ett", "--colour", "blue"});
  ASSERT_EQ(set.Exit, 0) << set.Err;
  EXPECT_EQ(set.Out,
            "name\tlopnr\tfriendly_name\tcolour\ttype\tconnected\timei\tresources\tsupervised\tstate\t"
            "since\nRum 1\t1\tRum Ett\tblue\tcall\tyes\t\t2\t\t\t\n");
  EXPECT_TRUE(rum.WaitFor(W("¤RETCALLLIST~Doktor A~3~"))) << rum.Received();
  rum.Take();
  auto full = Cli({"resource", "set", "Doktor A", "--full", "Doktor Ärlig", "--inactive"});
  ASSERT_EQ(full.Exit, 0) << full.Err;
  // Inactive, it leaves the station's list.
  EXPECT_TRUE(rum.WaitFor(W("¤RETCALLLIST~Avbryt~9~"))) << rum.Received();
  auto r = Rows("SELECT * FROM CALLABLES WHERE LOPNR = 3");
  EXPECT_EQ(r->AsString("FULLNAME"), W("Doktor Ärlig"));
  EXPECT_EQ(r->AsString("AKTIV"), "F");
  EXPECT_EQ(r->AsInteger("NAMECOLOUR"), 255);  // unchanged

  // The cancel resource: flagged in the station's list from now on.
  rum.Take();
  auto cancel = Cli({"cancel-resource", "Doktor B"});
  ASSERT_EQ(cancel.Exit, 0) << cancel.Err;
  EXPECT_EQ(cancel.Out, "lopnr\tcallname\n5\tDoktor B\n");
  EXPECT_EQ(Rows("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'")
                ->AsInteger("INTEGERVALUE"),
            5);
  EXPECT_TRUE(rum.WaitFor(W("¤RETCALLLIST~Avbryt~9~Avbryt~0~0~"))) << rum.Received();
  EXPECT_EQ(Cli({"cancel-resource"}).Out, "lopnr\tcallname\n5\tDoktor B\n");
  EXPECT_EQ(Cli({"cancel-resource", "--none"}).Exit, 0);

  auto clinic = Cli({"clinic-name", "Vårdcentralen Norr"});
  ASSERT_EQ(clinic.Exit, 0) << clinic.Err;
  EXPECT_EQ(Cli({"clinic-name"}).Out, "clinic_name\nVårdcentralen Norr\n");
  TRegistryStore reg(seeded.server.RegistryFile());
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName"), W("Vårdcentralen Norr"));
  const std::string log = seeded.server.EventLog();
  EXPECT_TRUE(Has(log, "REGISTERUPATEMACHINE: station 1 changed, requested from 127.0.0.1"));
  EXPECT_TRUE(Has(log, "SETINITEXT: cancel resource 5 set, requested from 127.0.0.1"));
  EXPECT_TRUE(Has(log, "SETINITEXT: clinic name set to \"Vårdcentralen Norr\", requested from"));
}

TEST_F(TavoCliSetup, ExecAndSqlSayWhatTheDatabaseDid) {
  auto empty = Cli({"exec", "UPDATE CALLABLES SET SMSNUMMER = '' WHERE LOPNR IN (3, 5)"});
  EXPECT_EQ(empty.Exit, 0) << empty.Err;
  EXPECT_EQ(empty.Out, "changed_rows\n2\n");
  auto n = Rows("SELECT COUNT(*) AS N FROM CALLABLES WHERE SMSNUMMER = ''");
  EXPECT_EQ(n->AsInteger("N"), 2);
  auto time = Cli({"exec", "UPDATE CALLABLES SET FULLNAME = 'Möte 12:30' WHERE LOPNR = 9"});
  EXPECT_EQ(time.Exit, 0) << time.Err;
  EXPECT_EQ(Rows("SELECT FULLNAME FROM CALLABLES WHERE LOPNR = 9")->AsString("FULLNAME"),
            W("Möte 12:30"));
  // The database's own message, not a pointer to the event log.
  auto bad = Cli({"exec", "UPDATE NOSUCHTABLE SET A = 1"});
  EXPECT_EQ(bad.Exit, 1);
  EXPECT_TRUE(Has(bad.Err, "the database refused the statement: no such table: NOSUCHTABLE")) << bad.Err;
  auto badQuery = Cli({"sql", "SELECT NOSUCHCOLUMN FROM CALLABLES"});
  EXPECT_EQ(badQuery.Exit, 1);
  EXPECT_TRUE(Has(badQuery.Err, "no such column: NOSUCHCOLUMN")) << badQuery.Err;

  // A client that does not ask for the outcome receives what it always did: nothing. The
  // KEEPALIVE in the same message is answered before the statement runs; the one sent after
  // that answer comes back behind whatever the statement sent.
  test::TLoopbackClient admin(seeded.Port());
  admin.Send(Req("¤GETSERVERVERSION:Admin:2:GETSERVERVERSION¤"));
  ASSERT_TRUE(admin.WaitFor("RETSERVERVERSION"));
  admin.Take();
  for (const char* statement : {"¤EXECSQL$x$UPDATE NOSUCHTABLE SET A = 1$EXECSQL¤",
                                "¤EXECSQL$$UPDATE CALLABLES SET AKTIV = #T# WHERE LOPNR = 3$EXECSQL¤",
                                "¤OPENSQL:x:SELECT NOSUCHCOLUMN FROM CALLABLES:OPENSQL¤"}) {
    admin.Send(Req(std::string(statement) + "¤KEEPALIVE::KEEPALIVE¤"));
    ASSERT_TRUE(admin.WaitFor(kKeepAliveAnswer));
    admin.Take();
    admin.Send(Req("¤KEEPALIVE::KEEPALIVE¤"));
    ASSERT_TRUE(admin.WaitFor(kKeepAliveAnswer));
    EXPECT_EQ(admin.Take(), kKeepAliveAnswer) << statement;
  }
}

class TavoCliRefusing : public TavoCliSetup {
 protected:
  void SetUp() override {
    adminFrom_ = "10.9.9.0/24";  // an allow-list the loopback is not in; nothing connects to it
    TavoCliSetup::SetUp();
  }
};

TEST_F(TavoCliRefusing, CommandsTheAccessRuleRefusesAreReportedAsRefused) {
  auto exec = Cli({"exec", "DELETE FROM CALLABLES"});
  EXPECT_EQ(exec.Exit, 1);
  EXPECT_TRUE(Has(exec.Err, "the server refused EXECSQL: 127.0.0.1 is not in AdminCommandsFrom")) << exec.Err;
  EXPECT_EQ(Count("CALLABLES"), 4);
  auto sql = Cli({"sql", "SELECT * FROM SETTINGS"});
  EXPECT_EQ(sql.Exit, 1);
  EXPECT_TRUE(Has(sql.Err, "the server refused OPENSQL")) << sql.Err;
  auto sms = Cli({"sms-account", "show"});
  EXPECT_EQ(sms.Exit, 1);
  EXPECT_TRUE(Has(sms.Err, "AdminCommandsFrom")) << sms.Err;
  auto clinic = Cli({"clinic-name", "Annan klinik"});
  EXPECT_EQ(clinic.Exit, 1);
  EXPECT_TRUE(Has(clinic.Err, "did not take the clinic name")) << clinic.Err;
  auto cancel = Cli({"cancel-resource", "Doktor B"});
  EXPECT_EQ(cancel.Exit, 1);
  TRegistryStore reg(seeded.server.RegistryFile());
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName"), "");
  EXPECT_EQ(Rows("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'")
                ->AsInteger("INTEGERVALUE"),
            9);
}

TEST_F(TavoCliSetup, SmsPasswordNeverOnTheCommandLineNorInShowOutput) {
  const std::string password = "hemligt Lösen-7";
  // There is no option that would put it into the process list or the shell's history.
  auto option = Cli({"sms-account", "set", "--user", "klinik", "--password", password});
  EXPECT_EQ(option.Exit, 2);
  auto set = Cli({"sms-account", "set", "--user", "klinik", "--customer", "4711"}, {password + "\n", {}});
  ASSERT_EQ(set.Exit, 0) << set.Err;
  EXPECT_EQ(set.Out, "user\tpassword\tcustomer_number\nklinik\t(hidden)\t4711\n");
  auto stored = Rows("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = 'SMSPASSWORD'");
  EXPECT_FALSE(stored->AsString("STRINGVALUE").empty());
  EXPECT_FALSE(Has(stored->AsString("STRINGVALUE"), "hemligt"));
  auto show = Cli({"sms-account", "show"});
  EXPECT_EQ(show.Out, "user\tpassword\tcustomer_number\nklinik\t(hidden)\t4711\n");
  EXPECT_EQ(Cli({"sms-account", "show", "--json"}).Out,
            "[{\"user\": \"klinik\", \"password\": \"(hidden)\", \"customer_number\": 4711}]\n");
  EXPECT_TRUE(Has(Cli({"sms-account", "show", "--show-password"}).Out, password));
  // A new user name keeps the password; none on standard input changes nothing.
  EXPECT_EQ(Cli({"sms-account", "set", "--user", "klinik2", "--keep-password"}).Exit, 0);
  EXPECT_TRUE(Has(Cli({"sms-account", "show", "--show-password"}).Out, "klinik2\t" + password));
  EXPECT_EQ(Cli({"sms-account", "set", "--user", "x"}).Exit, 2);
  const std::string log = seeded.server.EventLog();
  EXPECT_TRUE(Has(log, "POSTSMSSETTINGS: SMS account set to user \"klinik\", customer number 4711"));
  EXPECT_FALSE(Has(log, "hemligt"));
}

// Reads the terminal's output until it holds the text or the time is up.
bool ReadUntil(int fd, std::string& seen, const std::string& text) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    seen.append(buf, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(TavoCliSetup, PromptKeepsThePasswordOffTheScreenAndOutOfItsHistory) {
  test::TTempDir home;
  const std::string password = "pty-Hemligt-42";
  int fd = -1;
  const pid_t pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("HOME", home.Path().c_str(), 1);
    ::setenv("TERM", "dumb", 1);
    const std::string port = std::to_string(seeded.Port());
    ::execl(TAVO_CLI_EXE, TAVO_CLI_EXE, "-p", port.c_str(), "-t", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string seen;
  const std::string prompt = "127.0.0.1:" + std::to_string(seeded.Port()) + "> ";
  auto say = [&](const std::string& line) {
    ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  };
  ASSERT_TRUE(ReadUntil(fd, seen, prompt)) << seen;
  say("sms-account set --user pty --customer 12\r");
  ASSERT_TRUE(ReadUntil(fd, seen, "SMS gateway password: ")) << seen;
  say(password + "\r");
  ASSERT_TRUE(ReadUntil(fd, seen, "The same again: ")) << seen;
  say(password + "\r");
  ASSERT_TRUE(ReadUntil(fd, seen, "(hidden)")) << seen;
  say("help station add\r");
  ASSERT_TRUE(ReadUntil(fd, seen, "--colour")) << seen;
  say("quit\r");
  int status = 0;
  for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::string rest;
    ReadUntil(fd, rest, "\x01");  // drains until quiet or closed
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::close(fd);
  EXPECT_FALSE(Has(seen, password)) << "echoed on the terminal";
  // libedit writes blanks as \040.
  std::string history = test::ReadFile(home.Path() / ".tavo_cli_history");
  for (size_t at; (at = history.find("\\040")) != std::string::npos;) history.replace(at, 4, " ");
  EXPECT_TRUE(Has(history, "sms-account set --user pty --customer 12")) << history;
  EXPECT_FALSE(Has(history, password));
  EXPECT_EQ(Rows("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = 'SMSUSERNAME'")->AsString("STRINGVALUE"),
            "pty");
}

TEST_F(TavoCliSetup, ConventionsOfTheCommandLine) {
  const std::string port = std::to_string(seeded.Port());
  // Global options after the command; JSON with numbers, flags and absent values typed.
  auto json = test::RunCli({"stations", "--json", "-p", port, "-t", "5"});
  ASSERT_EQ(json.Exit, 0) << json.Err;
  EXPECT_TRUE(Has(json.Out, "{\"name\": \"Rum 1\", \"lopnr\": 1, \"friendly_name\": \"Rum 1\", "
                            "\"colour\": \"lime\", \"type\": \"call\", \"connected\": false, "
                            "\"imei\": null, \"resources\": 2, \"supervised\": null, \"state\": null, "
                            "\"since\": null}"))
      << json.Out;
  // The port from the environment.
  auto env = test::RunCli({"ping"}, 60000, {"", {{"TAVO_PORT", port}}});
  EXPECT_EQ(env.Exit, 0) << env.Err;
  auto version = test::RunCli({"--version"});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_EQ(version.Out, "tavo-cli 1.10.4\n");
  auto reversed = Cli({"report", "--from", "2026-03-05", "--to", "2026-03-01"});
  EXPECT_EQ(reversed.Exit, 2);
  EXPECT_TRUE(Has(reversed.Err, "--from 2026-03-05 is after --to 2026-03-01")) << reversed.Err;
  // A display that will never show a call is named.
  auto stations = Cli({"stations"});
  EXPECT_TRUE(Has(stations.Err, "display Visning3 has no resource list, so it will never show a call"))
      << stations.Err;
  EXPECT_FALSE(Has(stations.Err, "Visning1"));
  auto watch = Cli({"watch", "Visning3", "-n", "1"});
  EXPECT_EQ(watch.Exit, 0) << watch.Err;
  EXPECT_TRUE(Has(watch.Err, "display Visning3 shows no resource")) << watch.Err;
}

}  // namespace
}  // namespace tavo
