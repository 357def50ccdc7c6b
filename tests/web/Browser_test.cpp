// The pages in a real browser (Debian's Chromium, headless) against the real server: the
// display page shows what the display station is sent, row by row, within a second of each
// change; it says so when the server is gone and recovers when it is back; the overview.
// Skips, with the reason, where no browser can run.
#include <filesystem>

#include "Browser.h"
#include "WebFixture.h"

namespace tavo::test {
namespace {

constexpr const char* kToken = "s3cret-Token";

// The display page's rows, written as RowsOfCurrentList writes them.
constexpr const char* kDomRows = R"JS(
[...document.querySelectorAll('#resources > section.resource')].flatMap(s => [
  ['R', s.querySelector('.resource-name').textContent, s.dataset.lopnr, s.dataset.colour,
   s.dataset.position].join('|'),
  ...[...s.querySelectorAll('li.call')].map(li => ['C', li.querySelector('.caller').textContent,
     li.dataset.station, li.dataset.time, li.dataset.colour, li.dataset.coming, li.dataset.comingTime,
     li.dataset.coming === '0' ? '' : li.querySelector('.coming-name').textContent].join('|'))
]).join('\n'))JS";

std::string Joined(const TRows& rows) {
  std::string text;
  for (const auto& r : rows) text += (text.empty() ? "" : "\n") + r;
  return text;
}

class Browser : public WebFixture {
 protected:
  void SetUp() override {
    if (!browser.Ready()) GTEST_SKIP() << "no browser can run here: " << browser.Why();
    Seed();
    seeded.server.SetRegistry("WebDisplayToken", kToken);
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(httpPort) + path + "?token=" + kToken;
  }
  // Milliseconds until the page's rows are these, as the page measured them; -1 if never.
  double UntilRows(const TRows& rows, int timeoutMs = 5000) {
    return browser.WaitUntil("(" + std::string(kDomRows) + ") === " + nlohmann::json(Joined(rows)).dump(),
                             timeoutMs);
  }
  std::string DomRows() { return browser.Eval(kDomRows).get<std::string>(); }
  // Screenshots go beside the build, for the documentation.
  void Screenshot(const std::string& name) {
    const auto dir = std::filesystem::path(TAVO_BINARY_DIR) / "web-screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(browser.Screenshot((dir / name).string(), 1280, 720)) << name;
  }

  TBrowser browser;
};

TEST_F(Browser, DisplayPageShowsWhatTheDisplayStationIsSentWithinASecond) {
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto exp = SignOn("Exp", 0);
  auto display = SignOn("Visning1", 1);
  ASSERT_EQ(browser.Open(Url("/display/Visning1")), "");
  const TRows empty = {"R|Doktor A|3|255|1", "R|Sköterska|5|65535|2"};
  ASSERT_GE(UntilRows(empty), 0) << DomRows();

  struct Step {
    const char* block;
    TLoopbackClient* from;
  };
  const Step steps[] = {{"¤CALLING:3:CALLING¤", rum.get()},  // a call appears
                        {"¤CALLING:5:CALLING¤", rum.get()},
                        {"¤COMING:3:1:COMING¤", exp.get()},  // who is coming
                        {"¤CALLING:3:CALLING¤", rum.get()}};  // a confirmation removes it
  for (const Step& step : steps) {
    const TRows wire = Change(*step.from, step.block, *display);
    const double ms = UntilRows(wire);
    EXPECT_GE(ms, 0) << step.block << "\npage:\n" << DomRows() << "\nwire:\n" << Joined(wire);
    EXPECT_LT(ms, 1000) << step.block;
    if (std::string(step.block).find("COMING") != std::string::npos) {
      // Who, and at what time of day the answer came.
      EXPECT_EQ(browser.Eval("document.querySelector('li.call .coming').textContent").get<std::string>(),
                "KommerExpedition" + wire[1].substr(wire[1].rfind('|') - 8, 5));
    }
  }
  // The clinic's colours, and the age of the call counting up.
  EXPECT_EQ(browser.Eval("getComputedStyle(document.querySelector('.resource-name')).backgroundColor")
                .get<std::string>(),
            "rgb(255, 0, 0)");
  EXPECT_EQ(browser.Eval("getComputedStyle(document.querySelector('li.call .caller')).backgroundColor")
                .get<std::string>(),
            "rgb(0, 255, 0)");
  EXPECT_GE(browser.WaitUntil("/^0:0[2-9]$/.test(document.querySelector('li.call .age').textContent)", 5000), 0)
      << browser.Eval("document.querySelector('li.call .age').textContent").dump();
}

TEST_F(Browser, ConnectionLostWhenTheServerStopsAndRecoveredWhenItIsBack) {
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto display = SignOn("Visning1", 1);
  const TRows called = Change(*rum, "¤CALLING:3:CALLING¤", *display);
  ASSERT_EQ(browser.Open(Url("/display/Visning1")), "");
  ASSERT_GE(UntilRows(called), 0) << DomRows();
  EXPECT_TRUE(browser.Eval("document.getElementById('lost').hidden").get<bool>());

  ASSERT_EQ(seeded.server.Stop(), 0);
  EXPECT_GE(browser.WaitUntil("!document.getElementById('lost').hidden && "
                              "document.body.classList.contains('disconnected')",
                              5000),
            0);
  Screenshot("display-lost.png");

  // The same server again: the open call comes back from the call log, and the page with it.
  seeded.server.Start();
  ASSERT_TRUE(seeded.server.WaitListening(seeded.Port()));
  rum = SignOn("Rum 1", 0);
  display = SignOn("Visning1", 1);
  const TRows both = Change(*rum, "¤CALLING:5:CALLING¤", *display);
  EXPECT_GE(UntilRows(both, 15000), 0) << DomRows();
  EXPECT_TRUE(browser.Eval("document.getElementById('lost').hidden").get<bool>());
}

TEST_F(Browser, OverviewOfTheClinic) {
  seeded.Start();
  auto rum = SignOn("Rum 1", 0);
  auto exp = SignOn("Exp", 0);
  auto display = SignOn("Visning1", 1);
  Change(*rum, "¤CALLING:3:CALLING¤", *display);
  Change(*exp, "¤CALLING:5:CALLING¤", *display);
  Change(*exp, "¤COMING:3:1:COMING¤", *display);
  ASSERT_EQ(browser.Open(Url("/overview")), "");
  const char* rows = R"JS([...document.querySelectorAll('#calls tbody tr')].map(tr =>
      [...tr.children].filter(td => !td.classList.contains('age')).map(td => td.textContent).join('|')).join('\n'))JS";
  EXPECT_GE(browser.WaitUntil(std::string("(") + rows + ") === 'Doktor A|Rum 1|Expedition\\nSköterska|Expedition|'", 5000), 0)
      << browser.Eval(rows).dump();
  const char* stations = R"JS([...document.querySelectorAll('#stations tbody tr')].map(tr =>
      tr.dataset.name + '=' + tr.dataset.online).join(' '))JS";
  EXPECT_GE(browser.WaitUntil(std::string("(") + stations +
                                  ") === 'Exp=true Lampa=false Rum 1=true Visning1=true Väntrum=false'",
                              5000),
            0)
      << browser.Eval(stations).dump();
  EXPECT_EQ(browser.Eval("document.getElementById('server').textContent").get<std::string>(),
            "TAVO-server 1.10.4 · aktiv");
  EXPECT_EQ(browser.Eval("document.getElementById('sms-failed').textContent").get<std::string>(), "0");
}

// A morning at a clinic, for the screenshots of the documentation: the display's rows are
// checked against the wire as everywhere else.
TEST_F(Browser, PagesOfABusyClinic) {
  const char* rooms[] = {"Rum 2", "Rum 3", "Rum 4", "Rum 5"};
  const int colours[] = {0x00A5FF, 0xFF9933, 0xCC66FF, 0x66CCFF};
  const char* staff[] = {"Barnmorska", "Kurator", "Labb", "Doktor B"};
  const int staffColours[] = {0xB469FF, 0x8B8B00, 0x3CB371, 0xE16941};
  for (int i = 0; i < 4; ++i) {
    seeded.Station(10 + i, rooms[i], rooms[i], colours[i], 0);
    seeded.Resource(20 + i, staff[i], staff[i], staffColours[i]);
  }
  for (int station : {1, 2, 3, 10, 11, 12, 13})
    for (int r = 0; r < 4; ++r) seeded.List(station, 20 + r, 4 + r);
  for (int station : {10, 11, 12, 13}) {
    seeded.List(station, 3, 1);
    seeded.List(station, 5, 2);
  }
  seeded.Start();
  auto display = SignOn("Visning1", 1);
  auto exp = SignOn("Exp", 0);
  std::vector<std::unique_ptr<TLoopbackClient>> room;
  for (const char* name : {"Rum 1", "Rum 2", "Rum 3", "Rum 4", "Rum 5"}) room.push_back(SignOn(name, 0));
  TRows wire;
  const std::pair<int, int> calls[] = {{0, 3}, {1, 5}, {2, 3}, {3, 20}, {4, 23}, {1, 21}};
  for (const auto& [r, resource] : calls)
    wire = Change(*room[r], "¤CALLING:" + std::to_string(resource) + ":CALLING¤", *display);
  wire = Change(*exp, "¤COMING:3:1:COMING¤", *display);
  wire = Change(*exp, "¤COMING:20:12:COMING¤", *display);
  ASSERT_EQ(browser.Open(Url("/display/Visning1")), "");
  EXPECT_GE(UntilRows(wire), 0) << DomRows();
  browser.WaitUntil("false", 2500);  // a few seconds of waiting on the clock
  Screenshot("display.png");
  ASSERT_EQ(browser.Open(Url("/overview")), "");
  EXPECT_GE(browser.WaitUntil("document.querySelectorAll('#calls tbody tr').length === 6", 5000), 0);
  browser.WaitUntil("false", 1000);
  Screenshot("overview.png");
}

}  // namespace
}  // namespace tavo::test
