#include <gtest/gtest.h>

#include <stdexcept>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "protocol/Interpreter.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const std::string M = "\xA4";

std::string B(const std::string& kw, const std::string& payload = "") { return Block(kw, payload); }

// Records each command as "KEYWORD[blocktext]{L}" where L marks line mode.
class InterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& e : interp.Table()) {
      interp.SetHandler(e.Keyword, [this, kw = e.Keyword](const TCommandContext& c) {
        calls.push_back(kw + "[" + c.BlockText + "]" + (c.LineMode ? "L" : ""));
        return TCommandResult::Continue;
      });
    }
  }
  void Run(const std::string& text) { interp.DataRead(text, socket); }

  test::TLogEnv env;
  TInterpreter interp{env.log};
  std::shared_ptr<test::TFakeSocket> socket = std::make_shared<test::TFakeSocket>();
  TClientSocketPtr sockPtr = socket;
  std::vector<std::string> calls;
};

TEST_F(InterpreterTest, KeywordOrderNotTextOrder) {
  Run(B("CALLING", "5:0") + B("KEEPALIVE"));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "KEEPALIVE[" + M + "KEEPALIVE::]");
  EXPECT_EQ(calls[1], "CALLING[" + M + "CALLING:5:0:]");
}

TEST_F(InterpreterTest, FullOrderOfOnePass) {
  std::string text;
  // Every keyword outside the group, in reverse order in the text.
  const auto& t = interp.Table();
  for (auto it = t.rbegin(); it != t.rend(); ++it)
    if (it->Group == 0) text += it->Open + "x" + it->Close;
  Run(text);
  std::vector<std::string> expected;
  for (const auto& e : t)
    if (e.Group == 0) expected.push_back(e.Keyword);
  ASSERT_EQ(calls.size(), expected.size());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].substr(0, expected[i].size()), expected[i]);
}

TEST_F(InterpreterTest, GroupRuleHandlesOneAdministrationBlockPerPass) {
  Run(B("REGISTERUPATEMACHINE", "a") + B("POSTCALLABLESLIST", "b") + B("KEEPALIVE"));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].substr(0, 9), "KEEPALIVE");
  EXPECT_EQ(calls[1].substr(0, 17), "POSTCALLABLESLIST");
  EXPECT_EQ(calls[2].substr(0, 20), "REGISTERUPATEMACHINE");  // in the second pass
}

TEST_F(InterpreterTest, SameCommandTwiceTakesTwoPassesEarlierFirst) {
  Run(B("CALLING", "1:0") + B("CALLING", "2:0"));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "CALLING[" + M + "CALLING:1:0:]");
  EXPECT_EQ(calls[1], "CALLING[" + M + "CALLING:2:0:]");
}

TEST_F(InterpreterTest, LineModeFollowsLineFeedOfTheText) {
  Run(B("KEEPALIVE") + "\r\n");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].back(), 'L');
}

TEST_F(InterpreterTest, MissingClosingTagRunsWithEmptyBlockAndCutsOnlyNearStart) {
  // At the start of the text the opening tag is cut (p1 = 1 < L), so the pass changes the
  // text and stops after the second pass finds nothing new.
  Run(M + "KEEPALIVE:");
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0], "KEEPALIVE[]");
  calls.clear();
  // Further in, nothing is cut: one pass, the text stays, the command ran once.
  Run("some leading text long enough " + M + "KEEPALIVE:");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "KEEPALIVE[]");
}

TEST_F(InterpreterTest, ClosingTagBeforeOpeningGivesEmptyBlock) {
  Run(":KEEPALIVE" + M + " and then " + M + "KEEPALIVE:");
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0], "KEEPALIVE[]");
}

TEST_F(InterpreterTest, UnknownTextAndLowerCaseKeywordsAreSilent) {
  Run("hello " + M + "keepalive::keepalive" + M);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(socket->sent.empty());
  EXPECT_TRUE(env.sink->Entries().empty());
}

TEST_F(InterpreterTest, TagInsideAnotherPayloadIsFound) {
  Run(B("SETINITEXT", "S:K:" + M + "KEEPALIVE::KEEPALIVE" + M));
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0].substr(0, 9), "KEEPALIVE");
}

TEST_F(InterpreterTest, StopResultEndsTheWholeMessage) {
  interp.SetHandler("REGISTERUPATECALLABLE", [this](const TCommandContext&) {
    calls.push_back("REGISTERUPATECALLABLE");
    return TCommandResult::StopMessage;
  });
  Run(B("REGISTERUPATECALLABLE", "x") + B("CALLING", "1:0") + B("KEEPALIVE") + B("KEEPALIVE"));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].substr(0, 9), "KEEPALIVE");
  EXPECT_EQ(calls[1], "REGISTERUPATECALLABLE");  // no CALLING, no second pass
}

TEST_F(InterpreterTest, FailureIsCountedLoggedAndDropsTheRest) {
  interp.SetHandler("GETKLINIKNAMN", [](const TCommandContext&) -> TCommandResult {
    throw std::runtime_error("boom");
  });
  Run(B("CALLING", "1:0") + B("GETKLINIKNAMN") + B("KEEPALIVE"));
  ASSERT_EQ(calls.size(), 1u);  // KEEPALIVE ran before, CALLING never
  EXPECT_EQ(calls[0].substr(0, 9), "KEEPALIVE");
  EXPECT_EQ(env.log.ErrorCount(), 1);
  EXPECT_TRUE(env.sink->Contains("Error in DataRead: boom"));
}

TEST_F(InterpreterTest, ExecSqlUsesDollarTags) {
  Run(M + "EXECSQL$UPDATE T SET A = 1 WHERE B = 'x:y'$EXECSQL" + M);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "EXECSQL[" + M + "EXECSQL$UPDATE T SET A = 1 WHERE B = 'x:y'$]");
}

}  // namespace
}  // namespace tavo
