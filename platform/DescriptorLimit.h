// The process's limit of open descriptors: every connection takes one, so the soft limit a
// shell or service manager hands over (often 1024) is raised to the hard limit at start-up.
#pragma once

#include <cstdint>

namespace tavo {

// Raises the soft RLIMIT_NOFILE to the hard limit; returns the soft limit now in force.
uint64_t RaiseDescriptorLimit() noexcept;

}  // namespace tavo
