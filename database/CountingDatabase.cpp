#include "database/CountingDatabase.h"

namespace tavo {

template <typename F>
auto TCountingDatabase::Counted(F&& f) -> decltype(f()) {
  metrics_.DbStatements.fetch_add(1, std::memory_order_relaxed);
  try {
    return f();
  } catch (...) {
    metrics_.DbFailures.fetch_add(1, std::memory_order_relaxed);
    throw;
  }
}

std::unique_ptr<TQuery> TCountingDatabase::Open(const std::string& sql, const TSqlParams& params) {
  // A read limit is set on this wrapper; the connection behind it is the one that reads.
  inner_->SetReadLimit(ReadLimit());
  return Counted([&] { return inner_->Open(sql, params); });
}

int64_t TCountingDatabase::Execute(const std::string& sql, const TSqlParams& params) {
  return Counted([&] { return inner_->Execute(sql, params); });
}

void TCountingDatabase::CheckHealth() {
  Counted([&] { inner_->CheckHealth(); });
}

std::optional<int64_t> TCountingDatabase::DataVersion() {
  return Counted([&] { return inner_->DataVersion(); });
}

void TCountingDatabase::BeginTransaction() {
  Counted([&] { inner_->BeginTransaction(); });
}

void TCountingDatabase::CommitTransaction() {
  Counted([&] { inner_->CommitTransaction(); });
}

}  // namespace tavo
