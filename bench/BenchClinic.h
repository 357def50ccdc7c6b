// The clinic the list benchmarks run on: five resources, `displays` display stations over
// `lists` distinct orders of those resources, ten call stations with one open call each.
#pragma once

#include <string>

#include "common/DateTime.h"
#include "database/SqliteDatabase.h"

namespace tavo::bench {

inline void SeedClinic(TSqliteDatabase& db, int displays, int lists) {
  db.Execute("BEGIN");
  for (int r = 1; r <= 5; ++r)
    db.Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, AKTIV) "
               "VALUES (?, ?, ?, 255, 0, 'T')",
               {SqlInt(r), SqlText("Doktor " + std::to_string(r)), SqlText("Doktor")});
  for (int s = 1; s <= displays + 10; ++s) {
    db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE) "
               "VALUES (?, ?, ?, 65280, ?)",
               {SqlInt(s), SqlText("S" + std::to_string(s)), SqlText("Rum " + std::to_string(s)),
                SqlInt(s <= displays ? 1 : 0)});
    for (int r = 1; r <= 5; ++r)
      db.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                 {SqlInt(s), SqlInt(r), SqlInt((r + s % lists) % 5)});
  }
  for (int c = 0; c < 10; ++c)
    db.Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
               "VALUES (?, ?, ?, 0, ?)",
               {SqlInt(c + 1), SqlInt(displays + 1 + c), SqlInt(c % 5 + 1),
                SqlDateTime(EncodeDateTime(2026, 12, 9, 9, c, 0))});
  db.Execute("COMMIT");
}

}  // namespace tavo::bench
