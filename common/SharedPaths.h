// The start-up path step shared with the client programs: checks that the current directory can
// be read and prepares the per-user data folder "KerVanta/TAVO/" in the roaming application-data
// folder ($XDG_CONFIG_HOME, else ~/.config).
#pragma once

#include <filesystem>

namespace tavo {

// The roaming application-data folder of the account, with a trailing separator; empty when
// neither $XDG_CONFIG_HOME (absolute) nor a home directory is known.
std::filesystem::path RoamingAppDataFolder();
// RoamingAppDataFolder() + "KerVanta/TAVO/", or empty.
std::filesystem::path SharedDataFolder();

// Throws std::runtime_error "Unable to get Current path" when the current directory cannot be
// read. Creating the data folder is best effort: a failure leaves it absent. Returns true.
bool InitSharedPaths();

}  // namespace tavo
