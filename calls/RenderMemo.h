// CURRENTLIST replies rendered within one broadcast, one per distinct resource list, mode and
// cancel resource: displays that show the same thing share one buffer. The call list does not
// change during a broadcast, which is why the memo lives no longer than one.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/TAVOcommon.h"
#include "platform/ClientSocket.h"

namespace tavo {

class TRenderMemo {
 public:
  // The reply rendered for this list, or null.
  TSharedReply Find(const std::vector<TCallables>& list, bool lineMode, int32_t cancelLopnr) const;
  void Keep(const std::vector<TCallables>& list, bool lineMode, int32_t cancelLopnr,
            TSharedReply reply);
  void Clear() { entries_.clear(); }

 private:
  struct TEntry {
    std::vector<TCallables> List;
    bool LineMode;
    int32_t CancelLopnr;
    TSharedReply Reply;
  };
  static size_t Hash(const std::vector<TCallables>& list, bool lineMode, int32_t cancelLopnr);
  std::unordered_multimap<size_t, TEntry> entries_;
};

}  // namespace tavo
