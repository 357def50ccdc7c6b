// Database outages below the calls: the journal's file format and its failures, the
// reconnecting connection, and the call log's writer keeping writes and replaying them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "database/CallLogWriter.h"
#include "database/OutageJournal.h"
#include "database/ReconnectingDatabase.h"
#include "database/SqliteDatabase.h"
#include "support/TestSupport.h"

namespace tavo::test {
namespace {

// A backend connection whose link can be cut: while the shared switch is on, every statement
// fails as a lost connection does; after `left` more statements it turns the switch on itself.
class TCutDatabase final : public TDatabase {
 public:
  TCutDatabase(std::unique_ptr<TDatabase> inner, std::atomic<bool>& cut, std::atomic<int>& left)
      : inner_(std::move(inner)), cut_(cut), left_(left) {}
  bool Connected() const override { return inner_->Connected(); }
  void Close() override { inner_->Close(); }
  std::unique_ptr<TQuery> Open(const std::string& sql, const TSqlParams& p) override {
    Check();
    return inner_->Open(sql, p);
  }
  int64_t Execute(const std::string& sql, const TSqlParams& p) override {
    Check();
    return inner_->Execute(sql, p);
  }
  std::optional<int64_t> DataVersion() override {
    Check();
    return inner_->DataVersion();
  }
  void BeginTransaction() override {
    Check();
    inner_->BeginTransaction();
  }
  void CommitTransaction() override {
    Check();
    inner_->CommitTransaction();
  }
  void RollbackTransaction() noexcept override { inner_->RollbackTransaction(); }

 private:
  void Check() {
    if (left_ > 0 && --left_ == 0) cut_ = true;
    if (cut_) throw EDatabaseUnreachable("server closed the connection unexpectedly");
  }
  std::unique_ptr<TDatabase> inner_;
  std::atomic<bool>& cut_;
  std::atomic<int>& left_;
};

class OutageTest : public ::testing::Test {
 protected:
  OutageTest() {
    journal.Load();
    writer.SetJournal(&journal);
    writer.SetOnCallWritten([this](uint64_t key, int32_t lopnr, bool) { numbered[key] = lopnr; });
  }
  std::unique_ptr<TDatabase> Open() {
    ++opens;
    if (cut) throw EDatabaseError("could not connect to server: Connection refused");
    return std::make_unique<TCutDatabase>(std::make_unique<TSqliteDatabase>(file_, nullptr, false),
                                          cut, left);
  }
  // Waits for the reconnect thread's fresh connection and installs it.
  bool Reconnect() {
    for (int i = 0; i < 200 && !db->ReconnectWaiting(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!db->ReconnectWaiting()) return false;
    db->Resume();
    return db->Up();
  }
  std::unique_ptr<TQuery> Log() {
    TSqliteDatabase look(file_);
    return look.Open("SELECT * FROM CALLLOG ORDER BY LOPNR");
  }
  TNewCall Call(int station, int resource, int second) {
    return TNewCall{station, resource, false, EncodeDateTime(2026, 12, 10, 9, 0, second, 250)};
  }
  size_t Entries(TEventType type, const std::string& part) {
    size_t n = 0;
    for (const auto& e : env.sink->Entries())
      if (e.Type == type && e.Message.find(part) != std::string::npos) ++n;
    return n;
  }

  TLogEnv env;
  std::filesystem::path file_ = env.dir / "test.db";
  std::atomic<bool> cut{false};
  std::atomic<int> left{0};
  int opens = 0;
  std::unique_ptr<TReconnectingDatabase> db = [this] {
    TSqliteDatabase created(file_);  // a new file, with the schema
    return std::make_unique<TReconnectingDatabase>(Open(), [this] { return Open(); }, env.log,
                                                   "test.db");
  }();
  TOutageJournal journal{env.dir / "TAVO.journal", env.log};
  TCallLogWriter writer{*db, env.log};
  std::map<uint64_t, int32_t> numbered;
};

TEST(OutageJournal, RecordsReadBackWhateverTheirTextHolds) {
  const std::string values[] = {"", "plain", "tab\there", "line\nfeed\r\n", "back\\slash\\t",
                                "R\xF6ntgen \xA4", "=equals=", "#hash"};
  for (const std::string& v : values) {
    TJournalRecord r{"call", {{"key", "7"}, {"text", v}, {"x.y", "1"}}};
    const std::string line = r.ToLine();
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const TJournalRecord back = TJournalRecord::FromLine(line);
    EXPECT_EQ(back.Kind, "call");
    EXPECT_EQ(back.Fields, r.Fields) << line;
  }
  const std::string good = TJournalRecord{"confirm", {{"lopnr", "12"}}}.ToLine();
  std::string damaged = good;
  damaged[8] = '3';
  for (const std::string& bad : {damaged, good.substr(0, good.size() - 2), std::string("confirm")})
    EXPECT_THROW(TJournalRecord::FromLine(bad), std::invalid_argument) << bad;
}

TEST(OutageJournal, LoadDropsACutOffLastRecordAndSetsADamagedOneAside) {
  TLogEnv env;
  const auto file = env.dir / "j";
  const std::string a = TJournalRecord{"call", {{"key", "41"}}}.ToLine();
  const std::string b = TJournalRecord{"confirm", {{"key", "41"}}}.ToLine();
  std::string damaged = b;
  damaged[0] = 'k';
  WriteFile(file, "# comment\n" + a + "\n" + damaged + "\n" + b + "\n" + b.substr(0, 10));
  TOutageJournal journal(file, env.log);
  journal.Load();
  ASSERT_EQ(journal.Size(), 2u);
  EXPECT_EQ(journal.Records()[1].Kind, "confirm");
  EXPECT_EQ(journal.NextKey(), 42u);  // never a key an earlier process gave
  EXPECT_EQ(ReadFile(journal.RejectedFile()), damaged + "\n");
  EXPECT_TRUE(env.sink->Contains("set aside"));
  EXPECT_TRUE(env.sink->Contains("cut off"));
  // Written afresh without the two: a second load finds the same records and nothing to drop.
  TOutageJournal again(file, env.log);
  env.sink->Clear();
  again.Load();
  EXPECT_EQ(again.Size(), 2u);
  EXPECT_TRUE(env.sink->Entries().empty());
}

TEST(OutageJournal, RecordsTheFileCannotTakeAreHeldUntilItCan) {
  TLogEnv env;
  const auto dir = env.dir / "missing";
  TOutageJournal journal(dir / "TAVO.journal", env.log);
  EXPECT_FALSE(journal.Append({"call", {{"key", "1"}}}));
  EXPECT_FALSE(journal.Append({"call", {{"key", "2"}}}));
  EXPECT_FALSE(journal.InStep());
  EXPECT_FALSE(journal.Problem().empty());
  size_t errors = 0;
  for (const auto& e : env.sink->Entries()) errors += e.Type == TEventType::Error;
  EXPECT_EQ(errors, 1u);  // said once, not per record
  std::filesystem::create_directory(dir);
  EXPECT_TRUE(journal.Append({"call", {{"key", "3"}}}));
  EXPECT_TRUE(journal.InStep());
  TOutageJournal reread(dir / "TAVO.journal", env.log);
  reread.Load();
  ASSERT_EQ(reread.Size(), 3u);
  EXPECT_EQ(reread.Records()[0].Get("key"), "1");
}

TEST_F(OutageTest, DownRefusesAtOnceReconnectsAndReplaysBeforeItIsUp) {
  db->SetOnBack([this] { return std::to_string(writer.WriteJournal()) + " written"; });
  EXPECT_EQ(writer.Add(Call(1, 3, 0)).Lopnr, 1);
  cut = true;
  const TCallLogRef kept = writer.Add(Call(2, 3, 1));  // the failure that reveals the outage
  EXPECT_TRUE(kept.Kept());
  EXPECT_FALSE(db->Up());
  EXPECT_THROW(db->Open("SELECT 1"), EDatabaseDown);
  EXPECT_FALSE(writer.Edit(1, TCallLogEdit::Coming, 4, EncodeDateTime(2026, 12, 10, 9, 1, 0)));
  EXPECT_FALSE(writer.Edit(kept, TCallLogEdit::Confirm, 0, EncodeDateTime(2026, 12, 10, 9, 2, 0)));
  EXPECT_EQ(writer.Add(Call(3, 5, 3)).Lopnr, 0);
  EXPECT_EQ(journal.Size(), 4u);
  EXPECT_EQ(Entries(TEventType::Error, "was lost: server closed the connection unexpectedly"), 1u);
  EXPECT_EQ(env.log.ErrorCount(), 0);

  cut = false;
  ASSERT_TRUE(Reconnect());
  EXPECT_EQ(db->Outages(), 1u);
  EXPECT_TRUE(journal.Empty());
  EXPECT_EQ(Entries(TEventType::Information, "is back after"), 1u);
  EXPECT_EQ(Entries(TEventType::Information, "; 4 written"), 1u);
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 3u);
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 4);
  log->Next();
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 2);
  EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
  log->Next();
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 3);
  EXPECT_EQ(numbered[kept.Key], 2);
  // Up again: written straight away, numbers going on.
  EXPECT_EQ(writer.Add(Call(4, 3, 9)).Lopnr, 4);
}

TEST_F(OutageTest, AReplayThatLosesTheDatabaseStopsAndTheSameOutageGoesOn) {
  db->SetOnBack([this] { return std::to_string(writer.WriteJournal()) + " written"; });
  cut = true;
  for (int i = 0; i < 3; ++i) writer.Add(Call(i + 1, 3, i));
  cut = false;
  left = 7;  // the link goes again while the second record is being written
  for (int i = 0; i < 100 && !db->ReconnectWaiting(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  db->Resume();
  EXPECT_FALSE(db->Up());
  EXPECT_EQ(journal.Size(), 2u);  // the first is in, the rest kept
  EXPECT_EQ(Log()->RecordCount(), 1u);
  EXPECT_EQ(db->Outages(), 1u);
  EXPECT_EQ(Entries(TEventType::Error, "was lost"), 1u);
  cut = false;
  left = 0;
  ASSERT_TRUE(Reconnect());
  EXPECT_EQ(Log()->RecordCount(), 3u);
  EXPECT_TRUE(journal.Empty());
}

// A kept call whose row reached the database before the connection broke (or before a crash
// ended an earlier replay) is not written twice; records the database refuses are set aside
// and the rest goes on.
TEST_F(OutageTest, ReplayWritesEachCallOnceAndSetsRefusedRecordsAside) {
  const TNewCall there = Call(5, 3, 7);
  EXPECT_EQ(writer.Add(there).Lopnr, 1);
  journal.Append({"call",
                  {{"key", "1"}, {"station", "5"}, {"resource", "3"}, {"sms", "0"},
                   {"time", FormatIsoMillis(there.CallTime)}}});
  journal.Append({"coming", {{"key", "1"}, {"station", "4"}, {"time", "2026-12-10 09:05:00.000"}}});
  journal.Append({"confirm", {{"key", "99"}, {"time", "2026-12-10 09:06:00.000"}}});
  journal.Append({"cancel", {{"lopnr", "1"}}});
  journal.Append({"call", {{"key", "2"}, {"station", "x"}, {"resource", "3"}, {"time", "2026-12-10 09:07:00.000"}}});
  journal.Append({"call", {{"key", "3"}, {"station", "6"}, {"resource", "3"}, {"sms", "1"},
                           {"time", "2026-12-10 09:08:00.000"}, {"sms.text", "later field"}}});
  EXPECT_EQ(writer.WriteJournal(), 3u);
  EXPECT_TRUE(journal.Empty());
  auto log = Log();
  ASSERT_EQ(log->RecordCount(), 2u);
  EXPECT_EQ(log->AsInteger("COMINGLOPNR"), 4);
  log->Next();
  EXPECT_EQ(log->AsInteger("STATIONSLOPNR"), 6);
  EXPECT_TRUE(log->AsBoolean("SMSSENT"));
  const std::string rejected = ReadFile(journal.RejectedFile());
  EXPECT_NE(rejected.find("key=99"), std::string::npos);
  EXPECT_NE(rejected.find("cancel"), std::string::npos);
  EXPECT_NE(rejected.find("station=x"), std::string::npos);
  EXPECT_EQ(Entries(TEventType::Error, "set aside in"), 3u);
  EXPECT_EQ(numbered[1], 1);
  EXPECT_EQ(numbered[3], 2);
}

}  // namespace
}  // namespace tavo::test
