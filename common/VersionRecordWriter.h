// Building a VS_VERSIONINFO record: used at build time to give our own executable its version
// record, and by tests to make program-file fixtures.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavo {

struct TVersionRecordFields {
  uint16_t Language = 0x041D;  // Swedish
  uint16_t CodePage = 1252;
  std::array<uint16_t, 4> FileVersion{};
  std::array<uint16_t, 4> ProductVersion{};
  // Key and value of each string, Windows-1252, in this order.
  std::vector<std::pair<std::string, std::string>> Strings;
  // Name of the string table; empty: the one of Language and CodePage.
  std::string TableName;
  // Entries of the translation list: 0 leaves it empty; further entries are English/Unicode.
  int TranslationCount = 1;
};

std::string BuildVersionRecord(const TVersionRecordFields& fields);

// Windows-1252 text as UTF-16LE bytes, without a terminator.
std::string AnsiToUtf16LE(const std::string& text);

}  // namespace tavo
