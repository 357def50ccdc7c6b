// ERequestError: a failure caused by what a client sent (a field that is not a number, a block
// that cannot be read). It is logged like any failure but not counted towards a restart: the
// error count heals the server's own parts, it is not a penalty for a client's typing.
#pragma once

#include <stdexcept>

namespace tavo {

class ERequestError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace tavo
