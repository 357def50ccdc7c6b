// Writes to many sockets at once. A broadcast is one short write to each of many connections,
// and one system call per connection costs as much as the kernel's own work for it; io_uring
// hands the kernel all of them in one call. Where the kernel refuses io_uring (disabled, too
// old, filtered), every write is a send() of its own, as before.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <sys/types.h>

namespace tavo {

class TMultiSend {
 public:
  struct TWrite {
    int Fd = -1;  // negative: skipped, Result stays 0
    const char* Data = nullptr;
    size_t Size = 0;
    // Bytes taken by the kernel, or -errno (-EAGAIN when the socket had no room).
    ssize_t Result = 0;
  };

  // useRing false: always one send() per write, as where io_uring is refused.
  explicit TMultiSend(bool useRing = true);
  ~TMultiSend();
  TMultiSend(const TMultiSend&) = delete;
  TMultiSend& operator=(const TMultiSend&) = delete;

  // Never blocks: every write takes what the socket has room for now, at most once. Sockets
  // must be stream sockets; no SIGPIPE is raised.
  void Run(std::span<TWrite> writes) noexcept;

  // False when the writes go one by one; Unavailable() then says why.
  bool Batched();
  const std::string& Unavailable();

 private:
  struct TRing;
  void Start();
  static void SendEach(std::span<TWrite> writes) noexcept;
  unsigned Reap(std::span<TWrite> writes) noexcept;
  void Abandon(std::span<TWrite> writes, int error) noexcept;

  bool useRing_;
  bool started_ = false;
  std::unique_ptr<TRing> ring_;  // null when not batched
  std::string unavailable_;
};

}  // namespace tavo
