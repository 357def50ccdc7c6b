// TCEVersionInfo: the version record of a program file, as the eleven string values of its first
// translation and the four parts of its file version. Missing information reads as
// "<info not available>" (FSpecialBuild: empty); reading never fails.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavo {

inline constexpr const char* kInfoNotAvailable = "<info not available>";

class TCEVersionInfo {
 public:
  // Reads the running program's own file.
  TCEVersionInfo();
  explicit TCEVersionInfo(const std::filesystem::path& fileName) { GetInfo(fileName); }

  // Fills every field from the file's version record (PE resource or ELF section).
  void GetInfo(const std::filesystem::path& fileName);
  // Fills every field from VS_VERSIONINFO bytes; nothing means "file without a record".
  void GetInfoFromRecord(const std::optional<std::string>& record);

  // Windows-1252 text, in the order of the record's string keys.
  std::string FCompanyName;
  std::string FFileDescription;
  std::string FFileVersion;
  std::string FInternalname;
  std::string FLegalCopyright;
  std::string FLegalTradeMarks;
  std::string FOriginalFilename;
  std::string FProductName;
  std::string FProductVersion;
  std::string FComments;
  std::string FMajorVersion;
  std::string FMinorVersion;
  std::string FRelease;
  std::string FBuild;
  std::string FSpecialBuild;
};

struct TVersionParts {
  std::string Major, Minor, Release, Build;
};

// The four parts of a file-version text: split at "." (else ","); the second and third part are
// empty when the text runs out of separators, and whatever is left is the build part. A text
// with neither separator gives "<info not available>" four times.
TVersionParts SplitFileVersion(const std::string& fileVersion);

// The product version of the file with every "." deleted ("1.10.4" -> "1104"); for a file
// without a record "<info not available>".
std::string VersionNumber(const std::filesystem::path& fileName);

}  // namespace tavo
