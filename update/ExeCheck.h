// Whether a downloaded server executable can run on this machine before it replaces the
// running one: an ELF file of this machine's class, byte order and architecture that, started
// with --version, prints a version line and ends within the time allowed.
#pragma once

#include <filesystem>
#include <string>

namespace tavo {

inline constexpr int kExeCheckTimeoutMs = 10000;

// Empty when the file passes; otherwise the reason it does not, for the log. The file is made
// executable by its owner for the run. Never throws.
std::string CheckServerExecutable(const std::filesystem::path& file,
                                  int timeoutMs = kExeCheckTimeoutMs);

// True for the line our executable prints for --version: a dotted number such as "1.10.4".
bool IsVersionLine(std::string_view line);

}  // namespace tavo
