#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"
#include "common/Registry.h"

namespace tavo {
namespace {

TEST(Registry, RoundTripsOfAwkwardValues) {
  test::TTempDir dir;
  const std::string values[] = {"a=b=c", "  blanks around  ", "\xE5\xE4\xF6 \xC5\xC4\xD6",
                                "C:\\Program Files\\TAVO\\TAVO.udl", "x;y#z[1]", std::string(511, 'q')};
  {
    TRegistryStore reg(dir / "r.ini");
    int i = 0;
    for (const auto& v : values)
      ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "V" + std::to_string(i++), v));
  }
  TRegistryStore again(dir / "r.ini");  // a new process reading the file
  int i = 0;
  for (const auto& v : values)
    EXPECT_EQ(again.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "V" + std::to_string(i++)), v);
  // The file is UTF-8 with the full key path as its section.
  const std::string file = test::ReadFile(dir / "r.ini");
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer]\n"), std::string::npos);
  EXPECT_NE(file.find("V2=\xC3\xA5\xC3\xA4\xC3\xB6"), std::string::npos);
}

TEST(Registry, AbsentEmptyAndTooLongReadAlike) {
  test::TTempDir dir;
  TRegistryStore reg(dir / "r.ini");
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), "");
  EXPECT_EQ(reg.ReadRegStringDef(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port", 0, "102"), "102");
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Empty", ""));
  EXPECT_EQ(reg.ReadRegStringDef(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Empty", 0, "def"), "def");
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Long", std::string(512, 'x')));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Long"), "");
  EXPECT_EQ(reg.ReadRegStringDef(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Long", 0, "d"), "d");
  // Key path and value name match without regard to letter case.
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port", "4102"));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, "software\\kervanta\\tavo_wserver", "PORT"), "4102");
  // A value is cut at its first NUL.
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Nul", std::string("ab\0cd", 5)));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Nul"), "ab");
}

TEST(Registry, WritesThatOneLineCannotHoldAreRefused) {
  test::TTempDir dir;
  TRegistryStore reg(dir / "r.ini");
  EXPECT_FALSE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", "two\nlines"));
  EXPECT_FALSE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "a=b", "v"));
  EXPECT_FALSE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", std::string(1025, 'v')));
  EXPECT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", std::string(1024, 'v')));
  // A refused write leaves the stored value as it was.
  EXPECT_FALSE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", "a\rb"));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X"), "");  // 1024 > 511 reads empty
  EXPECT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", "v"));
  EXPECT_FALSE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X", "w\n"));
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "X"), "v");
}

TEST(Registry, UnparsableLinesAreReportedAndKept) {
  test::TTempDir dir;
  test::WriteFile(dir / "r.ini",
                  "stray line\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer]\n"
                  "Port=4102\nthis has no equals\n; a comment\n");
  TRegistryStore reg(dir / "r.ini");
  auto problems = reg.ParseProblems();
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("line 1"), std::string::npos);
  EXPECT_NE(problems[1].find("this has no equals"), std::string::npos);
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "Port"), "4102");
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UpdatePort", "4103"));
  const std::string file = test::ReadFile(dir / "r.ini");
  EXPECT_NE(file.find("stray line\n"), std::string::npos);
  EXPECT_NE(file.find("this has no equals\n"), std::string::npos);
  EXPECT_NE(file.find("; a comment\n"), std::string::npos);
  EXPECT_NE(file.find("UpdatePort=4103\n"), std::string::npos);
}

TEST(Registry, ExternalEditIsSeenAndNoTemporaryFileRemains) {
  test::TTempDir dir;
  TRegistryStore reg(dir / "r.ini");
  ASSERT_TRUE(reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UseProxy", "NO"));
  test::WriteFile(dir / "r.ini", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer]\nUseProxy=YES\n");
  EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "UseProxy"), "YES");
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) ++files, (void)e;
  EXPECT_EQ(files, 1);
}

TEST(Registry, ConcurrentWritersLoseNothing) {
  test::TTempDir dir;
  TRegistryStore reg(dir / "r.ini");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i)
        reg.WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "T" + std::to_string(t) + "_" + std::to_string(i),
                           std::to_string(i));
    });
  for (auto& t : threads) t.join();
  TRegistryStore fresh(dir / "r.ini");
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(fresh.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY,
                                    "T" + std::to_string(t) + "_" + std::to_string(i)),
                std::to_string(i));
}

}  // namespace
}  // namespace tavo
