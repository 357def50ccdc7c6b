// TPageFeeds: renders what the pages show and publishes it on the board, on the main thread.
// After a change, every watched feed is rendered once (at most every 100 ms, so a burst of
// calls costs one rendering per feed, shared by all its streams, and displays that show the
// same resources share the rendering of them); the overview again every
// second (its connection flags and SMS counts change without a call); everything, with the
// names of the display stations, every 5 s (changes that other programs make in the
// database). A failure keeps the last rendering and is logged once until it clears; it never
// counts towards the restart, since a page must not restart the server.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <asio.hpp>

#include "platform/Logging.h"
#include "web/FeedBoard.h"
#include "web/PageSources.h"

namespace tavo {

inline constexpr const char* kOverviewFeed = "overview";
inline constexpr const char* kDisplayFeedPrefix = "display/";

class TPageFeeds {
 public:
  static constexpr std::chrono::milliseconds kMinInterval{100};
  static constexpr std::chrono::seconds kTick{1};
  static constexpr int kFullEvery = 5;  // ticks

  TPageFeeds(asio::io_context& io, TFeedBoard& board, TPageSources sources, TLogging& log);
  TPageFeeds(const TPageFeeds&) = delete;
  TPageFeeds& operator=(const TPageFeeds&) = delete;

  // Reads the display stations and starts the ticks. Main thread.
  void Start();
  void Stop();
  // Something a page shows may have changed. Main thread.
  void Changed();
  // A feed got its first watcher. Any thread.
  void FirstWatch();

  // Renders the watched feeds now: the overview alone unless all; with directory, reads the
  // display stations first.
  void Render(bool all, bool directory = false);

  const TPageSources& Sources() const { return sources_; }

 private:
  void Tick();
  void RefreshDisplays();
  void RenderDisplays(const std::vector<std::string>& keys);
  void RenderOverview();
  void Failed(const std::string& what, const std::exception& e);

  asio::io_context& io_;
  TFeedBoard& board_;
  TPageSources sources_;
  TLogging& log_;
  asio::steady_timer changeTimer_;
  asio::steady_timer tickTimer_;
  std::chrono::steady_clock::time_point lastRender_{};
  bool changePending_ = false;
  bool running_ = false;
  bool failing_ = false;
  bool renderedOk_ = true;
  int ticks_ = 0;
};

}  // namespace tavo
