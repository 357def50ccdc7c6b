#include "calls/RenderMemo.h"

#include <algorithm>

namespace tavo {

size_t TRenderMemo::Hash(const std::vector<TCallables>& list, bool lineMode, int32_t cancelLopnr) {
  uint64_t h = 1469598103934665603ull ^ (lineMode ? 1u : 0u);
  auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  mix(static_cast<uint32_t>(cancelLopnr));
  for (const TCallables& c : list) {
    mix(static_cast<uint32_t>(c.CallableLopnr));
    mix(static_cast<uint32_t>(c.CallableIX));
  }
  return static_cast<size_t>(h);
}

TSharedReply TRenderMemo::Find(const std::vector<TCallables>& list, bool lineMode,
                               int32_t cancelLopnr) const {
  auto [first, last] = entries_.equal_range(Hash(list, lineMode, cancelLopnr));
  for (auto it = first; it != last; ++it) {
    const TEntry& e = it->second;
    if (e.LineMode == lineMode && e.CancelLopnr == cancelLopnr &&
        std::equal(e.List.begin(), e.List.end(), list.begin(), list.end(),
                   [](const TCallables& a, const TCallables& b) {
                     return a.CallableLopnr == b.CallableLopnr && a.CallableIX == b.CallableIX;
                   }))
      return e.Reply;
  }
  return nullptr;
}

void TRenderMemo::Keep(const std::vector<TCallables>& list, bool lineMode, int32_t cancelLopnr,
                       TSharedReply reply) {
  entries_.emplace(Hash(list, lineMode, cancelLopnr),
                   TEntry{list, lineMode, cancelLopnr, std::move(reply)});
}

}  // namespace tavo
