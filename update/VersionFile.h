// The version file the gateway hands out for a program file: INI text with the number of the
// newest version in section "Programversion", key "versionsnummer".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tavo {

// The number in the text, or def when the key is missing or not an integer. Section and key
// match without regard to letter case; UTF-8 and UTF-16LE files with a byte-order mark are
// read as well as plain 8-bit text.
int32_t VersionFileNumber(std::string_view text, int32_t def);
// The same for a file; def when it cannot be read.
int32_t ReadVersionFileNumber(const std::filesystem::path& file, int32_t def);

}  // namespace tavo
