#include "platform/ComputerName.h"

#include <unistd.h>

#include <climits>

#include "common/Win1252.h"

namespace tavo {

std::string NetBIOSNameOf(const std::string& hostName) {
  std::string name = Utf8ToAnsi(hostName.substr(0, hostName.find('.')));
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (name.size() > 15) name.resize(15);
  return name;
}

std::string GetLocalComputerName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  return NetBIOSNameOf(buf);
}

}  // namespace tavo
