// TLbBlowfish: the cipher component in ECB mode with its stream, file and Base64 string forms.
//
// Stream format: every whole 8-byte block of the input is transformed in order; then one final
// block holding the remaining 0..7 bytes at its start, zeros, and the count of those bytes in
// byte 7. Output is 8 * (n / 8 + 1) bytes. Decryption writes the final block's first byte-7
// bytes. Every operation builds its own context from the key, so instances share nothing and
// the same key always gives the same bytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

#include "sms/LbCipher.h"

namespace tavo {

class TLbBlowfish {
 public:
  // The key in force is the last one set (all zero before the first SetKey).
  void SetKey(const TKey128& key) { FKey = key; }
  const TKey128& GetKey() const { return FKey; }

  // Read from the stream's current position to its end; append the result to out.
  // ECipherException "Invalid file format" when a block cannot be read whole (decrypting: any
  // input shorter than 8 bytes) or when the final block's count is above 7.
  void EncryptStream(std::istream& in, std::ostream& out) const;
  void DecryptStream(std::istream& in, std::ostream& out) const;

  // Paths in the file system's encoding (UTF-8). An existing outFile is truncated; a file that
  // cannot be opened or created raises std::system_error with the system's reason. Refuses to
  // write a file onto itself, which would destroy it.
  void EncryptFile(const std::filesystem::path& inFile, const std::filesystem::path& outFile) const;
  void DecryptFile(const std::filesystem::path& inFile, const std::filesystem::path& outFile) const;

  // The stream forms over byte buffers.
  std::string EncryptBytes(std::string_view bytes) const;
  std::string DecryptBytes(std::string_view bytes) const;

  // Windows-1252 byte string -> Base64 text of its encrypted form, and back.
  std::string EncryptString(const std::string& inString) const;
  std::string DecryptString(const std::string& inString) const;

  // Size of the encrypted form of inSize bytes.
  static constexpr size_t OutBufSizeNeeded(size_t inSize) { return (inSize & ~size_t{7}) + 8; }

 private:
  TKey128 FKey{};
};

}  // namespace tavo
