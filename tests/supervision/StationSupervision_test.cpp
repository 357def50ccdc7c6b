// Station supervision with a clock the test moves: which stations are reported offline, when,
// once, and their return; the grace after start-up; stations that are not supervised.
#include <gtest/gtest.h>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "database/SqliteDatabase.h"
#include "supervision/StationSupervision.h"

namespace tavo::test {
namespace {

class StationSupervisionTest : public ::testing::Test {
 protected:
  StationSupervisionTest() {
    env.clock.Set(EncodeDateTime(2026, 12, 10, 8, 0, 0));
    struct Row { int lopnr; const char* name; const char* friendly; int type; };
    for (const Row& r : {Row{1, "RUM1", "Rum 1", 0}, Row{3, "VISNING1", "Visning 1", 1},
                         Row{4, "VISNING2", "Visning 2", 1}, Row{5, "LAMPA", "Lampa korridor", 3},
                         Row{6, "KONTOR", "Kontor", 2}})
      db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                 "VALUES (?, ?, ?, 0, ?)",
                 {SqlInt(r.lopnr), SqlText(r.name), SqlText(r.friendly), SqlInt(r.type)});
    env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, kSupervisionSecondsValue, "60");
  }

  // A connection signed on as the station.
  std::shared_ptr<TFakeSocket> Connect(int lopnr) {
    auto s = std::make_shared<TFakeSocket>();
    s->Data = std::make_unique<TTAVOConnectInfo>();
    s->Data->StationLopnr = lopnr;
    connections.push_back(s);
    return s;
  }
  void Disconnect(const std::shared_ptr<TFakeSocket>& s) { std::erase(connections, s); }
  // Lets the seconds pass, one tick each.
  void Pass(int seconds, TStationSupervision& sup) {
    for (int i = 0; i < seconds; ++i) {
      env.clock.Advance(1);
      sup.Tick();
    }
  }
  std::unique_ptr<TStationSupervision> Make() {
    return std::make_unique<TStationSupervision>(db, env.log, env.clock, env.registry,
                                                 [this] { return connections; });
  }
  std::vector<std::string> Entries(const std::string& part) const {
    std::vector<std::string> out;
    for (auto& e : env.sink->Entries())
      if (e.Message.find(part) != std::string::npos) out.push_back(e.Message);
    return out;
  }
  const TWatchedStation& Station(const TStationSupervision& sup, int lopnr) {
    for (auto& s : sup.Stations())
      if (s.Lopnr == lopnr) return s;
    throw std::runtime_error("no station " + std::to_string(lopnr));
  }

  TLogEnv env;
  TSqliteDatabase db{env.dir / "tavo.sqlite"};
  std::vector<TClientSocketPtr> connections;
};

TEST_F(StationSupervisionTest, DisconnectedDisplayIsReportedAfterTheLimitOnceAndItsReturnWithTheTimeAway) {
  auto sup = Make();
  auto visning = Connect(3);
  Connect(4);
  Connect(5);
  sup->Tick();
  EXPECT_EQ(Station(*sup, 3).Connected, true);

  Disconnect(visning);
  sup->Tick();
  Pass(59, *sup);
  EXPECT_TRUE(Entries("is offline").empty());
  EXPECT_FALSE(Station(*sup, 3).ReportedOffline);
  Pass(1, *sup);
  auto offline = Entries("is offline");
  ASSERT_EQ(offline.size(), 1u);
  EXPECT_EQ(offline[0],
            "Station VISNING1 (Visning 1) is offline: its last connection ended at "
            "2026-12-10 08:00:00, 60 s ago");
  EXPECT_EQ(env.sink->Entries().back().Type, TEventType::Warning);
  EXPECT_EQ(sup->StationsOffline(), 1);
  Pass(120, *sup);
  EXPECT_EQ(Entries("is offline").size(), 1u);

  Connect(3);
  Pass(1, *sup);
  auto back = Entries("online again");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], "Station VISNING1 (Visning 1) is online again after 181 s without a connection");
  EXPECT_EQ(env.sink->Entries().back().Type, TEventType::Information);
  EXPECT_EQ(sup->StationsOffline(), 0);
}

TEST_F(StationSupervisionTest, ShortAbsenceAndWallClockJumpsReportNothing) {
  auto sup = Make();
  auto visning = Connect(3);
  Connect(4);
  Connect(5);
  sup->Tick();
  Disconnect(visning);
  Pass(30, *sup);
  // Setting the system time forward moves no monotonic second.
  env.clock.Set(env.clock.Now() + 1.0);
  sup->Tick();
  visning = Connect(3);
  Pass(120, *sup);
  EXPECT_TRUE(Entries("is offline").empty());
  EXPECT_TRUE(Entries("online again").empty());
}

TEST_F(StationSupervisionTest, StationsNeverSeenAreReportedOnceAfterTheGraceAndCallStationsNever) {
  auto sup = Make();
  Connect(4);
  Connect(1);  // a call station: never reported, connected or not
  Pass(59, *sup);
  EXPECT_TRUE(Entries("is offline").empty());
  Pass(1, *sup);
  EXPECT_EQ(Entries("is offline"),
            (std::vector<std::string>{
                "Station LAMPA (Lampa korridor) is offline: it has not connected since "
                "2026-12-10 08:00:00, 60 s ago",
                "Station VISNING1 (Visning 1) is offline: it has not connected since "
                "2026-12-10 08:00:00, 60 s ago"}));
  Pass(300, *sup);
  EXPECT_EQ(Entries("is offline").size(), 2u);
  // Only display and hardware stations are watched.
  std::vector<int32_t> watched;
  for (auto& s : sup->Stations()) watched.push_back(s.Lopnr);
  EXPECT_EQ(watched, (std::vector<int32_t>{5, 3, 4}));
}

TEST_F(StationSupervisionTest, NotSupervisedStationIsNeverReportedAndTheMarkIsKept) {
  db.Execute("INSERT INTO STATIONSUPERVISION (STATIONSLOPNR, SUPERVISE) VALUES (5, 0)");
  auto sup = Make();
  Connect(4);
  Pass(61, *sup);
  EXPECT_EQ(Entries("is offline").size(), 1u);  // VISNING1 only
  EXPECT_TRUE(Entries("LAMPA").empty());
  EXPECT_FALSE(Station(*sup, 5).Supervised);

  // Marking a reported station as not supervised takes it out of the count, silently.
  sup->SetSupervised(3, false);
  EXPECT_EQ(sup->StationsOffline(), 0);
  sup->SetSupervised(5, true);
  Pass(1, *sup);
  // Its absence counts from start-up: it is due at once.
  EXPECT_EQ(Entries("LAMPA").size(), 1u);
  // Both marks are in the table for the next start.
  auto again = Make();
  EXPECT_FALSE(Station(*again, 3).Supervised);
  EXPECT_TRUE(Station(*again, 5).Supervised);
}

TEST_F(StationSupervisionTest, StationAddedLaterGetsItsOwnGraceAndTheLimitFollowsTheRegistry) {
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, kSupervisionSecondsValue, "5");
  auto sup = Make();
  for (int lopnr : {3, 4, 5}) Connect(lopnr);
  Pass(30, *sup);
  db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
             "VALUES (7, 'VISNING3', 'Visning 3', 0, 1)");
  sup->StationsChanged();
  sup->Tick();
  Pass(4, *sup);
  EXPECT_TRUE(Entries("VISNING3").empty());
  Pass(1, *sup);
  EXPECT_EQ(Entries("VISNING3").size(), 1u);

  // A value that is no number of seconds is named once and the default applies.
  env.registry.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, kSupervisionSecondsValue, "1 min");
  EXPECT_EQ(sup->Limit(), std::chrono::seconds(60));
  EXPECT_EQ(sup->Limit(), std::chrono::seconds(60));
  EXPECT_EQ(Entries("SupervisionSeconds \"1 min\" is not a number of seconds").size(), 1u);
}

TEST_F(StationSupervisionTest, UnreadableTablesAreLoggedOnceAndTheKnownStationsStay) {
  auto sup = Make();
  for (int lopnr : {3, 4, 5}) Connect(lopnr);
  sup->Tick();
  db.Execute("ALTER TABLE STATIONSUPERVISION RENAME TO GONE");
  sup->StationsChanged();
  Pass(25, *sup);
  EXPECT_EQ(Entries("Station supervision cannot read the stations").size(), 1u);
  EXPECT_EQ(sup->Stations().size(), 3u);
  EXPECT_EQ(env.log.ErrorCount(), 0);
}

}  // namespace
}  // namespace tavo::test
