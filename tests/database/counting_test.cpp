// The counting connection counts every statement and every failure, and passes failures on.
#include <gtest/gtest.h>

#include "database/CountingDatabase.h"
#include "database/SqliteDatabase.h"
#include "support/TestSupport.h"

namespace tavo::test {
namespace {

TEST(CountingDatabase, CountsStatementsAndFailuresAndPassesThemOn) {
  TTempDir dir;
  TMetrics metrics;
  TCountingDatabase db(std::make_unique<TSqliteDatabase>(dir / "tavo.db"), metrics);
  EXPECT_EQ(db.Dbms(), TDbmsKind::SQLite);
  db.Execute("INSERT INTO SETTINGS (NYCKELNAMN, INTEGERVALUE) VALUES (?, ?)", {SqlText("A"), SqlInt(1)});
  EXPECT_EQ(db.Open("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = 'A'")->AsInteger("INTEGERVALUE"), 1);
  EXPECT_THROW(db.Open("SELECT * FROM NOSUCHTABLE"), EDatabaseError);
  EXPECT_THROW(db.Execute("DELETE FROM NOSUCHTABLE"), EDatabaseError);
  db.CheckHealth();
  EXPECT_EQ(metrics.DbStatements.load(), 5u);
  EXPECT_EQ(metrics.DbFailures.load(), 2u);
}

TEST(CountingDatabase, TransactionsReachTheConnectionBehind) {
  TTempDir dir;
  TMetrics metrics;
  TCountingDatabase db(std::make_unique<TSqliteDatabase>(dir / "tavo.db"), metrics);
  auto insert = [&](const char* key) {
    db.Execute("INSERT INTO SETTINGS (NYCKELNAMN, INTEGERVALUE) VALUES (?, 1)", {SqlText(key)});
  };
  {
    TTransaction t(db);
    insert("kept");
    t.Commit();
  }
  {
    TTransaction t(db);
    insert("dropped");
  }
  auto q = db.Open("SELECT NYCKELNAMN FROM SETTINGS WHERE NYCKELNAMN IN ('kept', 'dropped')");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->AsString("NYCKELNAMN"), "kept");
}

TEST(CountingDatabase, ReadLimitSetOnTheWrapperBoundsTheQuery) {
  TTempDir dir;
  TMetrics metrics;
  TCountingDatabase db(std::make_unique<TSqliteDatabase>(dir / "tavo.db"), metrics);
  db.Execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) VALUES ('big', ?)",
             {SqlText(std::string(100000, 'x'))});
  {
    TReadLimitScope limit(db, 1000);
    EXPECT_THROW(db.Open("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = 'big'"), EReadLimitExceeded);
  }
  EXPECT_EQ(db.Open("SELECT STRINGVALUE FROM SETTINGS WHERE NYCKELNAMN = 'big'")->AsString("STRINGVALUE").size(), 100000u);
}

}  // namespace
}  // namespace tavo::test
