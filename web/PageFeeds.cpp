#include "web/PageFeeds.h"

#include <set>

#include "web/PageEvents.h"

namespace tavo {

TPageFeeds::TPageFeeds(asio::io_context& io, TFeedBoard& board, TPageSources sources,
                       TLogging& log)
    : io_(io),
      board_(board),
      sources_(std::move(sources)),
      log_(log),
      changeTimer_(io),
      tickTimer_(io) {}

void TPageFeeds::Start() {
  running_ = true;
  Render(true, true);
  Tick();
}

void TPageFeeds::Stop() {
  running_ = false;
  changeTimer_.cancel();
  tickTimer_.cancel();
}

void TPageFeeds::Changed() {
  if (!running_ || changePending_) return;
  changePending_ = true;
  const auto due = std::max(std::chrono::steady_clock::now(), lastRender_ + kMinInterval);
  changeTimer_.expires_at(due);
  changeTimer_.async_wait([this](std::error_code ec) {
    if (ec) return;
    changePending_ = false;
    Render(true);
  });
}

void TPageFeeds::FirstWatch() {
  asio::post(io_, [this] { Changed(); });
}

void TPageFeeds::Tick() {
  tickTimer_.expires_after(kTick);
  tickTimer_.async_wait([this](std::error_code ec) {
    if (ec || !running_) return;
    const bool all = ++ticks_ % kFullEvery == 0;
    Render(all, all);
    Tick();
  });
}

void TPageFeeds::RefreshDisplays() {
  try {
    std::set<std::string> names;
    for (const auto& s : sources_.Stations())
      if (s.StationType == ctShow || s.StationType == ctHardware) names.insert(s.StationName);
    board_.SetDisplays(std::move(names));
  } catch (const std::exception& e) {
    Failed("the display stations", e);
  }
}

std::string TPageFeeds::RenderFeed(const std::string& key) {
  if (key == kOverviewFeed) {
    TOverviewFacts facts;
    facts.ClinicName = sources_.ClinicName ? sources_.ClinicName() : std::string();
    facts.Version = sources_.Version;
    facts.Role = sources_.Role ? sources_.Role() : std::string();
    facts.Stations = sources_.Stations();
    facts.Calls = sources_.OpenCalls();
    if (sources_.Sms) facts.Sms = sources_.Sms();
    return OverviewEvent(facts, sources_);
  }
  const std::string name = key.substr(std::string(kDisplayFeedPrefix).size());
  const auto view = sources_.StationView(name);
  // The station was deleted or changed its kind while a page showed it.
  if (!view) return "event: missing\ndata: {}\n\n";
  return DisplayEvent(*view, sources_);
}

void TPageFeeds::Render(bool all, bool directory) {
  lastRender_ = std::chrono::steady_clock::now();
  renderedOk_ = true;
  if (directory) RefreshDisplays();
  for (const std::string& key : board_.WatchedKeys()) {
    if (!all && key != kOverviewFeed) continue;
    try {
      board_.Publish(key, RenderFeed(key));
    } catch (const std::exception& e) {
      Failed(key, e);
    }
  }
  if (renderedOk_ && failing_) {
    failing_ = false;
    log_.Logg("The web pages are rendered again", ltInfo);
  }
}

void TPageFeeds::Failed(const std::string& what, const std::exception& e) {
  renderedOk_ = false;
  if (failing_) return;
  failing_ = true;
  log_.Logg("The web pages cannot show " + what + ": " + e.what(), ltWarning);
}

}  // namespace tavo
