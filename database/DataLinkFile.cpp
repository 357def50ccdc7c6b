#include "common/StrUtils.h"
#include "database/DataLinkFile.h"

#include <cctype>
#include <fstream>
#include <iterator>

#include "common/Win1252.h"

namespace tavo {
namespace {

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

// The whole file as Windows-1252 text.
std::string DecodeFile(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
    return Utf16LEToAnsi(bytes.substr(2));
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return Utf8ToAnsi(bytes.substr(3));
  if (IsValidUtf8(bytes)) return Utf8ToAnsi(bytes);
  return std::string(bytes);
}

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}


}  // namespace

std::string DataLinkValueFromText(std::string_view fileBytes, const std::string& section,
                                  const std::string& key) {
  std::string text = DecodeFile(fileBytes);
  bool inSection = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = TrimBlanks(std::string_view(text).substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name = TrimBlanks(line.substr(1, close == std::string::npos ? std::string::npos
                                                                        : close - 1));
      inSection = SameTextAscii(name, section);
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || !SameTextAscii(TrimBlanks(line.substr(0, eq)), key)) continue;
    std::string value = TrimBlanks(line.substr(eq + 1));
    if (value.size() > kDataLinkValueMax) value.resize(kDataLinkValueMax);
    return value;
  }
  return {};
}

std::string ReadDataLinkValue(const std::filesystem::path& file, const std::string& section,
                              const std::string& key) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return DataLinkValueFromText(bytes, section, key);
}

}  // namespace tavo
