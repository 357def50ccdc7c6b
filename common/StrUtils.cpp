#include "common/StrUtils.h"

#include <charconv>

namespace tavo {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return std::string(s.substr(b, e - b));
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  if (s.empty()) return def;
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i >= s.size()) return def;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return def;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return def;
  }
  if (neg) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return def;
  return static_cast<int32_t>(v);
}

std::string QuoteClientText(std::string_view s) {
  if (s.size() <= kMaxQuotedChars) return std::string(s);
  return std::string(s.substr(0, kMaxQuotedChars)) + "... (" + std::to_string(s.size()) +
         " characters)";
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerAscii(std::string(a)) == LowerAscii(std::string(b));
}

}  // namespace tavo
