// TFeedBoard: the newest rendering of every page feed, handed from the main thread to the
// HTTP thread's event streams. A feed is named by its key ("display/NAME", "overview"). A
// publication that differs from the feed's last one gets a new version and its streams are
// told. One rendering per watched feed, shared by all its streams, never a queue; a feed
// nobody watches keeps nothing. Also holds the names of the display stations a page may show.
// Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tavo {

class TFeedBoard {
 public:
  using TEvent = std::shared_ptr<const std::string>;
  struct TLatest {
    uint64_t Version = 0;  // 0: nothing published yet
    TEvent Event;
  };
  // Told outside the board's lock, on the thread that caused it.
  struct TListener {
    std::function<void(const std::string& key)> Published;
    std::function<void(const std::string& key)> FirstWatch;
  };

  void SetListener(TListener listener);

  void Watch(const std::string& key);
  // The last watcher's leaving drops the feed's rendering.
  void Unwatch(const std::string& key);
  std::vector<std::string> WatchedKeys() const;
  TLatest Latest(const std::string& key) const;
  // Keeps the event when the key is watched and the event differs from its last one; true then.
  bool Publish(const std::string& key, std::string event);

  // The display and hardware stations (Windows-1252 names) the pages may show.
  void SetDisplays(std::set<std::string> names);
  bool IsDisplay(const std::string& name) const;

 private:
  struct TFeed {
    int Watchers = 0;
    TLatest Latest;
  };
  mutable std::mutex mutex_;
  std::map<std::string, TFeed> feeds_;
  uint64_t nextVersion_ = 1;
  std::set<std::string> displays_;
  std::shared_ptr<const TListener> listener_;
};

}  // namespace tavo
