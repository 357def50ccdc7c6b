#include "common/ExeImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tavo {
namespace {

// A version record is at most 64 KiB: its length field has 16 bits.
constexpr uint64_t kMaxRecord = 0x10000;

class TFileImage final : public TImageReader {
 public:
  explicit TFileImage(const std::filesystem::path& p) {
    fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = uint64_t(st.st_size);
  }
  ~TFileImage() override {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileImage(const TFileImage&) = delete;
  TFileImage& operator=(const TFileImage&) = delete;
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t off, void* dst, size_t n) override {
    if (fd_ < 0 || off > size_ || n > size_ - off) return false;
    auto* p = static_cast<char*>(dst);
    while (n > 0) {
      ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(off));
      if (got <= 0) return false;
      p += got;
      off += uint64_t(got);
      n -= size_t(got);
    }
    return true;
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Little- or big-endian integer reads that fail instead of running past the end.
struct TReader {
  TImageReader& img;
  bool bigEndian = false;
  bool ok = true;

  uint64_t Uint(uint64_t off, size_t n) {
    uint8_t b[8] = {};
    if (!ok || !img.Read(off, b, n)) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t(b[bigEndian ? n - 1 - i : i]) << (8 * i);
    return v;
  }
  uint16_t U16(uint64_t off) { return uint16_t(Uint(off, 2)); }
  uint32_t U32(uint64_t off) { return uint32_t(Uint(off, 4)); }
  uint64_t U64(uint64_t off) { return Uint(off, 8); }
};

// Up to `len` bytes at off, cut to what the file holds.
std::optional<std::string> ReadRange(TImageReader& img, uint64_t off, uint64_t len) {
  if (off >= img.Size()) return std::nullopt;
  len = std::min({len, kMaxRecord, img.Size() - off});
  std::string s(static_cast<size_t>(len), '\0');
  if (!img.Read(off, s.data(), s.size())) return std::nullopt;
  return s;
}

// ---- PE ----

struct TPeSection {
  char name[8];
  uint32_t virtualSize, virtualAddress, rawSize, rawPointer;
};

class TPeFile {
 public:
  explicit TPeFile(TImageReader& img) : img_(img), r_{img} {}

  std::optional<std::string> VersionRecord() {
    if (!ParseHeaders()) return std::nullopt;
    // Level 1: resource type RT_VERSION; level 2: the record (id 1 when present); level 3: the
    // first language.
    auto type = FindEntry(0, 16, false, true);
    if (!type) return std::nullopt;
    auto name = FindEntry(*type, 1, true, true);
    if (!name) return std::nullopt;
    auto lang = FindEntry(*name, 0, true, false);
    if (!lang) return std::nullopt;
    auto entryOff = RvaToOffset(uint64_t(rsrcRva_) + *lang, 16);
    if (!entryOff) return std::nullopt;
    const uint32_t dataRva = r_.U32(*entryOff), dataSize = r_.U32(*entryOff + 4);
    if (!r_.ok || dataSize == 0) return std::nullopt;
    auto dataOff = RvaToOffset(dataRva, 1);
    if (!dataOff) return std::nullopt;
    return ReadRange(img_, *dataOff, dataSize);
  }

 private:
  bool ParseHeaders() {
    if (r_.U16(0) != 0x5A4D) return false;  // "MZ"
    const uint64_t pe = r_.U32(0x3C);
    if (!r_.ok || r_.U32(pe) != 0x00004550) return false;  // "PE\0\0"
    const uint16_t nSections = r_.U16(pe + 6);
    const uint16_t optSize = r_.U16(pe + 20);
    const uint64_t opt = pe + 24;
    const uint16_t magic = r_.U16(opt);
    if (!r_.ok) return false;
    uint64_t numRvaOff, dirOff;
    if (magic == 0x10B) {
      numRvaOff = 92, dirOff = 96;
    } else if (magic == 0x20B) {
      numRvaOff = 108, dirOff = 112;
    } else {
      return false;
    }
    // Sections, no more than the file can hold, read in one go.
    const uint64_t table = opt + optSize;
    if (table > img_.Size()) return false;
    const uint64_t count = std::min<uint64_t>(nSections, (img_.Size() - table) / 40);
    std::string raw(static_cast<size_t>(count * 40), '\0');
    if (!img_.Read(table, raw.data(), raw.size())) return false;
    TMemoryImage tableImage(raw);
    TReader t{tableImage};
    for (uint64_t i = 0; i < count; ++i) {
      TPeSection s{};
      std::memcpy(s.name, raw.data() + 40 * i, 8);
      s.virtualSize = t.U32(40 * i + 8);
      s.virtualAddress = t.U32(40 * i + 12);
      s.rawSize = t.U32(40 * i + 16);
      s.rawPointer = t.U32(40 * i + 20);
      sections_.push_back(s);
    }
    // The resource data directory (entry 2); the .rsrc section when a linker left it out.
    if (optSize >= dirOff + 24 && r_.U32(opt + numRvaOff) > 2) rsrcRva_ = r_.U32(opt + dirOff + 16);
    if (!r_.ok) return false;
    if (rsrcRva_ == 0) {
      for (const auto& s : sections_)
        if (std::memcmp(s.name, ".rsrc\0\0\0", 8) == 0) rsrcRva_ = s.virtualAddress;
    }
    return rsrcRva_ != 0;
  }

  struct TSpan {
    uint64_t offset;  // file offset of the rva
    uint64_t avail;   // bytes of the section's raw data from there on
  };
  // Where rva lies in the file, when at least `len` bytes of one section's raw data follow it
  // (a section's tail beyond its raw data exists only in memory, as zeros).
  std::optional<TSpan> Locate(uint64_t rva, uint64_t len) const {
    for (const auto& s : sections_) {
      const uint64_t span = s.virtualSize ? s.virtualSize : s.rawSize;
      if (rva < s.virtualAddress || rva - s.virtualAddress >= span) continue;
      const uint64_t delta = rva - s.virtualAddress;
      if (delta >= s.rawSize || s.rawSize - delta < len) return std::nullopt;
      return TSpan{uint64_t(s.rawPointer) + delta, s.rawSize - delta};
    }
    return std::nullopt;
  }
  std::optional<uint64_t> RvaToOffset(uint64_t rva, uint64_t len) const {
    auto at = Locate(rva, len);
    if (!at) return std::nullopt;
    return at->offset;
  }

  // In the resource directory at dirRel (relative to the resource root), the entry with id `id`
  // (or, when anyId, that failing the first entry); wantDir says whether it must lead to a
  // subdirectory or to a data entry. Returns the target's offset relative to the root.
  std::optional<uint32_t> FindEntry(uint32_t dirRel, uint32_t id, bool anyId, bool wantDir) {
    auto dir = Locate(uint64_t(rsrcRva_) + dirRel, 16);
    if (!dir) return std::nullopt;
    // Only the entries that lie in the same section's raw data.
    const uint64_t count = std::min<uint64_t>(uint64_t(r_.U16(dir->offset + 12)) +
                                                  r_.U16(dir->offset + 14),
                                              (dir->avail - 16) / 8);
    if (!r_.ok) return std::nullopt;
    std::optional<uint32_t> first;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t e = dir->offset + 16 + 8 * i;
      const uint32_t nameField = r_.U32(e), target = r_.U32(e + 4);
      if (!r_.ok) return std::nullopt;
      const bool isDir = (target & 0x80000000u) != 0;
      if (isDir != wantDir) continue;
      const uint32_t rel = target & 0x7FFFFFFFu;
      if ((nameField & 0x80000000u) == 0 && nameField == id) return rel;
      if (!first) first = rel;
    }
    return anyId ? first : std::nullopt;
  }

  TImageReader& img_;
  TReader r_;
  std::vector<TPeSection> sections_;
  uint32_t rsrcRva_ = 0;
};

// ---- ELF ----

std::optional<std::string> ElfVersionRecord(TImageReader& img) {
  uint8_t ident[16];
  if (!img.Read(0, ident, 16) || std::memcmp(ident, "\x7F" "ELF", 4) != 0) return std::nullopt;
  const bool is64 = ident[4] == 2;
  if ((ident[4] != 1 && !is64) || (ident[5] != 1 && ident[5] != 2)) return std::nullopt;
  TReader r{img, ident[5] == 2};
  const uint64_t shoff = is64 ? r.U64(0x28) : r.U32(0x20);
  const uint16_t shentsize = r.U16(is64 ? 0x3A : 0x2E);
  const uint16_t shnum = r.U16(is64 ? 0x3C : 0x30);
  const uint16_t shstrndx = r.U16(is64 ? 0x3E : 0x32);
  if (!r.ok || shoff == 0 || shentsize < (is64 ? 0x40 : 0x28) || shstrndx >= shnum)
    return std::nullopt;
  if (shoff > img.Size() || (img.Size() - shoff) / shentsize < shnum) return std::nullopt;

  struct TShdr {
    uint32_t name, type;
    uint64_t offset, size;
  };
  auto header = [&](uint64_t i) {
    const uint64_t h = shoff + i * shentsize;
    return TShdr{r.U32(h), r.U32(h + 4), is64 ? r.U64(h + 0x18) : r.U32(h + 0x10),
                 is64 ? r.U64(h + 0x20) : r.U32(h + 0x14)};
  };
  const TShdr strtab = header(shstrndx);
  if (!r.ok) return std::nullopt;
  const std::string wanted(kVersionSection);
  std::string name(wanted.size() + 1, '\0');
  for (uint16_t i = 0; i < shnum; ++i) {
    const TShdr s = header(i);
    if (!r.ok) return std::nullopt;
    constexpr uint32_t kNoBits = 8;
    if (s.type == kNoBits || s.name >= strtab.size || strtab.size - s.name < name.size()) continue;
    if (!img.Read(strtab.offset + s.name, name.data(), name.size())) continue;
    if (name.compare(0, wanted.size(), wanted) == 0 && name.back() == '\0')
      return ReadRange(img, s.offset, s.size);
  }
  return std::nullopt;
}

}  // namespace

bool TMemoryImage::Read(uint64_t off, void* dst, size_t n) {
  if (off > bytes_.size() || n > bytes_.size() - off) return false;
  if (n) std::memcpy(dst, bytes_.data() + off, n);
  return true;
}

std::optional<std::string> ExtractVersionRecord(TImageReader& image) {
  if (auto rec = TPeFile(image).VersionRecord()) return rec;
  return ElfVersionRecord(image);
}

std::optional<std::string> ReadVersionRecord(const std::filesystem::path& file) {
  TFileImage img(file);
  return ExtractVersionRecord(img);
}

}  // namespace tavo
