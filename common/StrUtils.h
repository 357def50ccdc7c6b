// Small text helpers with the server's rules: trimming drops every character of code 32 or
// below, numbers are plain signed decimal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavo {

std::string Trim(std::string_view s);
// Signed 32-bit decimal ("-12", "+7"); def when the text is not such a number.
int32_t StrToIntDef(std::string_view s, int32_t def);
// A client's text as a log line may quote it: at most kMaxQuotedChars characters, the rest
// replaced by a note of its length, so one request cannot write a huge log line.
inline constexpr size_t kMaxQuotedChars = 256;
std::string QuoteClientText(std::string_view s);
bool Contains(std::string_view s, std::string_view part);
std::string UpperAscii(std::string s);
std::string LowerAscii(std::string s);
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace tavo
