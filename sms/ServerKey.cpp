#include "sms/ServerKey.h"

#include <cstdint>
#include <string_view>

namespace tavo {

// The key is computed rather than kept as one constant, so it does not sit in the program file
// as a recognisable 16-byte run. Integer arithmetic only: the result is the same on every
// compiler and platform. Changing anything here changes the key.
TKey128 MakeServerKey() {
  uint64_t state = 0;
  for (unsigned char c : std::string_view("KerVanta\\TAVO_WServer")) state = state * 131 + c;
  TKey128 key{};
  for (size_t i = 0; i < key.size(); i += 8) {
    // SplitMix64 step.
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (size_t b = 0; b < 8; ++b) key[i + b] = static_cast<uint8_t>(z >> (8 * b));
  }
  return key;
}

}  // namespace tavo
