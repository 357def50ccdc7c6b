// The stations and resources the load tool plays, and how it seeds them into a database file.
#pragma once

#include <string>

namespace tavo {

inline std::string LoadStationName(int i) { return "LOADCALL" + std::to_string(i); }
inline std::string LoadDisplayName(int i) { return "LOADSHOW" + std::to_string(i); }
inline int LoadStationLopnr(int i) { return 1 + i; }
inline int LoadDisplayLopnr(int i) { return 100001 + i; }

// Creates (or extends) the SQLite file: call stations, displays and resources, every station
// listing every resource.
void SeedLoadDatabase(const std::string& file, int displays, int stations, int resources);

}  // namespace tavo
