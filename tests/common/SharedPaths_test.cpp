// The start-up path step: the per-user data folder and the current-directory check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "common/SharedPaths.h"
#include "support/TestSupport.h"

namespace tavo {
namespace {

// Sets an environment variable for one test and puts the old value back.
class TEnvVar {
 public:
  TEnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~TEnvVar() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SharedPaths, RoamingFolderFromXdgConfigHomeOrHome) {
  test::TTempDir dir;
  const std::string xdg = (dir / "xdg").string(), home = (dir / "home").string();
  struct Case {
    const char* xdg;
    const char* home;
    std::string expected;
  } cases[] = {
      {xdg.c_str(), home.c_str(), xdg + "/KerVanta/TAVO/"},
      {nullptr, home.c_str(), home + "/.config/KerVanta/TAVO/"},
      {"", home.c_str(), home + "/.config/KerVanta/TAVO/"},
      {"relative/dir", home.c_str(), home + "/.config/KerVanta/TAVO/"},  // invalid, ignored
  };
  for (const auto& c : cases) {
    TEnvVar x("XDG_CONFIG_HOME", c.xdg), h("HOME", c.home);
    EXPECT_EQ(SharedDataFolder().string(), c.expected);
    EXPECT_TRUE(InitSharedPaths());
    EXPECT_TRUE(std::filesystem::is_directory(c.expected)) << c.expected;
  }
}

TEST(SharedPaths, AFolderThatCannotBeMadeIsNotAnError) {
  test::TTempDir dir;
  test::WriteFile(dir / "file", "not a directory");
  TEnvVar x("XDG_CONFIG_HOME", (dir / "file").c_str());
  EXPECT_TRUE(InitSharedPaths());
  EXPECT_FALSE(std::filesystem::exists(dir / "file" / "KerVanta"));
}

TEST(SharedPaths, UnreadableCurrentDirectoryRaises) {
  const auto saved = std::filesystem::current_path();
  {
    test::TTempDir dir;
    TEnvVar x("XDG_CONFIG_HOME", (dir / "xdg").c_str());
    const auto gone = dir / "gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);
    try {
      InitSharedPaths();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unable to get Current path");
    }
    std::filesystem::current_path(saved);
  }
}

}  // namespace
}  // namespace tavo
