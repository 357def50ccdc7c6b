// Transactions on both backends: statements take effect together on commit, not at all without
// it, and outside a transaction each statement commits on its own again.
#include <gtest/gtest.h>

#include "support/DatabaseBackends.h"

namespace tavo::test {
namespace {

class TTransactionTest : public TBackendTest {
 protected:
  void Insert(TDatabase& db, int lopnr) {
    db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME) VALUES (?, ?)",
               {SqlInt(lopnr), SqlText("S" + std::to_string(lopnr))});
  }
  std::string Stations(TDatabase& db) {
    std::string out;
    for (auto q = db.Open("SELECT LOPNR FROM STATIONS ORDER BY LOPNR"); !q->Eof(); q->Next())
      out += q->AsString("LOPNR") + " ";
    return out;
  }
};

TEST_P(TTransactionTest, CommitKeepsAndDestructionRollsBack) {
  auto db = backend->OpenNew();
  {
    TTransaction tx(*db);
    Insert(*db, 1);
    Insert(*db, 2);
    tx.Commit();
  }
  EXPECT_EQ(Stations(*db), "1 2 ");
  {
    TTransaction tx(*db);
    db->Execute("DELETE FROM STATIONS WHERE LOPNR = 1");
    Insert(*db, 3);
    EXPECT_EQ(Stations(*db), "2 3 ");  // the transaction sees its own changes
  }
  EXPECT_EQ(Stations(*db), "1 2 ");
  // A failing statement inside: the transaction is rolled back whole, and the connection
  // goes on working.
  try {
    TTransaction tx(*db);
    Insert(*db, 4);
    Insert(*db, 1);  // primary key taken
    tx.Commit();
    ADD_FAILURE() << "a duplicate key was accepted";
  } catch (const EDatabaseError&) {
  }
  EXPECT_EQ(Stations(*db), "1 2 ");
  // Back to one commit per statement: a stray rollback undoes nothing.
  Insert(*db, 5);
  db->RollbackTransaction();
  EXPECT_EQ(Stations(*db), "1 2 5 ");
}

TAVO_INSTANTIATE_BACKENDS(TTransactionTest);

}  // namespace
}  // namespace tavo::test
