// Reading a value from an OLE DB data-link file the way the platform's profile reader does:
// INI text in UTF-16LE with a byte-order mark, or UTF-8 (with or without its mark; text that is
// not UTF-8 is taken as Windows-1252). Section and key match without regard to letter case,
// blanks around the value are dropped, and the value is everything after the first "=" of its
// line. At most 254 characters are taken (the reader's buffer of 255).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tavo {

inline constexpr size_t kDataLinkValueMax = 254;

// The value as Windows-1252 text; empty when the section or key is absent.
std::string DataLinkValueFromText(std::string_view fileBytes, const std::string& section,
                                  const std::string& key);
// The same for a file; a file that cannot be read gives empty text.
std::string ReadDataLinkValue(const std::filesystem::path& file, const std::string& section,
                              const std::string& key);

}  // namespace tavo
