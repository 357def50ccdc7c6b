// The pieces of the pages without a server: colours, the token, the board of feeds, one event
// stream's bytes and parking, the JSON of a list.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CurrentListRows.h"
#include "web/Colours.h"
#include "web/EventStream.h"
#include "web/FeedBoard.h"
#include "web/PageAccess.h"
#include "web/PageEvents.h"

namespace tavo {
namespace {

TEST(WebColours, WindowsColoursAsTheClinicSetThem) {
  struct Case {
    TColor colour;
    const char* css;  // nullptr: no colour
  };
  const Case cases[] = {
      {255, "#ff0000"},           // clRed: 0x00BBGGRR
      {65280, "#00ff00"},         // clLime
      {0xFF0000, "#0000ff"},      // clBlue
      {0x563412, "#123456"},
      {0x02563412, "#123456"},    // a palette flag changes nothing
      {static_cast<TColor>(0xFF00000F), "#f0f0f0"},  // clBtnFace
      {static_cast<TColor>(0x80000005), "#ffffff"},  // clWindow, the older form
      {static_cast<TColor>(0xFF000040), nullptr},    // no such system colour
      {0x1FFFFFFF, nullptr},      // clNone
      {0x20000000, nullptr},      // clDefault
  };
  for (const Case& c : cases) {
    const auto css = CssColour(c.colour);
    if (c.css)
      EXPECT_EQ(css.value_or("none"), c.css) << c.colour;
    else
      EXPECT_FALSE(css) << c.colour;
  }
  // The ink that reads on the colour.
  EXPECT_EQ(InkFor(0x00FFFF), "#000000");  // yellow
  EXPECT_EQ(InkFor(0x800000), "#ffffff");  // navy
  EXPECT_EQ(InkFor(0), "#ffffff");         // black
  EXPECT_EQ(InkFor(0x1FFFFFFF), "#000000");
}

TEST(WebAccess, TokenFromAddressCookieOrHeader) {
  struct Case {
    const char* required;
    TOfferedToken offered;
    bool accepted;
  };
  const Case cases[] = {
      {"", {}, true},
      {"s3cret", {"s3cret", "", ""}, true},
      {"s3cret", {"", "s3cret", ""}, true},
      {"s3cret", {"", "", "Bearer s3cret"}, true},
      {"s3cret", {"wrong", "s3cret", ""}, true},  // one right offer is enough
      {"s3cret", {}, false},
      {"s3cret", {"s3cre", "", ""}, false},
      {"s3cret", {"s3cret ", "", ""}, false},
      {"s3cret", {"S3CRET", "", ""}, false},
      {"s3cret", {"", "", "s3cret"}, false},  // not a bearer
      {"s3cret", {"", "", "Basic s3cret"}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TokenAccepted(c.required, c.offered), c.accepted)
        << c.required << " / " << c.offered.Query << " / " << c.offered.Cookie << " / "
        << c.offered.Authorization;
  EXPECT_TRUE(SameSecret("", ""));
  EXPECT_FALSE(SameSecret("a", "ab"));
  EXPECT_TRUE(CookieSafe("abc-123_XYZ.~"));
  for (const char* unsafe : {"", "a b", "a;b", "a,b", "a\"b", "\xC3\xA5"}) EXPECT_FALSE(CookieSafe(unsafe)) << unsafe;
}

TEST(WebFeedBoard, OneRenderingPerWatchedFeedAndNewVersionsOnlyForChanges) {
  TFeedBoard board;
  std::vector<std::string> published, first;
  board.SetListener({[&](const std::string& k) { published.push_back(k); },
                     [&](const std::string& k) { first.push_back(k); }});
  EXPECT_FALSE(board.Publish("overview", "a")) << "nobody watches";
  board.Watch("overview");
  board.Watch("overview");
  EXPECT_EQ(first, std::vector<std::string>{"overview"});
  EXPECT_TRUE(board.Publish("overview", "a"));
  const auto v1 = board.Latest("overview").Version;
  EXPECT_FALSE(board.Publish("overview", "a")) << "the same rendering is no change";
  EXPECT_EQ(board.Latest("overview").Version, v1);
  EXPECT_TRUE(board.Publish("overview", "b"));
  EXPECT_GT(board.Latest("overview").Version, v1);
  EXPECT_EQ(published, (std::vector<std::string>{"overview", "overview"}));
  board.Unwatch("overview");
  EXPECT_EQ(*board.Latest("overview").Event, "b");
  board.Unwatch("overview");
  EXPECT_EQ(board.Latest("overview").Event, nullptr) << "the last watcher's leaving drops it";
  EXPECT_TRUE(board.WatchedKeys().empty());
}

class WebEventStream : public ::testing::Test {
 protected:
  WebEventStream() { board.Watch("display/V1"); }

  std::string ReadAll(size_t max = 4096) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = stream.Read(buf, std::min(max, sizeof buf))) > 0;) out.append(buf, n);
    return out;
  }

  TFeedBoard board;
  int suspended = 0, resumed = 0, clocks = 0;
  TEventStream stream{board, "display/V1",
                      {[this] { ++suspended; }, [this] { ++resumed; },
                       [this] { return "event: clock\ndata: " + std::to_string(++clocks) + "\n\n"; }}};
};

TEST_F(WebEventStream, ClockFirstThenTheNewestListThenParked) {
  board.Publish("display/V1", "event: list\ndata: 1\n\n");
  EXPECT_EQ(ReadAll(), "retry: 1000\nevent: clock\ndata: 1\n\nevent: list\ndata: 1\n\n");
  EXPECT_EQ(suspended, 1);
  stream.Wake();
  stream.Wake();
  EXPECT_EQ(resumed, 1) << "only a parked connection is resumed";
  EXPECT_EQ(ReadAll(), "") << "nothing new: parked again";
  stream.Heartbeat();
  EXPECT_EQ(ReadAll(), "event: clock\ndata: 2\n\n");
}

TEST_F(WebEventStream, ABrowserBehindSkipsToTheNewestAndNeverQueues) {
  auto list = [](char c) { return std::string(100, c) + "\n\n"; };
  board.Publish("display/V1", list('A'));
  char buf[16];
  ASSERT_EQ(stream.Read(buf, sizeof buf), 16);  // the browser is still taking the clock
  board.Publish("display/V1", list('B'));
  board.Publish("display/V1", list('C'));
  const std::string got = std::string(buf, 16) + ReadAll(7);
  EXPECT_EQ(got, "retry: 1000\nevent: clock\ndata: 1\n\n" + list('C'));
  // A rendering once begun is finished, then the newest follows; the ones between are skipped.
  stream.Wake();
  board.Publish("display/V1", list('D'));
  ASSERT_EQ(stream.Read(buf, sizeof buf), 16);
  board.Publish("display/V1", list('E'));
  board.Publish("display/V1", list('F'));
  EXPECT_EQ(std::string(buf, 16) + ReadAll(7), list('D') + list('F'));
}

TEST_F(WebEventStream, ACloseEndsTheStreamAndUnparksIt) {
  EXPECT_EQ(ReadAll().substr(0, 6), "retry:");
  EXPECT_EQ(suspended, 1);
  stream.Close();
  EXPECT_EQ(resumed, 1);
  char buf[8];
  EXPECT_EQ(stream.Read(buf, sizeof buf), -1);
}

TEST(WebPageEvents, AListEventCarriesEveryValueOfTheCurrentList) {
  TStationView view{"VISNING1", "V\xE4ntrum", {}};
  view.Resources.push_back({"Sk\xF6terska", 6, 128, 2, {}});
  view.Resources[0].Calls.push_back({"Rum 3", 7, EncodeDateTime(2026, 12, 9, 10, 15, 2), 65280, 4,
                                     EncodeDateTime(2026, 12, 9, 10, 16, 40), "Exp"});
  view.Resources[0].Calls.push_back({"Rum 5", 15, EncodeDateTime(2026, 12, 9, 10, 17, 0), 255, 0, 0, ""});
  view.Resources.push_back({"Doktor B", 5, 0, 1, {}});
  TPageSources sources;
  sources.EscalationSeconds = [](int32_t lopnr) { return lopnr == 6 ? std::optional<int>(90) : std::nullopt; };
  const std::string event = DisplayEvent(view, ResourcesJson(view.Resources, sources));
  ASSERT_EQ(event.rfind("event: list\ndata: ", 0), 0u);
  ASSERT_EQ(event.find('\n', 18), event.size() - 2) << "one data line, then the blank line";
  const auto json = nlohmann::json::parse(event.substr(18));
  EXPECT_EQ(json["friendly"], "V\xC3\xA4ntrum");
  EXPECT_EQ(test::RowsOfListJson(json["resources"]),
            test::RowsOfCurrentList("\xA4" "CURRENTLIST:Sk\xF6terska:6:128:2:\xA4%Rum 3~7~2026-12-09 10:15:02~"
                                    "65280~4~2026-12-09 10:16:40~Exp~Rum 5~15~2026-12-09 10:17:00~255~0~"
                                    "1899-12-30~~%\xA4:Doktor B:5:0:1:\xA4%%\xA4:CURRENTLIST\xA4"));
  EXPECT_EQ(json["resources"][0]["css"], "#800000");
  EXPECT_EQ(json["resources"][0]["escalateAfter"], 90);
  EXPECT_TRUE(json["resources"][1]["escalateAfter"].is_null());
  EXPECT_EQ(ClockEvent(EncodeDateTime(2026, 12, 9, 10, 15, 2, 250)),
            "event: clock\ndata: {\"now\":\"2026-12-09 10:15:02.250\"}\n\n");
}

}  // namespace
}  // namespace tavo
