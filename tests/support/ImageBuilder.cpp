#include "ImageBuilder.h"

namespace tavo::test {
namespace {

struct TBytes {
  std::string s;
  bool big = false;
  void Put(size_t off, uint64_t v, size_t n) {
    if (s.size() < off + n) s.resize(off + n, '\0');
    for (size_t i = 0; i < n; ++i)
      s[off + (big ? n - 1 - i : i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void Put(size_t off, const std::string& bytes) {
    if (s.size() < off + bytes.size()) s.resize(off + bytes.size(), '\0');
    s.replace(off, bytes.size(), bytes);
  }
};

size_t Align(size_t v, size_t a) { return (v + a - 1) / a * a; }

}  // namespace

std::string BuildPeImage(const std::string& record, const TPeOptions& opt) {
  constexpr uint32_t kRva = 0x1000, kRaw = 0x200;
  // Resource tree: root -> type directory -> name directory -> language data entry -> record.
  TBytes r;
  size_t at = 0;
  auto dir = [&](uint16_t ids) {
    const size_t d = at;
    at += 16 + 8 * size_t{ids};
    r.s.resize(at, '\0');
    r.Put(d + 14, ids, 2);
    return d;
  };
  const uint16_t types = opt.iconBeforeVersion ? 2 : 1;
  const size_t root = dir(types);
  const size_t iconDir = opt.iconBeforeVersion ? dir(0) : 0;
  const size_t nameDir = dir(1);
  const size_t langDir = dir(1);
  const size_t dataEntry = at;
  at += 16;
  const size_t recordAt = Align(at, 8);
  size_t e = root + 16;
  if (opt.iconBeforeVersion) {
    r.Put(e, 3, 4);  // RT_ICON
    r.Put(e + 4, 0x80000000u | iconDir, 4);
    e += 8;
  }
  r.Put(e, 16, 4);  // RT_VERSION
  r.Put(e + 4, 0x80000000u | nameDir, 4);
  r.Put(nameDir + 16, 1, 4);
  r.Put(nameDir + 20, 0x80000000u | langDir, 4);
  r.Put(langDir + 16, opt.language, 4);
  r.Put(langDir + 20, dataEntry, 4);
  r.Put(dataEntry, kRva + recordAt, 4);
  r.Put(dataEntry + 4, record.size(), 4);
  r.Put(recordAt, record);
  const size_t rsrcSize = r.s.size();

  TBytes f;
  f.Put(0, 0x5A4D, 2);  // "MZ"
  f.Put(0x3C, 0x40, 4);
  f.Put(0x40, 0x00004550, 4);  // "PE\0\0"
  const size_t coff = 0x44;
  const uint16_t optSize = opt.pe32plus ? 240 : 224;
  f.Put(coff, opt.pe32plus ? 0x8664 : 0x14C, 2);
  f.Put(coff + 2, 1, 2);  // one section
  f.Put(coff + 16, optSize, 2);
  f.Put(coff + 18, opt.pe32plus ? 0x0022 : 0x0102, 2);
  const size_t o = coff + 20;
  f.Put(o, opt.pe32plus ? 0x20B : 0x10B, 2);
  f.Put(o + 32, 0x1000, 4);  // section alignment
  f.Put(o + 36, 0x200, 4);   // file alignment
  const size_t numRva = opt.pe32plus ? 108 : 92, dirs = opt.pe32plus ? 112 : 96;
  f.Put(o + numRva, opt.noResourceDirectory ? 2 : 16, 4);
  if (!opt.noResourceDirectory) {
    f.Put(o + dirs + 16, kRva, 4);
    f.Put(o + dirs + 20, rsrcSize, 4);
  }
  const size_t sec = o + optSize;
  f.Put(sec, std::string(".rsrc\0\0\0", 8));
  f.Put(sec + 8, rsrcSize, 4);
  f.Put(sec + 12, kRva, 4);
  f.Put(sec + 16, Align(rsrcSize, 0x200), 4);
  f.Put(sec + 20, kRaw, 4);
  f.Put(sec + 36, 0x40000040u, 4);  // initialised data, readable
  f.Put(kRaw, r.s);
  f.s.resize(kRaw + Align(rsrcSize, 0x200), '\0');
  return f.s;
}

std::string BuildElfImage(const std::string& record, const TElfOptions& opt) {
  TBytes f;
  f.big = opt.bigEndian;
  const size_t ehsize = opt.is64 ? 64 : 52, shentsize = opt.is64 ? 64 : 40;
  f.Put(0, std::string("\x7F" "ELF", 4));
  f.s.resize(ehsize, '\0');
  f.s[4] = opt.is64 ? 2 : 1;
  f.s[5] = opt.bigEndian ? 2 : 1;
  f.s[6] = 1;
  f.Put(16, 2, 2);                            // ET_EXEC
  f.Put(18, opt.is64 ? 62 : 3, 2);            // machine
  f.Put(20, 1, 4);                            // version
  const std::string strtab = std::string("\0.shstrtab\0", 11) + opt.sectionName + '\0';
  const size_t strAt = ehsize, recAt = Align(strAt + strtab.size(), 4);
  f.Put(strAt, strtab);
  f.Put(recAt, record);
  const size_t shoff = Align(recAt + record.size(), 8);
  if (opt.is64) {
    f.Put(0x28, shoff, 8);
    f.Put(0x34, ehsize, 2);
    f.Put(0x3A, shentsize, 2);
    f.Put(0x3C, 3, 2);
    f.Put(0x3E, 1, 2);
  } else {
    f.Put(0x20, shoff, 4);
    f.Put(0x28, ehsize, 2);
    f.Put(0x2E, shentsize, 2);
    f.Put(0x30, 3, 2);
    f.Put(0x32, 1, 2);
  }
  auto section = [&](size_t i, uint32_t name, uint32_t type, size_t off, size_t size) {
    const size_t h = shoff + i * shentsize;
    f.Put(h, name, 4);
    f.Put(h + 4, type, 4);
    if (opt.is64) {
      f.Put(h + 0x18, off, 8);
      f.Put(h + 0x20, size, 8);
    } else {
      f.Put(h + 0x10, off, 4);
      f.Put(h + 0x14, size, 4);
    }
  };
  section(0, 0, 0, 0, 0);
  section(1, 1, 3, strAt, strtab.size());    // SHT_STRTAB
  section(2, 11, 1, recAt, record.size());   // SHT_PROGBITS
  f.s.resize(shoff + 3 * shentsize, '\0');
  return f.s;
}

}  // namespace tavo::test
