// Where the settings file lives: beside the program where it can be, else in the user's folder.
#include "logic/SettingsLocation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "logic/Settings.h"

namespace fs = std::filesystem;

namespace {

TEST(SettingsLocation, Rule) {
  using enum TSettingsPlace;
  struct {
    bool Exists, Writable, Shared, UserFolder;
    TSettingsPlace Place;
  } cases[] = {
      // A program unpacked into a folder of its own, or one whose file is already there.
      {false, true, false, true, BesideProgram},
      {true, false, false, true, BesideProgram},
      {true, true, false, true, BesideProgram},
      // A file put beside an installed program on purpose is used, even in /usr/bin.
      {true, false, true, true, BesideProgram},
      {true, true, true, true, BesideProgram},
      // Installed: a folder the user may not write, or one shared by the system's programs.
      {false, false, false, true, UserFolder},
      {false, false, true, true, UserFolder},
      {false, true, true, true, UserFolder},
      // No user folder known (no home): beside the program as before, whatever comes of it.
      {false, false, false, false, BesideProgram},
      {false, true, true, false, BesideProgram},
  };
  for (const auto& c : cases) {
    const TSettingsFacts facts{c.Exists, c.Writable, c.Shared, c.UserFolder};
    EXPECT_EQ(ChooseSettingsPlace(facts), c.Place)
        << c.Exists << c.Writable << c.Shared << c.UserFolder;
  }
}

TEST(SettingsLocation, SharedProgramFolders) {
  struct {
    const char* Folder;
    bool Shared;
  } cases[] = {
      {"/usr/bin", true},        {"/usr/bin/", true},   {"/usr/local/bin", true},
      {"/usr/sbin", true},       {"/usr/games", true},  {"/usr/lib/../bin", true},
      {"/opt/laser", false},     {"/usr/share", false}, {"/home/user/laser", false},
      {"/usr/bin/laser", false}, {"/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSharedProgramFolder(c.Folder), c.Shared) << c.Folder;
}

class SettingsFileFor : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "settings-place-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    fs::create_directory(Dir / "app");
    User = Dir / "home" / ".config" / "Corvane" / "QNLaserControl";
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(Dir / "app", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(Dir, ec);
  }
  fs::path Dir, User;
};

TEST_F(SettingsFileFor, AFolderOfItsOwnKeepsTheFileBesideTheProgram) {
  EXPECT_EQ(::SettingsFileFor(Dir / "app" / "QNLaserControl", User),
            Dir / "app" / "QNLaserControl.ini");
  EXPECT_EQ(::SettingsFileFor(Dir / "app" / "QNLaserControl", {}),
            Dir / "app" / "QNLaserControl.ini");
}

TEST_F(SettingsFileFor, AFolderTheUserMayNotWriteSendsItToTheUserFolder) {
  fs::permissions(Dir / "app", fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  EXPECT_EQ(::SettingsFileFor(Dir / "app" / "QNLaserControl", User), User / "QNLaserControl.ini");
  // A file that is there already stays in use.
  fs::permissions(Dir / "app", fs::perms::owner_all);
  std::ofstream(Dir / "app" / "QNLaserControl.ini") << "[General]\n";
  fs::permissions(Dir / "app", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(::SettingsFileFor(Dir / "app" / "QNLaserControl", User),
            Dir / "app" / "QNLaserControl.ini");
}

TEST_F(SettingsFileFor, AnInstalledProgramUsesTheUserFolderWhichTheFirstWriteMakes) {
  const fs::path file = ::SettingsFileFor("/usr/bin/QNLaserControl", User);
  ASSERT_EQ(file, User / "QNLaserControl.ini");
  // Nothing is made before there is something to write.
  EXPECT_FALSE(fs::exists(Dir / "home"));
  TIniFile ini(file);
  ini.WriteInteger("LaserConnection", "Port", 3);
  std::string error;
  ASSERT_TRUE(ini.UpdateFile(error)) << error;
  EXPECT_TRUE(fs::is_regular_file(file));
  EXPECT_EQ(TIniFile(file).ReadInteger("LaserConnection", "Port", 1), 3);
}

}  // namespace
