// The registry store: one UTF-8 INI file standing in for the Windows registry.
// Section = full key path ("HKEY_LOCAL_MACHINE\SOFTWARE\KerVanta\TAVO_WServer"), lines Name=Value,
// value = everything after the first "=". Key paths and value names match without regard to
// ASCII letter case, as in the registry. Values are handed out as Windows-1252 text.
// Safe from any thread; every write replaces the file atomically. The file is re-read when it
// changed on disk, so an administrator's edit takes effect without a restart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace tavo {

enum class HKEY : uint8_t { HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS };
using enum HKEY;

// The server's own key under HKEY_LOCAL_MACHINE.
inline constexpr const char* TAVO_REG_KEY = "SOFTWARE\\KerVanta\\TAVO_WServer";

class TRegistryStore {
 public:
  explicit TRegistryStore(std::filesystem::path file);

  // Text of the value up to its first NUL; empty when key or value is absent or the value is
  // longer than 511 characters. Never fails.
  std::string ReadRegString(HKEY root, const std::string& keyPath, const std::string& valueName,
                            uint32_t extraAccess = 0);
  // ReadRegString, or def when that is empty.
  std::string ReadRegStringDef(HKEY root, const std::string& keyPath,
                               const std::string& valueName, uint32_t extraAccess,
                               const std::string& def);
  // Creates the key when missing and stores the value; false when it could not be stored
  // (over 1,024 characters, a line break in the text, or the file could not be replaced).
  bool WriteRegString(HKEY root, const std::string& keyPath, const std::string& valueName,
                      const std::string& value);
  // A 32-bit number value, stored as "dword:%08x" like an exported registry file.
  bool WriteRegDWord(HKEY root, const std::string& keyPath, const std::string& valueName,
                     uint32_t value);
  bool KeyExists(HKEY root, const std::string& keyPath);
  bool CreateKey(HKEY root, const std::string& keyPath);

  // What could not be parsed in the file (kept in place, never rewritten away); the service
  // logs these once its event log is up.
  std::vector<std::string> ParseProblems();
  const std::filesystem::path& FileName() const { return file_; }

 private:
  struct Line {
    std::string raw;   // verbatim UTF-8 line as read (used when it did not parse)
    std::string name;  // value name (UTF-8), empty for the default value
    std::string value; // UTF-8
    bool parsed = false;
  };
  struct Section {
    std::string header;  // full key path as written (UTF-8)
    std::vector<Line> lines;
  };

  void ReloadIfChangedLocked();
  void ParseLocked(const std::string& content);
  bool SaveLocked();
  Section* FindSectionLocked(const std::string& path);
  Section& GetOrAddSectionLocked(const std::string& path);
  bool SetValueLocked(HKEY root, const std::string& keyPath, const std::string& valueName,
                      const std::string& valueUtf8);

  std::filesystem::path file_;
  std::mutex mutex_;
  std::vector<std::string> preamble_;  // lines before the first section, kept verbatim
  std::vector<Section> sections_;
  std::vector<std::string> problems_;
  bool loaded_ = false;
  // Identity of the file content last read or written.
  int64_t stampNs_ = -1;
  int64_t stampSize_ = -1;
  uint64_t stampIno_ = 0;
};

std::string RootName(HKEY root);

}  // namespace tavo
