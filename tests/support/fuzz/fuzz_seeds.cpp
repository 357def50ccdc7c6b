// Writes seed inputs for the fuzz runs into a directory:
//   fuzz_seeds version DIR   version records and PE/ELF files carrying one
//   fuzz_seeds decrypt DIR   Base64 texts of encrypted strings
#include <filesystem>
#include <iostream>
#include <string>

#include "common/VersionRecordWriter.h"
#include "sms/LbClass.h"
#include "sms/ServerKey.h"
#include "support/ImageBuilder.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: fuzz_seeds version|decrypt DIR\n";
    return 2;
  }
  const std::string kind = argv[1];
  const std::filesystem::path dir = argv[2];
  using tavo::test::WriteFile;
  if (kind == "version") {
    tavo::TVersionRecordFields fields;
    fields.FileVersion = {1, 10, 4, 0};
    fields.Strings = {{"CompanyName", "Ker Vanta"}, {"FileVersion", "1.10.4.0"},
                    {"ProductVersion", "1.10.4"}, {"SpecialBuild", "seed"}};
    const std::string rec = tavo::BuildVersionRecord(fields);
    WriteFile(dir / "record", rec);
    tavo::test::TPeOptions pe;
    WriteFile(dir / "pe32", tavo::test::BuildPeImage(rec, pe));
    pe.pe32plus = true;
    pe.noResourceDirectory = true;
    WriteFile(dir / "pe32plus", tavo::test::BuildPeImage(rec, pe));
    tavo::test::TElfOptions elf;
    WriteFile(dir / "elf64", tavo::test::BuildElfImage(rec, elf));
    elf.is64 = false;
    elf.bigEndian = true;
    WriteFile(dir / "elf32be", tavo::test::BuildElfImage(rec, elf));
  } else if (kind == "decrypt") {
    tavo::TLbBlowfish cipher;
    cipher.SetKey(tavo::MakeServerKey());
    const std::string plains[] = {"", "pw", "hemligt l\xf6sen", "12345678", "a longer password!"};
    int i = 0;
    for (const auto& p : plains) WriteFile(dir / std::to_string(i++), cipher.EncryptString(p));
  } else {
    return 2;
  }
  return 0;
}
