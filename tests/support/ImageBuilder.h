// Hand-built program-file fixtures for the version reader: a minimal PE file with one .rsrc
// section holding an RT_VERSION resource, and a minimal ELF file with the version section.
#pragma once

#include <cstdint>
#include <string>

namespace tavo::test {

struct TPeOptions {
  bool pe32plus = false;
  // Leave the resource data directory out, so only the section name leads to the resources.
  bool noResourceDirectory = false;
  // Put an RT_ICON type entry before RT_VERSION, as linkers order types by id.
  bool iconBeforeVersion = true;
  uint16_t language = 0x041D;
};

std::string BuildPeImage(const std::string& versionRecord, const TPeOptions& opt = {});

struct TElfOptions {
  bool is64 = true;
  bool bigEndian = false;
  std::string sectionName = ".tavo_version";
};

std::string BuildElfImage(const std::string& versionRecord, const TElfOptions& opt = {});

}  // namespace tavo::test
