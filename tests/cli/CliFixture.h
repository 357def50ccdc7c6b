// A seeded server with stations, resources and lists, and tavo-cli pointed at it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CliRun.h"
#include "common/DateTime.h"
#include "integration/SeededServer.h"

namespace tavo {

class TavoCliFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Seed();
    seeded.Start();
  }
  void Seed() {
    seeded.Station(1, "Rum 1", "Rum 1", 65280, 0);
    seeded.Station(2, "Exp", "Expedition", 0, 0);
    seeded.Station(3, "Visning1", "Visning 1", 0, 1);
    seeded.Station(4, "Visning2", "Visning 2", 0, 1);
    seeded.Resource(3, "Doktor A", "Doktor Alfa", 255);
    seeded.Resource(5, "Doktor B", "Doktor Beta", 0);
    seeded.Resource(9, "Avbryt", "Avbryt", 0);
    seeded.List(1, 3, 1);
    seeded.List(1, 9, 2);
    seeded.List(2, 3, 1);
    seeded.List(3, 3, 1);
    seeded.List(3, 5, 2);
    seeded.List(4, 5, 1);
    seeded.IntSetting("AVBRYTCALLNAME", 9);
  }
  void TearDown() override { EXPECT_EQ(seeded.server.Stop(), 0) << seeded.server.EventLog(); }

  test::TCliRun Cli(std::vector<std::string> args, const test::TCliInput& input = {}) {
    args.insert(args.begin(), {"-p", std::to_string(seeded.Port()), "-t", "5"});
    return test::RunCli(args, 60000, input);
  }
  // The call log, newest row first, read beside the running server.
  std::unique_ptr<TQuery> Log() {
    TSqliteDatabase db(seeded.server.ProgramDir() / "TAVO.sqlite");
    return db.Open("SELECT * FROM CALLLOG ORDER BY LOPNR DESC");
  }
  static std::string Time(const TQuery& q, const std::string& column) {
    return DateTimeToStr(q.AsDateTime(column));
  }

  test::TSeededServer seeded;
};

}  // namespace tavo
