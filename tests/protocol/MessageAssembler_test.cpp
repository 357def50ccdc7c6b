#include <gtest/gtest.h>

#include "protocol/MessageAssembler.h"

namespace tavo {
namespace {

const std::string M = "\xA4";
const std::string KA = M + "KEEPALIVE::KEEPALIVE" + M;

TEST(MessageAssembler, FramedMessageOverThreeReads) {
  TMessageAssembler a;
  EXPECT_FALSE(a.Feed("#DATASTART#" + M + "KEEP").Message);
  EXPECT_TRUE(a.Collecting());
  EXPECT_FALSE(a.Feed("ALIVE::KEEP").Message);
  auto r = a.Feed("ALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA);
  EXPECT_FALSE(a.Collecting());
}

TEST(MessageAssembler, BlankChunksDroppedAlsoWhilePending) {
  TMessageAssembler a;
  EXPECT_FALSE(a.Feed(" \r\n\t").Message);
  EXPECT_FALSE(a.Feed("#DATASTART#" + M + "KEEPALIVE:").Message);
  EXPECT_FALSE(a.Feed("\r\n").Message);
  auto r = a.Feed(":KEEPALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA);  // the blank chunk did not join the message
}

TEST(MessageAssembler, NewStartMarkerDiscardsPending) {
  TMessageAssembler a;
  a.Feed("#DATASTART#" + M + "CALLING:1:");
  a.Feed("#DATASTART#" + M + "KEEPALIVE:");
  auto r = a.Feed(":KEEPALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA);
}

TEST(MessageAssembler, EndMarkerSplitOverTwoReadsIsNotSeen) {
  TMessageAssembler a;
  a.Feed("#DATASTART#" + KA + "#DATA");
  EXPECT_FALSE(a.Feed("END#").Message);
  EXPECT_TRUE(a.Collecting());
  auto r = a.Feed("#DATAEND#");
  ASSERT_TRUE(r.Message);
  // The first marker pair is removed; the split "#DATA" + "END#" stays as text.
  EXPECT_EQ(*r.Message, KA + "#DATAEND#");
}

TEST(MessageAssembler, TwoFramedMessagesInOneChunkStayOneText) {
  TMessageAssembler a;
  auto r = a.Feed("#DATASTART#" + KA + "#DATAEND##DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA + "#DATASTART#" + KA + "#DATAEND#");
}

TEST(MessageAssembler, BareAndCompleteChunksPassAsTheyAre) {
  TMessageAssembler a;
  auto bare = a.Feed(KA + "\r\n");
  ASSERT_TRUE(bare.Message);
  EXPECT_EQ(*bare.Message, KA + "\r\n");
  auto framed = a.Feed("#DATASTART#" + KA + "#DATAEND#\r\n");
  ASSERT_TRUE(framed.Message);
  EXPECT_EQ(*framed.Message, KA + "\r\n");
}

TEST(MessageAssembler, ChunkWithEndMarkerOnlyWhileIdleIsInterpreted) {
  TMessageAssembler a;
  auto r = a.Feed(KA + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA);
}

TEST(MessageAssembler, SeparateAssemblersKeepClientsApart) {
  TMessageAssembler one, two;
  one.Feed("#DATASTART#" + M + "KEEPALIVE:");
  // Another client's bare chunk is its own message, not the tail of the first one's.
  auto other = two.Feed(M + "GETSERVERVERSION::");
  ASSERT_TRUE(other.Message);
  EXPECT_EQ(*other.Message, M + "GETSERVERVERSION::");
  auto r = one.Feed(":KEEPALIVE" + M + "#DATAEND#");
  ASSERT_TRUE(r.Message);
  EXPECT_EQ(*r.Message, KA);
}

TEST(MessageAssembler, OversizedPendingMessageIsDiscardedOnceAndConnectionRecovers) {
  TMessageAssembler a(100);
  EXPECT_FALSE(a.Feed("#DATASTART#" + std::string(60, 'x')).Overflowed);
  auto over = a.Feed(std::string(60, 'y'));
  EXPECT_TRUE(over.Overflowed);
  EXPECT_FALSE(over.Message);
  EXPECT_EQ(a.PendingSize(), 0u);
  // The rest of that message, up to its end marker, is skipped without a second warning.
  auto rest = a.Feed(std::string(60, 'z'));
  EXPECT_FALSE(rest.Overflowed);
  EXPECT_FALSE(rest.Message);
  EXPECT_FALSE(a.Feed("zz#DATAEND#").Message);
  // The next message is handled normally.
  auto next = a.Feed("#DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(next.Message);
  EXPECT_EQ(*next.Message, KA);
}

TEST(MessageAssembler, OversizedFirstChunkIsDiscarded) {
  TMessageAssembler a(100);
  auto r = a.Feed("#DATASTART#" + std::string(200, 'x'));
  EXPECT_TRUE(r.Overflowed);
  EXPECT_EQ(a.PendingSize(), 0u);
  auto next = a.Feed("#DATASTART#" + KA + "#DATAEND#");
  ASSERT_TRUE(next.Message);
  EXPECT_EQ(*next.Message, KA);
}

}  // namespace
}  // namespace tavo
