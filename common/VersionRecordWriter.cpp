#include "common/VersionRecordWriter.h"

#include "common/VersionRecord.h"
#include "common/Win1252.h"

namespace tavo {
namespace {

void PutU16(std::string& s, size_t off, uint16_t v) {
  s[off] = char(v & 0xFF);
  s[off + 1] = char(v >> 8);
}

void AppendU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

void Pad4(std::string& s) {
  while (s.size() % 4) s += '\0';
}

// One node: length, value length, type, key with NUL, padding, value, then each child aligned.
std::string Node(const std::string& key, uint16_t type, const std::string& value,
                 uint16_t valueLength, const std::vector<std::string>& children = {}) {
  std::string n(6, '\0');
  n += AnsiToUtf16LE(key);
  n.append(2, '\0');
  Pad4(n);
  n += value;
  for (const auto& c : children) {
    Pad4(n);
    n += c;
  }
  PutU16(n, 0, static_cast<uint16_t>(n.size()));
  PutU16(n, 2, valueLength);
  PutU16(n, 4, type);
  return n;
}

}  // namespace

std::string AnsiToUtf16LE(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    const char32_t cp = AnsiCharToCodePoint(c);
    out += char(cp & 0xFF);
    out += char((cp >> 8) & 0xFF);
  }
  return out;
}

std::string BuildVersionRecord(const TVersionRecordFields& fields) {
  std::string fixed;  // VS_FIXEDFILEINFO
  const auto& f = fields.FileVersion;
  const auto& p = fields.ProductVersion;
  AppendU32(fixed, 0xFEEF04BD);                          // signature
  AppendU32(fixed, 0x00010000);                          // structure version
  AppendU32(fixed, uint32_t(f[0]) << 16 | f[1]);
  AppendU32(fixed, uint32_t(f[2]) << 16 | f[3]);
  AppendU32(fixed, uint32_t(p[0]) << 16 | p[1]);
  AppendU32(fixed, uint32_t(p[2]) << 16 | p[3]);
  AppendU32(fixed, 0x3F);                                // flags mask
  AppendU32(fixed, 0);                                   // flags
  AppendU32(fixed, 0x00040004);                          // VOS_NT_WINDOWS32
  AppendU32(fixed, 1);                                   // VFT_APP
  AppendU32(fixed, 0);                                   // subtype
  AppendU32(fixed, 0);                                   // date
  AppendU32(fixed, 0);

  std::vector<std::string> strings;
  for (const auto& [key, value] : fields.Strings) {
    std::string v = AnsiToUtf16LE(value);
    v.append(2, '\0');
    strings.push_back(Node(key, 1, v, static_cast<uint16_t>(value.size() + 1)));
  }
  const TVersionTranslation tr{fields.Language, fields.CodePage};
  std::string table =
      Node(fields.TableName.empty() ? StringTableName(tr) : fields.TableName, 1, "", 0, strings);
  std::string sfi = Node("StringFileInfo", 1, "", 0, {table});
  std::string trValue;
  for (int i = 0; i < fields.TranslationCount; ++i)
    AppendU32(trValue, i == 0 ? uint32_t(fields.CodePage) << 16 | fields.Language : 0x04B00409u);
  std::string var =
      Node("Translation", 0, trValue, static_cast<uint16_t>(trValue.size()));
  std::string vfi = Node("VarFileInfo", 1, "", 0, {var});
  return Node("VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()), {sfi, vfi});
}

}  // namespace tavo
