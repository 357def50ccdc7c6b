// Fuzz target: the version reader over arbitrary bytes, taken both as a program file and as a
// bare version record. Any out-of-bounds read or undefined behaviour aborts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/CEVersionInfo.h"
#include "common/ExeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tavo::TMemoryImage image(bytes);
  tavo::TCEVersionInfo info{std::filesystem::path()};
  info.GetInfoFromRecord(tavo::ExtractVersionRecord(image));
  info.GetInfoFromRecord(bytes);
  // Values come from the record: never longer than it.
  if (info.FProductVersion.size() > size && info.FProductVersion != tavo::kInfoNotAvailable)
    __builtin_trap();
  return 0;
}
