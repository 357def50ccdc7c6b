// The text of one message while the interpreter consumes it. Blocks are cut out of it one at a
// time; re-copying and re-scanning the text after every cut made a message of many blocks cost
// time quadratic in its length. Here the characters stay where they arrived, a cut only unlinks
// them, and the positions of every tag are found once and kept up to date at the seams a cut
// leaves, so interpreting a message is linear in its length whatever it contains.
#pragma once

#include <cstdint>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

namespace tavo {

// The tags looked for in a message, with a look-up by their first two characters.
class TTagSet {
 public:
  explicit TTagSet(std::vector<std::string> tags);

  int Count() const { return static_cast<int>(tags_.size()); }
  const std::string& Tag(int id) const { return tags_[static_cast<size_t>(id)]; }
  size_t MaxLength() const { return maxLength_; }
  // Whether a tag can start with c.
  bool Starts(char c) const { return firstChar_[static_cast<unsigned char>(c)]; }
  // The tag that starts at p (avail characters readable there), or -1.
  int Match(const char* p, size_t avail) const;

 private:
  std::vector<std::string> tags_;
  size_t maxLength_ = 0;
  bool firstChar_[256] = {};
  std::vector<int16_t> bucketOf_;            // by the first two characters, -1 for none
  std::vector<std::vector<int>> buckets_;
};

class TMessageText {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  TMessageText(std::string text, const TTagSet& tags);
  TMessageText(const TMessageText&) = delete;
  TMessageText& operator=(const TMessageText&) = delete;

  // What a command handler may read. Both are exact for the text as it is now.
  // The whole text, built when asked for and kept until the next cut.
  const std::string& Str() const;
  // GetField of the whole text, walking only as far as the field.
  std::string Field(int n, char separator) const;
  // Characters walked by Str and Field so far; a message whose handlers read much more than
  // its own length is a client's attempt to stall the server.
  size_t ReadCost() const { return readCost_; }

  // What the interpreter uses. A position is the index a character had when the message
  // arrived; positions keep their order while characters are cut.
  bool Blank() const { return nonBlank_ == 0; }  // nothing above code 32 left
  bool HasLineFeed() const { return byteCount_[static_cast<unsigned char>('\n')] != 0; }
  uint64_t Cuts() const { return cuts_; }
  // Position of the first occurrence of a tag, or kNone.
  uint32_t First(int tag);
  // Characters from a up to b (a before b) counted up to limit: min(count, limit).
  uint32_t Distance(uint32_t a, uint32_t b, uint32_t limit) const;
  // Characters in front of position a counted up to limit.
  uint32_t CharsBefore(uint32_t a, uint32_t limit) const;
  // The characters from a through b inclusive.
  std::string Slice(uint32_t a, uint32_t b) const;
  // Cuts count characters starting at position a.
  void Cut(uint32_t a, uint32_t count);

 private:
  void Index(uint32_t pos, int tag);
  void Rescan(uint32_t before, uint32_t after);
  void Unlink(uint32_t i);

  std::string text_;
  const TTagSet& tags_;
  std::vector<uint32_t> next_, prev_;
  std::vector<int8_t> tagAt_;  // the tag that starts at each live position, or -1
  // Per tag: where it occurred on arrival, in order, with the first one not yet known to be
  // gone; and where cuts made it occur since. Entries whose tagAt_ no longer agrees are stale.
  using TMinHeap = std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>>;
  struct TOccurrences {
    std::vector<uint32_t> onArrival;
    size_t firstLeft = 0;
    TMinHeap sinceCuts;
  };
  std::vector<TOccurrences> occurrences_;
  uint32_t head_ = kNone, tail_ = kNone;
  uint32_t byteCount_[256] = {};
  size_t nonBlank_ = 0;
  uint64_t cuts_ = 0;
  mutable std::string built_;
  mutable uint64_t builtAt_ = UINT64_MAX;
  mutable size_t readCost_ = 0;
};

}  // namespace tavo
