// Build-time generator of the program's version record.
//   GenVersionRecord OUT.cpp OUT.bin Key=Value...
// Values are UTF-8; "FileVersion" and "ProductVersion" also give the binary version numbers.
// OUT.cpp defines the record in the ELF section the version reader looks for; OUT.bin holds the
// raw record (a seed for the fuzz runs).
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "common/ExeImage.h"
#include "common/VersionRecordWriter.h"
#include "common/Win1252.h"

namespace {

std::array<uint16_t, 4> Numbers(const std::string& text) {
  std::array<uint16_t, 4> n{};
  std::istringstream in(text);
  std::string part;
  for (size_t i = 0; i < n.size() && std::getline(in, part, '.'); ++i)
    n[i] = static_cast<uint16_t>(std::stoul(part));
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: GenVersionRecord OUT.cpp OUT.bin Key=Value...\n";
    return 2;
  }
  tavo::TVersionRecordFields fields;
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      std::cerr << "GenVersionRecord: expected Key=Value, got " << arg << "\n";
      return 2;
    }
    const std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (key == "FileVersion") fields.FileVersion = Numbers(value);
    if (key == "ProductVersion") fields.ProductVersion = Numbers(value);
    fields.Strings.emplace_back(key, tavo::Utf8ToAnsi(value));
  }
  const std::string rec = tavo::BuildVersionRecord(fields);

  std::ostringstream cpp;
  cpp << "// Generated at build time by GenVersionRecord: the program's version record.\n"
      << "// Referenced by name at link time, so every program of the project carries it.\n"
      << "extern \"C\" [[gnu::used, gnu::retain, gnu::aligned(4), gnu::section(\""
      << tavo::kVersionSection << "\")]]\nconst unsigned char tavo_version_record[" << rec.size()
      << "] = {";
  for (size_t i = 0; i < rec.size(); ++i) {
    if (i % 16 == 0) cpp << "\n   ";
    char b[8];
    std::snprintf(b, sizeof b, " 0x%02x,", static_cast<unsigned char>(rec[i]));
    cpp << b;
  }
  cpp << "\n};\n";

  std::ofstream(argv[1], std::ios::binary) << cpp.str();
  std::ofstream(argv[2], std::ios::binary) << rec;
  std::ifstream check1(argv[1]), check2(argv[2]);
  if (!check1 || !check2) {
    std::cerr << "GenVersionRecord: cannot write output\n";
    return 1;
  }
  return 0;
}
