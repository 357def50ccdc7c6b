// A database that passes everything to a real one but fails the statements that contain given
// parts, as a database that rejects them would. A commit counts as the statement "COMMIT".
// It counts the queries it opens, and keeps a trail of what it was asked to do: the first word
// of each statement, BEGIN, COMMIT, ROLLBACK and DATA_VERSION. Unless told otherwise it has no
// data version, like a backend that cannot tell whether anything changed: every station list
// is then read from the database, as tests that write through the server's own connection
// need. GoDown() plays a database outage.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "database/Database.h"

namespace tavo::test {

class TFailingDatabase final : public TDatabase {
 public:
  explicit TFailingDatabase(TDatabase& inner) : inner_(inner) {}
  // Fails every statement with the part, or with occurrence n > 0 only the n-th from now.
  void FailOn(std::string part, int occurrence = 0) {
    rules_.push_back({std::move(part), occurrence});
  }
  void Heal() {
    rules_.clear();
    down_ = false;
  }
  // Until Heal, every statement is refused as by a connection known to be down (EDatabaseDown).
  void GoDown() { down_ = true; }
  void PassDataVersion() { passDataVersion_ = true; }
  size_t Opens = 0;
  std::vector<std::string> Trail;

  TDbmsKind Dbms() const override { return inner_.Dbms(); }
  bool Connected() const override { return inner_.Connected(); }
  void Close() override { inner_.Close(); }
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& params) override {
    Trail.push_back(sql.substr(0, sql.find(' ')));
    Check(sql);
    ++Opens;
    return inner_.Open(sql, params);
  }
  std::optional<int64_t> DataVersion() override {
    Trail.push_back("DATA_VERSION");
    if (down_) Check("");
    if (!passDataVersion_) return std::nullopt;
    return inner_.DataVersion();
  }
  int64_t Execute(const std::string& sql, const TSqlParams& params) override {
    Trail.push_back(sql.substr(0, sql.find(' ')));
    Check(sql);
    return inner_.Execute(sql, params);
  }
  void BeginTransaction() override {
    Trail.push_back("BEGIN");
    if (down_) Check("BEGIN");
    inner_.BeginTransaction();
  }
  void CommitTransaction() override {
    Trail.push_back("COMMIT");
    Check("COMMIT");
    inner_.CommitTransaction();
  }
  void RollbackTransaction() noexcept override {
    Trail.push_back("ROLLBACK");
    inner_.RollbackTransaction();
  }

 private:
  struct TRule {
    std::string Part;
    int Left;  // 0: every time
  };
  void Check(const std::string& sql) {
    if (down_) throw EDatabaseDown("The database cannot be reached: injected outage");
    for (auto& r : rules_) {
      if (sql.find(r.Part) == std::string::npos) continue;
      if (r.Left == 0 || --r.Left == 0) throw EDatabaseError("injected failure");
    }
  }
  TDatabase& inner_;
  std::vector<TRule> rules_;
  bool passDataVersion_ = false;
  bool down_ = false;
};

}  // namespace tavo::test
