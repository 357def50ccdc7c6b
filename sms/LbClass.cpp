#include "sms/LbClass.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <system_error>
#include <vector>

#include "sms/LbBase64.h"

namespace tavo {
namespace {

[[noreturn]] void BadFormat() { throw ECipherException("Invalid file format"); }

// Byte sources and sinks, so the block format exists once for streams and buffers.
struct TMemSource {
  std::string_view data;
  size_t Remaining() const { return data.size(); }
  size_t Read(char* dst, size_t n) {
    n = std::min(n, data.size());
    std::copy_n(data.data(), n, dst);
    data.remove_prefix(n);
    return n;
  }
};

struct TStreamSource {
  std::istream& in;
  uint64_t remaining;
  size_t Remaining() const { return static_cast<size_t>(remaining); }
  size_t Read(char* dst, size_t n) {
    in.read(dst, static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount());
  }
};

struct TStringSink {
  std::string& out;
  void Write(const char* p, size_t n) { out.append(p, n); }
};

struct TStreamSink {
  std::ostream& out;
  void Write(const char* p, size_t n) {
    if (!out.write(p, static_cast<std::streamsize>(n)))
      throw std::system_error(errno ? errno : EIO, std::generic_category(), "Write error");
  }
};

inline void ApplyMask(char* p, size_t n, const TBlock8& mask) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(p[i] ^ mask[i & 7]);
}

TBlock8 MaskOf(const TKey128& key) {
  TBlowfishContext ctx;
  BlowfishInitContext(ctx, key);
  return BlowfishBlockMask(ctx);
}

constexpr size_t kChunk = 64 * 1024;  // a multiple of the block size

// Transforms `blocks` whole blocks from src to dst. The mask gives the same bytes as the rounds
// in either direction (the cipher tests prove it), at a fraction of the cost.
template <class Src, class Sink>
void CopyBlocks(Src& src, Sink& dst, uint64_t blocks, const TBlock8& mask) {
  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(blocks * 8, kChunk)));
  while (blocks > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(blocks * 8, kChunk));
    if (src.Read(buf.data(), n) != n) BadFormat();
    ApplyMask(buf.data(), n, mask);
    dst.Write(buf.data(), n);
    blocks -= n / 8;
  }
}

template <class Src, class Sink>
void Encrypt(const TKey128& key, Src& src, Sink& dst) {
  const TBlock8 mask = MaskOf(key);
  const uint64_t n = src.Remaining();
  CopyBlocks(src, dst, n / 8, mask);
  char last[8] = {};
  const size_t r = static_cast<size_t>(n % 8);
  if (src.Read(last, r) != r) BadFormat();
  last[7] = static_cast<char>(r);
  ApplyMask(last, 8, mask);
  dst.Write(last, 8);
}

template <class Src, class Sink>
void Decrypt(const TKey128& key, Src& src, Sink& dst) {
  const TBlock8 mask = MaskOf(key);
  const uint64_t k = src.Remaining() / 8;
  if (k == 0) BadFormat();
  CopyBlocks(src, dst, k - 1, mask);
  char last[8];
  if (src.Read(last, 8) != 8) BadFormat();
  ApplyMask(last, 8, mask);
  const auto c = static_cast<unsigned char>(last[7]);
  // A count above 7 cannot come from the encrypting side: the data is corrupt or under another
  // key. Reject it rather than write bytes that were never there.
  if (c > 7) BadFormat();
  dst.Write(last, c);
}

// Runs op over the rest of a stream; a stream that cannot seek is read whole first, because the
// block count comes from the input's size.
template <class Op>
void OverStream(std::istream& in, std::ostream& out, Op op) {
  TStreamSink sink{out};
  const std::istream::pos_type pos = in.tellg();
  if (pos != std::istream::pos_type(-1) && in.seekg(0, std::ios::end)) {
    const std::istream::pos_type end = in.tellg();
    in.seekg(pos);
    if (end != std::istream::pos_type(-1) && end >= pos && in) {
      TStreamSource src{in, static_cast<uint64_t>(end - pos)};
      op(src, sink);
      return;
    }
  }
  in.clear();
  std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  TMemSource src{all};
  op(src, sink);
}

template <class Op>
void OverFiles(const std::filesystem::path& inFile, const std::filesystem::path& outFile, Op op) {
  std::error_code ec;
  if (std::filesystem::equivalent(inFile, outFile, ec))
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "Input and output are the same file \"" + inFile.string() + "\"");
  errno = 0;
  std::ifstream in(inFile, std::ios::binary);
  if (!in)
    throw std::system_error(errno ? errno : ENOENT, std::generic_category(),
                            "Cannot open file \"" + inFile.string() + "\"");
  errno = 0;
  std::ofstream out(outFile, std::ios::binary | std::ios::trunc);
  if (!out)
    throw std::system_error(errno ? errno : EACCES, std::generic_category(),
                            "Cannot create file \"" + outFile.string() + "\"");
  OverStream(in, out, op);
  errno = 0;
  out.close();
  if (!out)
    throw std::system_error(errno ? errno : EIO, std::generic_category(),
                            "Cannot write file \"" + outFile.string() + "\"");
}

}  // namespace

void TLbBlowfish::EncryptStream(std::istream& in, std::ostream& out) const {
  OverStream(in, out, [this](auto& s, auto& d) { Encrypt(FKey, s, d); });
}

void TLbBlowfish::DecryptStream(std::istream& in, std::ostream& out) const {
  OverStream(in, out, [this](auto& s, auto& d) { Decrypt(FKey, s, d); });
}

void TLbBlowfish::EncryptFile(const std::filesystem::path& inFile,
                              const std::filesystem::path& outFile) const {
  OverFiles(inFile, outFile, [this](auto& s, auto& d) { Encrypt(FKey, s, d); });
}

void TLbBlowfish::DecryptFile(const std::filesystem::path& inFile,
                              const std::filesystem::path& outFile) const {
  OverFiles(inFile, outFile, [this](auto& s, auto& d) { Decrypt(FKey, s, d); });
}

std::string TLbBlowfish::EncryptBytes(std::string_view bytes) const {
  std::string out;
  out.reserve(OutBufSizeNeeded(bytes.size()));
  TMemSource src{bytes};
  TStringSink sink{out};
  Encrypt(FKey, src, sink);
  return out;
}

std::string TLbBlowfish::DecryptBytes(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size());
  TMemSource src{bytes};
  TStringSink sink{out};
  Decrypt(FKey, src, sink);
  return out;
}

std::string TLbBlowfish::EncryptString(const std::string& inString) const {
  return Base64Encode(EncryptBytes(inString));
}

std::string TLbBlowfish::DecryptString(const std::string& inString) const {
  return DecryptBytes(Base64Decode(inString));
}

}  // namespace tavo
