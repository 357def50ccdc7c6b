// A database failure in the middle of an administration change, on SQLite and PostgreSQL: a
// deletion with its list rows and a replaced list happen whole or not at all; resources stored
// before a failing record stay, and the call list shows them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DatabaseBackends.h"
#include "FailingDatabase.h"
#include "FakeSocket.h"
#include "admin/ResourceCommands.h"
#include "admin/StationCommands.h"
#include "calls/CallService.h"
#include "protocol/Interpreter.h"

namespace tavo::test {
namespace {

class AdminFailures : public TBackendTest {
 protected:
  void SetUp() override {
    TBackendTest::SetUp();
    db = backend->OpenNew();
    faulty = std::make_unique<TFailingDatabase>(*db);
    calls = std::make_unique<TCallService>(
        *faulty, env.log, env.clock, [this] { return connections; }, nullptr, nullptr);
    stations = std::make_unique<TStationCommands>(*faulty, env.log, *calls);
    resources = std::make_unique<TResourceCommands>(*faulty, env.log, *calls);
    calls->RegisterCommands(interpreter);
    stations->RegisterCommands(interpreter);
    resources->RegisterCommands(interpreter);

    for (int lopnr : {3, 5, 9})
      db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
                  "VALUES (?, ?, ?, 0, 0, 'T')",
                  {SqlInt(lopnr), SqlText("R" + std::to_string(lopnr)), SqlText("R")});
    for (int lopnr : {1, 2})
      db->Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
                  "VALUES (?, ?, 'Rum', 0, 0)",
                  {SqlInt(lopnr), SqlText("Rum" + std::to_string(lopnr))});
    const int lists[][3] = {{1, 3, 1}, {1, 9, 2}, {2, 3, 1}};
    for (const auto& l : lists)
      db->Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                  {SqlInt(l[0]), SqlInt(l[1]), SqlInt(l[2])});
    calls->FillCallList();

    admin = Connect();
    interpreter.DataRead("\xA4GETCALLLIST:Admin:2:GETCALLLIST\xA4", admin);
    rum1 = Connect();
    interpreter.DataRead("\xA4GETCALLLIST:Rum1:0:GETCALLLIST\xA4", rum1);
    rum1->sent.clear();
  }

  std::shared_ptr<TFakeSocket> Connect() {
    auto s = std::make_shared<TFakeSocket>();
    connections.push_back(s);
    return s;
  }

  // Every row of the three tables an administration command changes.
  std::string State() {
    std::string out;
    for (auto q = db->Open("SELECT LOPNR, STATIONNAME FROM STATIONS ORDER BY LOPNR"); !q->Eof(); q->Next())
      out += "S" + q->AsString("LOPNR") + "=" + q->AsString("STATIONNAME") + " ";
    for (auto q = db->Open("SELECT LOPNR, CALLNAME FROM CALLABLES ORDER BY LOPNR"); !q->Eof(); q->Next())
      out += "C" + q->AsString("LOPNR") + "=" + q->AsString("CALLNAME") + " ";
    for (auto q = db->Open("SELECT * FROM CALLLIST ORDER BY STATIONSLOPNR, IXLOPNR"); !q->Eof(); q->Next())
      out += "L" + q->AsString("STATIONSLOPNR") + ":" + q->AsString("CALLABLESLOPNR") + "@" +
             q->AsString("IXLOPNR") + " ";
    return out;
  }

  std::unique_ptr<TDatabase> db;
  std::unique_ptr<TFailingDatabase> faulty;
  std::vector<TClientSocketPtr> connections;
  TInterpreter interpreter{env.log};
  std::unique_ptr<TCallService> calls;
  std::unique_ptr<TStationCommands> stations;
  std::unique_ptr<TResourceCommands> resources;
  std::shared_ptr<TFakeSocket> admin, rum1;
};

TEST_P(AdminFailures, AFailureInTheMiddleLeavesTheOldRows) {
  struct Case {
    const char* what;
    std::string request;
    std::string failOn;
    int occurrence;
  };
  const Case cases[] = {
      {"list replaced, second insert fails",
       "\xA4POSTCALLABLESLIST:::1:5:1:3:2:POSTCALLABLESLIST\xA4", "INSERT INTO CALLLIST", 2},
      {"list replaced, commit fails", "\xA4POSTCALLABLESLIST:::1:5:1:POSTCALLABLESLIST\xA4",
       "COMMIT", 1},
      {"station deleted, its list rows fail",
       "\xA4REGISTERUPATEMACHINE:Rum1:0:\xA4" "DELETE_ME\xA4:0::x:1:REGISTERUPATEMACHINE\xA4",
       "DELETE FROM CALLLIST", 1},
      {"resource deleted, its list rows fail",
       "\xA4REGISTERUPATECALLABLE:5:\xA4" "DELETE_ME\xA4::0:0::T:%\xA4::REGISTERUPATECALLABLE\xA4",
       "DELETE FROM CALLLIST", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = State();
    const int32_t errors = ErrorCount();
    faulty->FailOn(c.failOn, c.occurrence);
    interpreter.DataRead(c.request, admin);
    faulty->Heal();
    EXPECT_EQ(State(), before);
    EXPECT_EQ(ErrorCount(), errors + 1);
    EXPECT_TRUE(Logged("Error in DataRead: injected failure"));
    EXPECT_EQ(rum1->sent, "");
    EXPECT_EQ(admin->sent, "");
  }
}

TEST_P(AdminFailures, ResourcesStoredBeforeAFailingRecordStayAndAreShown) {
  faulty->FailOn("INSERT INTO CALLABLES", 1);
  interpreter.DataRead("\xA4REGISTERUPATECALLABLE:3:Ny3:Full:7:0::T:%\xA4:0:Ny:Ny:0:0::T:%\xA4:"
                       ":REGISTERUPATECALLABLE\xA4",
                       admin);
  EXPECT_EQ(ErrorCount(), 1);
  EXPECT_EQ(db->Open("SELECT CALLNAME FROM CALLABLES WHERE LOPNR = 3")->AsString("CALLNAME"), "Ny3");
  EXPECT_EQ(db->Open("SELECT COUNT(*) AS N FROM CALLABLES")->AsInteger("N"), 3);
  // The call list was reloaded and the station shown its changed list.
  ASSERT_NE(calls->FindCallObject(3), nullptr);
  EXPECT_EQ(calls->FindCallObject(3)->CallName, "Ny3");
  EXPECT_EQ(rum1->sent,
            "#DATASTART#\xA4RETCALLLIST~Ny3~3~Full~7~0~0~1899-12-30~~1899-12-30~0~"
            "R9~9~R~0~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST\xA4#DATAEND#\r\n");
  EXPECT_EQ(admin->sent, "");
}

// A text longer than its column is refused as the client's fault: not written, not counted.
TEST_P(AdminFailures, TextsLongerThanTheirColumnsAreRefused) {
  auto station = [](const std::string& name, const std::string& friendly, const std::string& imei) {
    return "\xA4REGISTERUPATEMACHINE:" + name + ":0:" + friendly + ":0:" + imei +
           "::-1:REGISTERUPATEMACHINE\xA4";
  };
  auto resource = [](const std::string& call, const std::string& full, const std::string& number,
                     const std::string& aktiv) {
    return "\xA4REGISTERUPATECALLABLE:0:" + call + ":" + full + ":0:0:" + number + ":" + aktiv +
           ":%\xA4::REGISTERUPATECALLABLE\xA4";
  };
  const std::string x(300, 'x');
  struct Case {
    std::string request, column;
  };
  const Case cases[] = {
      {station(x.substr(0, 101), "F", ""), "STATIONNAME is longer than 100 characters"},
      {station("S", x.substr(0, 101), ""), "FRIENDLYNAME is longer than 100 characters"},
      {station("S", "F", x.substr(0, 26)), "IMEINUMBER is longer than 25 characters"},
      {resource(x.substr(0, 51), "F", "", "T"), "CALLNAME is longer than 50 characters"},
      {resource("C", x.substr(0, 101), "", "T"), "FULLNAME is longer than 100 characters"},
      {resource("C", "F", x.substr(0, 251), "T"), "SMSNUMMER is longer than 250 characters"},
      {resource("C", "F", "", "TT"), "AKTIV is longer than 1 characters"},
  };
  const std::string before = State();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.column);
    interpreter.DataRead(c.request, admin);
    EXPECT_TRUE(Logged("Error in DataRead: " + c.column));
  }
  EXPECT_EQ(State(), before);
  EXPECT_EQ(ErrorCount(), 0);

  // Texts of exactly the widths fit every database.
  interpreter.DataRead(station(x.substr(0, 100), x.substr(0, 100), x.substr(0, 25)), admin);
  interpreter.DataRead(resource(x.substr(0, 50), x.substr(0, 100), x.substr(0, 250), "T"), admin);
  EXPECT_EQ(ErrorCount(), 0);
  EXPECT_EQ(db->Open("SELECT IMEINUMBER FROM STATIONS WHERE LOPNR = 3")->AsString("IMEINUMBER"),
            x.substr(0, 25));
  EXPECT_EQ(db->Open("SELECT SMSNUMMER FROM CALLABLES WHERE LOPNR = 10")->AsString("SMSNUMMER"),
            x.substr(0, 250));
}

TAVO_INSTANTIATE_BACKENDS(AdminFailures);

}  // namespace
}  // namespace tavo::test
