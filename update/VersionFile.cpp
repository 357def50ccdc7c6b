#include "update/VersionFile.h"

#include <fstream>
#include <iterator>
#include <string>

#include "common/StrUtils.h"
#include "common/Win1252.h"

namespace tavo {

int32_t VersionFileNumber(std::string_view raw, int32_t def) {
  std::string text;
  if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE')
    text = Utf16LEToAnsi(raw.substr(2));
  else if (raw.substr(0, 3) == "\xEF\xBB\xBF")
    text = Utf8ToAnsi(raw.substr(3));
  else
    text = std::string(raw);

  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos &&
                  SameTextAscii(Trim(line.substr(1, close - 1)), "Programversion");
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    if (!SameTextAscii(Trim(line.substr(0, eq)), "versionsnummer")) continue;
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return StrToIntDef(value, def);
  }
  return def;
}

int32_t ReadVersionFileNumber(const std::filesystem::path& file, int32_t def) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return def;
  // A version file is a few lines; anything longer is not one.
  std::string text(64 * 1024, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return VersionFileNumber(text, def);
}

}  // namespace tavo
