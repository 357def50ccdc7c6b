// The unsent replies of all connections together, counted against one limit. The listeners
// that share it are listed so that, past the limit, the largest backlog among all of them can
// be found and dropped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tavo {

class TServerSocket;

class TSendBudget {
 public:
  static constexpr size_t kDefaultLimit = 256u * 1024 * 1024;

  explicit TSendBudget(size_t limit = kDefaultLimit) : limit_(limit) {}
  TSendBudget(const TSendBudget&) = delete;
  TSendBudget& operator=(const TSendBudget&) = delete;

  size_t Limit() const { return limit_; }
  void SetLimit(size_t limit) { limit_ = limit; }
  size_t Total() const { return total_; }
  bool Exceeded() const { return total_ > limit_; }

  void Add(size_t n) { total_ += n; }
  void Remove(size_t n) { total_ -= std::min(n, total_); }

  void Attach(TServerSocket* s) { listeners_.push_back(s); }
  void Detach(TServerSocket* s) { std::erase(listeners_, s); }
  const std::vector<TServerSocket*>& Listeners() const { return listeners_; }

 private:
  size_t limit_;
  size_t total_ = 0;
  std::vector<TServerSocket*> listeners_;
};

}  // namespace tavo
