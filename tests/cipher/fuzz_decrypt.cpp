// Fuzz target: DecryptString over arbitrary text. It may only fail with ECipherException, and
// what it returns must survive another round trip.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sms/LbClass.h"
#include "sms/ServerKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tavo::TKey128 key = tavo::MakeServerKey();
  tavo::TLbBlowfish cipher;
  cipher.SetKey(key);
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string plain;
  try {
    plain = cipher.DecryptString(text);
  } catch (const tavo::ECipherException&) {
    return 0;
  }
  if (plain.size() > size || cipher.DecryptString(cipher.EncryptString(plain)) != plain)
    __builtin_trap();
  return 0;
}
