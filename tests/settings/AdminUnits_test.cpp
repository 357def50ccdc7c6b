// The pieces of the administration commands that need no server: the access rule, the quote
// decoding of client statements, and the RETSQL rows with their value texts and size limit.
#include <gtest/gtest.h>

#include "admin/AdminAccess.h"
#include "admin/RemoteSqlCommands.h"
#include "common/DateTime.h"

namespace tavo {
namespace {

TEST(AdminAccessRule, ModesAndAddressLists) {
  struct Case {
    const char* setting;
    bool admin;
    const char* peer;
    bool allowed;
  } cases[] = {
      {"", false, "127.0.0.1", false},
      {"", true, "192.0.2.7", true},
      {"admin", false, "127.0.0.1", false},
      {" Admin ", true, "127.0.0.1", true},
      {"ANY", false, "192.0.2.7", true},
      {"any", false, "", true},
      // A list narrows: the address must be listed and the connection signed on.
      {"127.0.0.1,10.2.0.0/16", true, "127.0.0.1", true},
      {"127.0.0.1,10.2.0.0/16", false, "127.0.0.1", false},
      {"127.0.0.1,10.2.0.0/16", true, "10.2.255.1", true},
      {"127.0.0.1,10.2.0.0/16", true, "10.3.0.1", false},
      {"127.0.0.1, 10.2.0.0/16", true, "127.0.0.2", false},
      {"10.2.3.4/16", true, "10.2.9.9", true},        // host bits of a network are ignored
      {"10.128.0.0/9", true, "10.127.255.255", false},  // a prefix that is not a byte boundary
      {"10.128.0.0/9", true, "10.200.0.1", true},
      {"0.0.0.0/0", true, "203.0.113.9", true},
      {"fe80::/10", true, "fe80::1", true},
      {"fe80::/10", true, "fec0::1", false},
      {"::1", true, "::1", true},
      {"::1", true, "127.0.0.1", false},  // families never match each other
      {"127.0.0.1", true, "", false},      // an unknown peer is never listed
      {"127.0.0.1", true, "127.0.0.0/8", false},
      // Unreadable entries are skipped, never read as "everything".
      {"localhost", true, "127.0.0.1", false},
      {"10.0.0.0/33,127.0.0.1", true, "127.0.0.1", true},
      {"10.0.0.0/33", true, "10.0.0.1", false},
      {"127.0.0.1/", true, "127.0.0.1", false},
      {"127.0.0.1/x", true, "127.0.0.1", false},
      {",", true, "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> problems;
    const auto rule = TAdminAccessRule::Parse(c.setting, problems);
    EXPECT_EQ(rule.Allows(c.admin, c.peer), c.allowed)
        << '"' << c.setting << "\" admin=" << c.admin << " peer=" << c.peer;
  }
}

TEST(AdminAccessRule, UnreadableEntriesAreNamed) {
  std::vector<std::string> problems;
  const auto rule = TAdminAccessRule::Parse(" 127.0.0.1 , localhost,,10.0.0.0/33 ,::1/129", problems);
  EXPECT_EQ(rule.Mode(), TAdminAccessRule::TMode::AddressList);
  EXPECT_EQ(problems, (std::vector<std::string>{"localhost", "10.0.0.0/33", "::1/129"}));
  EXPECT_TRUE(rule.AddressListed("127.0.0.1"));
}

TEST(SqlQuotes, HashesBecomeQuotesInTwoPasses) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"UPDATE CALLABLES SET CALLNAME = #Anna# WHERE LOPNR = 3",
       "UPDATE CALLABLES SET CALLNAME = 'Anna'  WHERE LOPNR = 3"},
      {"SELECT * FROM SETTINGS WHERE NYCKELNAMN = #A-B#", "SELECT * FROM SETTINGS WHERE NYCKELNAMN = 'A-B' "},
      // After a character other than a blank the quote comes back with a blank behind it.
      {"INSERT INTO T VALUES(#x#)", "INSERT INTO T VALUES(' x' )"},
      {"WHERE A=#x#", "WHERE A=' x' "},
      {"# #", "'  '"},
      {"no quotes at all", "no quotes at all"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeSqlQuotes(c.in), c.out) << c.in;
}

TQuery SampleRows() {
  std::vector<TColumnInfo> columns = {{"LOPNR", TFieldKind::Integer},
                                      {"NAME", TFieldKind::Text},
                                      {"SENT", TFieldKind::Boolean},
                                      {"AT", TFieldKind::DateTime},
                                      {"AMOUNT", TFieldKind::Float}};
  std::vector<std::vector<TSqlValue>> rows = {
      {SqlInt(1), SqlText("Anna"), SqlBool(true), SqlDateTime(EncodeDateTime(2026, 12, 9, 8, 5, 7)),
       2.5},
      {SqlInt(2), SqlNull(), SqlBool(false), SqlDateTime(EncodeDate(2026, 12, 9)), SqlNull()},
      {SqlInt(3), SqlText("Bo"), SqlNull(), SqlNull(), -0.25},
  };
  return TQuery(std::move(columns), std::move(rows));
}

TEST(SqlRows, RowsColumnsAndValueTexts) {
  TQuery q = SampleRows();
  EXPECT_EQ(RenderSqlRows(q, 1 << 20),
            "0:\xA4%LOPNR|1~NAME|Anna~SENT|True~AT|2026-12-09 08:05:07~AMOUNT|2,5~%\xA4:"
            "1:\xA4%LOPNR|2~NAME|~SENT|False~AT|2026-12-09~AMOUNT|~%\xA4:"
            "2:\xA4%LOPNR|3~NAME|Bo~SENT|~AT|~AMOUNT|-0,25~%\xA4:");  // null is empty, whatever its kind
  TQuery empty({{"A", TFieldKind::Integer}}, {});
  EXPECT_EQ(RenderSqlRows(empty, 0), "");
}

TEST(SqlRows, AResultPastTheLimitIsRefused) {
  TQuery whole = SampleRows();
  const size_t size = RenderSqlRows(whole, 1 << 20).size();
  TQuery exact = SampleRows();
  EXPECT_EQ(RenderSqlRows(exact, size).size(), size);
  TQuery over = SampleRows();
  try {
    RenderSqlRows(over, size - 1);
    FAIL() << "a result one byte over the limit was rendered";
  } catch (const EReadLimitExceeded& e) {
    EXPECT_EQ(std::string(e.what()),
              "the result of the query passes the limit of " + std::to_string(size - 1) + " bytes");
  }
}

}  // namespace
}  // namespace tavo
