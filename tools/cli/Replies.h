// Reading the server's reply blocks (UTF-8 text, "¤" as the marker) into plain records.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavo::cli {

inline const std::string kMarker = "\xC2\xA4";  // "¤" in UTF-8

// "¤KEYWORD:" + sep-separated payload + ":KEYWORD¤" for a request.
std::string RequestBlock(const std::string& keyword, const std::string& payload, char sep = ':');
// The payload between "¤" + keyword + open and close + keyword + "¤" (the last closing tag),
// or nothing when the message holds no such block.
std::optional<std::string> BlockPayload(const std::string& message, const std::string& keyword,
                                        const std::string& open = ":",
                                        const std::string& close = ":");
std::vector<std::string> Split(const std::string& text, const std::string& sep);
// An error message of the server ("ERROR: 001 ..."), or nothing.
std::optional<std::string> ErrorText(const std::string& message);

struct TStationRow {  // a record of RETALLMACHINES
  std::string Name, Lopnr, FriendlyName, Colour, Type, Connected, Imei;
};
struct TCallableRow {  // a record of RETALLCALLABLES
  std::string CallName, Lopnr, FullName, Colour, SendSms, SmsNumber, Active;
};
struct TListPair {  // a pair of RETSTATIONCALLABLES
  std::string CallableLopnr, Ix;
};
struct TClientData {  // TAVOCLIENTDATA (framed layout)
  std::string StationName, FriendlyName, Colour, Lopnr;
};
struct TStationEntry {  // an entry of RETCALLLIST
  std::string CallName, Lopnr, FullName, Colour;
  bool Cancel = false, Open = false;
  std::string CallTime, ComingName, ComingTime, ComingLopnr;
};
struct TDisplayCaller {  // a caller part of CURRENTLIST
  std::string Name, Lopnr, CallTime, Colour, ComingLopnr, ComingTime, ComingName;
};
struct TDisplayResource {  // a resource part of CURRENTLIST
  std::string Name, Lopnr, Colour, Position;
  std::vector<TDisplayCaller> Callers;
};
struct TSqlResult {  // RETSQL
  std::vector<std::string> Columns;
  std::vector<std::vector<std::string>> Rows;
};

// The list replies repeat a record of empty texts and zeros when the table is empty; those
// placeholder records are left out.
std::vector<TStationRow> ParseMachines(const std::string& payload);
std::vector<TCallableRow> ParseCallables(const std::string& payload);
std::vector<TListPair> ParseStationCallables(const std::string& payload);
std::optional<TClientData> ParseClientData(const std::string& message);
std::vector<TStationEntry> ParseCallList(const std::string& payload);
std::vector<TDisplayResource> ParseCurrentList(const std::string& payload);
// Columns come from the first row; a row with other column names throws std::runtime_error.
TSqlResult ParseSql(const std::string& payload);

}  // namespace tavo::cli
