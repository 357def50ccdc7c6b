#include "web/PageFeeds.h"

#include <algorithm>
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

void TPageFeeds::RenderDisplays(const std::vector<std::string>& keys) {
  std::vector<std::string> names;
  for (const auto& key : keys) names.push_back(key.substr(std::string(kDisplayFeedPrefix).size()));
  try {
    const auto views = sources_.StationViews(names);
    // Each distinct list of resources is rendered once.
    std::vector<std::pair<const TDisplayView*, std::string>> rendered;
    for (size_t i = 0; i < keys.size() && i < views.size(); ++i) {
      // A station deleted, or no display any more, while a page showed it.
      if (!views[i]) {
        board_.Publish(keys[i], MissingEvent());
        continue;
      }
      const TDisplayView& resources = views[i]->Resources;
      auto same = std::find_if(rendered.begin(), rendered.end(),
                               [&](const auto& r) { return *r.first == resources; });
      if (same == rendered.end())
        same = rendered.insert(rendered.end(), {&resources, ResourcesJson(resources, sources_)});
      board_.Publish(keys[i], DisplayEvent(*views[i], same->second));
    }
  } catch (const std::exception& e) {
    Failed("the displays", e);
  }
}

void TPageFeeds::RenderOverview() {
  try {
    TOverviewFacts facts;
    facts.ClinicName = sources_.ClinicName ? sources_.ClinicName() : std::string();
    facts.Version = sources_.Version;
    facts.Role = sources_.Role ? sources_.Role() : std::string();
    facts.Stations = sources_.Stations();
    facts.Calls = sources_.OpenCalls();
    if (sources_.Sms) facts.Sms = sources_.Sms();
    board_.Publish(kOverviewFeed, OverviewEvent(facts, sources_));
  } catch (const std::exception& e) {
    Failed("the overview", e);
  }
}

void TPageFeeds::Render(bool all, bool directory) {
  lastRender_ = std::chrono::steady_clock::now();
  renderedOk_ = true;
  if (directory) RefreshDisplays();
  std::vector<std::string> displays;
  bool overview = false;
  for (const std::string& key : board_.WatchedKeys()) {
    if (key == kOverviewFeed)
      overview = true;
    else if (all)
      displays.push_back(key);
  }
  if (!displays.empty()) RenderDisplays(displays);
  if (overview) RenderOverview();
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
