#include "sms/LbBase64.h"

#include <array>
#include <cstdint>

#include "sms/LbCipher.h"

namespace tavo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kPad = -2, kBad = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = kBad;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  t['='] = kPad;
  return t;
}
constexpr auto kDecode = MakeDecodeTable();

[[noreturn]] void BadChar() { throw ECipherException("Invalid Base64 Character"); }

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size_t rest = bytes.size() - i) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t g = 0; g < text.size(); g += 4) {
    if (text.size() - g < 4) BadChar();
    int8_t d[4];
    for (int k = 0; k < 4; ++k) {
      unsigned char c = static_cast<unsigned char>(text[g + k]);
      if (c < '+' || c > 'z') BadChar();
      d[k] = kDecode[c];
      if (d[k] == kBad) BadChar();
    }
    const bool last = g + 4 == text.size();
    // "=" only as "xx==" or "xxx=" in the final group.
    if (d[0] == kPad || d[1] == kPad || (d[2] == kPad && d[3] != kPad) ||
        ((d[2] == kPad || d[3] == kPad) && !last))
      BadChar();
    uint32_t v = uint32_t(d[0]) << 18 | uint32_t(d[1]) << 12;
    out += static_cast<char>(v >> 16);
    if (d[2] == kPad) break;
    v |= uint32_t(d[2]) << 6;
    out += static_cast<char>((v >> 8) & 0xFF);
    if (d[3] == kPad) break;
    v |= uint32_t(d[3]);
    out += static_cast<char>(v & 0xFF);
  }
  return out;
}

}  // namespace tavo
