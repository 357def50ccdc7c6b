// EKnownOutage: marks a failure that only repeats an outage already reported once (the
// database is known to be down). Such a failure is neither counted towards a restart nor
// logged again: the outage has one entry when it begins and one when it ends, and a restart
// cannot bring a database back. A mixin, so that the failure keeps its own exception type.
#pragma once

#include <exception>

namespace tavo {

class EKnownOutage {
 public:
  virtual ~EKnownOutage() = default;
};

inline bool IsKnownOutage(const std::exception& e) {
  return dynamic_cast<const EKnownOutage*>(&e) != nullptr;
}

}  // namespace tavo
