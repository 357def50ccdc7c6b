// REGISTERUPATEMACHINE and GETALLMACHINES through the real server, on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include "Clinic.h"

namespace tavo::test {
namespace {

using StationCommands = AdminTest;

std::string Machines(const std::string& records) {
  return "¤RETALLMACHINES:" + records + ":RETALLMACHINES¤";
}
const std::string kGetAllMachines = "¤GETALLMACHINES::GETALLMACHINES¤";

TEST_P(StationCommands, StationsRegisterThemselvesOnAnEmptyTable) {
  s.Start();
  auto admin = s.Admin();
  // The record is written before the end of the rows is tested.
  admin->Send(Req(kGetAllMachines));
  EXPECT_EQ(Until(*admin, "RETALLMACHINES¤#DATAEND#\r\n"), Framed(Machines(":0::0:0:0:::")));

  // One framed and one line-mode station register and sign on with one message each.
  TLoopbackClient rum1(s.Port());
  rum1.Send(Req("¤REGISTERUPATEMACHINE:Rum1:0:Rum 1:255::x:-1:REGISTERUPATEMACHINE¤"));
  EXPECT_EQ(Until(rum1, kNoResources),
            Framed("¤TAVOCLIENTDATA:Rum1:Rum 1:255:1:TAVOCLIENTDATA¤") + Framed(CallList("")) +
                kNoResources);
  TLoopbackClient mob(s.Port());
  mob.Send(Req("¤REGISTERUPATEMACHINE:Mob1:1:Mobil 1:7:490154203237518::-1:REGISTERUPATEMACHINE¤",
               true));
  EXPECT_EQ(Until(mob, "CURRENTLIST¤\r\n"),
            Bare("¤TAVOCLIENTDATA:Mob1:Mobil 1:7:490154203237518::2:TAVOCLIENTDATA¤") +
                Bare("¤CURRENTLIST:CURRENTLIST¤"));

  auto rows = s.Rows("SELECT * FROM STATIONS ORDER BY LOPNR");
  ASSERT_EQ(rows->RecordCount(), 2u);
  EXPECT_EQ(rows->AsInteger("LOPNR"), 1);
  EXPECT_EQ(rows->AsString("STATIONNAME"), "Rum1");
  EXPECT_EQ(rows->AsInteger("NAMECOLOUR"), 255);
  EXPECT_EQ(rows->AsInteger("STATIONTYPE"), 0);
  EXPECT_TRUE(rows->IsNull("IMEINUMBER"));
  rows->Next();
  EXPECT_EQ(rows->AsInteger("LOPNR"), 2);
  EXPECT_EQ(rows->AsString("IMEINUMBER"), "490154203237518");
  EXPECT_EQ(rows->AsInteger("STATIONTYPE"), 1);

  // Both are connected now; a line-mode request gets a bare list.
  admin->Send(Req(kGetAllMachines, true));
  EXPECT_EQ(Until(*admin, "RETALLMACHINES¤\r\n"),
            Bare(Machines("Mob1:2:Mobil 1:7:1:-1:490154203237518::Rum1:1:Rum 1:255:0:-1:::")));
  ExpectLogged("REGISTERUPATEMACHINE: station 2 created, requested from 127.0.0.1:");
}

TEST_P(StationCommands, AdministrationChangeReachesOnlyTheConnectedStation) {
  StartClinic();
  auto rum5 = s.SignOn("Rum5", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto other = s.Admin();
  auto admin = s.Admin(true);

  // Renamed by number, the device identity left empty: the stored one stays.
  admin->Send(Req("¤REGISTERUPATEMACHINE:Rum5b:0:Rum Fem:42::x:5:REGISTERUPATEMACHINE¤" +
                      kGetAllMachines,
                  true));
  EXPECT_EQ(Until(*admin, "RETALLMACHINES¤\r\n"),
            Bare(Machines("Exp:2:Exp:128:0:-1:::Hard1:4:Hard 1:0:3:0:::Rum1:1:Rum 1:65280:0:0:::"
                          "Rum5b:5:Rum Fem:42:0:-1:356938035643809::Tom:6:Tomt rum:0:0:0:::"
                          "Visning1:3:Visning 1:0:1:0:::")));
  // The station's own record and mode hold: it is sent its list, framed, and no client data.
  EXPECT_EQ(Pending(*rum5), Framed(CallList(Entry("Sköterska", 7, "Sköterska Sms", 128) +
                                            Entry("Doktor A", 3, "Doktor Alfa", 255))));
  EXPECT_EQ(Pending(*exp), "");
  EXPECT_EQ(Pending(*other), "");
  EXPECT_EQ(Pending(*admin), "");
  ExpectLogged("REGISTERUPATEMACHINE: station 5 changed, requested from 127.0.0.1:");
}

TEST_P(StationCommands, ChangeOfAStationThatIsNotConnected) {
  StartClinic();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  struct Case {
    std::string imeiField, storedImei;
  };
  const Case cases[] = {{"", "356938035643809"}, {"490154203237518", "490154203237518"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("IMEI field '" + c.imeiField + "'");
    EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:Rum5:3:Rum fem:9:" + c.imeiField +
                                 ":x:5:REGISTERUPATEMACHINE¤"),
              "");
    EXPECT_EQ(Pending(*rum1), "");
    auto row = s.Rows("SELECT * FROM STATIONS WHERE LOPNR = 5");
    ASSERT_EQ(row->RecordCount(), 1u);
    EXPECT_EQ(row->AsString("FRIENDLYNAME"), "Rum fem");
    EXPECT_EQ(row->AsInteger("NAMECOLOUR"), 9);
    EXPECT_EQ(row->AsInteger("STATIONTYPE"), 3);
    EXPECT_EQ(row->AsString("IMEINUMBER"), c.storedImei);
  }
  // A number that no station has makes a new station with a number of its own; a type and a
  // colour that are no numbers are stored as 0.
  EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:Nytt:typ:Nytt rum:färg:::40:REGISTERUPATEMACHINE¤"), "");
  EXPECT_EQ(Pending(*rum1), "");
  auto row = s.Rows("SELECT * FROM STATIONS WHERE STATIONNAME = 'Nytt'");
  ASSERT_EQ(row->RecordCount(), 1u);
  EXPECT_EQ(row->AsInteger("LOPNR"), 7);
  EXPECT_EQ(row->AsInteger("STATIONTYPE"), 0);
  EXPECT_EQ(row->AsInteger("NAMECOLOUR"), 0);
}

TEST_P(StationCommands, DeletionTakesTheListAndKeepsTheCallLog) {
  SeedClinic(s);
  s.Seed().Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, CALLTSTAMP) "
                   "VALUES (1, 1, 3, ?)",
                   {SqlDateTime(EncodeDateTime(2026, 12, 1, 9, 0, 0))});
  s.Start();
  auto rum1 = s.SignOn("Rum1", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:Rum1:0:¤DELETE_ME¤:0::x:1:REGISTERUPATEMACHINE¤"), "");
  EXPECT_EQ(Pending(*admin), "");
  // The deleted station's connection keeps its record and finds no resources any more.
  EXPECT_EQ(Pending(*rum1), Framed(CallList("")) + kNoResources);
  EXPECT_EQ(Pending(*exp), "");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONS WHERE LOPNR = 1"), 0);
  EXPECT_EQ(ListOf(1), "");
  EXPECT_EQ(ListOf(2), "3@1 ");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM CALLLOG WHERE STATIONSLOPNR = 1"), 1);
  ExpectLogged("REGISTERUPATEMACHINE: station 1 deleted, requested from 127.0.0.1:");
}

TEST_P(StationCommands, DeletionOfAStationThatDoesNotExist) {
  StartClinic();
  auto first = s.Admin();
  auto exp = s.SignOn("Exp", 0, false, "RETCALLLIST¤#DATAEND#\r\n");
  auto admin = s.Admin();
  // By number: nothing changes and nobody hears of it.
  EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:Rum1:0:¤DELETE_ME¤:0::x:99:REGISTERUPATEMACHINE¤"), "");
  EXPECT_EQ(Pending(*first), "");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONS"), 6);
  EXPECT_EQ(ListOf(1), "3@1 9@2 ");
  // By a name that no station has: the number stays -1, which administration records carry,
  // so the first administration connection is served the block as a sign-on request.
  EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:Ghost:0:¤DELETE_ME¤:0::x::REGISTERUPATEMACHINE¤"), "");
  EXPECT_EQ(Pending(*first), Framed("ERROR: 001 Ghost finns ej upplagd i Systemet!"));
  EXPECT_EQ(Pending(*admin), "");
  EXPECT_EQ(Pending(*exp), "");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONS"), 6);
}

TEST_P(StationCommands, NameWithAQuote) {
  StartClinic();
  TLoopbackClient obrien(s.Port());
  obrien.Send(Req("¤REGISTERUPATEMACHINE:O'Brien:0:Rum O'Brien:5::x:-1:REGISTERUPATEMACHINE¤"));
  EXPECT_EQ(Until(obrien, kNoResources),
            Framed("¤TAVOCLIENTDATA:O'Brien:Rum O'Brien:5:7:TAVOCLIENTDATA¤") +
                Framed(CallList("")) + kNoResources);
  auto admin = s.Admin();
  // Found by name again: the same row changes, no second station appears.
  EXPECT_EQ(Change(*admin, "¤REGISTERUPATEMACHINE:O'Brien:0:Dr O'Brien:6::x::REGISTERUPATEMACHINE¤"), "");
  EXPECT_EQ(Pending(obrien), Framed(CallList("")) + kNoResources);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM STATIONS WHERE STATIONNAME = ?", {SqlText("O'Brien")}), 1);
  EXPECT_EQ(Change(*admin, "¤POSTCALLABLESLIST:::7:5:0:3:1:POSTCALLABLESLIST¤"), "");
  EXPECT_EQ(Pending(obrien), Framed(CallList(Entry("Doktor B", 5, "Doktor Beta", 0) +
                                              Entry("Doktor A", 3, "Doktor Alfa", 255))));
  admin->Send(Req("¤GETSTATIONCALLABLES:O'Brien:GETSTATIONCALLABLES¤" + kGetAllMachines));
  EXPECT_EQ(Until(*admin, "RETALLMACHINES¤#DATAEND#\r\n"),
            Framed("¤RETSTATIONCALLABLES:5:0:3:1::RETSTATIONCALLABLES¤") +
                Framed(Machines("Exp:2:Exp:128:0:0:::Hard1:4:Hard 1:0:3:0:::"
                                "O'Brien:7:Dr O'Brien:6:0:-1:::Rum1:1:Rum 1:65280:0:0:::"
                                "Rum5:5:Rum 5:255:0:0:356938035643809::Tom:6:Tomt rum:0:0:0:::"
                                "Visning1:3:Visning 1:0:1:0:::")));
}

// Of POSTCALLABLESLIST, REGISTERUPATEMACHINE and REGISTERUPATECALLABLE one runs per pass; the
// commands after them in the order run in between.
TEST_P(StationCommands, OneChangeCommandPerPass) {
  StartClinic();
  auto admin = s.Admin();
  admin->Send(Req("¤REGISTERUPATEMACHINE:Tom2:0:Tomt rum:0::x:6:REGISTERUPATEMACHINE¤"
                  "¤GETSTATIONCALLABLES:Tom2:GETSTATIONCALLABLES¤"
                  "¤POSTCALLABLESLIST:::6:5:1:POSTCALLABLESLIST¤" +
                  kGetAllMachines));
  // First pass: the list is replaced, then both questions are answered, the rename not yet
  // done. Second pass: the rename.
  EXPECT_EQ(Until(*admin, "RETALLMACHINES¤#DATAEND#\r\n"),
            Framed("¤RETSTATIONCALLABLES:0:0::RETSTATIONCALLABLES¤") +
                Framed(Machines("Exp:2:Exp:128:0:0:::Hard1:4:Hard 1:0:3:0:::Rum1:1:Rum 1:65280:0:0:::"
                                "Rum5:5:Rum 5:255:0:0:356938035643809::Tom:6:Tomt rum:0:0:0:::"
                                "Visning1:3:Visning 1:0:1:0:::")));
  EXPECT_EQ(Pending(*admin), "");
  EXPECT_EQ(ListOf(6), "5@1 ");
  auto row = s.Rows("SELECT STATIONNAME FROM STATIONS WHERE LOPNR = 6");
  EXPECT_EQ(row->AsString("STATIONNAME"), "Tom2");
}

TAVO_INSTANTIATE_BACKENDS(StationCommands);

}  // namespace
}  // namespace tavo::test
