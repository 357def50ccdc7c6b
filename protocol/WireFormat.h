// The wire syntax: block markers and tags, GetField, and the reply framing rule.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavo {

inline constexpr char kBlockMarker = '\xA4';  // the currency sign of Windows-1252
inline constexpr std::string_view kDataStart = "#DATASTART#";
inline constexpr std::string_view kDataEnd = "#DATAEND#";

// "¤KEYWORD:" and ":KEYWORD¤".
std::string OpeningTag(std::string_view keyword, char separator = ':');
std::string ClosingTag(std::string_view keyword, char separator = ':');
// "¤KEYWORD:payload:KEYWORD¤".
std::string Block(std::string_view keyword, std::string_view payload);

// Field n of text counted by separators in front of it, trimmed; for n past the last
// separator the result is field 0.
std::string GetField(std::string_view text, int n, char separator = ':');

// Field n as a 32-bit number; throws ERequestError when it is not one (the failure of the
// message is then the client's, not the server's).
int32_t GetIntField(std::string_view text, int n, char separator = ':');

// content + CR LF in line mode, else "#DATASTART#" + content + "#DATAEND#" + CR LF.
std::string FrameReply(std::string_view content, bool lineMode);

// Line mode: the text contains a line feed.
inline bool IsLineMode(std::string_view text) { return text.find('\n') != std::string_view::npos; }

}  // namespace tavo
