// What the SQLite backend does on its own: a new file gets the schema, the journal and how
// text, date-times and Booleans lie in the file.
#include <gtest/gtest.h>

#include <functional>

#include "database/SqliteDatabase.h"
#include "support/TestSupport.h"

namespace tavo::test {
namespace {

TEST(SqliteDatabase, NewFileGetsTheFiveTablesAndTheWidthSetting) {
  TTempDir dir;
  TSqliteDatabase db(dir / "tavo.db");
  for (const char* table : {"STATIONS", "CALLABLES", "CALLLIST", "CALLLOG", "SETTINGS"})
    EXPECT_NO_THROW(db.Open(std::string("SELECT * FROM ") + table + " WHERE 1 = 0")) << table;
  auto q = db.Open("SELECT * FROM SETTINGS");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->AsString("NYCKELNAMN"), "SMSNUMMERLENGTH");
  EXPECT_EQ(q->AsInteger("INTEGERVALUE"), 250);
  EXPECT_EQ(db.Open("PRAGMA journal_mode")->AsString("journal_mode"), "wal");
  EXPECT_EQ(db.Open("PRAGMA synchronous")->AsInteger("synchronous"), 2);  // FULL
  // Running numbers are taken as written.
  db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME) VALUES (41, 'A')");
  EXPECT_EQ(db.Open("SELECT LOPNR FROM STATIONS")->AsInteger("LOPNR"), 41);
}

TEST(SqliteDatabase, ExistingFileIsOpenedAsItIs) {
  TTempDir dir;
  WriteFile(dir / "old.db", "");
  TSqliteDatabase db(dir / "old.db");
  EXPECT_THROW(db.Open("SELECT * FROM SETTINGS"), EDatabaseError);
}

TEST(SqliteDatabase, FileThatCannotBeCreatedFailsAndLeavesNothing) {
  TTempDir dir;
  EXPECT_THROW(TSqliteDatabase(dir / "missing" / "tavo.db"), EDatabaseError);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(SqliteDatabase, TextIsUtf8DateTimesIsoTextBooleansZeroOne) {
  TTempDir dir;
  TSqliteDatabase db(dir / "tavo.db");
  db.Execute("INSERT INTO CALLLOG (LOPNR, SMSSENT, CALLTSTAMP) VALUES (?, ?, ?)",
             {SqlInt(1), SqlBool(true), SqlDateTime(EncodeDateTime(2026, 12, 9, 8, 30, 5, 7))});
  db.Execute("INSERT INTO STATIONS (LOPNR, STATIONNAME) VALUES (1, ?)", {SqlText("\xC5\x80")});
  auto q = db.Open("SELECT CAST(CALLTSTAMP AS TEXT) AS T, typeof(CALLTSTAMP) AS TT, "
                   "SMSSENT + 0 AS B, typeof(SMSSENT) AS BT FROM CALLLOG");
  EXPECT_EQ(q->AsString("T"), "2026-12-09 08:30:05.007");
  EXPECT_EQ(q->AsString("TT"), "text");
  EXPECT_EQ(q->AsString("B"), "1");
  EXPECT_EQ(q->AsString("BT"), "integer");
  EXPECT_EQ(db.Open("SELECT hex(STATIONNAME) AS H FROM STATIONS")->AsString("H"), "C385E282AC");
}

TEST(SqliteDatabase, SeveralStatementsRunInTurnWithTheirValues) {
  TTempDir dir;
  TSqliteDatabase db(dir / "tavo.db");
  EXPECT_EQ(db.Execute("INSERT INTO CALLLIST VALUES (?, ?, 1); INSERT INTO CALLLIST VALUES (?, 5, 2);",
                       {SqlInt(1), SqlInt(5), SqlInt(2)}),
            2);
  EXPECT_EQ(db.Open("SELECT SUM(STATIONSLOPNR) AS S FROM CALLLIST")->AsInteger("S"), 3);
  EXPECT_THROW(db.Execute("DELETE FROM CALLLIST WHERE IXLOPNR = ?", {SqlInt(1), SqlInt(2)}),
               EDatabaseError);
  EXPECT_THROW(db.Open("SELECT 1; SELECT 2"), EDatabaseError);
}

TEST(SqliteDatabase, DeclaredTypesGiveTheFieldKinds) {
  struct TCase {
    const char* Decl;
    TFieldKind Kind;
  };
  for (const auto& c : std::vector<TCase>{{"DATETIME", TFieldKind::DateTime},
                                          {"TIMESTAMP(3)", TFieldKind::DateTime},
                                          {"BIT", TFieldKind::Boolean},
                                          {"BOOLEAN", TFieldKind::Boolean},
                                          {"INT", TFieldKind::Integer},
                                          {"integer", TFieldKind::Integer},
                                          {"VARCHAR(25)", TFieldKind::Text},
                                          {"REAL", TFieldKind::Float},
                                          {"", TFieldKind::Unknown}})
    EXPECT_EQ(SqliteKindOfDeclType(c.Decl), c.Kind) << c.Decl;
}

}  // namespace
}  // namespace tavo::test

namespace tavo::test {
namespace {

TEST(SqliteDatabase, HealthCheckSeesTheFileGoneBadBehindTheConnection) {
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path&)> spoil;
    const char* error;  // nullptr: healthy; "": any failure
  } cases[] = {
      {"untouched", [](const std::filesystem::path&) {}, nullptr},
      {"overwritten", [](const std::filesystem::path& f) { test::WriteFile(f, std::string(4096, 'x')); },
       "is no longer an SQLite database"},
      {"removed", [](const std::filesystem::path& f) { std::filesystem::remove(f); },
       "was removed or replaced"},
      {"replaced",
       [](const std::filesystem::path& f) {
         std::filesystem::remove(f);
         TSqliteDatabase other(f);
       },
       // The new file's journal may already fail the query, before the file is looked at.
       ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TTempDir dir;
    TSqliteDatabase db(dir / "tavo.db");
    db.CheckHealth();
    c.spoil(dir / "tavo.db");
    if (!c.error) {
      EXPECT_NO_THROW(db.CheckHealth());
      continue;
    }
    try {
      db.CheckHealth();
      ADD_FAILURE() << "no failure";
    } catch (const EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace tavo::test
