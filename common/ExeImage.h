// Finds the version record (the VS_VERSIONINFO bytes) inside a program file: the RT_VERSION
// resource of a PE file (PE32 or PE32+), or the section kVersionSection of an ELF file (32 or 64
// bit, either byte order). Every read is checked against the file's size, so a truncated or
// hostile file only ever yields "no record".
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// Name of the ELF section that carries our own executable's version record.
inline constexpr std::string_view kVersionSection = ".tavo_version";

// Random-access bytes of a program file.
class TImageReader {
 public:
  virtual ~TImageReader() = default;
  virtual uint64_t Size() const = 0;
  // Exactly n bytes at off into dst; false when they are not all there.
  virtual bool Read(uint64_t off, void* dst, size_t n) = 0;
};

class TMemoryImage final : public TImageReader {
 public:
  explicit TMemoryImage(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool Read(uint64_t off, void* dst, size_t n) override;

 private:
  std::string_view bytes_;
};

// The version record of the image, or nothing when it has none or is not a PE or ELF file.
std::optional<std::string> ExtractVersionRecord(TImageReader& image);
// The same for a file (read with pread, never mapped, so a file shrinking under us is harmless).
std::optional<std::string> ReadVersionRecord(const std::filesystem::path& file);

}  // namespace tavo
