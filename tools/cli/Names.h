// What the protocol can carry in the texts tavo-cli sends, and the words it takes for numbers.
// The protocol has no escape: ":" separates every block's fields, "¤" marks blocks, "~"
// separates a call's fields in the lists stations and displays receive, "#DATASTART#" and
// "#DATAEND#" frame messages, blanks and control characters at either end of a field are
// trimmed, a line feed turns a message into line mode, and only Windows-1252 characters
// travel. Quotes, apostrophes and "#" travel as they are: the server binds every value it
// stores as a parameter. Each check returns the usage error that names the character, or
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavo::cli {

// Which fields a text travels in: every name also reaches the "~"-separated lists.
enum class TTextUse : uint8_t {
  Name,   // station, display, call and full names
  Field,  // any other field: an IMEI, an SMS number, a setting, an account
};

// The problem with the UTF-8 text as what ("station name"), at most width characters; nothing
// when the protocol carries it as it is. Empty text is a problem for names only.
std::optional<std::string> TextProblem(const std::string& utf8, const std::string& what,
                                       size_t width, TTextUse use = TTextUse::Name);
// Throws ECliUsage with the problem.
void RequireCarried(const std::string& utf8, const std::string& what, size_t width,
                    TTextUse use = TTextUse::Name);

// A colour as the stations store it (0x00BBGGRR, the colour value of the client programs) from
// a name ("red", "navy", ...) or "#RRGGBB"; nothing for anything else.
std::optional<int32_t> ParseColour(const std::string& text);
// The stored value as ParseColour takes it: a name where one fits, else "#RRGGBB"; a value
// with its high byte set (a system colour of the client programs) as its decimal number.
std::string ColourText(int32_t value);
// The colour names ParseColour knows, for help texts.
std::string ColourNames();
// ParseColour of an option's text; throws ECliUsage naming what it takes.
int32_t ColourOption(const std::string& text);
// A stored colour as the server sends it (decimal, empty for none) in ColourText's form.
std::string ColourCell(const std::string& decimal);
// A stored colour as the server sends it, as a number (0 for none).
int32_t StoredColour(const std::string& decimal);

// "call", "display", "admin", "hardware" and their numbers 0 to 3.
std::optional<int> ParseStationType(const std::string& word);
// The word of a stored type number; the number itself when it is none of the four.
std::string StationTypeText(const std::string& number);

}  // namespace tavo::cli
