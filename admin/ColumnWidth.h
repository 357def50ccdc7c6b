// The widths of the text columns the administration commands write, as every schema declares
// them. A value that does not fit is the client's fault: it is refused before anything is
// written, so that no database refuses it half-way and counts it as the server's failure.
#pragma once

#include <cstddef>
#include <string>

namespace tavo {

inline constexpr size_t kStationNameWidth = 100;   // STATIONS.STATIONNAME
inline constexpr size_t kFriendlyNameWidth = 100;  // STATIONS.FRIENDLYNAME
inline constexpr size_t kImeiNumberWidth = 25;     // STATIONS.IMEINUMBER
inline constexpr size_t kCallNameWidth = 50;       // CALLABLES.CALLNAME
inline constexpr size_t kFullNameWidth = 100;      // CALLABLES.FULLNAME
inline constexpr size_t kSmsNummerWidth = 250;     // CALLABLES.SMSNUMMER
inline constexpr size_t kAktivWidth = 1;           // CALLABLES.AKTIV

// Throws ERequestError naming the column when the value is longer than the width.
void RequireWidth(const std::string& value, size_t width, const char* column);

}  // namespace tavo
