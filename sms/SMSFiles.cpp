#include "sms/SMSFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/Win1252.h"

namespace tavo {

std::filesystem::path CreateUniqueSMSFile(const std::filesystem::path& dir,
                                          const std::string& prefix, uint32_t tick,
                                          const std::string& suffix) {
  // Far more than the dispatches that can run at once; bounds the walk over a directory
  // full of leftovers.
  constexpr uint32_t kMaxTries = 100000;
  for (uint32_t i = 0; i < kMaxTries; ++i) {
    std::filesystem::path path = dir / (prefix + std::to_string(tick + i) + suffix);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST)
      throw std::runtime_error("Cannot create file \"" + Utf8ToAnsi(path.string()) + "\". " +
                               std::strerror(errno));
  }
  throw std::runtime_error("Cannot create file \"" + Utf8ToAnsi((dir / prefix).string()) +
                           "...\". Too many files of that name");
}

}  // namespace tavo
