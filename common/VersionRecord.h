// Reading a VS_VERSIONINFO record: the tree of nodes (length, value length, type, UTF-16 key,
// value, children, each 32-bit aligned) under "VS_VERSION_INFO", with its "StringFileInfo"
// string tables and its "VarFileInfo" translation list. Works on untrusted bytes: every length
// is checked against the bytes that are there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavo {

struct TVersionTranslation {
  uint16_t Language = 0;
  uint16_t CodePage = 0;
};

// The first entry of the record's translation list; nothing when the record is not a version
// record or the list is missing or empty.
std::optional<TVersionTranslation> FirstTranslation(std::string_view record);

// Name of the string table of a translation: "%.4x%.4x" of language and code page.
std::string StringTableName(const TVersionTranslation& t);

// The value of `key` in string table `table` (both matched without regard to ASCII case), as
// Windows-1252 text up to its first NUL; nothing when table or key is absent.
std::optional<std::string> QueryVersionString(std::string_view record, std::string_view table,
                                              std::string_view key);

}  // namespace tavo
