// How a query's values read as text, integer, floating number, Boolean and date-time, and
// how a logged statement shows its bound values.
#include <gtest/gtest.h>

#include <optional>

#include "database/Database.h"

namespace tavo::test {
namespace {

TEST(Query, ValuesConvertAsTheCallersExpect) {
  const TDateTime t = EncodeDateTime(2026, 12, 9, 8, 30, 5, 120);
  struct TCase {
    const char* Name;
    TSqlValue Value;
    std::string Text;
    std::optional<int32_t> Integer;  // none: not a number
    bool Boolean;
  };
  const std::vector<TCase> cases = {
      {"null", SqlNull(), "", 0, false},
      {"integer", SqlInt(-42), "-42", -42, true},
      {"zero", SqlInt(0), "0", 0, false},
      {"float uses the decimal comma", 2.5, "2,5", 3, true},
      {"text number", SqlText(" 17 "), " 17 ", 17, true},
      {"text T", SqlText("T"), "T", std::nullopt, true},
      {"boolean", SqlBool(true), "True", 1, true},
      {"false", SqlBool(false), "False", 0, false},
      {"date-time", SqlDateTime(t), "2026-12-09 08:30:05", static_cast<int32_t>(t), true},
      {"midnight", SqlDateTime(EncodeDate(2026, 12, 9)), "2026-12-09", 46365, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TQuery::ToString(c.Value), c.Text) << c.Name;
    if (c.Integer)
      EXPECT_EQ(TQuery::ToInteger(c.Value), *c.Integer) << c.Name;
    else
      EXPECT_THROW(TQuery::ToInteger(c.Value), EDatabaseError) << c.Name;
    EXPECT_EQ(TQuery::ToBoolean(c.Value), c.Boolean) << c.Name;
  }
  EXPECT_EQ(TQuery::ToDateTime(SqlText("2026-12-09 08:30:05.120")), t);
  EXPECT_EQ(TQuery::ToDateTime(SqlNull()), 0);
  EXPECT_THROW(TQuery::ToDateTime(SqlText("tomorrow")), EDatabaseError);
}

TEST(Query, RowsAreReadByNameWithoutRegardToCase) {
  TQuery q({{"LopNr", TFieldKind::Integer}, {"NAME", TFieldKind::Text}},
           {{SqlInt(1), SqlText("a")}, {SqlInt(2), SqlNull()}});
  EXPECT_EQ(q.RecordCount(), 2u);
  EXPECT_EQ(q.AsInteger("LOPNR"), 1);
  EXPECT_EQ(q.AsString("name"), "a");
  q.Next();
  EXPECT_TRUE(q.IsNull("Name"));
  EXPECT_EQ(q.AsString("NAME"), "");
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.AsInteger("lopnr"), 0);  // past the last row
  q.Next();                            // stays at the end
  EXPECT_TRUE(q.Eof());
  q.First();
  EXPECT_EQ(q.AsInteger("lopnr"), 1);
  EXPECT_THROW(q.AsString("MISSING"), EDatabaseError);
}

TEST(Query, LoggedStatementShowsTheBoundValues) {
  struct TCase {
    std::string Sql;
    TSqlParams Params;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {"SELECT * FROM SETTINGS WHERE NYCKELNAMN = ?", {SqlText("O'Hara")},
       "SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'O''Hara'"},
      {"INSERT INTO CALLLOG VALUES (?, ?, ?, ?, ?)",
       {SqlInt(7), SqlBool(true), SqlDateTime(EncodeDateTime(2026, 12, 9, 8, 0, 0)), SqlNull(),
        1.5},
       "INSERT INTO CALLLOG VALUES (7, 1, '2026-12-09 08:00:00', NULL, 1.5)"},
      {"SELECT '?' AS Q, \"?\" FROM T WHERE A = ?", {SqlInt(1)},
       "SELECT '?' AS Q, \"?\" FROM T WHERE A = 1"},
      {"SELECT ? , ?", {SqlInt(1)}, "SELECT 1 , ?"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandSqlForLog(c.Sql, c.Params), c.Expected);
}

}  // namespace
}  // namespace tavo::test
