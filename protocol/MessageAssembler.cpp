#include "protocol/MessageAssembler.h"

#include "common/StrUtils.h"
#include "protocol/WireFormat.h"

namespace tavo {

std::string StripMarkers(std::string s) {
  size_t p = s.find(kDataStart);
  if (p != std::string::npos) s.erase(p, kDataStart.size());
  p = s.find(kDataEnd);
  if (p != std::string::npos) s.erase(p, kDataEnd.size());
  return s;
}

TMessageAssembler::TResult TMessageAssembler::Feed(const std::string& chunk) {
  TResult r;
  if (Trim(chunk).empty()) return r;  // blank chunks are dropped, also while collecting
  const bool hasStart = Contains(chunk, kDataStart);
  const bool hasEnd = Contains(chunk, kDataEnd);
  std::string s;
  if (hasStart) {
    discarding_ = false;
    if (!hasEnd) {
      completeincomestring_ = chunk;
      datanotready_ = true;
      if (completeincomestring_.size() > limit_) {
        completeincomestring_.clear();
        completeincomestring_.shrink_to_fit();
        datanotready_ = false;
        discarding_ = true;
        r.Overflowed = true;
      }
      return r;
    }
    s = chunk;
  } else if (discarding_) {
    // Skip what is left of the oversized message up to and including its end marker.
    if (hasEnd) discarding_ = false;
    return r;
  } else if (datanotready_) {
    if (completeincomestring_.size() + chunk.size() > limit_) {
      completeincomestring_.clear();
      completeincomestring_.shrink_to_fit();
      datanotready_ = false;
      discarding_ = !hasEnd;
      r.Overflowed = true;
      return r;
    }
    completeincomestring_ += chunk;
    if (!hasEnd) return r;
    datanotready_ = false;
    s = std::move(completeincomestring_);
    completeincomestring_.clear();
  } else {
    s = chunk;
  }
  r.Message = StripMarkers(std::move(s));
  return r;
}

}  // namespace tavo
