// TEventStream: one browser's Server-Sent Events stream of one feed. The HTTP thread asks it
// for bytes; it hands out the rest of the event it is sending, then a clock event when one is
// due (the first one also sets the browser's reconnection delay), then the feed's newest
// rendering if this browser has not had it. With nothing to send it parks the connection
// (suspend) until Wake. Nothing queues: a browser that falls behind skips straight to the
// newest rendering, so a stream holds one shared rendering at most, whatever the browser does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "web/FeedBoard.h"

namespace tavo {

class TEventStream {
 public:
  struct THooks {
    std::function<void()> Suspend;  // called from Read, on the HTTP thread
    std::function<void()> Resume;   // called from Wake, on any thread
    std::function<std::string()> ClockEvent;
  };
  // Reconnection delay the browser is told, in milliseconds.
  static constexpr int kRetryMs = 1000;

  TEventStream(const TFeedBoard& board, std::string key, THooks hooks);

  const std::string& Key() const { return key_; }

  // Copies up to max bytes into buf: their number; 0 when the connection was parked;
  // -1 when the stream is closed.
  ssize_t Read(char* buf, size_t max);
  // There may be something new: unparks a parked connection.
  void Wake();
  // A clock event is due (the heartbeat that shows the browser the server is there).
  void Heartbeat();
  // Ends the stream at its next read; unparks it so that the read comes.
  void Close();

 private:
  void WakeLocked();

  const TFeedBoard& board_;
  const std::string key_;
  THooks hooks_;
  std::mutex mutex_;
  TFeedBoard::TEvent sending_;  // what is being sent, from offset_
  size_t offset_ = 0;
  uint64_t version_ = 0;  // the feed's version last taken
  bool clockDue_ = true;
  bool first_ = true;
  bool parked_ = false;
  bool closed_ = false;
};

}  // namespace tavo
