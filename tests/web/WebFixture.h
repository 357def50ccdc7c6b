// The real server with a small clinic and its pages on a port of their own: call stations,
// display stations (one with a name outside ASCII), a hardware station, resources with their
// colours and an SMS number the pages must never show.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "../integration/SeededServer.h"
#include "CurrentListRows.h"
#include "WebClient.h"

namespace tavo::test {

inline constexpr const char* kSmsNumber = "070-5550123";
inline constexpr const char* kImei = "356938035643809";

class WebFixture : public ::testing::Test {
 protected:
  void Seed() {
    seeded.Station(1, "Rum 1", "Rum 1", 65280, 0, kImei);
    seeded.Station(2, "Exp", "Expedition", 16711680, 0);
    seeded.Station(3, "Visning1", "Visning 1", 0, 1);
    seeded.Station(4, "Väntrum", "Väntrum", 0, 1);
    seeded.Station(5, "Lampa", "Lampa", 0, 3);
    seeded.Resource(3, "Doktor A", "Doktor Alfa", 255);
    seeded.Resource(5, "Sköterska", "Sköterska", 65535, 0, kSmsNumber);
    seeded.Resource(9, "Avbryt", "Avbryt", 0);
    for (int station : {1, 2, 3, 5}) {
      seeded.List(station, 3, 1);
      seeded.List(station, 5, 2);
      seeded.List(station, 9, 3);
    }
    seeded.List(4, 5, 1);
    seeded.IntSetting("AVBRYTCALLNAME", 9);
    httpPort = FreePort();
    seeded.server.SetRegistry("MetricsPort", std::to_string(httpPort));
  }
  void TearDown() override {
    if (seeded.server.Running()) {
      EXPECT_EQ(seeded.server.Stop(), 0) << seeded.server.EventLog();
    }
  }

  std::unique_ptr<TLoopbackClient> SignOn(const std::string& name, int kind) {
    auto c = std::make_unique<TLoopbackClient>(seeded.Port());
    c->Send(Framed("¤GETCALLLIST:" + name + ":" + std::to_string(kind) + ":GETCALLLIST¤"));
    EXPECT_TRUE(c->WaitFor(kind == 0 ? "RETCALLLIST" : "CURRENTLIST")) << name;
    c->Take();
    return c;
  }
  void Send(TLoopbackClient& c, const std::string& block) { c.Send(Framed(block)); }
  // Sends the block and waits until the display has been sent a fresh CURRENTLIST.
  TRows Change(TLoopbackClient& station, const std::string& block, TLoopbackClient& display) {
    display.Take();
    Send(station, block);
    EXPECT_TRUE(display.WaitFor(W("CURRENTLIST¤"))) << block;
    display.ReadFor(50);
    return RowsOfCurrentList(display.Take());
  }
  // Follows a page's list events until they show the rows (a rendering that does not change
  // is not sent again, so the rows shown last may already be the ones); the rows shown last.
  static TRows Follow(TEventStreamClient& stream, TRows& shown, const TRows& wanted,
                      int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (shown != wanted && std::chrono::steady_clock::now() < end) {
      const TSseEvent e = stream.Next("list", 200);
      if (!e.Data.empty()) shown = RowsOfListJson(nlohmann::json::parse(e.Data)["resources"]);
    }
    return shown;
  }
  // Resident memory of the server in kB.
  long ServerRssKb() {
    std::ifstream in("/proc/" + std::to_string(seeded.server.Pid()) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }
  std::string Metric(const std::string& name) {
    const THttpAnswer m = HttpGet(httpPort, "/metrics");
    const size_t at = m.Body.find("\n" + name + " ");
    if (at == std::string::npos) return "absent";
    return m.Body.substr(at + name.size() + 2, m.Body.find('\n', at + 1) - at - name.size() - 2);
  }

  TSeededServer seeded;
  uint16_t httpPort = 0;
};

}  // namespace tavo::test
