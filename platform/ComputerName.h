// The computer's NetBIOS-style name, as the gateway expects it in "FromComputerName".
#pragma once

#include <string>

namespace tavo {

// The host name up to its first ".", upper case, at most 15 characters (Windows-1252 text).
// Empty when the host name cannot be read.
std::string GetLocalComputerName();

// The same rule applied to a given host name (UTF-8).
std::string NetBIOSNameOf(const std::string& hostName);

}  // namespace tavo
