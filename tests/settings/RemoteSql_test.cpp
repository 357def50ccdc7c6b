// EXECSQL and OPENSQL through the real executable, on SQLite and on PostgreSQL through ODBC:
// the quote decoding, the refresh of call stations and displays, the RETSQL bytes, and the
// failures that stop the rest of a message.
#include <gtest/gtest.h>

#include "BackendServer.h"
#include "common/StrUtils.h"

namespace tavo {
namespace {

using test::Ask;
using test::Framed;
using test::Req;
using test::W;

const std::string kRetSql = W("RETSQL¤") + "#DATAEND#\r\n";

class RemoteSql : public test::TBackendTest {
 protected:
  void SetUp() override {
    test::TBackendTest::SetUp();
    s = std::make_unique<test::TBackendServer>(GetParam());
    s->Resource(3, "Doktor A");
    s->Resource(5, "Doktor B");
    s->Station(1, "Rum1", 0);
    s->Station(2, "Visning1", 1);
    s->List(1, 3, 1);
    s->List(2, 3, 1);
  }
  void TearDown() override { EXPECT_EQ(s->server.Stop(), 0) << s->server.EventLog(); }
  // Column names as the database reports them: PostgreSQL folds unquoted names to lower case.
  std::string Col(const std::string& upper) const {
    return GetParam() == test::TBackendKind::PostgreSQL ? LowerAscii(upper) : upper;
  }
  std::unique_ptr<test::TBackendServer> s;
};

TEST_P(RemoteSql, ExecSqlRunsTheDecodedStatementAndRefreshesStationsAndDisplays) {
  s->Start();
  test::TLoopbackClient rum1(s->Port()), vis1(s->Port());
  Ask(rum1, Req("¤GETCALLLIST:Rum1:0:GETCALLLIST¤"), W("RETCALLLIST¤") + "#DATAEND#\r\n");
  Ask(vis1, Req("¤GETCALLLIST:Visning1:1:GETCALLLIST¤"), W("CURRENTLIST¤") + "#DATAEND#\r\n");
  auto admin = test::AdminClient(s->Port());

  admin->Send(Req("¤EXECSQL$x$UPDATE CALLABLES SET CALLNAME = #Anna# WHERE LOPNR = 3$EXECSQL¤"));
  EXPECT_EQ(Ask(rum1, "", W("RETCALLLIST¤") + "#DATAEND#\r\n"),
            Framed("¤RETCALLLIST~Anna~3~Doktor A~0~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
  EXPECT_EQ(Ask(vis1, "", W("CURRENTLIST¤") + "#DATAEND#\r\n"),
            Framed("¤CURRENTLIST:Anna:3:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(s->Read("SELECT CALLNAME FROM CALLABLES WHERE LOPNR = 3", "CALLNAME"), "Anna");
  EXPECT_TRUE(s->server.WaitForLog(
      "EXECSQL from 127.0.0.1: UPDATE CALLABLES SET CALLNAME = 'Anna'  WHERE LOPNR = 3"));
  // The sender gets nothing back.
  EXPECT_EQ(Ask(*admin, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n"), Framed("¤KEEPALIVE::KEEPALIVE¤"));
}

TEST_P(RemoteSql, OpenSqlRowsAndValueTexts) {
  s->Start();
  auto admin = test::AdminClient(s->Port());
  EXPECT_EQ(Ask(*admin, Req("¤OPENSQL:x:SELECT * FROM CALLLOG:OPENSQL¤"), kRetSql),
            Framed("¤RETSQL::RETSQL¤"));
  EXPECT_EQ(Ask(*admin, Req("¤OPENSQL:x:SELECT LOPNR, CALLNAME FROM CALLABLES ORDER BY LOPNR:OPENSQL¤"), kRetSql),
            Framed("¤RETSQL:0:¤%" + Col("LOPNR") + "|3~" + Col("CALLNAME") + "|Doktor A~%¤:1:¤%" +
                   Col("LOPNR") + "|5~" + Col("CALLNAME") + "|Doktor B~%¤::RETSQL¤"));
  EXPECT_EQ(Ask(*admin, Req("¤OPENSQL:x:SELECT LOPNR FROM CALLABLES WHERE CALLNAME = #Doktor B#:OPENSQL¤"),
                kRetSql),
            Framed("¤RETSQL:0:¤%" + Col("LOPNR") + "|5~%¤::RETSQL¤"));
  // Line mode: bare.
  EXPECT_EQ(Ask(*admin, W("¤OPENSQL:x:SELECT LOPNR / 2.0 AS HALF FROM CALLABLES WHERE LOPNR = 5:OPENSQL¤\r\n"),
                W("RETSQL¤\r\n")),
            test::Bare("¤RETSQL:0:¤%" + Col("HALF") + "|2,5~%¤::RETSQL¤"));

  s->Db().Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
                  "CANCELTSTAMP, CONFIRMTSTAMP) VALUES (1, 1, 3, ?, ?, NULL, ?), (2, 1, 5, ?, ?, NULL, NULL)",
                  {SqlBool(true), SqlDateTime(EncodeDateTime(2026, 12, 9, 8, 30, 5)),
                   SqlDateTime(EncodeDate(2026, 12, 9)), SqlBool(false),
                   SqlDateTime(EncodeDateTime(2026, 12, 9, 23, 59, 59))});
  EXPECT_EQ(Ask(*admin,
                Req("¤OPENSQL:x:SELECT SMSSENT, CALLTSTAMP, CANCELTSTAMP, CONFIRMTSTAMP FROM CALLLOG "
                    "ORDER BY LOPNR:OPENSQL¤"),
                kRetSql),
            Framed("¤RETSQL:0:¤%" + Col("SMSSENT") + "|True~" + Col("CALLTSTAMP") + "|2026-12-09 08:30:05~" +
                   Col("CANCELTSTAMP") + "|~" + Col("CONFIRMTSTAMP") + "|2026-12-09~%¤:1:¤%" + Col("SMSSENT") +
                   "|False~" + Col("CALLTSTAMP") + "|2026-12-09 23:59:59~" + Col("CANCELTSTAMP") + "|~" +
                   Col("CONFIRMTSTAMP") + "|~%¤::RETSQL¤"));
}

TEST_P(RemoteSql, AFailingStatementStopsTheRestOfTheMessage) {
  s->Start();
  test::TLoopbackClient rum1(s->Port());
  Ask(rum1, Req("¤GETCALLLIST:Rum1:0:GETCALLLIST¤"), W("RETCALLLIST¤") + "#DATAEND#\r\n");
  auto admin = test::AdminClient(s->Port());
  struct Case {
    const char* block;
    const char* logged;
  } cases[] = {
      {"¤EXECSQL$x$UPDATE NOSUCHTABLE SET A = 1$EXECSQL¤",
       "Error in DataRead: EXECSQL from 127.0.0.1: UPDATE NOSUCHTABLE SET A = 1: "},
      {"¤OPENSQL:x:SELECT * FROM NOSUCHTABLE:OPENSQL¤",
       "Det gick inte att utföra SQL-frågan: SELECT * FROM NOSUCHTABLE: "},
      // A time in an OPENSQL statement is cut at its ":" and fails.
      {"¤OPENSQL:x:SELECT * FROM CALLLOG WHERE CALLTSTAMP > #2026-12-09 12:30#:OPENSQL¤",
       "Det gick inte att utföra SQL-frågan: SELECT * FROM CALLLOG WHERE CALLTSTAMP > '2026-12-09 12: "},
  };
  for (const auto& c : cases) {
    // OPENSQL and GETKLINIKNAMN come after EXECSQL in a pass; GETSERVERVERSION after OPENSQL.
    admin->Send(Req(std::string(c.block) +
                    "¤OPENSQL:x:SELECT LOPNR FROM CALLABLES:OPENSQL¤¤GETKLINIKNAMN::GETKLINIKNAMN¤"
                    "¤GETSERVERVERSION::GETSERVERVERSION¤"));
    EXPECT_TRUE(s->server.WaitForLog(c.logged)) << c.block;
    EXPECT_EQ(Ask(*admin, Req("¤KEEPALIVE::KEEPALIVE¤"), "#DATAEND#\r\n"), Framed("¤KEEPALIVE::KEEPALIVE¤"))
        << c.block;
  }
  EXPECT_EQ(s->LogLines("Error in DataRead: "), 3u) << s->server.EventLog();
  // No refresh after a failed statement; the call state is as it was.
  EXPECT_EQ(rum1.ReadFor(100), "");
  EXPECT_EQ(Ask(rum1, Req("¤GETCALLLIST:Rum1:0:GETCALLLIST¤"), W("RETCALLLIST¤") + "#DATAEND#\r\n"),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor A~0~0~0~1899-12-30~~1899-12-30~0~RETCALLLIST¤"));
}

TAVO_INSTANTIATE_BACKENDS(RemoteSql);

// The read limit of a connection, which keeps a client's huge query from filling the memory.
class ReadLimit : public test::TBackendTest {};

TEST_P(ReadLimit, AQueryStopsReadingPastTheLimit) {
  auto db = backend->OpenNew();
  for (int i = 1; i <= 4; ++i)
    db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME) VALUES (?, ?)", {SqlInt(i), SqlText("abcdefgh")});
  // Per row: "LOPNR" + 2 + 1 and "CALLNAME" + 2 + 8, 26 bytes; four rows 104.
  const std::string sql = "SELECT LOPNR, CALLNAME FROM CALLABLES ORDER BY LOPNR";
  struct Case {
    size_t limit;
    bool reads;
  } cases[] = {{0, true}, {104, true}, {103, false}, {1, false}};
  for (const auto& c : cases) {
    db->SetReadLimit(c.limit);
    if (c.reads) {
      EXPECT_EQ(db->Open(sql)->RecordCount(), 4u) << c.limit;
    } else {
      EXPECT_THROW(db->Open(sql), EReadLimitExceeded) << c.limit;
    }
  }
  {
    TReadLimitScope scope(*db, 1);
    EXPECT_THROW(db->Open(sql), EReadLimitExceeded);
  }
  EXPECT_EQ(db->ReadLimit(), 1u);  // the limit from before the scope
  db->SetReadLimit(0);
  // After a refused query the connection serves the next one.
  EXPECT_EQ(db->Open(sql)->RecordCount(), 4u);
}

TAVO_INSTANTIATE_BACKENDS(ReadLimit);

}  // namespace
}  // namespace tavo
