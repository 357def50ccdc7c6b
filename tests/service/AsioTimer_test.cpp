// The main loop's timer: ticks repeat until the handler disables it, and a fresh interval
// started from inside a tick replaces the running one instead of adding a second.
#include <gtest/gtest.h>

#include "platform/Timer.h"

namespace tavo {
namespace {

TEST(AsioTimer, TicksUntilDisabledThenLeavesTheLoopIdle) {
  asio::io_context io;
  TAsioTimer timer(io, 1);
  int ticks = 0;
  timer.SetOnTimer([&] {
    if (++ticks == 3) timer.SetEnabled(false);
  });
  timer.SetEnabled(true);
  io.run();  // returns only when nothing is pending any more
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(timer.Enabled());
}

TEST(AsioTimer, NewIntervalInsideATickReplacesTheRunningOne) {
  asio::io_context io;
  TAsioTimer timer(io, 1);
  int ticks = 0;
  timer.SetOnTimer([&] {
    ++ticks;
    // As the maintenance timer does at its first tick, only with a minute's interval: the
    // 1 ms interval must not go on beside it.
    timer.SetEnabled(false);
    timer.SetInterval(60000);
    timer.SetEnabled(true);
  });
  timer.SetEnabled(true);
  io.run_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 60000u);
}

}  // namespace
}  // namespace tavo
