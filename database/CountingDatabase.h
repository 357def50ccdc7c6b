// TCountingDatabase: a database connection that counts its statements and their failures for
// the operating metrics, and otherwise passes everything through.
#pragma once

#include <memory>
#include <optional>

#include "common/Metrics.h"
#include "database/Database.h"

namespace tavo {

class TCountingDatabase final : public TDatabase {
 public:
  TCountingDatabase(std::unique_ptr<TDatabase> inner, TMetrics& metrics)
      : inner_(std::move(inner)), metrics_(metrics) {}

  TDbmsKind Dbms() const override { return inner_->Dbms(); }
  std::string Describe() const override { return inner_->Describe(); }
  bool Connected() const override { return inner_->Connected(); }
  void Close() override { inner_->Close(); }
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params = {}) override;
  int64_t Execute(const std::string& sql, const TSqlParams& params = {}) override;
  void CheckHealth() override;
  std::optional<int64_t> DataVersion() override;
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() noexcept override { inner_->RollbackTransaction(); }

 private:
  template <typename F>
  auto Counted(F&& f) -> decltype(f());

  std::unique_ptr<TDatabase> inner_;
  TMetrics& metrics_;
};

}  // namespace tavo
