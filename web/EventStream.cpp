#include "web/EventStream.h"

#include <algorithm>
#include <cstring>

namespace tavo {

TEventStream::TEventStream(const TFeedBoard& board, std::string key, THooks hooks)
    : board_(board), key_(std::move(key)), hooks_(std::move(hooks)) {}

ssize_t TEventStream::Read(char* buf, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return -1;
  if (!sending_ || offset_ >= sending_->size()) {
    sending_.reset();
    offset_ = 0;
    if (clockDue_) {
      clockDue_ = false;
      std::string clock = hooks_.ClockEvent();
      if (first_) clock = "retry: " + std::to_string(kRetryMs) + "\n" + clock;
      first_ = false;
      sending_ = std::make_shared<const std::string>(std::move(clock));
    } else {
      TFeedBoard::TLatest latest = board_.Latest(key_);
      if (latest.Event && latest.Version != version_) {
        version_ = latest.Version;
        sending_ = std::move(latest.Event);
      }
    }
  }
  if (!sending_) {
    parked_ = true;
    hooks_.Suspend();
    return 0;
  }
  const size_t n = std::min(max, sending_->size() - offset_);
  std::memcpy(buf, sending_->data() + offset_, n);
  offset_ += n;
  return static_cast<ssize_t>(n);
}

void TEventStream::WakeLocked() {
  if (!parked_) return;
  parked_ = false;
  hooks_.Resume();
}

void TEventStream::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  WakeLocked();
}

void TEventStream::Heartbeat() {
  std::lock_guard<std::mutex> lock(mutex_);
  clockDue_ = true;
  WakeLocked();
}

void TEventStream::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  WakeLocked();
}

}  // namespace tavo
