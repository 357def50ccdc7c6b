// Writes seed inputs for the fuzz runs into a directory:
//   fuzz_seeds version DIR   version records and PE/ELF files carrying one
//   fuzz_seeds decrypt DIR   Base64 texts of encrypted strings
//   fuzz_seeds messages DIR  station conversations: chunks cut at 0 bytes, each starting with
//                            the number of its connection
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
    std::cerr << "usage: fuzz_seeds version|decrypt|messages DIR\n";
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
  } else if (kind == "messages") {
    const std::string M = "\xA4";
    auto framed = [](const std::string& c) { return "#DATASTART#" + c + "#DATAEND#"; };
    auto chunk = [](char connection, const std::string& bytes) {
      return std::string(1, connection) + bytes + std::string(1, '\0');
    };
    const std::string signOn = framed(M + "GETCALLLIST:RUM1:0:GETCALLLIST" + M);
    const std::string display = M + "GETCALLLIST:VISNING:1:GETCALLLIST" + M + "\r\n";
    WriteFile(dir / "keepalive", chunk('0', framed(M + "KEEPALIVE::KEEPALIVE" + M)));
    WriteFile(dir / "version", chunk('1', framed(M + "GETSERVERVERSION:x:2:GETSERVERVERSION" + M)));
    WriteFile(dir / "call", chunk('0', signOn) + chunk('2', display) +
                                chunk('0', framed(M + "CALLING:3:CALLING" + M)) +
                                chunk('1', framed(M + "GETCALLLIST:EXP:0:GETCALLLIST" + M)) +
                                chunk('1', framed(M + "COMING:3:1:COMING" + M)) +
                                chunk('0', framed(M + "CALLING:3:CALLING" + M)));
    WriteFile(dir / "split", chunk('0', "#DATASTART#" + M + "KEEP") + chunk('0', "ALIVE::KEEP") +
                                 chunk('0', "ALIVE" + M + "#DATAEND#"));
    WriteFile(dir / "reconnect", chunk('2', framed(M + "RECONNECT:HW:3:RECONNECT" + M +
                                                 M + "KEEPALIVE::KEEPALIVE" + M)));
  } else {
    return 2;
  }
  return 0;
}
