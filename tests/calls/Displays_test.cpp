// CURRENTLIST: who receives it, and its bytes per display.
#include "CallsFixture.h"

namespace tavo::test {
namespace {

using DisplaysTest = CallsTest;

TEST_F(DisplaysTest, ExampleRenderingPerDisplayPosition) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  auto display1 = SignOn("VISNING1", 1);
  auto display2 = SignOn("VISNING2", 1);
  Calling(rum3, 3);
  At(10, 16, 40);
  Coming(exp, 3, 7);
  Take(display1);
  Take(display2);
  service.UpdateVisningsScreens();
  // Doktor A at position 1 and Doktor B at 2 on one display, at 4 and 1 on the other; the
  // cancel resource, listed by the first, is left out.
  EXPECT_EQ(Take(display1),
            Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%Rum 3~7~2026-12-09 10:15:02~65280~4~"
                   "2026-12-09 10:16:40~Exp~%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Take(display2),
            Framed("¤CURRENTLIST:Doktor A:3:255:4:¤%Rum 3~7~2026-12-09 10:15:02~65280~4~"
                   "2026-12-09 10:16:40~Exp~%¤:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
}

TEST_F(DisplaysTest, BroadcastReachesDisplaysAndHardwareOnly) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  auto hardware = SignOn("VISNING3", 3);
  auto admin = SignOn("x", 2);
  auto stranger = Connect();
  auto emptyDisplay = SignOn("TOM", 1);
  EXPECT_EQ(Take(emptyDisplay), Framed("¤TAVOCLIENTDATA:TOM:Tom:0:14:TAVOCLIENTDATA¤") +
                                    Framed("¤CURRENTLIST:CURRENTLIST¤"));
  for (auto& s : {rum3, exp, hardware, admin}) Take(s);
  service.UpdateVisningsScreens();
  EXPECT_EQ(Take(hardware), Framed("¤CURRENTLIST:Doktor B:5:0:1:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Take(emptyDisplay), Framed("¤CURRENTLIST:CURRENTLIST¤"));
  for (auto& s : {rum3, exp, admin, stranger}) EXPECT_EQ(Take(s), "");
  // Given a connection, it is rendered whatever its kind.
  service.UpdateVisningsScreens(exp);
  EXPECT_EQ(Take(exp), Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
}

TEST_F(DisplaysTest, CancelResourceNeverShownButCalledLikeAnyOther) {
  auto rum3 = SignOn("RUM3", 0);
  auto display = SignOn("VISNING1", 1, true);
  Take(rum3);
  Take(display);
  Calling(rum3, 9);
  EXPECT_EQ(Take(display),
            Line("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_EQ(Take(rum3),
            Framed("¤RETCALLLIST~Doktor A~3~Doktor Alfa~255~0~0~1899-12-30~~1899-12-30~0~"
                   "Avbryt~9~Avbryt~0~-1~-1~2026-12-09 10:15:02~~1899-12-30~0~RETCALLLIST¤"));
  // The setting is read for every list: without it nothing is left out.
  sqlite.Execute("DELETE FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'");
  service.UpdateVisningsScreens();
  EXPECT_EQ(Take(display),
            Line("¤CURRENTLIST:Avbryt:9:0:3:¤%Rum 3~7~2026-12-09 10:15:02~65280~0~1899-12-30~~"
                 "%¤:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
}

TEST_F(DisplaysTest, UnreadableSettingShowsEverything) {
  auto display = SignOn("VISNING1", 1);
  Take(display);
  db.FailOn("FROM SETTINGS");
  service.UpdateVisningsScreens();
  EXPECT_EQ(Take(display), Framed("¤CURRENTLIST:Avbryt:9:0:3:¤%%¤:Doktor A:3:255:1:¤%%¤:"
                                  "Doktor B:5:0:2:¤%%¤:CURRENTLIST¤"));
  EXPECT_TRUE(Logged("Error in GetIntSetting: injected failure"));
}

// Displays that show the same list in the same mode are handed one buffer; another list or
// another mode gets its own. Every CURRENTLIST is marked as replaceable by a newer one.
TEST_F(DisplaysTest, OneRenderingPerDistinctListAndMode) {
  auto a = SignOn("VISNING1", 1);
  auto b = SignOn("VISNING1", 1);
  auto lineMode = SignOn("VISNING1", 1, true);
  auto other = SignOn("VISNING2", 1);
  for (auto& s : {a, b, lineMode, other}) s->Clear();
  service.UpdateVisningsScreens();
  for (auto& s : {a, b, lineMode, other}) {
    ASSERT_EQ(s->replies.size(), 1u);
    EXPECT_EQ(s->kinds[0], TReplyKind::CurrentList);
  }
  EXPECT_EQ(a->replies[0], b->replies[0]);
  EXPECT_NE(a->replies[0], lineMode->replies[0]);
  EXPECT_NE(a->replies[0], other->replies[0]);
  EXPECT_EQ(*a->replies[0], Framed("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:"
                                   "CURRENTLIST¤"));
  EXPECT_EQ(*lineMode->replies[0], Line("¤CURRENTLIST:Doktor A:3:255:1:¤%%¤:Doktor B:5:0:2:¤%%¤:"
                                        "CURRENTLIST¤"));
  EXPECT_EQ(*other->replies[0], Framed("¤CURRENTLIST:Doktor A:3:255:4:¤%%¤:Doktor B:5:0:1:¤%%¤:"
                                       "CURRENTLIST¤"));

  // The next broadcast renders afresh: a call made in between shows.
  auto rum3 = SignOn("RUM3", 0);
  for (auto& s : {a, b}) s->Clear();
  Calling(rum3, 3);
  ASSERT_EQ(a->replies.size(), 1u);
  EXPECT_EQ(a->replies[0], b->replies[0]);
  EXPECT_NE(a->replies[0]->find("Rum 3~7~"), std::string::npos);
}

}  // namespace
}  // namespace tavo::test
