#include "common/SharedPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tavo {

std::filesystem::path RoamingAppDataFolder() {
  std::filesystem::path base;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
      // A service account started without HOME: take its home from the user database.
      struct passwd pw{}, *found = nullptr;
      char buf[4096];
      if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_dir)
        h = pw.pw_dir;
    }
    if (h.empty()) return {};
    base = std::filesystem::path(h) / ".config";
  }
  base += "/";
  return base.lexically_normal();
}

std::filesystem::path SharedDataFolder() {
  std::filesystem::path roaming = RoamingAppDataFolder();
  if (roaming.empty()) return {};
  return roaming / "KerVanta" / "TAVO" / "";
}

bool InitSharedPaths() {
  std::error_code ec;
  if (std::filesystem::current_path(ec).empty() || ec) throw std::runtime_error("Unable to get Current path");
  try {
    const std::filesystem::path folder = SharedDataFolder();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  } catch (const std::exception&) {
    // The folder is optional; without it the per-user files are simply not kept.
  }
  return true;
}

}  // namespace tavo
