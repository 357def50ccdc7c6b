// The operator client's pieces without a server: statement encoding, reply parsing, the
// response-time figures and the output formats.
#include <gtest/gtest.h>

#include <sstream>

#include "Names.h"
#include "Replies.h"
#include "ResponseReport.h"
#include "SqlQuoting.h"
#include "Table.h"

namespace tavo::cli {
namespace {

// What the server does to a received statement: " #" -> " '", then "#" -> "' ".
std::string ServerDecode(std::string s) {
  for (size_t p = 0; (p = s.find(" #", p)) != std::string::npos; p += 2) s.replace(p, 2, " '");
  for (size_t p = 0; (p = s.find('#', p)) != std::string::npos; p += 2) s.replace(p, 1, "' ");
  return s;
}

TEST(SqlQuoting, StatementsArriveAsMeant) {
  struct Case {
    std::string sql, encoded, arrives;
  } cases[] = {
      {"SELECT 1", "SELECT 1", "SELECT 1"},
      {"UPDATE CALLABLES SET CALLNAME = 'Anna' WHERE LOPNR = 3",
       "UPDATE CALLABLES SET CALLNAME = #Anna#WHERE LOPNR = 3",
       "UPDATE CALLABLES SET CALLNAME = 'Anna' WHERE LOPNR = 3"},
      // An opening quote after "(" or "=" gets a blank in front, outside the string.
      {"SELECT * FROM X WHERE A IN ('a','b')", "SELECT * FROM X WHERE A IN ( #a#, #b#)",
       "SELECT * FROM X WHERE A IN ( 'a' , 'b' )"},
      {"SELECT * FROM X WHERE A='x y '", "SELECT * FROM X WHERE A= #x y #",
       "SELECT * FROM X WHERE A= 'x y '"},
      {"SELECT 'Mötesrum'", "SELECT #Mötesrum#", "SELECT 'Mötesrum' "},
      // An empty string is no quote inside a string.
      {"UPDATE X SET A = ''", "UPDATE X SET A = ##", "UPDATE X SET A = '' "},
      {"UPDATE X SET A='' WHERE B=1", "UPDATE X SET A= ##WHERE B=1", "UPDATE X SET A= '' WHERE B=1"},
  };
  for (auto& c : cases) {
    const std::string enc = EncodeStatement(c.sql, ':');
    EXPECT_EQ(enc, c.encoded) << c.sql;
    EXPECT_EQ(ServerDecode(enc), c.arrives) << c.sql;
  }
}

TEST(SqlQuoting, RefusesWhatTheProtocolCannotCarry) {
  struct Case {
    std::string sql;
    char sep;
  } cases[] = {{"SELECT '#'", '$'},        {"SELECT '12:30'", ':'},
               {"UPDATE X SET A = '$'", '$'}, {"SELECT 'it''s'", ':'},
               {"SELECT ''''", '$'},           {"SELECT 'open", ':'}};
  for (auto& c : cases) EXPECT_THROW(EncodeStatement(c.sql, c.sep), std::invalid_argument) << c.sql;
  // The other block's separator is fine.
  EXPECT_EQ(EncodeStatement("UPDATE X SET T = '12:30'", '$'), "UPDATE X SET T = #12:30#");
}

const std::string M = kMarker;

TEST(Names, CarriedAsTheyAreOrRefusedNamingTheCharacter) {
  // What travels unchanged: quotes, apostrophes, "#", Windows-1252 letters, inner blanks.
  for (const std::string ok : {"Dr. O'Brien", "Rum \"Stora\" #2", "Läkare Åsa", "Café € 1",
                               "a#DATAb", "x"})
    EXPECT_EQ(TextProblem(ok, "station name", 100), std::nullopt) << ok;
  struct Case {
    std::string text;
    std::string named;  // what the problem must name
    TTextUse use = TTextUse::Name;
  } refused[] = {
      {"Rum:1", "\":\""},
      {"Rum¤1", "\"¤\""},
      {"Rum~1", "\"~\""},
      {"Łódź", "\"Ł\""},
      {"Rum\n1", "U+000A"},
      {"Rum\t1", "U+0009"},
      {" Rum", "blank"},
      {"Rum ", "blank"},
      {"", "empty"},
      {"a#DATAEND#b", "#DATAEND#"},
      {"a#DATASTART#", "#DATASTART#"},
      {std::string(101, 'x'), "at most 100"},
      {"1:2", "\":\"", TTextUse::Field},
  };
  for (auto& c : refused) {
    auto problem = TextProblem(c.text, "station name", 100, c.use);
    ASSERT_TRUE(problem.has_value()) << c.text;
    EXPECT_NE(problem->find(c.named), std::string::npos) << *problem;
  }
  // "~" only breaks the lists that names reach; other fields may hold it, and be empty.
  EXPECT_EQ(TextProblem("070~1", "SMS number", 250, TTextUse::Field), std::nullopt);
  EXPECT_EQ(TextProblem("", "IMEI number", 25, TTextUse::Field), std::nullopt);
  // Width counts characters, not UTF-8 bytes.
  EXPECT_EQ(TextProblem(std::string(50, 'x') + "ö", "call name", 51), std::nullopt);
}

TEST(Names, ColoursAndTypes) {
  // Stored as the client programs store colours: red in the low byte.
  EXPECT_EQ(ParseColour("red"), 0x0000FF);
  EXPECT_EQ(ParseColour("Lime"), 0x00FF00);
  EXPECT_EQ(ParseColour("#0000FF"), 0xFF0000);
  EXPECT_EQ(ParseColour("#12A4eF"), 0xEFA412);
  for (const char* bad : {"", "reddish", "#12345", "#GG0000", "255"})
    EXPECT_EQ(ParseColour(bad), std::nullopt) << bad;
  EXPECT_EQ(ColourText(255), "red");
  EXPECT_EQ(ColourText(65280), "lime");
  EXPECT_EQ(ColourText(0xEFA412), "#12A4EF");
  // A system colour of the client programs (high byte set) stays a number.
  EXPECT_EQ(ColourText(-16777201), "-16777201");
  for (int32_t v : {0, 0x123456, 0xFFFFFF}) EXPECT_EQ(ParseColour(ColourText(v)), v);
  EXPECT_EQ(ParseStationType("display"), 1);
  EXPECT_EQ(ParseStationType("Hardware"), 3);
  EXPECT_EQ(ParseStationType("1"), std::nullopt);
  EXPECT_EQ(StationTypeText("2"), "admin");
  EXPECT_EQ(StationTypeText("7"), "7");
}

TEST(Table, JsonTypesNumbersFlagsAndAbsentValues) {
  TTable t{{"n", "flag", "opt", "text"},
           {{"42", "yes", "", ""}, {"", "no", "x", "7"}, {"007", "", "", "-"}, {"-1.5", "maybe", "", ""}},
           {TCellKind::Number, TCellKind::Flag, TCellKind::Optional, TCellKind::Text}};
  std::ostringstream json;
  WriteTable(json, t, TOutputFormat::Json);
  EXPECT_EQ(json.str(),
            "[{\"n\": 42, \"flag\": true, \"opt\": null, \"text\": \"\"},\n"
            " {\"n\": null, \"flag\": false, \"opt\": \"x\", \"text\": \"7\"},\n"
            " {\"n\": \"007\", \"flag\": null, \"opt\": null, \"text\": \"-\"},\n"
            " {\"n\": -1.5, \"flag\": \"maybe\", \"opt\": null, \"text\": \"\"}]\n");
  // The other formats are as before: kinds change nothing there.
  std::ostringstream tsv;
  WriteTable(tsv, t, TOutputFormat::Tsv);
  EXPECT_EQ(tsv.str(), "n\tflag\topt\ttext\n42\tyes\t\t\n\tno\tx\t7\n007\t\t\t-\n-1.5\tmaybe\t\t\n");
}

TEST(Replies, SqlRowsAndTheEmptyResult) {
  auto r = ParseSql(*BlockPayload(M + "RETSQL:0:" + M + "%LOPNR|1~CALLNAME|Anna~%" + M + ":1:" + M +
                                      "%LOPNR|2~CALLNAME|~%" + M + "::RETSQL" + M,
                                  "RETSQL"));
  EXPECT_EQ(r.Columns, (std::vector<std::string>{"LOPNR", "CALLNAME"}));
  EXPECT_EQ(r.Rows, (std::vector<std::vector<std::string>>{{"1", "Anna"}, {"2", ""}}));
  auto empty = BlockPayload(M + "RETSQL::RETSQL" + M, "RETSQL");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(ParseSql(*empty).Rows.empty());
  EXPECT_FALSE(BlockPayload("#DATASTART#nothing", "RETSQL"));
}

TEST(Replies, ListsDropTheEmptyTablePlaceholder) {
  EXPECT_TRUE(ParseMachines(":0::0:0:0:::").empty());
  EXPECT_TRUE(ParseCallables(":0::0:0:::").empty());
  EXPECT_TRUE(ParseStationCallables("0:0:").empty());
  auto st = ParseMachines("Exp:2:Expedition:0:0:-1:::Rum 1:1:Rum 1:65280:0:0:35693::");
  ASSERT_EQ(st.size(), 2u);
  EXPECT_EQ(st[1].Name, "Rum 1");
  EXPECT_EQ(st[1].Imei, "35693");
  EXPECT_EQ(st[0].Connected, "-1");
  auto pairs = ParseStationCallables("3:1:9:2:");
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[1].CallableLopnr, "9");
  EXPECT_EQ(pairs[1].Ix, "2");
}

TEST(Replies, StationAndDisplayLists) {
  auto entries = ParseCallList(*BlockPayload(
      M + "RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~-1~2026-12-09 10:15:02~Exp~2026-12-09 10:16:40~4~"
          "Avbryt~9~Avbryt~0~-1~0~1899-12-30~~1899-12-30~0~RETCALLLIST" + M,
      "RETCALLLIST", "~", ""));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].Open);
  EXPECT_EQ(entries[0].ComingName, "Exp");
  EXPECT_EQ(entries[0].ComingLopnr, "4");
  EXPECT_TRUE(entries[1].Cancel);
  EXPECT_FALSE(entries[1].Open);

  auto shown = ParseCurrentList(*BlockPayload(
      M + "CURRENTLIST:Doktor A:3:255:1:" + M + "%Rum 3~7~2026-12-09 10:15:02~65280~4~2026-12-09 10:16:40~Exp~%" +
          M + ":Doktor B:5:0:2:" + M + "%%" + M + ":CURRENTLIST" + M,
      "CURRENTLIST", ":", ""));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].Position, "1");
  ASSERT_EQ(shown[0].Callers.size(), 1u);
  EXPECT_EQ(shown[0].Callers[0].Lopnr, "7");
  EXPECT_EQ(shown[0].Callers[0].ComingName, "Exp");
  EXPECT_EQ(shown[1].Name, "Doktor B");
  EXPECT_TRUE(shown[1].Callers.empty());
  EXPECT_TRUE(ParseCurrentList("").empty());
}

TEST(Replies, ClientDataInBothLayouts) {
  auto framed = ParseClientData(M + "TAVOCLIENTDATA:Rum 1:Rum ett:65280:1:TAVOCLIENTDATA" + M);
  ASSERT_TRUE(framed);
  EXPECT_EQ(framed->FriendlyName, "Rum ett");
  EXPECT_EQ(framed->Lopnr, "1");
  auto line = ParseClientData(M + "TAVOCLIENTDATA:V2:Visning 2:0:3569::4:TAVOCLIENTDATA" + M);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->Lopnr, "4");
}

TEST(ResponseReport, MedianAndNinetiethPercentile) {
  struct Case {
    std::vector<double> v;
    double median, p90;
  } cases[] = {{{7}, 7, 7},
               {{4, 1}, 2.5, 4},
               {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 5.5, 9},
               {{10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100}, 6, 10}};
  for (auto& c : cases) {
    EXPECT_DOUBLE_EQ(Median(c.v), c.median);
    EXPECT_DOUBLE_EQ(Percentile90(c.v), c.p90);
  }
}

TEST(ResponseReport, GroupsByResourceAndStation) {
  auto at = [](const std::string& t) { return *ParseSeconds("2026-12-09 " + t); };
  std::vector<TCallTimes> calls = {
      {"Doktor A", "Rum 1", at("10:00:00"), at("10:00:10"), at("10:05:00")},
      {"Doktor A", "Rum 2", at("11:00:00"), at("11:00:30"), at("11:02:00")},
      {"Doktor A", "Rum 1", at("12:00:00"), std::nullopt, at("12:01:00")},
      {"Sköterska", "Rum 1", at("13:00:00"), at("13:00:04"), std::nullopt},
  };
  // Doktor B had SMS but no calls in the days: a row of its own.
  TTable t = BuildResponseReport(calls, {{"Doktor A", {2, 1, 0, 0}}, {"Doktor B", {0, 0, 1, 1}}});
  std::ostringstream out;
  WriteTable(out, t, TOutputFormat::Tsv);
  EXPECT_EQ(out.str(),
            "by\tname\tcalls\tanswered\tnever_answered\tanswer_median_s\tanswer_p90_s\tclose_median_s\tclose_p90_s"
            "\tsms_sent\tsms_expired\tsms_cancelled\tsms_failed\n"
            "resource\tDoktor A\t3\t2\t1\t20.0\t30.0\t120.0\t300.0\t2\t1\t0\t0\n"
            "resource\tDoktor B\t0\t0\t0\t\t\t\t\t0\t0\t1\t1\n"
            "resource\tSköterska\t1\t1\t0\t4.0\t4.0\t\t\t0\t0\t0\t0\n"
            "station\tRum 1\t3\t2\t1\t7.0\t10.0\t180.0\t300.0\t\t\t\t\n"
            "station\tRum 2\t1\t1\t0\t30.0\t30.0\t120.0\t120.0\t\t\t\t\n");
  EXPECT_EQ(ParseSeconds(""), std::nullopt);
  EXPECT_EQ(ParseSeconds("1899-12-30"), std::nullopt);
  EXPECT_THROW(ParseSeconds("yesterday"), std::runtime_error);
}

TEST(Table, FormatsEscapeWhatWouldBreakThem) {
  TTable t{{"a", "b"}, {{"x\ty", "q\"uote,"}, {"back\\slash", "line\nfeed"}}};
  std::ostringstream tsv, csv, json, pretty;
  WriteTable(tsv, t, TOutputFormat::Tsv);
  WriteTable(csv, t, TOutputFormat::Csv);
  WriteTable(json, t, TOutputFormat::Json);
  WriteTable(pretty, {{"name", "n"}, {{"Åsa", "1"}, {"Bo", "22"}}}, TOutputFormat::Pretty);
  EXPECT_EQ(tsv.str(), "a\tb\nx\\ty\tq\"uote,\nback\\\\slash\tline\\nfeed\n");
  EXPECT_EQ(csv.str(), "a,b\nx\ty,\"q\"\"uote,\"\nback\\slash,\"line\nfeed\"\n");
  EXPECT_EQ(json.str(),
            "[{\"a\": \"x\\ty\", \"b\": \"q\\\"uote,\"},\n {\"a\": \"back\\\\slash\", \"b\": \"line\\nfeed\"}]\n");
  EXPECT_EQ(pretty.str(), "name  n\n----  --\nÅsa   1\nBo    22\n(2 rows)\n");
}

}  // namespace
}  // namespace tavo::cli
