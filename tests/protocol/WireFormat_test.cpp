#include <gtest/gtest.h>

#include "protocol/WireFormat.h"

namespace tavo {
namespace {

const std::string M = "\xA4";

struct FieldCase {
  std::string text;
  int n;
  char sep;
  std::string expected;
};

TEST(GetField, FieldsByCountOfSeparators) {
  // The block text of a CALLING request: opening tag, a, colon, b, and the closing tag's colon.
  const std::string calling = M + "CALLING:a:b:";
  const FieldCase cases[] = {
      {calling, 0, ':', M + "CALLING"},
      {calling, 1, ':', "a"},
      {calling, 2, ':', "b"},
      {calling, 3, ':', ""},
      {calling, 4, ':', M + "CALLING"},  // past the last separator: field 0
      {"  no separator here ", 0, ':', "no separator here"},
      {"  no separator here ", 1, ':', "no separator here"},
      {"  no separator here ", 7, ':', "no separator here"},
      {"", 0, ':', ""},
      {"", 3, ':', ""},
      {"x: \t inner blank \r\n:y", 1, ':', "inner blank"},
      {"a:b:c", 2, ':', "c"},
      {"a:b:", 2, ':', ""},
      {M + "EXECSQL$SELECT a:b FROM t$", 1, '$', "SELECT a:b FROM t"},
      {"a::c", 1, ':', ""},
      {"12:34", 1, '$', "12:34"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetField(c.text, c.n, c.sep), c.expected) << "text='" << c.text << "' n=" << c.n;
}

TEST(GetField, SeparatorInsideAFieldSplitsIt) {
  // No escaping: "10:30" sent as one value arrives as two fields.
  const std::string block = M + "SETINITEXT:Klocka:10:30:";
  EXPECT_EQ(GetField(block, 2, ':'), "10");
  EXPECT_EQ(GetField(block, 3, ':'), "30");
}

TEST(FrameReply, FramedAndBare) {
  const std::string ka = M + "KEEPALIVE::KEEPALIVE" + M;
  EXPECT_EQ(FrameReply(ka, false), "#DATASTART#" + ka + "#DATAEND#\r\n");
  EXPECT_EQ(FrameReply(ka, true), ka + "\r\n");
  EXPECT_EQ(Block("RETSERVERVERSION", "1.10.4"), M + "RETSERVERVERSION:1.10.4:RETSERVERVERSION" + M);
  EXPECT_EQ(OpeningTag("EXECSQL", '$'), M + "EXECSQL$");
  EXPECT_EQ(ClosingTag("EXECSQL", '$'), "$EXECSQL" + M);
}

TEST(FrameReply, LineModeIsAnyLineFeed) {
  EXPECT_TRUE(IsLineMode("#DATASTART#x#DATAEND#\r\n"));
  EXPECT_TRUE(IsLineMode("\n"));
  EXPECT_FALSE(IsLineMode("abc\r"));
}

}  // namespace
}  // namespace tavo
