// The real server through database outages: PostgreSQL stopped as an administrator stops it
// and started again while stations call, answer and confirm; the server killed during an
// outage; a journal record the database refuses. No station is dropped, no request fails, and
// the call log ends up as if nothing had happened.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "SeededServer.h"
#include "common/Clock.h"
#include "database/OdbcDatabase.h"
#include "database/OutageJournal.h"
#include "support/DatabaseBackends.h"
#include "support/PostgresServer.h"

namespace tavo {
namespace {

using test::W;

const std::string kListEnd = W("RETCALLLIST¤#DATAEND#\r\n");
const std::string kCurrentEnd = W("CURRENTLIST¤#DATAEND#\r\n");

std::string Req(const std::string& utf8Block) { return "#DATASTART#" + W(utf8Block) + "#DATAEND#"; }

std::string HttpGet(uint16_t port, const std::string& path) {
  test::TLoopbackClient c(port);
  c.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  c.ReadFor(500);
  return c.Received();
}

// Stations S1..S3 call, E answers, V displays; each lists resources 1..3.
class PgOutage : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = pg.CreateDatabase();
    auto db = Db();
    for (const auto& stmt : test::ScriptStatements(std::string(TAVO_SOURCE_DIR) + "/sql/postgresql.sql"))
      db->Execute(stmt);
    const char* names[] = {"S1", "S2", "S3", "E", "V"};
    for (int st = 1; st <= 5; ++st) {
      db->Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                  "VALUES (?, ?, ?, 0, ?)",
                  {SqlInt(st), SqlText(names[st - 1]), SqlText(std::string("Rum ") + names[st - 1]),
                   SqlInt(st == 5 ? 1 : 0)});
      for (int r = 1; r <= 3; ++r)
        db->Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                    {SqlInt(st), SqlInt(r), SqlInt(r)});
    }
    for (int r = 1; r <= 3; ++r)
      db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                  "VALUES (?, ?, ?, 0, 0, 'T')",
                  {SqlInt(r), SqlText("R" + std::to_string(r)), SqlText("Resurs " + std::to_string(r))});
    test::WriteUdl(server.ProgramDir() / "TAVO.udl",
                   "Provider=MSDASQL;Extended Properties=\"" + pg.OdbcConnectionString(name_) + "\"");
    server.SetRegistry("Port", std::to_string(port_));
    server.SetRegistry("MetricsPort", std::to_string(metricsPort_));
    server.SetRegistry("AdminCommandsFrom", "ANY");
  }

  std::unique_ptr<TDatabase> Db() {
    return std::make_unique<TOdbcDatabase>(pg.OdbcConnectionString(name_));
  }

  void Start() {
    server.Start();
    ASSERT_TRUE(server.WaitListening(port_)) << server.EventLog();
    clients.clear();
    for (const char* n : {"S1", "S2", "S3", "E"}) {
      auto c = std::make_unique<test::TLoopbackClient>(port_);
      c->Send(Req(std::string("¤GETCALLLIST:") + n + ":0:GETCALLLIST¤"));
      ASSERT_TRUE(c->WaitFor(kListEnd)) << n;
      clients[n] = std::move(c);
    }
    auto v = std::make_unique<test::TLoopbackClient>(port_);
    v->Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
    ASSERT_TRUE(v->WaitFor(kCurrentEnd));
    clients["V"] = std::move(v);
    Settle();
  }

  // Everything received so far goes to the transcript, which must never hold an error.
  void Settle() {
    for (auto& [n, c] : clients) {
      c->ReadFor(50);
      transcript += c->Take();
    }
  }

  // One request, acknowledged: the sender's list and the display's CURRENTLIST arrive.
  void Step(const std::string& who, const std::string& block) {
    SCOPED_TRACE(who + " " + block);
    Settle();  // lists the last request sent to others must not pass for this one's
    auto& c = *clients[who];
    auto& v = *clients["V"];
    c.Send(Req(block));
    ASSERT_TRUE(c.WaitFor(kListEnd, 10000)) << c.Received();
    if (block.find("COMING") == std::string::npos) {
      ASSERT_TRUE(v.WaitFor(kCurrentEnd, 10000));
    }
    transcript += c.Take();
    transcript += v.Take();
  }
  void Call(const std::string& who, int resource) {
    Step(who, "¤CALLING:" + std::to_string(resource) + ":CALLING¤");
  }
  void Answer(int resource, int station) {
    Step("E", "¤COMING:" + std::to_string(resource) + ":" + std::to_string(station) + ":COMING¤");
  }

  struct TRow {
    int Station, Resource, Coming;
    bool Confirmed;
  };
  std::vector<TRow> Rows() {
    std::vector<TRow> rows;
    auto db = Db();
    double last = 0;
    auto q = db->Open("SELECT * FROM CALLLOG ORDER BY LOPNR");
    for (int expected = 1; !q->Eof(); q->Next(), ++expected) {
      EXPECT_EQ(q->AsInteger("LOPNR"), expected);
      EXPECT_GE(q->AsDateTime("CALLTSTAMP"), last) << "numbers follow the order of the calls";
      last = q->AsDateTime("CALLTSTAMP");
      rows.push_back({q->AsInteger("STATIONSLOPNR"), q->AsInteger("CALLABLESLOPNR"),
                      q->AsInteger("COMINGLOPNR"), !q->IsNull("CONFIRMTSTAMP")});
    }
    return rows;
  }
  static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  size_t LogCount(const std::string& part) {
    const std::string log = server.EventLog();
    size_t n = 0;
    for (size_t p = log.find(part); p != std::string::npos; p = log.find(part, p + 1)) ++n;
    return n;
  }

  test::TPostgresServer pg{true};
  std::string name_;
  uint16_t port_ = test::FreePortPair();
  uint16_t metricsPort_ = test::FreePort();
  test::TServerProcess server;
  std::map<std::string, std::unique_ptr<test::TLoopbackClient>> clients;
  std::string transcript;
};

TEST_F(PgOutage, PostgreSQLStoppedAndStartedWhileStationsCallCostsNothing) {
  Start();
  Call("S1", 1);
  Call("S2", 1);
  Answer(1, 1);

  pg.Pause();
  // Spread over about half a minute of outage.
  Call("S3", 1);  // opened while down
  ASSERT_TRUE(server.WaitForLog("was lost"));
  std::string health;  // published once a second
  for (int i = 0; i < 30 && health.find("degraded") == std::string::npos; ++i) {
    Pause(100);
    health = HttpGet(metricsPort_, "/health");
  }
  EXPECT_NE(health.find("200 OK"), std::string::npos) << health;
  EXPECT_NE(health.find("\"status\":\"degraded\""), std::string::npos) << health;
  EXPECT_NE(health.find("\"journal_records\":1"), std::string::npos) << health;
  {
    // Remote SQL is refused at once, without an answer, and nothing of it is kept.
    test::TLoopbackClient admin(port_);
    admin.Send(Req("¤OPENSQL:x:SELECT * FROM CALLABLES:OPENSQL¤"));
    admin.ReadFor(1000);
    admin.Send(Req("¤KEEPALIVE::KEEPALIVE¤"));
    EXPECT_TRUE(admin.WaitFor(W("KEEPALIVE¤"), 3000));
    EXPECT_EQ(admin.Received().find("RETSQL"), std::string::npos) << admin.Received();
    EXPECT_EQ(test::ReadFile(server.ProgramDir() / "TAVO.journal").find("SELECT"), std::string::npos);
  }
  Pause(4000);
  Answer(1, 3);   // answers the call opened while down
  Call("S1", 1);  // confirms a call opened before
  Pause(4000);
  Call("S2", 2);
  Pause(4000);
  Call("S3", 1);  // confirms the call opened while down
  Answer(2, 2);
  Pause(10000);
  EXPECT_NE(HttpGet(metricsPort_, "/metrics").find("tavo_database_up 0"), std::string::npos);

  pg.Resume();
  ASSERT_TRUE(server.WaitForLog("is back after", 15000)) << server.EventLog();
  Call("S1", 3);  // the numbers go on after the ones the journal took
  Call("S2", 2);  // confirms the outage's call in its row
  Call("S2", 1);
  Settle();

  const std::vector<TRow> rows = Rows();
  ASSERT_EQ(rows.size(), 5u);
  const TRow expected[] = {{1, 1, 4, true}, {2, 1, 0, true}, {3, 1, 4, true}, {2, 2, 4, true},
                           {1, 3, 0, false}};
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    EXPECT_EQ(rows[i].Station, expected[i].Station);
    EXPECT_EQ(rows[i].Resource, expected[i].Resource);
    EXPECT_EQ(rows[i].Coming, expected[i].Coming);
    EXPECT_EQ(rows[i].Confirmed, expected[i].Confirmed);
  }
  EXPECT_EQ(transcript.find("ERROR"), std::string::npos) << transcript;
  for (auto& [n, c] : clients) EXPECT_FALSE(c->PeerClosed()) << n;
  EXPECT_EQ(LogCount("was lost"), 1u);
  EXPECT_EQ(LogCount("is back after"), 1u);
  EXPECT_NE(server.EventLog().find("6 writes kept in the journal were written"), std::string::npos);
  EXPECT_EQ(LogCount("Too many Errors"), 0u);
  const std::string metrics = HttpGet(metricsPort_, "/metrics");
  EXPECT_NE(metrics.find("tavo_database_outages_total 1"), std::string::npos);
  EXPECT_NE(metrics.find("tavo_journal_records 0"), std::string::npos);
  EXPECT_NE(metrics.find("tavo_error_count 0"), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(PgOutage, KilledDuringAnOutageLosesNothingOnceTheDatabaseIsBack) {
  Start();
  Call("S1", 1);
  pg.Pause();
  Call("S2", 1);
  Answer(1, 2);
  Call("S1", 1);
  server.Signal(SIGKILL);
  EXPECT_EQ(server.WaitExit(), 128 + SIGKILL);
  pg.Resume();

  Start();  // writes the journal before it loads the calls
  EXPECT_NE(server.EventLog().find("held 3 writes of an earlier run; 3 were written"),
            std::string::npos)
      << server.EventLog();
  const std::vector<TRow> rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].Confirmed);
  EXPECT_EQ(rows[1].Station, 2);
  EXPECT_EQ(rows[1].Coming, 4);  // answered by E
  EXPECT_FALSE(rows[1].Confirmed);
  // The call opened during the outage is back on the display, with its answer.
  auto& v = *clients["V"];
  v.Send(Req("¤GETCALLLIST:V:1:GETCALLLIST¤"));
  ASSERT_TRUE(v.WaitFor(kCurrentEnd));
  EXPECT_NE(v.Received().find("Rum S2~2~"), std::string::npos) << v.Received();
  EXPECT_NE(v.Received().find("~4~"), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

// A record the database refuses for good is set aside with an error entry; the rest is written.
TEST(JournalAtStart, RefusedRecordGoesToRejectedWithAnErrorEntry) {
  test::TSeededServer s;
  s.Resource(1, "R1", "Resurs 1", 0);
  s.Station(1, "S1", "Rum 1", 0, 0);
  s.List(1, 1, 1);
  s.Db().Execute("CREATE TRIGGER NO_STATION_9 BEFORE INSERT ON CALLLOG WHEN NEW.STATIONSLOPNR = 9 "
                 "BEGIN SELECT RAISE(ABORT, 'station 9 may not call'); END");
  {
    test::TLogEnv env;
    TOutageJournal j(s.server.ProgramDir() / "TAVO.journal", env.log);
    const TDateTime now = TSystemClock().Now();
    j.Append({"call", {{"key", "1"}, {"station", "9"}, {"resource", "1"}, {"sms", "0"},
                       {"time", FormatIsoMillis(now)}}});
    j.Append({"call", {{"key", "2"}, {"station", "1"}, {"resource", "1"}, {"sms", "0"},
                       {"time", FormatIsoMillis(now)}}});
  }
  s.Start();
  const std::string rejected = test::ReadFile(s.server.ProgramDir() / "TAVO.journal.rejected");
  EXPECT_NE(rejected.find("station=9"), std::string::npos);
  const std::string log = s.server.EventLog();
  EXPECT_NE(log.find("\tError\t"), std::string::npos);
  EXPECT_NE(log.find("station 9 may not call"), std::string::npos) << log;
  auto rows = s.Db().Open("SELECT STATIONSLOPNR FROM CALLLOG");
  ASSERT_EQ(rows->RecordCount(), 1u);
  EXPECT_EQ(rows->AsInteger("STATIONSLOPNR"), 1);
  EXPECT_EQ(test::ReadFile(s.server.ProgramDir() / "TAVO.journal"), "");
  EXPECT_EQ(s.server.Stop(), 0);
}

}  // namespace
}  // namespace tavo

namespace tavo {
namespace {

// A small tmpfs for a database whose disk fills up; unmounted with the object.
class TSmallDisk {
 public:
  explicit TSmallDisk(const std::filesystem::path& at) : at_(at) {
    std::filesystem::create_directories(at_);
    const std::string cmd = "mount -t tmpfs -o size=4m tmpfs '" + at_.string() + "' 2>&1";
    mounted_ = std::system(cmd.c_str()) == 0;
  }
  ~TSmallDisk() {
    if (mounted_) {
      const std::string cmd = "umount -l '" + at_.string() + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  bool Mounted() const { return mounted_; }
  // Writes to a file until the disk refuses more (again: what was freed meanwhile is taken).
  void Fill() {
    std::FILE* f = std::fopen((at_ / "fill").c_str(), "ab");
    if (!f) return;
    const std::string chunk(4096, 'x');
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
  }
  void Free() { std::filesystem::remove(at_ / "fill"); }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
};

// SQLite on a disk that fills up and is freed again; the journal beside the program, or on a
// disk that is full too, when it can only hold the writes in memory until there is room.
TEST(SqliteFullDisk, CallsGoOnAndReachTheCallLogOnceThereIsRoom) {
  for (const bool journalOnFullDisk : {false, true}) {
    SCOPED_TRACE(journalOnFullDisk ? "journal on the full disk" : "journal beside the program");
    test::TSeededServer s;
    TSmallDisk disk(s.server.ProgramDir() / "disk");
    TSmallDisk journalDisk(s.server.ProgramDir() / "jdisk");
    if (!disk.Mounted() || !journalDisk.Mounted())
      GTEST_SKIP() << "a tmpfs cannot be mounted here (it needs root on a machine that allows mounts)";
    const auto file = s.server.ProgramDir() / "disk" / "TAVO.sqlite";
    {
      TSqliteDatabase db(file);
      for (int st = 1; st <= 4; ++st) {
        db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                   "VALUES (?, ?, ?, 0, ?)",
                   {SqlInt(st), SqlText("S" + std::to_string(st)), SqlText("Rum " + std::to_string(st)),
                    SqlInt(st == 4 ? 1 : 0)});
        db.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, 1, 1)",
                   {SqlInt(st)});
      }
      db.Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                 "VALUES (1, 'R1', 'Resurs 1', 0, 0, 'T')");
    }
    test::WriteUdl(s.server.ProgramDir() / "TAVO.udl", "Provider=SQLite;Data Source=" + file.string());
    if (journalOnFullDisk)
      s.server.SetRegistry("JournalFile", (s.server.ProgramDir() / "jdisk" / "TAVO.journal").string());
    const uint16_t metrics = test::FreePort();
    s.server.SetRegistry("MetricsPort", std::to_string(metrics));
    s.Start();
    std::map<int, std::unique_ptr<test::TLoopbackClient>> c;
    for (int st = 1; st <= 4; ++st) {
      c[st] = std::make_unique<test::TLoopbackClient>(s.Port());
      c[st]->Send(Req("¤GETCALLLIST:S" + std::to_string(st) + ":" + (st == 4 ? "1" : "0") + ":GETCALLLIST¤"));
      ASSERT_TRUE(c[st]->WaitFor(st == 4 ? kCurrentEnd : kListEnd));
      c[st]->Take();
    }
    std::string transcript;
    // The display's latest CURRENTLIST shows this many callers (seven fields each).
    auto shows = [&](int callers) {
      for (int i = 0; i < 100; ++i) {
        c[4]->ReadFor(50);
        const std::string& shown = c[4]->Received();
        const size_t end = shown.rfind(kCurrentEnd);
        const size_t from = shown.rfind(W("¤%"), end), to = shown.rfind(W("%¤"), end);
        if (end != std::string::npos && from != std::string::npos && to > from &&
            std::count(shown.begin() + static_cast<long>(from), shown.begin() + static_cast<long>(to), '~') == 7 * callers) {
          c[4]->Take();
          return true;
        }
      }
      return false;
    };
    auto step = [&](int st, const std::string& block, int shownCallers) {
      c[st]->Send(Req(block));
      ASSERT_TRUE(c[st]->WaitFor(kListEnd, 10000)) << block;
      EXPECT_TRUE(shows(shownCallers)) << block << ": " << c[4]->Received();
      transcript += c[st]->Take();
    };

    disk.Fill();
    if (journalOnFullDisk) journalDisk.Fill();
    step(1, "¤CALLING:1:CALLING¤", 1);
    ASSERT_TRUE(s.server.WaitForLog("was lost", 5000)) << s.server.EventLog();
    step(2, "¤CALLING:1:CALLING¤", 2);
    step(3, "¤COMING:1:1:COMING¤", 2);
    step(1, "¤CALLING:1:CALLING¤", 1);  // confirms its call
    if (journalOnFullDisk) {
      EXPECT_TRUE(s.server.WaitForLog("cannot be written"));
      std::string health;  // published once a second
      for (int i = 0; i < 30 && health.find("not written") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        health = HttpGet(metrics, "/health");
      }
      EXPECT_NE(health.find("\"journal\":\"not written: "), std::string::npos) << health;
    }
    disk.Free();
    journalDisk.Free();
    ASSERT_TRUE(s.server.WaitForLog("is back after", 15000)) << s.server.EventLog();
    step(2, "¤CALLING:1:CALLING¤", 0);  // confirms the other in its row

    transcript += c[3]->Take();
    EXPECT_EQ(transcript.find("ERROR"), std::string::npos) << transcript;
    TSqliteDatabase db(file);
    auto log = db.Open("SELECT * FROM CALLLOG ORDER BY LOPNR");
    ASSERT_EQ(log->RecordCount(), 2u) << s.server.EventLog();
    EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 1);
    EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 3);
    EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
    log->Next();
    EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 2);
    EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP")) << s.server.EventLog();
    EXPECT_EQ(s.server.EventLog().find("Too many Errors"), std::string::npos);
    EXPECT_EQ(s.server.Stop(), 0);
  }
}

}  // namespace
}  // namespace tavo
