// Types shared by the server's subsystems and with the client programs:
// client kinds, the per-connection record and the call model.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace tavo {

// Client kind; travels as its ordinal.
enum TTAVOClientType : uint8_t { ctCall = 0, ctShow = 1, ctAdmin = 2, ctHardware = 3 };

// "call", "display", "admin", "hardware", or "other" for a number that is no client kind.
inline const char* ClientTypeName(int32_t type) {
  switch (type) {
    case ctCall: return "call";
    case ctShow: return "display";
    case ctAdmin: return "admin";
    case ctHardware: return "hardware";
  }
  return "other";
}

// Log severity of Logg.
enum TLoggType : uint8_t { ltError = 0, ltWarning = 1, ltInfo = 2 };

using TColor = int32_t;

struct TRect {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// One resource in the list of a signed-on station.
struct TCallables {
  int32_t CallableLopnr = 0;
  int32_t CallableIX = 0;
};

// The record a connection carries from sign-on until it closes.
struct TTAVOConnectInfo {
  int32_t StationLopnr = -1;
  std::string StationName;
  std::string FriendlyName;
  TTAVOClientType StationType = ctCall;
  TColor StationColour = 0;
  std::vector<TCallables> Callables;
  bool isAndroid = false;
  std::string IMEINumber;
};

// One open call: one station calling one resource.
struct TCaller {
  std::string CallerName;
  int32_t CallerLopnr = 0;
  TDateTime CallTimeStamp = 0;
  TColor CallerColour = 0;
  int32_t CallLogLopnr = 0;
  // Set while the call's row waits in the outage journal (the database was down when it was
  // opened): the journal's name for it until the row, and with it CallLogLopnr, is written.
  uint64_t CallLogKey = 0;
  int32_t CallComingLopnr = 0;
  std::string CallComingName;
  TDateTime CallComingTimeStamp = 0;
  TRect ViewRect;
};

// One resource with its open calls, oldest first.
struct TCallObject {
  std::string CallName;
  int32_t CallLopnr = 0;
  TColor CallColour = 0;
  int32_t CallIX = 0;
  std::vector<std::unique_ptr<TCaller>> CurrentCallList;
  bool CallableSendSMS = false;
  std::string CallableMobilnummer;
  TRect ViewRect;
  bool Aktiv = false;
};

using TCallList = std::vector<std::unique_ptr<TCallObject>>;

}  // namespace tavo
