#include "tools/LoadSeed.h"

#include "database/SqliteDatabase.h"

namespace tavo {

void SeedLoadDatabase(const std::string& file, int displays, int stations, int resources) {
  TSqliteDatabase db(file);
  db.Execute("BEGIN");
  for (int r = 1; r <= resources; ++r)
    db.Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, FULLNAME, NAMECOLOUR, SENDSMS, SMSNUMMER, AKTIV) "
               "VALUES (?, ?, ?, ?, 0, NULL, 'T')",
               {SqlInt(r), SqlText("Resurs " + std::to_string(r)),
                SqlText("Resurs nummer " + std::to_string(r)), SqlInt(255 * r)});
  auto station = [&](int lopnr, const std::string& name, int type) {
    db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME, FRIENDLYNAME, NAMECOLOUR, STATIONTYPE, IMEINUMBER) "
               "VALUES (?, ?, ?, ?, ?, NULL)",
               {SqlInt(lopnr), SqlText(name), SqlText("Rum " + std::to_string(lopnr)),
                SqlInt(65280), SqlInt(type)});
    for (int r = 1; r <= resources; ++r)
      db.Execute("INSERT INTO CALLLIST (STATIONSLOPNR, CALLABLESLOPNR, IXLOPNR) VALUES (?, ?, ?)",
                 {SqlInt(lopnr), SqlInt(r), SqlInt(r)});
  };
  for (int i = 0; i < stations; ++i) station(LoadStationLopnr(i), LoadStationName(i), 0);
  for (int i = 0; i < displays; ++i) station(LoadDisplayLopnr(i), LoadDisplayName(i), 1);
  db.Execute("COMMIT");
}

}  // namespace tavo
