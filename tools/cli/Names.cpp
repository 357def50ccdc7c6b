#include "Names.h"

#include <cstdio>

#include "Errors.h"
#include "common/StrUtils.h"
#include "common/Win1252.h"

namespace tavo::cli {

namespace {

// The UTF-8 sequence that starts at i.
std::string CharAt(const std::string& s, size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return s.substr(i, n);
}

std::string Quoted(const std::string& ch) { return "\"" + ch + "\""; }

struct TNamedColour {
  const char* Name;
  int R, G, B;
};
// The colour names of the client programs, and a few everyday ones.
constexpr TNamedColour kColours[] = {
    {"black", 0, 0, 0},        {"maroon", 128, 0, 0},    {"green", 0, 128, 0},
    {"olive", 128, 128, 0},    {"navy", 0, 0, 128},      {"purple", 128, 0, 128},
    {"teal", 0, 128, 128},     {"gray", 128, 128, 128},  {"silver", 192, 192, 192},
    {"red", 255, 0, 0},        {"lime", 0, 255, 0},      {"yellow", 255, 255, 0},
    {"blue", 0, 0, 255},       {"fuchsia", 255, 0, 255}, {"aqua", 0, 255, 255},
    {"white", 255, 255, 255},  {"orange", 255, 165, 0},  {"grey", 128, 128, 128},
    {"magenta", 255, 0, 255},  {"cyan", 0, 255, 255},
};

int32_t Stored(int r, int g, int b) { return r | (g << 8) | (b << 16); }

const char* const kTypes[] = {"call", "display", "admin", "hardware"};

}  // namespace

std::optional<std::string> TextProblem(const std::string& utf8, const std::string& what,
                                       size_t width, TTextUse use) {
  if (utf8.empty()) {
    if (use == TTextUse::Name) return "a " + what + " cannot be empty";
    return std::nullopt;
  }
  if (static_cast<unsigned char>(utf8.front()) <= 0x20 ||
      static_cast<unsigned char>(utf8.back()) <= 0x20)
    return "a " + what + " cannot begin or end with a blank: the protocol trims them away";
  for (const char* marker : {"#DATASTART#", "#DATAEND#"})
    if (utf8.find(marker) != std::string::npos)
      return "a " + what + " cannot hold " + Quoted(marker) +
             ": it frames the protocol's messages and is cut out of them";
  size_t chars = 0;
  for (size_t i = 0; i < utf8.size(); ++chars) {
    const std::string ch = CharAt(utf8, i);
    i += ch.size();
    const auto c = static_cast<unsigned char>(ch[0]);
    if (c < 0x20 || c == 0x7F) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", c);
      return "a " + what + " cannot hold a line break or other control character (" + code +
             "): it would change how the message is read";
    }
    if (ch == ":")
      return "a " + what + " cannot hold \":\": it separates the fields of every block";
    if (ch == "\xC2\xA4")
      return "a " + what + " cannot hold \"\xC2\xA4\": it marks the blocks of the protocol";
    if (ch == "~" && use == TTextUse::Name)
      return "a " + what +
             " cannot hold \"~\": it separates the fields of the lists stations and displays "
             "receive";
    if (Utf8ToAnsi(ch) == "?" && ch != "?")
      return "a " + what + " cannot hold " + Quoted(ch) +
             ": the protocol carries only the characters of Windows-1252";
  }
  if (chars > width)
    return "a " + what + " can have at most " + std::to_string(width) + " characters, not " +
           std::to_string(chars);
  return std::nullopt;
}

void RequireCarried(const std::string& utf8, const std::string& what, size_t width,
                    TTextUse use) {
  if (auto problem = TextProblem(utf8, what, width, use)) throw ECliUsage(*problem);
}

std::optional<int32_t> ParseColour(const std::string& text) {
  if (text.size() == 7 && text[0] == '#') {
    int v[3];
    for (int k = 0; k < 3; ++k) {
      const std::string hex = text.substr(1 + 2 * k, 2);
      if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
      v[k] = std::stoi(hex, nullptr, 16);
    }
    return Stored(v[0], v[1], v[2]);
  }
  for (const auto& c : kColours)
    if (SameTextAscii(text, c.Name)) return Stored(c.R, c.G, c.B);
  return std::nullopt;
}

std::string ColourText(int32_t value) {
  if ((static_cast<uint32_t>(value) & 0xFF000000u) != 0) return std::to_string(value);
  for (const auto& c : kColours)
    if (Stored(c.R, c.G, c.B) == value) return c.Name;
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X", value & 0xFF, (value >> 8) & 0xFF,
                (value >> 16) & 0xFF);
  return buf;
}

std::string ColourNames() {
  std::string names;
  for (const auto& c : kColours) names += (names.empty() ? "" : ", ") + std::string(c.Name);
  return names;
}

int32_t ColourOption(const std::string& text) {
  if (auto c = ParseColour(text)) return *c;
  throw ECliUsage("--colour takes #RRGGBB or one of " + ColourNames() + ", not " + text);
}

int32_t StoredColour(const std::string& decimal) {
  return decimal.empty() ? 0 : static_cast<int32_t>(std::stol(decimal));
}

std::string ColourCell(const std::string& decimal) { return ColourText(StoredColour(decimal)); }

std::optional<int> ParseStationType(const std::string& word) {
  for (int t = 0; t < 4; ++t)
    if (SameTextAscii(word, kTypes[t])) return t;
  return std::nullopt;
}

std::string StationTypeText(const std::string& number) {
  if (number.size() == 1 && number[0] >= '0' && number[0] <= '3') return kTypes[number[0] - '0'];
  return number;
}

}  // namespace tavo::cli
