// Where the settings file lies: beside the program in a folder this user may write to, otherwise
// in the user's configuration folder, which the first write makes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "actions/IniFile.h"
#include "actions/SettingsPath.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;

// Sets (or with nullopt unsets) an environment variable for one test.
class TEnvironment {
 public:
  explicit TEnvironment(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~TEnvironment() { Set(saved_); }
  void Set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class SettingsPlace : public ::testing::Test {
 protected:
  SettingsPlace() {
    char tmpl[] = "/tmp/settings_path_test.XXXXXX";
    dir = ::mkdtemp(tmpl);
    portable = dir / "portable";
    installed = dir / "installed";
    home.Set((dir / "home").string());
    shared = dir / "shared";
    setup = dir / "setup";
    fs::create_directory(portable);
    fs::create_directory(installed);
    fs::create_directory(shared);
    fs::create_directories(setup / "bin");
    std::ofstream(setup / "Uninstall.exe") << "MZ";
    std::ofstream(shared / "ful03test.ini") << "[Ports]\nCOM1=/dev/ttyUSB0\n";
    // No write bit: read-only also for the superuser, as a shared installation's folder.
    ::chmod(installed.c_str(), 0555);
    ::chmod(shared.c_str(), 0555);
  }
  ~SettingsPlace() override {
    ::chmod(installed.c_str(), 0755);
    ::chmod(shared.c_str(), 0755);
    fs::remove_all(dir);
  }
  fs::path dir;
  fs::path portable;   // a copy of the program carried on a stick, say
  fs::path installed;  // an installation's folder
  fs::path shared;     // an installation's folder set up with its settings file
  fs::path setup;      // installed by the Windows installer, writable all the same
  TEnvironment home{"HOME"};
  TEnvironment config{"XDG_CONFIG_HOME"};
};

TEST_F(SettingsPlace, BesideAWritableFolderElseInTheConfigurationFolder) {
  const std::string xdg = (dir / "config").string();
  const fs::path in_xdg = dir / "config/ful03test/ful03test.ini";
  const fs::path in_home = dir / "home/.config/ful03test/ful03test.ini";
  struct Row {
    const char* what;
    std::string folder;
    std::optional<std::string> xdg_config_home;
    fs::path expected;
  };
  const Row rows[] = {
      {"writable folder", portable.string(), xdg, portable / "ful03test.ini"},
      {"trailing slash", portable.string() + "/", xdg, portable / "ful03test.ini"},
      {"read-only folder", installed.string(), xdg, in_xdg},
      {"read-only folder holding one", shared.string(), xdg, shared / "ful03test.ini"},
      {"XDG_CONFIG_HOME unset", installed.string(), std::nullopt, in_home},
      {"XDG_CONFIG_HOME empty", installed.string(), "", in_home},
      {"XDG_CONFIG_HOME relative", installed.string(), "config", in_home},
      {"missing folder", (dir / "gone").string(), xdg, in_xdg},
      // Never beside an installed program, even for the superuser who may write there.
      {"under /usr", "/usr/bin/", xdg, in_xdg},
      // The Windows installer's uninstaller above the programs: installed, wherever that is.
      {"installed with an uninstaller", (setup / "bin").string(), xdg, in_xdg},
      {"installed, trailing slash", (setup / "bin").string() + "/", xdg, in_xdg},
      {"an uninstaller beside, not above", setup.string(), xdg, setup / "ful03test.ini"},
  };
  for (const Row& row : rows) {
    config.Set(row.xdg_config_home);
    EXPECT_EQ(SettingsPath(row.folder), row.expected.string()) << row.what;
  }
}

// An installed program's older settings file beside it is taken over once; the user's own file
// then stands.
TEST_F(SettingsPlace, InstalledProgramTakesOverAnOlderFileBesideItOnce) {
  config.Set((dir / "config").string());
  std::ofstream(setup / "bin/ful03test.ini") << "[Signature]\nPort=4\n";
  const std::string path = SettingsPath((setup / "bin").string());
  EXPECT_EQ(path, (dir / "config/ful03test/ful03test.ini").string());
  EXPECT_EQ(TIniFile(path).ReadInteger("Signature", "Port", 1), 4);
  ASSERT_TRUE(TIniFile(path).WriteInteger("Signature", "Port", 2));
  std::ofstream(setup / "bin/ful03test.ini") << "[Signature]\nPort=5\n";
  EXPECT_EQ(TIniFile(SettingsPath((setup / "bin").string())).ReadInteger("Signature", "Port", 1),
            2);
}

TEST_F(SettingsPlace, FirstWriteMakesOnlyTheConfigurationFolder) {
  config.Set((dir / "config").string());
  // A settings file named in a missing folder stays unwritable.
  const fs::path elsewhere = dir / "missing/ful03test.ini";
  MakeSettingsFolder(elsewhere.string());
  EXPECT_FALSE(fs::exists(elsewhere.parent_path()));

  const std::string path = SettingsPath(installed.string());
  ASSERT_FALSE(TIniFile(path).WriteInteger("Signature", "Port", 2));
  MakeSettingsFolder(path);
  ASSERT_TRUE(TIniFile(path).WriteInteger("Signature", "Port", 2));
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), "[Signature]\nPort=2\n");
  for (const fs::path& made : {dir / "config", dir / "config/ful03test"}) {
    struct stat st {};
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
  }
  MakeSettingsFolder(path);  // once there, nothing changes
  EXPECT_EQ(TIniFile(path).ReadInteger("Signature", "Port", 1), 2);
}

}  // namespace
}  // namespace oxa
