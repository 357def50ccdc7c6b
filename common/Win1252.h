// Conversion between the server's internal Windows-1252 text and UTF-8 / UTF-16 at the edges.
// A character that Windows-1252 cannot hold becomes "?".
#pragma once

#include <string>
#include <string_view>

namespace tavo {

std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
// UTF-16LE bytes (no BOM) to Windows-1252.
std::string Utf16LEToAnsi(std::string_view bytes);
// Code point of one Windows-1252 byte (undefined bytes map to themselves, as the platform does).
char32_t AnsiCharToCodePoint(unsigned char c);
// Windows-1252 byte of a code point, or '?' when it has none.
char CodePointToAnsi(char32_t cp);

}  // namespace tavo
