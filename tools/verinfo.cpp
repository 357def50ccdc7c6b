// tavo_verinfo: prints the version record of program files (Windows PE or our ELF programs),
// every field, and the version number the update compares.
//   tavo_verinfo FILE...
#include <iostream>
#include <string>
#include <utility>

#include "common/CEVersionInfo.h"
#include "common/Win1252.h"

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::cerr << "usage: tavo_verinfo FILE...\n"
                 "Prints the version record of each program file.\n";
    return argc < 2 ? 2 : 0;
  }
  for (int i = 1; i < argc; ++i) {
    const tavo::TCEVersionInfo v{std::filesystem::path(argv[i])};
    const std::pair<const char*, const std::string*> rows[] = {
        {"CompanyName", &v.FCompanyName},           {"FileDescription", &v.FFileDescription},
        {"FileVersion", &v.FFileVersion},           {"InternalName", &v.FInternalname},
        {"LegalCopyright", &v.FLegalCopyright},     {"LegalTradeMarks", &v.FLegalTradeMarks},
        {"OriginalFilename", &v.FOriginalFilename}, {"ProductName", &v.FProductName},
        {"ProductVersion", &v.FProductVersion},     {"Comments", &v.FComments},
        {"MajorVersion", &v.FMajorVersion},         {"MinorVersion", &v.FMinorVersion},
        {"Release", &v.FRelease},                   {"Build", &v.FBuild},
        {"SpecialBuild", &v.FSpecialBuild}};
    if (argc > 2) std::cout << (i > 1 ? "\n" : "") << argv[i] << ":\n";
    for (const auto& [name, value] : rows)
      std::cout << name << "=" << tavo::AnsiToUtf8(*value) << "\n";
    std::string number = v.FProductVersion;
    std::erase(number, '.');
    std::cout << "VersionNumber=" << tavo::AnsiToUtf8(number) << "\n";
  }
  return 0;
}
