// The clinic the administration tests start from, and the texts its stations are sent.
#pragma once

#include <string>

#include "AdminServer.h"

namespace tavo::test {

// Resources: 1 Alla (in no list), 3 Doktor A, 5 Doktor B, 7 Sköterska (SMS), 8 Vilande
// (inactive, in no list), 9 Avbryt (the cancel resource).
// Stations: 1 Rum1, 2 Exp, 3 Visning1 (display), 4 Hard1 (hardware), 5 Rum5 (with a device
// identity), 6 Tom (no list).
inline void SeedClinic(TAdminServer& s) {
  s.Resource(1, "Alla", "Alla", 0);
  s.Resource(3, "Doktor A", "Doktor Alfa", 255);
  s.Resource(5, "Doktor B", "Doktor Beta", 0);
  s.Resource(7, "Sköterska", "Sköterska Sms", 128, 1, "070-1234567");
  s.Resource(8, "Vilande", "Vilande", 0, 0, "", "F");
  s.Resource(9, "Avbryt", "Avbryt", 0);
  s.Station(1, "Rum1", "Rum 1", 65280, 0);
  s.Station(2, "Exp", "Exp", 128, 0);
  s.Station(3, "Visning1", "Visning 1", 0, 1);
  s.Station(4, "Hard1", "Hard 1", 0, 3);
  s.Station(5, "Rum5", "Rum 5", 255, 0, "356938035643809");
  s.Station(6, "Tom", "Tomt rum", 0, 0);
  s.List(1, 3, 1);
  s.List(1, 9, 2);
  s.List(2, 3, 1);
  s.List(3, 3, 1);
  s.List(3, 5, 2);
  s.List(4, 5, 1);
  s.List(5, 7, 0);
  s.List(5, 3, 1);
  s.IntSetting("AVBRYTCALLNAME", 9);
}

// One entry of a station's resource list without a call.
inline std::string Entry(const std::string& call, int lopnr, const std::string& full, int colour,
                         bool cancel = false) {
  return call + "~" + std::to_string(lopnr) + "~" + full + "~" + std::to_string(colour) + "~" +
         (cancel ? "-1" : "0") + "~0~1899-12-30~~1899-12-30~0~";
}
inline std::string CallList(const std::string& entries) { return "¤RETCALLLIST~" + entries + "RETCALLLIST¤"; }

inline const std::string kNoResources = "ERROR: 003 Klienten har inga resurser inlagda!\r\n";

// The parameterised base: a seeded server per case, stopped cleanly at the end.
class AdminTest : public testing::TestWithParam<TBackendKind> {
 protected:
  AdminTest() : s(GetParam()) {}
  void TearDown() override { EXPECT_EQ(s.server.Stop(), 0) << s.server.EventLog(); }
  // Seeds the clinic and starts the server.
  void StartClinic() {
    SeedClinic(s);
    s.Start();
  }
  int Count(const std::string& sql, const TSqlParams& params = {}) {
    return s.Rows(sql, params)->AsInteger("N");
  }
  // The station's list as "resource@position ..." in position order.
  std::string ListOf(int station) {
    auto rows = s.Rows("SELECT CALLABLESLOPNR, IXLOPNR FROM CALLLIST WHERE STATIONSLOPNR = ? "
                       "ORDER BY IXLOPNR, CALLABLESLOPNR",
                       {SqlInt(station)});
    std::string out;
    for (; !rows->Eof(); rows->Next())
      out += std::to_string(rows->AsInteger("CALLABLESLOPNR")) + "@" +
             std::to_string(rows->AsInteger("IXLOPNR")) + " ";
    return out;
  }

  // Waits for the event-log entry of a change.
  void ExpectLogged(const std::string& part) {
    EXPECT_TRUE(s.server.WaitForLog(part)) << s.server.EventLog();
  }

  TAdminServer s;
};

}  // namespace tavo::test
