#include "common/VersionRecord.h"

#include <cstdio>

#include "common/Win1252.h"

namespace tavo {
namespace {

struct TNode {
  size_t end = 0;           // one past the node's last byte (clamped to its parent)
  std::u16string key;
  size_t valueBegin = 0;
  size_t valueBytes = 0;    // the value as declared, clamped to the node
  size_t childrenBegin = 0;
};

uint16_t U16(std::string_view b, size_t off) {
  return uint16_t(uint8_t(b[off]) | uint8_t(b[off + 1]) << 8);
}

size_t Align4(size_t v) { return (v + 3) & ~size_t{3}; }

// The node at off, inside [off, limit). Offsets are from the record's start, which is 32-bit
// aligned wherever the record comes from.
std::optional<TNode> ParseNode(std::string_view rec, size_t off, size_t limit) {
  if (off > limit || limit - off < 6) return std::nullopt;
  const uint16_t length = U16(rec, off), valueLength = U16(rec, off + 2), type = U16(rec, off + 4);
  if (length < 6) return std::nullopt;
  TNode n;
  n.end = std::min<size_t>(off + length, limit);
  size_t p = off + 6;
  for (;;) {
    if (n.end - p < 2) return std::nullopt;  // key without its NUL
    const char16_t c = U16(rec, p);
    p += 2;
    if (c == 0) break;
    n.key += c;
  }
  n.valueBegin = std::min(Align4(p), n.end);
  // Text values count UTF-16 characters, binary ones bytes.
  n.valueBytes = std::min<size_t>(type == 1 ? size_t{valueLength} * 2 : valueLength,
                                  n.end - n.valueBegin);
  n.childrenBegin = std::min(Align4(n.valueBegin + n.valueBytes), n.end);
  return n;
}

bool SameKey(const std::u16string& a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = char16_t(x + 32);
    if (y >= 'A' && y <= 'Z') y = char(y + 32);
    if (x != char16_t(static_cast<unsigned char>(y))) return false;
  }
  return true;
}

// The first child of parent whose key is `key`. Each child takes at least 6 bytes, so the walk
// ends within the 64 KiB a record can have.
std::optional<TNode> Child(std::string_view rec, const TNode& parent, std::string_view key) {
  size_t p = parent.childrenBegin;
  while (p < parent.end) {
    auto c = ParseNode(rec, p, parent.end);
    if (!c) return std::nullopt;
    if (SameKey(c->key, key)) return c;
    p = Align4(c->end);
  }
  return std::nullopt;
}

std::optional<TNode> Root(std::string_view rec) {
  auto root = ParseNode(rec, 0, rec.size());
  if (!root || !SameKey(root->key, "VS_VERSION_INFO")) return std::nullopt;
  return root;
}

}  // namespace

std::optional<TVersionTranslation> FirstTranslation(std::string_view rec) {
  auto root = Root(rec);
  if (!root) return std::nullopt;
  auto var = Child(rec, *root, "VarFileInfo");
  if (!var) return std::nullopt;
  auto tr = Child(rec, *var, "Translation");
  if (!tr || tr->valueBytes < 4) return std::nullopt;
  return TVersionTranslation{U16(rec, tr->valueBegin), U16(rec, tr->valueBegin + 2)};
}

std::string StringTableName(const TVersionTranslation& t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.4x%.4x", unsigned{t.Language}, unsigned{t.CodePage});
  return buf;
}

std::optional<std::string> QueryVersionString(std::string_view rec, std::string_view table,
                                              std::string_view key) {
  auto root = Root(rec);
  if (!root) return std::nullopt;
  auto sfi = Child(rec, *root, "StringFileInfo");
  if (!sfi) return std::nullopt;
  auto tab = Child(rec, *sfi, table);
  if (!tab) return std::nullopt;
  auto str = Child(rec, *tab, key);
  if (!str) return std::nullopt;
  // The text runs to its NUL; tools disagree on whether the value length counts bytes or
  // characters, so only a declared length of 0 is taken to mean "no value".
  std::string utf16;
  if (str->valueBytes > 0) {
    for (size_t p = str->valueBegin; str->end - p >= 2; p += 2) {
      if (U16(rec, p) == 0) break;
      utf16.append(rec.data() + p, 2);
    }
  }
  return Utf16LEToAnsi(utf16);
}

}  // namespace tavo
