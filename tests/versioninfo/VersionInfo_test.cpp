// The version reader over hand-built PE and ELF fixtures, real PE files made by the mingw-w64
// toolchain, our own executable, and damaged or hostile files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/CEVersionInfo.h"
#include "common/ExeImage.h"
#include "common/VersionRecordWriter.h"
#include "support/ImageBuilder.h"
#include "support/TestSupport.h"

namespace tavo {
namespace {

const std::string NA = kInfoNotAvailable;

TVersionRecordFields SampleFields() {
  TVersionRecordFields s;
  s.FileVersion = {3, 7, 1, 42};
  s.ProductVersion = {3, 7, 1, 0};
  s.Strings = {{"CompanyName", "Ker Vanta"},       {"FileDescription", "Visning f\xf6r sal \x80"},
               {"FileVersion", "3.7.1.42"},         {"InternalName", "Show"},
               {"LegalCopyright", "\xa9 Ker Vanta"}, {"LegalTradeMarks", "TAVO\x99"},
               {"OriginalFilename", "Show.exe"},    {"ProductName", "TAVO"},
               {"ProductVersion", "3.7.1"},         {"Comments", "display"},
               {"SpecialBuild", "pilot"}};
  return s;
}

void ExpectSample(const TCEVersionInfo& v) {
  EXPECT_EQ(v.FCompanyName, "Ker Vanta");
  EXPECT_EQ(v.FFileDescription, "Visning f\xf6r sal \x80");
  EXPECT_EQ(v.FFileVersion, "3.7.1.42");
  EXPECT_EQ(v.FInternalname, "Show");
  EXPECT_EQ(v.FLegalCopyright, "\xa9 Ker Vanta");
  EXPECT_EQ(v.FLegalTradeMarks, "TAVO\x99");
  EXPECT_EQ(v.FOriginalFilename, "Show.exe");
  EXPECT_EQ(v.FProductName, "TAVO");
  EXPECT_EQ(v.FProductVersion, "3.7.1");
  EXPECT_EQ(v.FComments, "display");
  EXPECT_EQ(v.FMajorVersion, "3");
  EXPECT_EQ(v.FMinorVersion, "7");
  EXPECT_EQ(v.FRelease, "1");
  EXPECT_EQ(v.FBuild, "42");
  EXPECT_EQ(v.FSpecialBuild, "pilot");
}

void ExpectNotAvailable(const TCEVersionInfo& v) {
  for (const std::string* f :
       {&v.FCompanyName, &v.FFileDescription, &v.FFileVersion, &v.FInternalname,
        &v.FLegalCopyright, &v.FLegalTradeMarks, &v.FOriginalFilename, &v.FProductName,
        &v.FProductVersion, &v.FComments, &v.FMajorVersion, &v.FMinorVersion, &v.FRelease,
        &v.FBuild})
    EXPECT_EQ(*f, NA);
  EXPECT_EQ(v.FSpecialBuild, "");
}

TCEVersionInfo FromImage(const std::string& image) {
  TMemoryImage img(image);
  TCEVersionInfo v{std::filesystem::path("/nonexistent")};
  v.GetInfoFromRecord(ExtractVersionRecord(img));
  return v;
}

// ---- file-version split ----

TEST(VersionSplit, PartsOfTheFileVersion) {
  struct Case {
    std::string text, major, minor, release, build;
  } cases[] = {
      {"1.10.4.18", "1", "10", "4", "18"},
      {"1.10.4", "1", "10", "", "4"},
      {"1.10", "1", "", "", "10"},
      {"1,10,4,18", "1", "10", "4", "18"},
      {"1.2.3.4.5", "1", "2", "3", "4.5"},
      {"1,2.3", "1,2", "", "", "3"},  // "." wins over ","
      {"1.", "1", "", "", ""},
      {".", "", "", "", ""},
      {"abc", NA, NA, NA, NA},
      {"", NA, NA, NA, NA},
  };
  for (const auto& c : cases) {
    const TVersionParts p = SplitFileVersion(c.text);
    EXPECT_EQ(p.Major, c.major) << c.text;
    EXPECT_EQ(p.Minor, c.minor) << c.text;
    EXPECT_EQ(p.Release, c.release) << c.text;
    EXPECT_EQ(p.Build, c.build) << c.text;
  }
}

// ---- the record itself ----

TEST(VersionRecord, FirstTranslationNamesTheTable) {
  TCEVersionInfo v{std::filesystem::path("/nonexistent")};
  TVersionRecordFields fields = SampleFields();
  fields.TranslationCount = 2;  // a second translation must not matter
  v.GetInfoFromRecord(BuildVersionRecord(fields));
  ExpectSample(v);

  fields.TableName = "041D04E4";  // table names match without regard to case
  v.GetInfoFromRecord(BuildVersionRecord(fields));
  ExpectSample(v);

  // A table for another language: every value is missing, so all are empty and the file
  // version has no parts.
  fields.TableName = "040904b0";
  v.GetInfoFromRecord(BuildVersionRecord(fields));
  EXPECT_EQ(v.FProductVersion, "");
  EXPECT_EQ(v.FCompanyName, "");
  EXPECT_EQ(v.FSpecialBuild, "");
  EXPECT_EQ(v.FMajorVersion, NA);
  EXPECT_EQ(v.FBuild, NA);

  fields = SampleFields();
  fields.TranslationCount = 0;
  v.GetInfoFromRecord(BuildVersionRecord(fields));
  ExpectNotAvailable(v);
  v.GetInfoFromRecord(std::nullopt);
  ExpectNotAvailable(v);
}

TEST(VersionRecord, EmptyAndMissingValuesAreEmptyText) {
  TVersionRecordFields fields = SampleFields();
  fields.Strings = {{"companyname", "lower-case key"}, {"Comments", ""}, {"FileVersion", "7,1"}};
  TCEVersionInfo v{std::filesystem::path("/nonexistent")};
  v.GetInfoFromRecord(BuildVersionRecord(fields));
  EXPECT_EQ(v.FCompanyName, "lower-case key");
  EXPECT_EQ(v.FComments, "");
  EXPECT_EQ(v.FProductVersion, "");
  EXPECT_EQ(v.FMajorVersion, "7");
  EXPECT_EQ(v.FMinorVersion, "");
  EXPECT_EQ(v.FBuild, "1");
}

TEST(VersionRecord, EveryCutOfTheRecordYieldsNoInformation) {
  const std::string rec = BuildVersionRecord(SampleFields());
  for (size_t n = 0; n < rec.size(); ++n) {
    TCEVersionInfo v{std::filesystem::path("/nonexistent")};
    v.GetInfoFromRecord(rec.substr(0, n));
    ASSERT_EQ(v.FProductVersion, NA) << "cut at " << n;
  }
}

TEST(VersionRecord, DamagedLengthsStayInsideTheRecord) {
  const std::string rec = BuildVersionRecord(SampleFields());
  // Every 16-bit length field set to 0, 1, 0xFFFF: each must either still read or read as
  // missing, and no value may come from outside the record.
  for (size_t off = 0; off + 1 < rec.size(); off += 2) {
    for (uint16_t v : {0, 1, 0xFFFF}) {
      std::string bad = rec;
      bad[off] = char(v & 0xFF);
      bad[off + 1] = char(v >> 8);
      TCEVersionInfo info{std::filesystem::path("/nonexistent")};
      info.GetInfoFromRecord(bad);
      for (const std::string* f : {&info.FCompanyName, &info.FFileDescription,
                                   &info.FProductVersion, &info.FSpecialBuild})
        ASSERT_LE(f->size(), rec.size() / 2) << "offset " << off;
    }
  }
}

// ---- PE ----

TEST(VersionPe, HandBuiltPe32AndPe32Plus) {
  const std::string rec = BuildVersionRecord(SampleFields());
  for (bool plus : {false, true}) {
    for (bool noDir : {false, true}) {
      for (bool icon : {false, true}) {
        SCOPED_TRACE(std::to_string(plus) + std::to_string(noDir) + std::to_string(icon));
        test::TPeOptions opt;
        opt.pe32plus = plus;
        opt.noResourceDirectory = noDir;
        opt.iconBeforeVersion = icon;
        ExpectSample(FromImage(test::BuildPeImage(rec, opt)));
      }
    }
  }
}

TEST(VersionPe, HostileHeadersReadAsNoInformation) {
  const std::string rec = BuildVersionRecord(SampleFields());
  const std::string good = test::BuildPeImage(rec);  // PE32, icon type first
  // Layout of the fixture: COFF header 0x44, section table 0x138, resources 0x200 (root
  // directory, icon directory +0x20, name directory +0x30, language directory +0x48, data
  // entry +0x60, record +0x70).
  auto u32 = [&](size_t off) {
    return uint32_t(uint8_t(good[off])) | uint32_t(uint8_t(good[off + 1])) << 8 |
           uint32_t(uint8_t(good[off + 2])) << 16 | uint32_t(uint8_t(good[off + 3])) << 24;
  };
  ASSERT_EQ(good.find(rec), 0x270u);
  ASSERT_EQ(u32(0x260), 0x1070u);
  ASSERT_EQ(u32(0x200 + 0x18), 16u);
  ASSERT_EQ(good.substr(0x138, 5), ".rsrc");
  struct Patch {
    size_t off;
    uint32_t value;
    size_t width;
    bool stillReads;
  } patches[] = {
      {0x3C, 0xFFFFFFF0, 4, false},        // PE header beyond the file
      {0x3C, 0x1F0, 4, false},             // PE header inside the padding
      {0x46, 0xFFFF, 2, true},             // 65535 sections: only those in the file count
      {0x54, 0xFFFF, 2, false},            // optional header runs past the file
      {0x58, 0x1234, 2, false},            // unknown optional-header magic
      {0x138 + 20, 0xFFFFFF00, 4, false},  // section data beyond the file
      {0x138 + 16, 0, 4, false},           // section without raw data
      {0x138 + 12, 0x5000, 4, false},      // resource directory outside every section
      {0x200 + 14, 0xFFFF, 2, true},       // more root entries than the section holds
      {0x200 + 0x1C, 0x80000000, 4, false},// RT_VERSION leads back to the root
      {0x200 + 0x1C, 0x7FFFFFFF, 4, false},// RT_VERSION leads outside
      {0x260, 0x7FFFFFFF, 4, false},       // record RVA outside
      {0x260, 0x10FF0, 4, false},          // record RVA in the zero-filled tail
      {0x264, 0xFFFFFFFF, 4, true},        // record size beyond the file: cut at its end
      {0x264, 0, 4, false},                // empty record
      {0x270, 0xFFFF, 2, true},            // record length beyond the data
      {0x270, 4, 2, false},                // record length below a header
  };
  for (const auto& p : patches) {
    std::string img = good;
    for (size_t i = 0; i < p.width; ++i) img[p.off + i] = char((p.value >> (8 * i)) & 0xFF);
    const TCEVersionInfo v = FromImage(img);
    if (p.stillReads)
      EXPECT_EQ(v.FProductVersion, "3.7.1") << std::hex << p.off;
    else
      EXPECT_EQ(v.FProductVersion, NA) << std::hex << p.off;
  }
  for (size_t n = 0; n < good.find(rec) + rec.size(); n += 7)
    ASSERT_EQ(FromImage(good.substr(0, n)).FProductVersion, NA) << "cut at " << n;
}

std::string RcFile() {
  // Windows-1252 source; the English table comes first, but the first translation is Swedish.
  return "#pragma code_page(1252)\n"
         "1 VERSIONINFO\n"
         "FILEVERSION 2,5,0,17\n"
         "PRODUCTVERSION 2,5,0,0\n"
         "FILETYPE 1\n"
         "BEGIN\n"
         "  BLOCK \"StringFileInfo\"\n"
         "  BEGIN\n"
         "    BLOCK \"040904B0\"\n"
         "    BEGIN\n"
         "      VALUE \"ProductVersion\", \"9.9.9\"\n"
         "    END\n"
         "    BLOCK \"041D04E4\"\n"
         "    BEGIN\n"
         "      VALUE \"CompanyName\", \"Ker Vanta\"\n"
         "      VALUE \"FileDescription\", \"Provprogram f\xf6r versionsl\xe4sning\"\n"
         "      VALUE \"FileVersion\", \"2.5.0.17\"\n"
         "      VALUE \"InternalName\", \"verprobe\"\n"
         "      VALUE \"LegalCopyright\", \"\xa9 2026 Ker Vanta\"\n"
         "      VALUE \"OriginalFilename\", \"verprobe.exe\"\n"
         "      VALUE \"ProductName\", \"TAVO\"\n"
         "      VALUE \"ProductVersion\", \"2.5.0\"\n"
         "      VALUE \"Comments\", \"\"\n"
         "      VALUE \"SpecialBuild\", \"mingw\"\n"
         "    END\n"
         "  END\n"
         "  BLOCK \"VarFileInfo\"\n"
         "  BEGIN\n"
         "    VALUE \"Translation\", 0x041D, 1252, 0x0409, 1200\n"
         "  END\n"
         "END\n";
}

uint16_t OptionalMagic(const std::string& pe) {
  const uint32_t lfanew = uint8_t(pe.at(0x3C)) | uint8_t(pe.at(0x3D)) << 8;
  return uint16_t(uint8_t(pe.at(lfanew + 24)) | uint8_t(pe.at(lfanew + 25)) << 8);
}

TEST(VersionPe, RealProgramsFromTheMingwToolchain) {
  test::TTempDir dir;
  test::WriteFile(dir / "probe.rc", RcFile());
  test::WriteFile(dir / "main.c", "int main(void) { return 0; }\n");
  struct Target {
    std::string prefix;
    uint16_t magic;
  } targets[] = {{"i686-w64-mingw32", 0x10B}, {"x86_64-w64-mingw32", 0x20B}};
  for (const auto& t : targets) {
    SCOPED_TRACE(t.prefix);
    const auto exe = dir / (t.prefix + ".exe");
    const std::string cmd = "cd '" + dir.Path().string() + "' && " + t.prefix +
                            "-windres probe.rc -O coff -o " + t.prefix + ".res.o && " + t.prefix +
                            "-gcc -o '" + exe.string() + "' main.c " + t.prefix + ".res.o";
    ASSERT_EQ(std::system(cmd.c_str()), 0)
        << cmd << "\n(the mingw-w64 package provides the toolchain; make test installs it)";
    ASSERT_EQ(OptionalMagic(test::ReadFile(exe)), t.magic);

    const TCEVersionInfo v{exe};
    EXPECT_EQ(v.FCompanyName, "Ker Vanta");
    EXPECT_EQ(v.FFileDescription, "Provprogram f\xf6r versionsl\xe4sning");
    EXPECT_EQ(v.FFileVersion, "2.5.0.17");
    EXPECT_EQ(v.FInternalname, "verprobe");
    EXPECT_EQ(v.FLegalCopyright, "\xa9 2026 Ker Vanta");
    EXPECT_EQ(v.FLegalTradeMarks, "");
    EXPECT_EQ(v.FOriginalFilename, "verprobe.exe");
    EXPECT_EQ(v.FProductName, "TAVO");
    EXPECT_EQ(v.FProductVersion, "2.5.0");
    EXPECT_EQ(v.FComments, "");
    EXPECT_EQ(v.FMajorVersion, "2");
    EXPECT_EQ(v.FMinorVersion, "5");
    EXPECT_EQ(v.FRelease, "0");
    EXPECT_EQ(v.FBuild, "17");
    EXPECT_EQ(v.FSpecialBuild, "mingw");
    EXPECT_EQ(VersionNumber(exe), "250");
  }
}

// ---- ELF and our own programs ----

TEST(VersionElf, OurOwnExecutableIs1_10_4) {
  const TCEVersionInfo server{std::filesystem::path(TAVO_SERVER_EXE)};
  EXPECT_EQ(server.FProductVersion, "1.10.4");
  EXPECT_EQ(server.FFileVersion, "1.10.4.0");
  EXPECT_EQ(server.FOriginalFilename, "TAVO_WServer.exe");
  EXPECT_EQ(server.FCompanyName, "Ker Vanta");
  EXPECT_EQ(server.FLegalCopyright, "Copyright \xa9 Ker Vanta");
  EXPECT_EQ(server.FMajorVersion, "1");
  EXPECT_EQ(server.FMinorVersion, "10");
  EXPECT_EQ(server.FRelease, "4");
  EXPECT_EQ(server.FBuild, "0");
  EXPECT_EQ(VersionNumber(TAVO_SERVER_EXE), "1104");
  // Every program linking the library carries the record, this test included.
  EXPECT_EQ(TCEVersionInfo().FProductVersion, "1.10.4");
}

TEST(VersionElf, HandBuiltElfFilesOfBothClassesAndByteOrders) {
  const std::string rec = BuildVersionRecord(SampleFields());
  for (bool is64 : {false, true}) {
    for (bool big : {false, true}) {
      SCOPED_TRACE(std::to_string(is64) + std::to_string(big));
      test::TElfOptions opt;
      opt.is64 = is64;
      opt.bigEndian = big;
      const std::string img = test::BuildElfImage(rec, opt);
      ExpectSample(FromImage(img));
      for (size_t n = 0; n < img.size(); n += 5)
        ASSERT_NE(FromImage(img.substr(0, n)).FProductVersion, "3.7.1")
            << "the section table is at the end; cut at " << n;
    }
  }
  test::TElfOptions other;
  other.sectionName = ".tavo_versions";
  ExpectNotAvailable(FromImage(test::BuildElfImage(rec, other)));
}

TEST(VersionFiles, FilesWithoutARecord) {
  test::TTempDir dir;
  test::WriteFile(dir / "empty.exe", "");
  test::WriteFile(dir / "text.exe", "MZ this is not a program");
  for (const auto& p : {dir / "empty.exe", dir / "text.exe", dir / "missing.exe", dir.Path(),
                        std::filesystem::path("/bin/sh")}) {
    SCOPED_TRACE(p.string());
    ExpectNotAvailable(TCEVersionInfo(p));
    EXPECT_EQ(VersionNumber(p), NA);
  }
}

}  // namespace
}  // namespace tavo
