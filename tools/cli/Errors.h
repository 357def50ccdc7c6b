// How a tavo-cli command fails: ECliFailure (an error reply, a time-out, a server that did not
// do what was asked: exit status 1) or ECliUsage (a request tavo-cli or the protocol cannot
// carry, refused before anything is sent: exit status 2).
#pragma once

#include <stdexcept>

namespace tavo::cli {

class ECliFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ECliUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavo::cli
