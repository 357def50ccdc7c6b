#include "web/FeedBoard.h"

namespace tavo {

void TFeedBoard::SetListener(TListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::make_shared<const TListener>(std::move(listener));
}

void TFeedBoard::Watch(const std::string& key) {
  std::shared_ptr<const TListener> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++feeds_[key].Watchers != 1) return;
    listener = listener_;
  }
  if (listener && listener->FirstWatch) listener->FirstWatch(key);
}

void TFeedBoard::Unwatch(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = feeds_.find(key);
  if (it != feeds_.end() && --it->second.Watchers <= 0) feeds_.erase(it);
}

std::vector<std::string> TFeedBoard::WatchedKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> keys;
  for (const auto& [key, feed] : feeds_) keys.push_back(key);
  return keys;
}

TFeedBoard::TLatest TFeedBoard::Latest(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = feeds_.find(key);
  return it == feeds_.end() ? TLatest{} : it->second.Latest;
}

bool TFeedBoard::Publish(const std::string& key, std::string event) {
  std::shared_ptr<const TListener> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = feeds_.find(key);
    if (it == feeds_.end()) return false;
    TLatest& latest = it->second.Latest;
    if (latest.Event && *latest.Event == event) return false;
    latest.Event = std::make_shared<const std::string>(std::move(event));
    latest.Version = nextVersion_++;
    listener = listener_;
  }
  if (listener && listener->Published) listener->Published(key);
  return true;
}

void TFeedBoard::SetDisplays(std::set<std::string> names) {
  std::lock_guard<std::mutex> lock(mutex_);
  displays_ = std::move(names);
}

bool TFeedBoard::IsDisplay(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displays_.count(name) != 0;
}

}  // namespace tavo
