#include "common/CEVersionInfo.h"

#include <algorithm>

#include "common/ExeImage.h"
#include "common/VersionRecord.h"

namespace tavo {

TCEVersionInfo::TCEVersionInfo() {
  // /proc/self/exe is the image actually running, even after the self-update renamed the file.
  GetInfo("/proc/self/exe");
}

void TCEVersionInfo::GetInfo(const std::filesystem::path& fileName) {
  GetInfoFromRecord(ReadVersionRecord(fileName));
}

void TCEVersionInfo::GetInfoFromRecord(const std::optional<std::string>& record) {
  std::string* const strings[] = {&FCompanyName,     &FFileDescription, &FFileVersion,
                                  &FInternalname,    &FLegalCopyright,  &FLegalTradeMarks,
                                  &FOriginalFilename, &FProductName,     &FProductVersion,
                                  &FComments,        &FSpecialBuild};
  static constexpr const char* kKeys[] = {
      "CompanyName",      "FileDescription", "FileVersion",    "InternalName",
      "LegalCopyright",   "LegalTradeMarks", "OriginalFilename", "ProductName",
      "ProductVersion",   "Comments",        "SpecialBuild"};

  const auto translation = record ? FirstTranslation(*record) : std::nullopt;
  if (!translation) {
    for (std::string* s : strings) *s = kInfoNotAvailable;
    FMajorVersion = FMinorVersion = FRelease = FBuild = kInfoNotAvailable;
    FSpecialBuild.clear();
    return;
  }
  const std::string table = StringTableName(*translation);
  for (size_t i = 0; i < std::size(kKeys); ++i)
    *strings[i] = QueryVersionString(*record, table, kKeys[i]).value_or("");
  TVersionParts parts = SplitFileVersion(FFileVersion);
  FMajorVersion = std::move(parts.Major);
  FMinorVersion = std::move(parts.Minor);
  FRelease = std::move(parts.Release);
  FBuild = std::move(parts.Build);
}

TVersionParts SplitFileVersion(const std::string& v) {
  const char sep = v.find('.') != std::string::npos   ? '.'
                   : v.find(',') != std::string::npos ? ','
                                                      : '\0';
  if (!sep) return {kInfoNotAvailable, kInfoNotAvailable, kInfoNotAvailable, kInfoNotAvailable};
  TVersionParts p;
  size_t at = v.find(sep);
  p.Major = v.substr(0, at);
  std::string rest = v.substr(at + 1);
  // The next part, or empty text when rest has no separator (rest then carries on unchanged).
  auto take = [&rest, sep](std::string& part) {
    const size_t i = rest.find(sep);
    if (i == std::string::npos) return;
    part = rest.substr(0, i);
    rest.erase(0, i + 1);
  };
  take(p.Minor);
  take(p.Release);
  p.Build = rest;
  return p;
}

std::string VersionNumber(const std::filesystem::path& fileName) {
  std::string v = TCEVersionInfo(fileName).FProductVersion;
  v.erase(std::remove(v.begin(), v.end(), '.'), v.end());
  return v;
}

}  // namespace tavo
