// The interpreter against a plain model of the rule it follows: copy the text each pass, look
// every tag up from the start, cut the block out of the copy. The model is slow but obviously
// right; the interpreter must make exactly the same calls with exactly the same views.
#include <gtest/gtest.h>

#include <random>

#include "FakeSocket.h"
#include "TestSupport.h"
#include "common/StrUtils.h"
#include "protocol/Interpreter.h"
#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const std::string M = "\xA4";

// What a handler saw: keyword, block text, line mode, the whole text and fields of it.
std::string Seen(const std::string& kw, const std::string& block, bool lineMode,
                 const std::string& text, const std::string& f0, const std::string& f2,
                 const std::string& f3) {
  return kw + "[" + block + "]" + (lineMode ? "L" : "") + "{" + text + "}" + f0 + "|" + f2 +
         "|" + f3;
}

// The rule in its plainest form.
std::vector<std::string> Model(const std::vector<TInterpreter::TEntry>& table, std::string t,
                               const std::string& stopKeyword) {
  std::vector<std::string> seen;
  for (;;) {
    const std::string start = t;
    const bool lineMode = IsLineMode(t);
    int groupDone = 0;
    for (const auto& e : table) {
      if (e.Group != 0) {
        if (groupDone == e.Group || t.find(e.Open) == std::string::npos) continue;
        groupDone = e.Group;
      }
      const size_t open = t.find(e.Open);
      if (open == std::string::npos) continue;
      const long p1 = static_cast<long>(open) + 1;
      const size_t close = t.find(e.Close);
      const long p2 = close == std::string::npos ? 0 : static_cast<long>(close) + 1;
      const long count = p2 - p1 + 1;
      const std::string block = count > 0 ? t.substr(open, static_cast<size_t>(count)) : "";
      seen.push_back(Seen(e.Keyword, block, lineMode, t, GetField(t, 0), GetField(t, 2),
                          GetField(t, 3)));
      if (e.Keyword == stopKeyword) return seen;
      const long cut = p2 - p1 + static_cast<long>(e.Close.size());
      if (cut > 0) t.erase(open, static_cast<size_t>(cut));
    }
    if (Trim(t).empty() || t == start) return seen;
  }
}

class InterpreterModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& e : interp.Table()) {
      interp.SetHandler(e.Keyword, [this, kw = e.Keyword](const TCommandContext& c) {
        seen.push_back(Seen(kw, c.BlockText, c.LineMode, c.Text.Str(), c.Text.Field(0, ':'),
                            c.Text.Field(2, ':'), c.Text.Field(3, ':')));
        return kw == stopKeyword ? TCommandResult::StopMessage : TCommandResult::Continue;
      });
    }
  }
  void ExpectSameAsModel(const std::string& text) {
    seen.clear();
    interp.DataRead(text, socket);
    EXPECT_EQ(seen, Model(interp.Table(), text, stopKeyword)) << "message: " << text;
  }

  test::TLogEnv env;
  TInterpreter interp{env.log};
  TClientSocketPtr socket = std::make_shared<test::TFakeSocket>();
  std::vector<std::string> seen;
  std::string stopKeyword = "REGISTERUPATECALLABLE";
};

TEST_F(InterpreterModelTest, ShapesThatCutAcrossTags) {
  const std::string O = M + "KEEPALIVE:", C = ":KEEPALIVE" + M;
  const std::string cases[] = {
      "",
      " \r\n ",
      O + C,
      O + "x" + C + O + "y" + C + "\r\n",
      C + O,                                   // closing first, overlapping by the marker
      C + "ab" + O,                            // closing first, apart
      O,                                       // no closing tag at the start: cut short
      "ab" + O,                                // ... a little further in
      "0123456789abc" + O,                     // ... beyond the tag's length: nothing cut
      M + "KEE" + O + C + "PALIVE::KEEPALIVE" + M,  // a cut joins the halves of another block
      M + "CALL" + M + "KEEPALIVE::KEEPALIVE" + M + "ING:1:2:CALLING" + M,
      M + "GETSERVERVERSION:x:2:GETSERVERVERSION" + M + M + "GETSERVERVERSION::2:" +
          ":GETSERVERVERSION" + M,
      "a:b:" + M + "GETSERVERVERSION::GETSERVERVERSION" + M + ":c",
      M + "EXECSQL$a:b$EXECSQL" + M + M + "EXECSQL$" + M + "KEEPALIVE::KEEPALIVE" + M + "$EXECSQL" + M,
      Block("REGISTERUPATEMACHINE", "a") + Block("POSTCALLABLESLIST", "b") +
          Block("REGISTERUPATECALLABLE", "c") + Block("KEEPALIVE", ""),
      Block("CALLING", "1:0") + "\n" + Block("CALLING", "2:0") + Block("COMING", "3:1"),
      ":GETCALLLIST" + M + M + "GETCALLLIST:st:0:GETCALLLIST" + M,
  };
  for (const auto& text : cases) ExpectSameAsModel(text);
}

TEST_F(InterpreterModelTest, NoStopKeyword) {
  stopKeyword.clear();
  ExpectSameAsModel(Block("REGISTERUPATECALLABLE", "c") + Block("REGISTERUPATECALLABLE", "d") +
                    Block("KEEPALIVE", ""));
}

// Messages glued from pieces of tags, so that cuts keep forming and breaking tags.
TEST_F(InterpreterModelTest, RandomMessagesOfTagPieces) {
  const std::string pieces[] = {
      M, ":", "$", "\n", " ", "x", "2", "KEEP", "ALIVE", "KEEPALIVE", "CALLING", "COMING",
      M + "KEEPALIVE:", ":KEEPALIVE" + M, M + "CALLING:", ":CALLING" + M, M + "COMING:",
      ":COMING" + M, M + "GETSERVERVERSION:", ":GETSERVERVERSION" + M, M + "EXECSQL$",
      "$EXECSQL" + M, M + "POSTCALLABLESLIST:", ":POSTCALLABLESLIST" + M,
      M + "REGISTERUPATEMACHINE:", ":REGISTERUPATEMACHINE" + M, M + "REGISTERUPATECALLABLE:",
      ":REGISTERUPATECALLABLE" + M,
  };
  std::mt19937 rng(20261210);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(1, 40);
  for (int round = 0; round < 3000; ++round) {
    stopKeyword = round % 2 ? "REGISTERUPATECALLABLE" : "";
    std::string text;
    for (int n = length(rng); n > 0; --n) text += pieces[pick(rng)];
    ExpectSameAsModel(text);
    if (HasFailure()) return;
  }
}

// Handlers that read the whole text over and over would stall the server: past the budget the
// rest of the message is dropped with a warning, and a message far below it is not touched.
TEST_F(InterpreterModelTest, WholeTextReadsAreBounded) {
  int reads = 0;
  interp.SetHandler("GETSERVERVERSION", [&](const TCommandContext& c) {
    reads += c.Text.Str().empty() ? 0 : 1;
    return TCommandResult::Continue;
  });
  const std::string block = Block("GETSERVERVERSION", "");
  std::string big(TInterpreter::kTextReadBudget / 4, 'x');
  for (int i = 0; i < 20; ++i) big += block;
  interp.DataRead(big, socket);
  EXPECT_EQ(reads, 4);  // each read is above a quarter of the budget
  EXPECT_TRUE(env.sink->Contains("rest of a message dropped"));

  reads = 0;
  std::string small;
  for (int i = 0; i < 20; ++i) small += block;
  interp.DataRead(small, socket);
  EXPECT_EQ(reads, 20);
}

}  // namespace
}  // namespace tavo
