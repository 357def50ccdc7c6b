#include "common/Win1252.h"

#include <array>

namespace tavo {
namespace {

// 0x80..0x9F of Windows-1252; the five undefined positions keep their C1 code point.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

char32_t AnsiCharToCodePoint(unsigned char c) {
  if (c >= 0x80 && c <= 0x9F) return kHigh[c - 0x80];
  return c;
}

char CodePointToAnsi(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
  return '?';
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 8);
  for (unsigned char c : ansi) AppendUtf8(out, AnsiCharToCodePoint(c));
  return out;
}

std::string Utf8ToAnsi(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {  // stray or truncated byte
      out += '?';
      ++i;
      continue;
    }
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out += CodePointToAnsi(cp);
    i += static_cast<size_t>(len);
  }
  return out;
}

std::string Utf16LEToAnsi(std::string_view b) {
  std::string out;
  out.reserve(b.size() / 2);
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    char32_t u = static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < b.size()) {
      char32_t lo = static_cast<unsigned char>(b[i + 2]) | (static_cast<unsigned char>(b[i + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        out += '?';  // outside the BMP, never in Windows-1252
        i += 2;
        continue;
      }
    }
    out += CodePointToAnsi(u);
  }
  return out;
}

}  // namespace tavo
