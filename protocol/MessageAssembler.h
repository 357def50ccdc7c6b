// Reassembly of framed messages for one connection: chunks are joined from the chunk holding
// "#DATASTART#" to the chunk holding "#DATAEND#"; the markers are then removed and the text
// handed to the interpreter. A pending message is bounded so a client cannot grow it forever.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tavo {

class TMessageAssembler {
 public:
  static constexpr size_t kDefaultLimit = 1024 * 1024;

  explicit TMessageAssembler(size_t limit = kDefaultLimit) : limit_(limit) {}

  struct TResult {
    std::optional<std::string> Message;  // text for the interpreter, markers removed
    bool Overflowed = false;             // this chunk made the pending message too large
  };

  // One chunk as read from the connection.
  TResult Feed(const std::string& chunk);

  bool Collecting() const { return datanotready_; }
  size_t PendingSize() const { return completeincomestring_.size(); }

 private:
  size_t limit_;
  std::string completeincomestring_;
  bool datanotready_ = false;
  bool discarding_ = false;  // the rest of an oversized message is being skipped
};

// Removes the first "#DATASTART#", then the first "#DATAEND#".
std::string StripMarkers(std::string s);

}  // namespace tavo
