// The lists the browser pages read: a display's view must say exactly what its CURRENTLIST
// says, and reading them must never count towards the restart.
#include "CallsFixture.h"

namespace tavo::test {
namespace {

class PageViewsTest : public CallsTest {
 protected:
  void SetUp() override {
    CallsTest::SetUp();
    sqlite.Execute("UPDATE STATIONS SET STATIONTYPE = 1 WHERE STATIONNAME IN ('VISNING1', 'VISNING2', 'TOM')");
    sqlite.Execute("UPDATE STATIONS SET STATIONTYPE = 3 WHERE STATIONNAME = 'VISNING3'");
    service.SetListsChanged([this] { ++changes; });
  }

  // The view written the way a CURRENTLIST block writes the same values.
  static std::string AsBlock(const TDisplayView& view) {
    std::string text = "\xA4" "CURRENTLIST:";
    for (const auto& r : view) {
      text += r.Name + ":" + std::to_string(r.Lopnr) + ":" + std::to_string(r.Colour) + ":" +
              std::to_string(r.Position) + ":\xA4%";
      for (const auto& c : r.Calls)
        text += c.CallerName + "~" + std::to_string(c.CallerLopnr) + "~" + DateTimeToStr(c.CallTime) +
                "~" + std::to_string(c.CallerColour) + "~" + std::to_string(c.ComingLopnr) + "~" +
                DateTimeToStr(c.ComingTime) + "~" + c.ComingName + "~";
      text += "%\xA4:";
    }
    return text + "CURRENTLIST\xA4";
  }
  // The last CURRENTLIST block the connection was sent, without its frame.
  static std::string LastBlock(const std::shared_ptr<TFakeSocket>& s) {
    const std::string sent = Take(s);
    const size_t end = sent.rfind("CURRENTLIST\xA4");
    const size_t start = sent.rfind("\xA4" "CURRENTLIST:", end);
    if (end == std::string::npos || start == std::string::npos) return "no CURRENTLIST in: " + sent;
    return sent.substr(start, end + 12 - start);
  }

  int changes = 0;
};

TEST_F(PageViewsTest, StationViewSaysWhatEachDisplayIsSent) {
  auto rum3 = SignOn("RUM3", 0);
  auto rum5 = SignOn("RUM5", 0);
  auto exp = SignOn("EXP", 0);
  auto display1 = SignOn("VISNING1", 1);
  auto display2 = SignOn("VISNING2", 1, true);
  auto hardware = SignOn("VISNING3", 3);
  auto empty = SignOn("TOM", 1);
  Calling(rum3, 3);
  At(10, 16, 0);
  Calling(rum5, 3);
  Calling(rum3, 9);  // the cancel resource: on no display
  Calling(rum5, 6);
  At(10, 16, 40);
  Coming(exp, 3, 7);
  service.UpdateVisningsScreens();
  const std::vector<std::string> names = {"VISNING1", "VISNING2", "VISNING3", "TOM"};
  const std::shared_ptr<TFakeSocket> sockets[] = {display1, display2, hardware, empty};
  const auto views = service.StationViews(names);
  ASSERT_EQ(views.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(views[i]) << names[i];
    EXPECT_EQ(AsBlock(views[i]->Resources), LastBlock(sockets[i])) << names[i];
  }
  const auto& view = views[0];
  EXPECT_EQ(view->FriendlyName, "Visning 1");
  ASSERT_EQ(view->Resources.size(), 2u);
  EXPECT_EQ(view->Resources[0].Calls.size(), 2u);
  EXPECT_EQ(view->Resources[0].Calls[0].ComingName, "Exp");
}

TEST_F(PageViewsTest, OnlyDisplayAndHardwareStationsHaveAView) {
  // A call station, an unknown name, and a name differing only in case (as the sign-on's
  // lookup, which is exact).
  const auto views = service.StationViews({"RUM3", "NOBODY", "visning1", "", "VISNING3"});
  for (size_t i = 0; i < 4; ++i) EXPECT_FALSE(views[i]) << i;
  EXPECT_TRUE(views[4]);
}

TEST_F(PageViewsTest, StationsCarryTheConnectedFlagOfSignedOnConnections) {
  auto rum3 = SignOn("RUM3", 0);
  auto display = SignOn("VISNING2", 1);
  auto admin = SignOn("x", 2);
  auto unknown = SignOn("NOBODY", 1);
  Disconnect(display);
  std::vector<std::string> connected, all;
  for (const auto& s : service.Stations()) {
    all.push_back(s.StationName);
    if (s.Connected) connected.push_back(s.StationName);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"EXP", "RUM3", "RUM5", "TOM", "VISNING1", "VISNING2", "VISNING3"}));
  EXPECT_EQ(connected, std::vector<std::string>{"RUM3"});
}

TEST_F(PageViewsTest, OpenCallsAreTheResourcesWithCallsWithoutTheCancelResource) {
  auto rum3 = SignOn("RUM3", 0);
  auto rum5 = SignOn("RUM5", 0);
  Calling(rum3, 9);
  Calling(rum5, 6);
  Calling(rum3, 3);
  std::vector<int32_t> shown;
  for (const auto& r : service.OpenCallsView()) shown.push_back(r.Lopnr);
  // Call-list order is CALLNAME order: Doktor A before Sköterska.
  EXPECT_EQ(shown, (std::vector<int32_t>{3, 6}));
}

TEST_F(PageViewsTest, EveryChangeOfWhatIsShownIsTold) {
  auto rum3 = SignOn("RUM3", 0);
  auto exp = SignOn("EXP", 0);
  auto display = SignOn("VISNING1", 1);
  EXPECT_EQ(changes, 0) << "a sign-on changes nothing";
  Calling(rum3, 3);
  EXPECT_GE(changes, 1) << "new call";
  changes = 0;
  Coming(exp, 3, 7);
  EXPECT_GE(changes, 1) << "answer";
  changes = 0;
  Calling(rum3, 3);
  EXPECT_GE(changes, 1) << "confirm";
  changes = 0;
  service.DatabaseChanged();
  EXPECT_GE(changes, 1) << "a command changed stations, resources or settings";
  changes = 0;
  service.FillCallList();
  EXPECT_GE(changes, 1) << "reload";
}

TEST_F(PageViewsTest, AFailingDatabaseIsThrownButNeverCounted) {
  db.FailOn("FROM STATIONS");
  const int32_t before = env.log.ErrorCount();
  EXPECT_THROW(service.StationViews({"VISNING1"}), std::exception);
  EXPECT_THROW(service.Stations(), std::exception);
  db.Heal();
  db.FailOn("SETTINGS");
  EXPECT_THROW(service.OpenCallsView(), std::exception);
  EXPECT_EQ(env.log.ErrorCount(), before);
}

}  // namespace
}  // namespace tavo::test
