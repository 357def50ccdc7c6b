// RunSQL, GetNextLopnr and the settings operations, and how rows read back, on both backends.
#include <gtest/gtest.h>

#include "support/DatabaseBackends.h"
#include "database/SqlHelpers.h"

namespace tavo::test {
namespace {

class THelpersTest : public TBackendTest {
 protected:
  void SetUp() override {
    TBackendTest::SetUp();
    db = backend->OpenNew();
  }
  int32_t Count(const std::string& sql, const TSqlParams& params = {}) {
    return db->Open(sql, params)->AsInteger("N");
  }
  std::unique_ptr<TDatabase> db;
};

TEST_P(THelpersTest, GetNextLopnrIsHighestPlusOneWithRowCount) {
  int32_t count = 99;
  EXPECT_EQ(GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR", count), 1);
  EXPECT_EQ(count, 0);

  for (int lopnr : {3, 41, 7})
    db->Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR) VALUES (?, 1, 1)",
                {SqlInt(lopnr)});
  EXPECT_EQ(GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR", count), 42);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(GetNextLopnr(*db, env.log, "CALLLOG", "LOPNR"), 42);
  EXPECT_EQ(GetNextLopnr(*db, env.log, "CALLABLES", "LOPNR"), 1);
  EXPECT_EQ(ErrorCount(), 0);
}

TEST_P(THelpersTest, GetNextLopnrFailureIsCountedAndLeavesCount) {
  int32_t count = 5;
  EXPECT_EQ(GetNextLopnr(*db, env.log, "NOSUCHTABLE", "LOPNR", count), -1);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(ErrorCount(), 1);
  // Logged twice: the failed open, then the operation.
  EXPECT_TRUE(Logged("Det gick inte att utf\xF6ra SQL-fr\xE5gan: SELECT MAX(LOPNR) AS COLUMN1, "
                     "COUNT(*) AS COLUMN2 FROM NOSUCHTABLE: "));
  EXPECT_TRUE(Logged("Error in GetNextLopnr: "));
  EXPECT_EQ(GetNextLopnr(*db, env.log, "NOSUCHTABLE", "LOPNR"), -1);
  EXPECT_EQ(ErrorCount(), 2);
}

TEST_P(THelpersTest, RunSQLRejectedStatementIsLoggedWithValuesAndNotCounted) {
  auto q = RunSQL(*db, env.log, "SELECT NOSUCHCOLUMN FROM SETTINGS WHERE NYCKELNAMN = ?",
                  {SqlText("O'Hara")});
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(ErrorCount(), 0);
  auto messages = env.sink->Messages();
  ASSERT_FALSE(messages.empty());
  const std::string prefix =
      "Det gick inte att utf\xF6ra SQL-fr\xE5gan: SELECT NOSUCHCOLUMN FROM SETTINGS WHERE "
      "NYCKELNAMN = 'O''Hara': ";
  EXPECT_EQ(messages.back().rfind(prefix, 0), 0u) << messages.back();
  // The database's own message follows, naming the column.
  std::string rest = messages.back().substr(prefix.size());
  for (char& c : rest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(rest.find("NOSUCHCOLUMN"), std::string::npos) << rest;
}

TEST_P(THelpersTest, NewSettingInsertsOneRowAndSecondWriteUpdatesIt) {
  SetStrSetting(*db, env.log, "Klinik-Namn", "F\xF6rsta");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SETTINGS WHERE NYCKELNAMN = ?", {SqlText("Klinik-Namn")}), 1);
  EXPECT_TRUE(db->Open("SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'Klinik-Namn'")->IsNull("INTEGERVALUE"));

  SetStrSetting(*db, env.log, "Klinik-Namn", "Andra");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SETTINGS WHERE NYCKELNAMN = ?", {SqlText("Klinik-Namn")}), 1);
  EXPECT_EQ(GetStrSetting(*db, env.log, "Klinik-Namn"), "Andra");

  SetIntSetting(*db, env.log, "SMSKUNDNR", 4711);
  SetIntSetting(*db, env.log, "SMSKUNDNR", -12);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SETTINGS WHERE NYCKELNAMN = 'SMSKUNDNR'"), 1);
  EXPECT_TRUE(db->Open("SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'SMSKUNDNR'")->IsNull("STRINGVALUE"));
  EXPECT_EQ(GetIntSetting(*db, env.log, "SMSKUNDNR"), -12);
  EXPECT_EQ(ErrorCount(), 0);
}

TEST_P(THelpersTest, AbsentOrOtherKindSettingReadsDefaultWithoutLogging) {
  SetStrSetting(*db, env.log, "ServerSettings-UpdateServerPort", "4711");
  env.sink->Clear();
  EXPECT_EQ(GetIntSetting(*db, env.log, "ServerSettings-UpdateServerPort"), 0);
  EXPECT_EQ(GetStrSetting(*db, env.log, "NOSUCHKEY"), "");
  EXPECT_EQ(GetIntSetting(*db, env.log, "NOSUCHKEY"), 0);
  EXPECT_TRUE(env.sink->Messages().empty());
  EXPECT_EQ(ErrorCount(), 0);
}

TEST_P(THelpersTest, KeysAndValuesWithQuotesAndWindows1252TextRoundTrip) {
  // "Åsa's €-text ’" in Windows-1252.
  const std::string key = "Sektion-Nyckel's";
  const std::string value = "\xC5sa's \x80-text \x92";
  SetStrSetting(*db, env.log, key, value);
  EXPECT_EQ(GetStrSetting(*db, env.log, key), value);
  EXPECT_EQ(ErrorCount(), 0);
  // Stored as characters, not as the raw single bytes.
  EXPECT_EQ(db->Open("SELECT LENGTH(STRINGVALUE) AS N FROM SETTINGS WHERE NYCKELNAMN = ?",
                     {SqlText(key)})->AsInteger("N"),
            static_cast<int32_t>(value.size()));
  EXPECT_EQ(db->Open("SELECT STRINGVALUE FROM SETTINGS WHERE STRINGVALUE LIKE ?",
                     {SqlText("%\x80%")})->RecordCount(), 1u);
}

TEST_P(THelpersTest, SettingFailuresAreCountedAndLogged) {
  auto empty = backend->OpenEmpty();  // no SETTINGS table
  SetStrSetting(*empty, env.log, "A", "x");
  SetIntSetting(*empty, env.log, "B", 1);
  EXPECT_EQ(GetStrSetting(*empty, env.log, "A"), "");
  EXPECT_EQ(GetIntSetting(*empty, env.log, "B"), 0);
  EXPECT_EQ(ErrorCount(), 4);
  for (const char* op : {"SetStrSetting", "SetIntSetting", "GetStrSetting", "GetIntSetting"})
    EXPECT_TRUE(Logged(std::string("Error in ") + op + ": ")) << op;
}

TEST_P(THelpersTest, CallLogColumnsReadBackWithTheirKindsAndValues) {
  const TDateTime called = EncodeDateTime(2026, 12, 9, 8, 30, 5, 123);
  db->Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP) "
              "VALUES (?, ?, ?, ?, ?)",
              {SqlInt(1), SqlInt(2), SqlInt(3), SqlBool(true), SqlDateTime(called)});
  db->Execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, "
              "COMINGLOPNR) VALUES (?, ?, ?, ?, ?, ?)",
              {SqlInt(2), SqlInt(2), SqlInt(3), SqlBool(false),
               SqlDateTime(EncodeDateTime(2026, 12, 10, 0, 0, 1)), SqlNull()});

  // The day's calls by text literals, as the call-state loading asks for them.
  auto q = db->Open("SELECT * FROM CALLLOG WHERE CALLTSTAMP >= '2026-12-09' AND "
                    "CALLTSTAMP < '2026-12-10' AND CANCELTSTAMP IS NULL ORDER BY LOPNR");
  ASSERT_EQ(q->RecordCount(), 1u);
  auto kind = [&](const char* name) { return q->Columns()[q->ColumnIndex(name)].Kind; };
  EXPECT_EQ(kind("LOPNR"), TFieldKind::Integer);
  EXPECT_EQ(kind("SMSSENT"), TFieldKind::Boolean);
  EXPECT_EQ(kind("CALLTSTAMP"), TFieldKind::DateTime);
  EXPECT_EQ(kind("CANCELTSTAMP"), TFieldKind::DateTime);
  EXPECT_EQ(q->AsInteger("lopnr"), 1);
  EXPECT_TRUE(q->AsBoolean("SMSSENT"));
  EXPECT_EQ(q->AsString("SMSSENT"), "True");
  EXPECT_EQ(FormatIsoMillis(q->AsDateTime("CALLTSTAMP")), "2026-12-09 08:30:05.123");
  EXPECT_EQ(q->AsString("CALLTSTAMP"), "2026-12-09 08:30:05");
  EXPECT_TRUE(q->IsNull("CANCELTSTAMP"));
  EXPECT_EQ(q->AsDateTime("CANCELTSTAMP"), 0);
  EXPECT_EQ(q->AsInteger("COMINGLOPNR"), 0);

  // Nulls bound into integer and date-time columns.
  db->Execute("UPDATE CALLLOG SET CALLTSTAMP = ?, COMINGLOPNR = ? WHERE LOPNR = ?",
              {SqlNull(), SqlNull(), SqlInt(1)});
  q = db->Open("SELECT SMSSENT, CALLTSTAMP FROM CALLLOG WHERE LOPNR = ?", {SqlInt(1)});
  EXPECT_TRUE(q->IsNull("CALLTSTAMP"));
  q = db->Open("SELECT SMSSENT FROM CALLLOG WHERE LOPNR = ?", {SqlInt(2)});
  EXPECT_FALSE(q->AsBoolean("SMSSENT"));
  EXPECT_EQ(q->AsString("SMSSENT"), "False");
}

TEST_P(THelpersTest, MissingRowReadsAsDefaultsAndUnknownColumnFails) {
  auto q = db->Open("SELECT * FROM STATIONS WHERE LOPNR = ?", {SqlInt(12345)});
  ASSERT_TRUE(q->Eof());
  EXPECT_EQ(q->AsString("STATIONNAME"), "");
  EXPECT_EQ(q->AsInteger("NAMECOLOUR"), 0);
  EXPECT_THROW(q->AsString("NOSUCHCOLUMN"), EDatabaseError);
  EXPECT_EQ(q->Columns().size(), 6u);  // the columns are known without a row
}

TEST_P(THelpersTest, ExecuteReportsAffectedRows) {
  for (int i = 1; i <= 3; ++i)
    db->Execute("INSERT INTO CALLABLES (LOPNR, CALLNAME, SENDSMS) VALUES (?, ?, 0)",
                {SqlInt(i), SqlText("R" + std::to_string(i))});
  EXPECT_EQ(db->Execute("UPDATE CALLABLES SET AKTIV = 'F' WHERE LOPNR >= ?", {SqlInt(2)}), 2);
  EXPECT_EQ(db->Execute("DELETE FROM CALLABLES WHERE LOPNR = ?", {SqlInt(99)}), 0);
  EXPECT_THROW(db->Execute("UPDATE NOSUCHTABLE SET X = 1"), EDatabaseError);
}

TAVO_INSTANTIATE_BACKENDS(THelpersTest);

}  // namespace
}  // namespace tavo::test
