// Base64 string form of the cipher: standard alphabet, "=" padding, no line breaks.
#pragma once

#include <string>
#include <string_view>

namespace tavo {

std::string Base64Encode(std::string_view bytes);

// Throws ECipherException "Invalid Base64 Character" for a character outside "+".."z", and, to
// keep corrupt stored text from decoding into something else, also for any other character not
// in the alphabet, for "=" anywhere but at the end of the last group, and for a trailing group
// of fewer than four characters.
std::string Base64Decode(std::string_view text);

}  // namespace tavo
