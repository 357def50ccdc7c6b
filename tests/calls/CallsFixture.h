// A seeded SQLite database, fake connections of the main listener, an interpreter with the
// call commands, and a call service over them. Stations, resources and lists mirror the
// examples the clients were built against (Doktor A = 3, Doktor B = 5, the cancel resource 9).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FailingDatabase.h"
#include "FakeSocket.h"
#include "TestSupport.h"
#include "calls/CallService.h"
#include "common/Win1252.h"
#include "database/SqliteDatabase.h"
#include "protocol/Interpreter.h"

namespace tavo::test {

// Windows-1252 text of a UTF-8 literal: "¤" becomes '\xA4', "ö" '\xF6'.
inline std::string W(const std::string& utf8) { return Utf8ToAnsi(utf8); }
inline std::string Framed(const std::string& utf8) {
  return "#DATASTART#" + W(utf8) + "#DATAEND#\r\n";
}
inline std::string Line(const std::string& utf8) { return W(utf8) + "\r\n"; }

class CallsTest : public ::testing::Test {
 protected:
  CallsTest() {
    env.clock.Set(EncodeDateTime(2026, 12, 9, 10, 15, 2));
    Seed();
  }

  void Seed() {
    struct Station { int lopnr; const char* name; const char* friendly; int colour; const char* imei; };
    const Station stations[] = {
        {7, "RUM3", "Rum 3", 65280, "356938035643809"},
        {4, "EXP", "Exp", 16711680, ""},
        {11, "VISNING1", "Visning 1", 0, ""},
        {12, "VISNING2", "Visning 2", 0, ""},
        {13, "VISNING3", "Visning 3", 0, ""},
        {14, "TOM", "Tom", 0, ""},
        {15, "RUM5", "Rum 5", 255, ""},
    };
    for (const auto& s : stations)
      sqlite.Execute(
          "INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE, "
          "IMEINUMBER) VALUES (?, ?, ?, ?, 0, ?)",
          {SqlInt(s.lopnr), SqlText(s.name), SqlText(s.friendly), SqlInt(s.colour),
           SqlText(s.imei)});
    struct Resource { int lopnr; const char* name; const char* full; int colour; int sms; const char* aktiv; };
    const Resource resources[] = {
        {3, "Doktor A", "Doktor Alfa", 255, 0, "T"},
        {5, "Doktor B", "Doktor Beta", 0, 0, "T"},
        {9, "Avbryt", "Avbryt", 0, 0, "T"},
        {6, "Sk\xF6terska", "Sk\xF6terska Sms", 128, 1, "T"},
        {8, "Vilande", "Vilande", 0, 0, "F"},
    };
    for (const auto& r : resources)
      sqlite.Execute(
          "INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, SMSNUMMER, "
          "AKTIV) VALUES (?, ?, ?, ?, ?, '070-1234567', ?)",
          {SqlInt(r.lopnr), SqlText(r.name), SqlText(r.full), SqlInt(r.colour), SqlInt(r.sms),
           SqlText(r.aktiv)});
    const int lists[][3] = {{7, 3, 1},  {7, 9, 2},  {4, 3, 1},  {4, 5, 2},  {11, 3, 1},
                            {11, 5, 2}, {11, 9, 3}, {12, 5, 1}, {12, 3, 4}, {13, 5, 1},
                            {15, 3, 1}, {15, 6, 2}, {15, 8, 3}};
    for (const auto& l : lists) List(l[0], l[1], l[2]);
    sqlite.Execute("INSERT INTO SETTINGS (NYCKELNAMN, INTEGERVALUE) VALUES ('AVBRYTCALLNAME', 9)");
  }

  void List(int station, int resource, int ix) {
    sqlite.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                   {SqlInt(station), SqlInt(resource), SqlInt(ix)});
  }

  // A connection of the main listener (or, with main false, of the update listener).
  std::shared_ptr<TFakeSocket> Connect(bool main = true) {
    auto s = std::make_shared<TFakeSocket>(main ? "TAVOMainSocket" : "TAVOUpdateSocket");
    if (main) connections.push_back(s);
    return s;
  }
  void Disconnect(const std::shared_ptr<TFakeSocket>& s) {
    std::erase(connections, s);
    s->Close();
  }

  // The message as the reader hands it over: markers gone, a trailing LF in line mode.
  void Send(const std::shared_ptr<TFakeSocket>& s, const std::string& utf8, bool lineMode = false) {
    interpreter.DataRead(W(utf8) + (lineMode ? "\n" : ""), s);
  }
  std::shared_ptr<TFakeSocket> SignOn(const std::string& name, int kind, bool lineMode = false) {
    auto s = Connect();
    Send(s, "¤GETCALLLIST:" + name + ":" + std::to_string(kind) + ":GETCALLLIST¤", lineMode);
    return s;
  }
  static std::string Take(const std::shared_ptr<TFakeSocket>& s) {
    std::string out = std::move(s->sent);
    s->Clear();
    return out;
  }
  void Calling(const std::shared_ptr<TFakeSocket>& s, int resource, bool lineMode = false) {
    Send(s, "¤CALLING:" + std::to_string(resource) + ":CALLING¤", lineMode);
  }
  void Coming(const std::shared_ptr<TFakeSocket>& s, int resource, int station,
              bool lineMode = false) {
    Send(s, "¤COMING:" + std::to_string(resource) + ":" + std::to_string(station) + ":COMING¤",
         lineMode);
  }
  void At(int h, int m, int s) { env.clock.Set(EncodeDateTime(2026, 12, 9, h, m, s)); }

  std::unique_ptr<TQuery> CallLog() {
    return sqlite.Open("SELECT * FROM CALLLOG ORDER BY LOPNR");
  }
  std::unique_ptr<TQuery> SmsRows() {
    return sqlite.Open("SELECT * FROM SMSOUTBOX ORDER BY LOPNR");
  }
  void InsertCallLog(int lopnr, int station, int resource, TDateTime called,
                     TSqlValue confirmed = SqlNull(), TSqlValue comingLopnr = SqlNull(),
                     TSqlValue comingTime = SqlNull()) {
    sqlite.Execute(
        "INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
        "CONFIRMTSTAMP, COMINGLOPNR, COMINGTSTAMP) VALUES (?, ?, ?, 0, ?, ?, ?, ?)",
        {SqlInt(lopnr), SqlInt(station), SqlInt(resource), SqlDateTime(called), confirmed,
         comingLopnr, comingTime});
  }
  bool Logged(const std::string& part) const { return env.sink->Contains(W(part)); }

  TLogEnv env;
  TSqliteDatabase sqlite{env.dir / "tavo.sqlite"};
  TFailingDatabase db{sqlite};
  std::vector<TClientSocketPtr> connections;
  int restarts = 0;
  // Without workers: what the calls queue stays in it for the tests to look at.
  TSmsOutbox outbox{db, env.log, env.clock, env.registry, nullptr};
  TCallService service{db,      env.log, env.clock, [this] { return connections; },
                       [this] { ++restarts; }, &outbox};
  TInterpreter interpreter{env.log};

  void SetUp() override {
    outbox.Open();
    db.Trail.clear();
    service.RegisterCommands(interpreter);
    service.FillCallList();
  }
};

}  // namespace tavo::test
