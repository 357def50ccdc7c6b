// Names of the SMS message files in the program directory. The names come from the millisecond
// tick count, which dispatches started together share, so a name is taken by creating the file
// exclusively: a name in use (by a running dispatch, or a file left behind by a refused upload)
// is passed over for the next number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tavo {

inline constexpr const char* kSMSFilePrefix = "TAVO_SMS_";
inline constexpr const char* kSMSEncryptedFilePrefix = "TAVO_SMS_Encrypted_";
inline constexpr const char* kSMSFileSuffix = ".zi~";

// Creates the empty file dir / (prefix + N + suffix), N being the first of tick, tick + 1, ...
// (unsigned 32-bit) whose name is free, and returns its path. Throws std::runtime_error with the
// system's reason when no file can be created.
std::filesystem::path CreateUniqueSMSFile(const std::filesystem::path& dir,
                                          const std::string& prefix, uint32_t tick,
                                          const std::string& suffix = kSMSFileSuffix);

}  // namespace tavo
