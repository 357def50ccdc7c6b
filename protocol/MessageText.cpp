#include "protocol/MessageText.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/StrUtils.h"

namespace tavo {

namespace {
uint16_t FirstTwo(const char* p) {
  return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) << 8 |
                               static_cast<unsigned char>(p[1]));
}
}  // namespace

TTagSet::TTagSet(std::vector<std::string> tags) : tags_(std::move(tags)), bucketOf_(65536, -1) {
  if (tags_.size() > 127) throw std::invalid_argument("too many tags");
  for (size_t id = 0; id < tags_.size(); ++id) {
    const std::string& t = tags_[id];
    if (t.size() < 2) throw std::invalid_argument("a tag needs two characters");
    if (t.size() > 120) throw std::invalid_argument("tag too long");
    maxLength_ = std::max(maxLength_, t.size());
    firstChar_[static_cast<unsigned char>(t[0])] = true;
    int16_t& b = bucketOf_[FirstTwo(t.data())];
    if (b < 0) {
      b = static_cast<int16_t>(buckets_.size());
      buckets_.emplace_back();
    }
    buckets_[static_cast<size_t>(b)].push_back(static_cast<int>(id));
  }
}

int TTagSet::Match(const char* p, size_t avail) const {
  if (avail < 2 || !Starts(p[0])) return -1;
  const int16_t b = bucketOf_[FirstTwo(p)];
  if (b < 0) return -1;
  for (int id : buckets_[static_cast<size_t>(b)]) {
    const std::string& t = tags_[static_cast<size_t>(id)];
    if (t.size() <= avail && std::memcmp(p, t.data(), t.size()) == 0) return id;
  }
  return -1;
}

TMessageText::TMessageText(std::string text, const TTagSet& tags)
    : text_(std::move(text)), tags_(tags) {
  if (text_.size() >= kNone) throw std::length_error("message too long");
  const uint32_t n = static_cast<uint32_t>(text_.size());
  next_.resize(n);
  prev_.resize(n);
  tagAt_.assign(n, -1);
  std::vector<std::vector<uint32_t>> found(static_cast<size_t>(tags_.Count()));
  for (uint32_t i = 0; i < n; ++i) {
    next_[i] = i + 1 < n ? i + 1 : kNone;
    prev_[i] = i > 0 ? i - 1 : kNone;
    const unsigned char c = static_cast<unsigned char>(text_[i]);
    ++byteCount_[c];
    if (c > 32) ++nonBlank_;
    const int tag = tags_.Starts(text_[i]) ? tags_.Match(text_.data() + i, n - i) : -1;
    if (tag >= 0) {
      tagAt_[i] = static_cast<int8_t>(tag);
      found[static_cast<size_t>(tag)].push_back(i);
    }
  }
  if (n > 0) {
    head_ = 0;
    tail_ = n - 1;
  }
  occurrences_.resize(found.size());
  for (size_t t = 0; t < found.size(); ++t) occurrences_[t].onArrival = std::move(found[t]);
}

const std::string& TMessageText::Str() const {
  if (builtAt_ != cuts_) {
    built_.clear();
    for (uint32_t i = head_; i != kNone; i = next_[i]) built_ += text_[i];
    readCost_ += built_.size();
    builtAt_ = cuts_;
  }
  return built_;
}

std::string TMessageText::Field(int n, char separator) const {
  // As GetField: field n starts behind the n-th separator; past the last one it is field 0.
  const uint32_t separators = byteCount_[static_cast<unsigned char>(separator)];
  if (n < 0 || static_cast<uint32_t>(n) > separators) n = 0;
  uint32_t i = head_;
  for (int seen = 0; seen < n; i = next_[i]) {
    ++readCost_;
    if (text_[i] == separator) ++seen;
  }
  std::string field;
  for (; i != kNone && text_[i] != separator; i = next_[i]) field += text_[i];
  readCost_ += field.size();
  return Trim(field);
}

uint32_t TMessageText::First(int tag) {
  TOccurrences& o = occurrences_[static_cast<size_t>(tag)];
  // A stale entry stays stale: a tag formed again at the same place is in sinceCuts.
  while (o.firstLeft < o.onArrival.size() && tagAt_[o.onArrival[o.firstLeft]] != tag) ++o.firstLeft;
  while (!o.sinceCuts.empty() && tagAt_[o.sinceCuts.top()] != tag) o.sinceCuts.pop();
  const uint32_t a = o.firstLeft < o.onArrival.size() ? o.onArrival[o.firstLeft] : kNone;
  const uint32_t b = o.sinceCuts.empty() ? kNone : o.sinceCuts.top();
  return std::min(a, b);
}

uint32_t TMessageText::Distance(uint32_t a, uint32_t b, uint32_t limit) const {
  uint32_t d = 0;
  for (uint32_t i = a; i != b && i != kNone && d < limit; i = next_[i]) ++d;
  return d;
}

uint32_t TMessageText::CharsBefore(uint32_t a, uint32_t limit) const {
  uint32_t d = 0;
  for (uint32_t i = prev_[a]; i != kNone && d < limit; i = prev_[i]) ++d;
  return d;
}

std::string TMessageText::Slice(uint32_t a, uint32_t b) const {
  std::string s;
  for (uint32_t i = a; i != kNone; i = next_[i]) {
    s += text_[i];
    if (i == b) break;
  }
  return s;
}

void TMessageText::Unlink(uint32_t i) {
  const unsigned char c = static_cast<unsigned char>(text_[i]);
  --byteCount_[c];
  if (c > 32) --nonBlank_;
  tagAt_[i] = -1;
}

void TMessageText::Cut(uint32_t a, uint32_t count) {
  if (count == 0 || a == kNone) return;
  const uint32_t before = prev_[a];
  uint32_t i = a;
  for (uint32_t k = 0; k < count && i != kNone; ++k) {
    Unlink(i);
    i = next_[i];
  }
  const uint32_t after = i;
  (before == kNone ? head_ : next_[before]) = after;
  (after == kNone ? tail_ : prev_[after]) = before;
  ++cuts_;
  Rescan(before, after);
}

void TMessageText::Index(uint32_t pos, int tag) {
  tagAt_[pos] = static_cast<int8_t>(tag);
  occurrences_[static_cast<size_t>(tag)].sinceCuts.push(pos);
}

// After a cut between before and after: tags that ran into the cut are gone, and the
// characters that now meet can form new ones. Only a tag's length either side can matter.
void TMessageText::Rescan(uint32_t before, uint32_t after) {
  const size_t reach = tags_.MaxLength() - 1;
  char buf[256];
  uint32_t pos[256];
  if (2 * reach > sizeof(buf)) throw std::length_error("tag too long");
  size_t left = 0;
  for (uint32_t i = before; i != kNone && left < reach; i = prev_[i]) pos[left++] = i;
  std::reverse(pos, pos + left);
  for (size_t k = 0; k < left; ++k) buf[k] = text_[pos[k]];
  size_t len = left;
  for (uint32_t j = after; j != kNone && len < left + reach; j = next_[j]) {
    buf[len] = text_[j];
    pos[len++] = j;
  }
  for (size_t s = 0; s < left; ++s) {
    const int old = tagAt_[pos[s]];
    if (old >= 0 && s + tags_.Tag(old).size() > left) tagAt_[pos[s]] = -1;  // ran into the cut
    if (tagAt_[pos[s]] >= 0 || !tags_.Starts(buf[s])) continue;
    const int tag = tags_.Match(buf + s, len - s);
    if (tag >= 0 && s + tags_.Tag(tag).size() > left) Index(pos[s], tag);
  }
}

}  // namespace tavo
