#include "protocol/WriteBatch.h"

#include "protocol/ServerSocket.h"

namespace tavo {

TWriteBatch::TScope::TScope(std::shared_ptr<TWriteBatch> batch) : batch_(std::move(batch)) {
  ++batch_->depth_;
}

TWriteBatch::TScope::~TScope() {
  if (--batch_->depth_ == 0) batch_->WriteAll();
}

void TWriteBatch::Join(std::shared_ptr<TTcpConnection> connection) {
  joined_.push_back(std::move(connection));
}

void TWriteBatch::WriteAll() noexcept {
  if (joined_.empty()) return;
  // Taken out first: what the connections do with their results may send again, and that
  // goes out at once (no scope is open now).
  std::vector<std::shared_ptr<TTcpConnection>> joined;
  joined.swap(joined_);
  writes_.clear();
  for (const auto& c : joined) writes_.push_back(c->BatchWrite());
  sender_.Run(writes_);
  for (size_t i = 0; i < joined.size(); ++i) joined[i]->BatchWritten(writes_[i].Result);
  // Kept for the next broadcast, unless one of unusual size grew it.
  joined.clear();
  if (joined.capacity() <= 4096 && joined_.empty()) joined_.swap(joined);
}

}  // namespace tavo
