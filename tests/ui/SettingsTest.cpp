// The settings file, the command line, start-up reading, the options step's comparison and the
// exit write-back.
#include "logic/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/TempDir.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using test::TTempDir;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

TIniFile FromText(const std::string& text) {
  TIniFile f;
  f.SetText(text);
  return f;
}

// Every (section, key) -> value of a file, sections and keys lower-cased.
std::map<std::string, std::string> Entries(const TIniFile& f) {
  std::map<std::string, std::string> m;
  for (const auto& s : f.Sections())
    for (const auto& k : f.SectionKeys(s)) {
      std::string name = s + "/" + k;
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      m[name] = *f.Value(s, k);
    }
  return m;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TEST(IniInteger, AcceptsDecimalAndBothHexFormsOnly) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"0", 0},
      {"-20", -20},
      {"+5", 5},
      {"$FF", 255},
      {"0x1f", 31},
      {"0X10", 16},
      {"-$10", -16},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"x", std::nullopt},
      {"1.5", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"--1", std::nullopt},
      {"-+1", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"0x-1", std::nullopt},
      {"12a", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(CommandLine, AcceptsOnlyPrefixNameColonInteger) {
  struct Case {
    std::vector<std::string> params;
    std::optional<TPort> port;
    std::optional<std::int32_t> left, top;
    std::optional<std::uint16_t> remote = {};
  } cases[] = {
      {{"/PORT:3"}, 3, {}, {}},
      {{"-left:100"}, {}, 100, {}},
      {{"/Top:-20"}, {}, {}, -20},
      {{"/port:7", "-LEFT:200"}, 7, 200, {}},
      {{"/port:256"}, 256, {}, {}},
      {{"/PORT:0"}, {}, {}, {}},
      {{"/PORT:257"}, {}, {}, {}},
      {{"/PORT:x"}, {}, {}, {}},
      {{"PORT:3"}, {}, {}, {}},
      {{"/PORT3"}, {}, {}, {}},
      {{"/PORT:"}, {}, {}, {}},
      {{"/PORT:3:4"}, {}, {}, {}},
      {{"/:3"}, {}, {}, {}},
      {{"/ PORT:3"}, {}, {}, {}},
      {{"/SPEED:3"}, {}, {}, {}},
      {{"", "-", "/"}, {}, {}, {}},
      {{"/LEFT:2147483648"}, {}, {}, {}},
      {{"/LEFT:-2147483648"}, {}, INT32_MIN, {}},
      // The last valid value wins; an invalid one later does not undo it.
      {{"/PORT:7", "/PORT:9"}, 9, {}, {}},
      {{"/PORT:7", "/PORT:300"}, 7, {}, {}},
      {{"/TOP:1", "-top:2", "/TOP:x"}, {}, {}, 2},
      // The remote-control port: any TCP port, and it leaves the laser's port alone.
      {{"/REMOTE:5025"}, {}, {}, {}, 5025},
      {{"-remote:65535", "/PORT:2"}, 2, {}, {}, 65535},
      {{"/REMOTE:0"}, {}, {}, {}, {}},
      {{"/REMOTE:65536"}, {}, {}, {}, {}},
      {{"/REMOTE:-1"}, {}, {}, {}, {}},
      {{"/REMOTE"}, {}, {}, {}, {}},
      {{"/REMOTE:5025", "/REMOTE:x"}, {}, {}, {}, 5025},
  };
  for (const auto& c : cases) {
    const TCommandLine cl = ParseCommandLine(c.params);
    std::string shown;
    for (const auto& p : c.params) shown += p + " ";
    EXPECT_EQ(cl.Port, c.port) << shown;
    EXPECT_EQ(cl.Left, c.left) << shown;
    EXPECT_EQ(cl.Top, c.top) << shown;
    EXPECT_EQ(cl.Remote, c.remote) << shown;
  }
}

TEST(CommandLine, ArgvSkipsTheProgramName) {
  const char* argv[] = {"/PORT:5", "-top:8"};
  const TCommandLine cl = ParseCommandLine(2, argv);
  EXPECT_FALSE(cl.Port);
  EXPECT_EQ(cl.Top, 8);
}

// ---------------------------------------------------------------------------------------------

TEST(StartupSettings, MissingKeysReadAsDefaults) {
  const TStartupSettings s = ReadStartupSettings(FromText("[General]\nAllowOver100A=1\n"), {});
  TOptions expected;
  expected.AllowOver100A = true;
  EXPECT_EQ(s.Options, expected);
  EXPECT_EQ(s.Options.Port, 1);
  EXPECT_TRUE(s.Options.AutoDetect && s.Options.AutoUpdate && s.Options.DoubleClickOff);
  EXPECT_EQ(s.Options.UpdateInterval, 1000);
  EXPECT_EQ(s.Options.DetectInterval, 1000);
  EXPECT_EQ(s.Options.ConnectLaser, 16460);
  EXPECT_EQ(s.Options.SetCurrentZero, 16432);
  EXPECT_EQ(s.Options.PresetCurrents[8], "0");
  EXPECT_TRUE(s.MinimizeToTray);
  EXPECT_FALSE(s.ShowTrayIcon);
  EXPECT_EQ(s.StartLeft, 0);
  EXPECT_EQ(s.StartTop, 0);
}

TEST(StartupSettings, EachKeyKeepsItsRangeAndFallsBackToItsDefault) {
  struct Case {
    const char* section;
    const char* key;
    const char* stored;
    std::int64_t expected;
  } cases[] = {
      {"LaserConnection", "Port", "1", 1},
      {"LaserConnection", "Port", "256", 256},
      {"LaserConnection", "Port", "0", 1},
      {"LaserConnection", "Port", "257", 1},
      {"LaserConnection", "Port", "-3", 1},
      {"LaserConnection", "Port", "COM3", 1},
      {"LaserConnection", "Port", "$10", 16},
      {"LaserConnection", "DetectInterval", "1", 1},
      {"LaserConnection", "DetectInterval", "0", 1000},
      {"LaserConnection", "DetectInterval", "-500", 1000},
      {"LaserConnection", "DetectInterval", "2147483647", 2147483647},
      {"LaserConnection", "DetectInterval", "2147483648", 1000},
      {"General", "UpdateInterval", "250", 250},
      {"General", "UpdateInterval", "0", 1000},
      {"General", "UpdateInterval", "1.5", 1000},
      {"Hotkeys", "ConnectLaser", "0", 0},
      {"Hotkeys", "ConnectLaser", "65535", 65535},
      {"Hotkeys", "ConnectLaser", "65536", 16460},
      {"Hotkeys", "ConnectLaser", "-1", 16460},
      {"Hotkeys", "LaserOff", "x", 16467},
      {"Hotkeys", "CWMode", "16452", 16452},
      {"WindowPosition", "Left", "-20", -20},
      {"WindowPosition", "Top", "x", 0},
      {"WindowPosition", "Top", "2147483648", 0},
      {"LaserConnection", "AutoDetect", "0", 0},
      {"LaserConnection", "AutoDetect", "2", 1},
      {"LaserConnection", "AutoDetect", "yes", 1},
      {"General", "AutoUpdate", "0", 0},
      {"General", "AllowOver100A", "-1", 1},
      {"TrayIcon", "DoubleClickOff", "0", 0},
      {"TrayIcon", "MinimizeToTray", "0", 0},
      {"TrayIcon", "ShowTrayIcon", "1", 1},
      {"TrayIcon", "ShowTrayIcon", "on", 0},
  };
  for (const auto& c : cases) {
    const auto s = ReadStartupSettings(
        FromText(std::string("[") + c.section + "]\n" + c.key + " = " + c.stored + "\n"), {});
    const TOptions& o = s.Options;
    const std::map<std::string, std::int64_t> read = {
        {"Port", o.Port},
        {"DetectInterval", o.DetectInterval},
        {"UpdateInterval", o.UpdateInterval},
        {"ConnectLaser", o.ConnectLaser},
        {"LaserOff", o.LaserOff},
        {"CWMode", o.CWMode},
        {"Left", s.StartLeft},
        {"Top", s.StartTop},
        {"AutoDetect", o.AutoDetect},
        {"AutoUpdate", o.AutoUpdate},
        {"AllowOver100A", o.AllowOver100A},
        {"DoubleClickOff", o.DoubleClickOff},
        {"MinimizeToTray", s.MinimizeToTray},
        {"ShowTrayIcon", s.ShowTrayIcon},
    };
    EXPECT_EQ(read.at(c.key), c.expected) << c.section << "/" << c.key << "=" << c.stored;
  }
}

TEST(StartupSettings, NamesMatchInAnyCaseAndEveryKeyReachesItsField) {
  const auto s = ReadStartupSettings(FromText("[laserconnection]\nPORT=4\nautodetect=0\n"
                                              "detectinterval=1500\n"
                                              "[GENERAL]\nautoupdate=0\nupdateinterval=700\n"
                                              "[hotkeys]\nconnectlaser=1\ninternaltrigger=2\n"
                                              "externaltrigger=3\ncwmode=4\nlaseron=5\n"
                                              "laseroff=6\nsetcurrentzero=7\nstartrecording=8\n"
                                              "stoprecording=9\nshowtrends=10\n"
                                              "[presetcurrents]\n1=1.5\n5=\n9=99.99\n"
                                              "[windowposition]\nleft=10\ntop=20\n"
                                              "[trayicon]\ndoubleclickoff=0\n"),
                                     {});
  const TOptions& o = s.Options;
  EXPECT_EQ(o.Port, 4);
  EXPECT_FALSE(o.AutoDetect);
  EXPECT_EQ(o.DetectInterval, 1500);
  EXPECT_FALSE(o.AutoUpdate);
  EXPECT_EQ(o.UpdateInterval, 700);
  for (int i = 0; i < HotKeyCount; ++i)
    EXPECT_EQ(o.HotKey(static_cast<THotKeyAction>(i)), i + 1) << HotKeyNames[i];
  EXPECT_EQ(o.PresetCurrents[0], "1.5");
  EXPECT_EQ(o.PresetCurrents[4], "");  // present but empty stays empty
  EXPECT_EQ(o.PresetCurrents[8], "99.99");
  EXPECT_EQ(o.PresetCurrents[1], "0");
  EXPECT_FALSE(o.DoubleClickOff);
  EXPECT_EQ(s.StartLeft, 10);
  EXPECT_EQ(s.StartTop, 20);
}

TEST(StartupSettings, CommandLineReplacesOnlyWhatItGives) {
  const TIniFile file = FromText("[LaserConnection]\nPort=3\n[WindowPosition]\nLeft=50\nTop=60\n");
  const auto s = ReadStartupSettings(file, ParseCommandLine({"/port:7", "-LEFT:200"}));
  EXPECT_EQ(s.Options.Port, 7);
  EXPECT_EQ(s.StartLeft, 200);
  EXPECT_EQ(s.StartTop, 60);
  const auto bad = ReadStartupSettings(file, ParseCommandLine({"/PORT:0", "/TOP:x"}));
  EXPECT_EQ(bad.Options.Port, 3);
  EXPECT_EQ(bad.StartTop, 60);
}

TEST(TemplateLink, LooksUpSnKeyInTemplateSection) {
  const TIniFile file = FromText("[template]\nsn142=LaserA.ini\nSN7=\n[General]\nSN143=not here\n");
  std::string name = "unchanged";
  EXPECT_TRUE(FindTemplateLink(file, 142, name));
  EXPECT_EQ(name, "LaserA.ini");
  EXPECT_TRUE(FindTemplateLink(file, 7, name));
  EXPECT_EQ(name, "");
  name = "unchanged";
  EXPECT_FALSE(FindTemplateLink(file, 143, name));
  EXPECT_FALSE(FindTemplateLink(file, 42, name));
  EXPECT_EQ(name, "unchanged");
}

TEST(SettingsPath, IsTheExecutableWithIniExtension) {
  EXPECT_EQ(SettingsPathFor("/opt/laser/QNLaserControl"),
            fs::path("/opt/laser/QNLaserControl.ini"));
  EXPECT_EQ(SettingsPathFor("/opt/laser/QNLaserControl.exe"),
            fs::path("/opt/laser/QNLaserControl.ini"));
#if !defined(_WIN32)
  const fs::path self = ExecutablePath(nullptr);
  EXPECT_TRUE(fs::exists(self));
  EXPECT_EQ(self.filename(), "ui_core_tests");
#else
  // The module's own name, whatever argv[0] says.
  const fs::path self = ExecutablePath("elsewhere\\renamed");
  EXPECT_TRUE(fs::exists(self));
  EXPECT_EQ(self.filename(), "win32_ui_tests.exe");
#endif
}

// ---------------------------------------------------------------------------------------------

TEST(IniFile, KeepsUnknownSectionsKeysAndCommentsInOrder) {
  const std::string text =
      "; written by hand\r\n"
      "[Template]\r\n"
      "SN142=LaserA.ini\r\n"
      "; old laser\r\n"
      "SN7 = .\\tpl\\Old.ini\r\n"
      "\r\n"
      "[Mine]\r\n"
      "Colour=blue\r\n"
      "a line without equals\r\n"
      "[LaserConnection]\r\n"
      "Port=3\r\n";
  TIniFile f = FromText(text);
  f.WriteInteger("laserconnection", "port", 5);
  f.WriteString("Mine", "Shape", "round");
  f.WriteString("New", "Key", "v");
  EXPECT_EQ(f.Text(),
            "; written by hand\r\n"
            "\r\n"
            "[Template]\r\n"
            "SN142=LaserA.ini\r\n"
            "; old laser\r\n"
            "SN7=.\\tpl\\Old.ini\r\n"
            "\r\n"
            "[Mine]\r\n"
            "Colour=blue\r\n"
            "a line without equals\r\n"
            "Shape=round\r\n"
            "\r\n"
            "[LaserConnection]\r\n"
            "Port=5\r\n"
            "\r\n"
            "[New]\r\n"
            "Key=v\r\n");
}

TEST(IniFile, ReadsAndWritesTheFirstOfDuplicatesAndMergesRepeatedSections) {
  TIniFile f = FromText("[A]\nk=1\nK=2\n[B]\nx=1\n[a]\nj=3\n");
  EXPECT_EQ(f.ReadString("A", "k", ""), "1");
  EXPECT_EQ(f.ReadString("A", "j", ""), "3");
  f.WriteString("a", "K", "9");
  EXPECT_EQ(f.Text(), "[A]\nk=9\nK=2\nj=3\n\n[B]\nx=1\n");
}

TEST(IniFile, BomLineBreaksAndForeignBytesSurviveARoundTrip) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"\xEF\xBB\xBF[A]\r\nk=\xC3\xA9t\xC3\xA9\r\n", "\xEF\xBB\xBF[A]\r\nk=\xC3\xA9t\xC3\xA9\r\n"},
      {"[A]\nk=\xFF\xFE\x80\n", "[A]\nk=\xFF\xFE\x80\n"},
      {"[A]\rk=v\r", "[A]\rk=v\r"},
      {"[A]\nk=v", "[A]\nk=v\n"},
      {std::string("[A]\nk=a\0b\n", 10), std::string("[A]\nk=a\0b\n", 10)},
      // Not at the start of the file, those bytes are text and must stay text.
      {"\n\xEF\xBB\xBFk=v\n", "\n\xEF\xBB\xBFk=v\n"},
  };
  for (const auto& c : cases) {
    const TIniFile f = FromText(c.in);
    EXPECT_EQ(f.Text(), c.out);
  }
  EXPECT_TRUE(FromText("\xEF\xBB\xBF[A]\nk=v\n").HasBom());
  EXPECT_EQ(FromText("\xEF\xBB\xBF[A]\nk=v\n").ReadString("A", "k", ""), "v");
}

TEST(IniFile, AValueStaysOneLine) {
  TIniFile f;
  f.WriteString("PresetCurrents", "1", "1.5\r\n[Evil]\nk=v");
  const TIniFile again = FromText(f.Text());
  EXPECT_FALSE(again.SectionExists("Evil"));
  EXPECT_EQ(again.ReadString("PresetCurrents", "1", ""), "1.5  [Evil] k=v");
}

TEST(IniFile, MissingFileIsEmptyAndNotCreatedByReading) {
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  const TIniFile f(p);
  EXPECT_TRUE(f.ReadError().empty());
  EXPECT_TRUE(f.Sections().empty());
  EXPECT_FALSE(fs::exists(p));
}

// ---------------------------------------------------------------------------------------------

// Permissions, links, a file size limit and the C library's reasons are POSIX's; the Windows
// write is checked by the tests around it.
#if !defined(_WIN32)
TEST(SafeWrite, ReplacesTheFileKeepingItsPermissions) {
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  WriteAll(p, "[A]\nk=1\n");
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
  TIniFile f(p);
  f.WriteString("A", "k", "2");
  std::string error;
  ASSERT_TRUE(f.UpdateFile(error)) << error;
  EXPECT_EQ(ReadAll(p), "[A]\nk=2\n");
  EXPECT_EQ(fs::status(p).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
      << "no temporary file left behind";
}

TEST(SafeWrite, WritesThroughALinkAndKeepsTheLink) {
  TTempDir dir;
  const fs::path real = dir.Path() / "real.ini";
  const fs::path link = dir.Path() / "QNLaserControl.ini";
  WriteAll(real, "[A]\nk=1\n");
  fs::create_symlink(real, link);
  TIniFile f(link);
  f.WriteString("A", "k", "2");
  std::string error;
  ASSERT_TRUE(f.UpdateFile(error)) << error;
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(ReadAll(real), "[A]\nk=2\n");
}

// A link to a file that does not exist yet (or a chain of links) stays a link: the file is made
// where the last link points, relative links taken from their own folder.
TEST(SafeWrite, ADanglingLinkGetsItsFile) {
  struct {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Links;  // link -> what it names
    std::string Real;
  } cases[] = {
      {"absolute", {{"QNLaserControl.ini", "@/conf/real.ini"}}, "conf/real.ini"},
      {"relative", {{"QNLaserControl.ini", "conf/real.ini"}}, "conf/real.ini"},
      {"chain", {{"QNLaserControl.ini", "hop.ini"}, {"hop.ini", "conf/real.ini"}}, "conf/real.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    fs::create_directories(dir.Path() / "conf");
    for (const auto& [link, to] : c.Links) {
      const std::string target = to.starts_with("@") ? (dir.Path() / to.substr(2)).string() : to;
      fs::create_symlink(target, dir.Path() / link);
    }
    TIniFile f(dir.Path() / "QNLaserControl.ini");
    f.WriteString("A", "k", "1");
    std::string error;
    ASSERT_TRUE(f.UpdateFile(error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir.Path() / "QNLaserControl.ini")));
    EXPECT_EQ(ReadAll(dir.Path() / c.Real), "[A]\nk=1\n");
  }
}

// An editor that put its own byte-order mark before ours (or several) hides no section, and
// the file is written back with one mark and one [General].
TEST(IniFile, RepeatedByteOrderMarksHideNoSection) {
  const std::string bom = "\xEF\xBB\xBF";
  for (const int marks : {1, 2, 3}) {
    SCOPED_TRACE(marks);
    std::string text;
    for (int i = 0; i < marks; ++i) text += bom;
    TIniFile f = FromText(text + "[General]\nAutoUpdate=0\n");
    EXPECT_TRUE(f.HasBom());
    EXPECT_EQ(f.ReadInteger("General", "AutoUpdate", 1), 0);
    f.WriteString("General", "UpdateInterval", "500");
    EXPECT_EQ(f.Text(), bom + "[General]\nAutoUpdate=0\nUpdateInterval=500\n");
  }
}

// A file that is there but cannot be read is said at start-up, naming the file and the reason;
// a missing or readable one is not.
TEST(IniFile, AnUnreadableFileIsSaidAtStartUp) {
  TTempDir dir;
  const fs::path big = dir.Path() / "big.ini";
  {
    std::ofstream out(big, std::ios::binary);
    out << "[A]\n";
    out.seekp(17 * 1024 * 1024);
    out << "x";
  }
  WriteAll(dir.Path() / "ok.ini", "[A]\nk=1\n");
  fs::create_directories(dir.Path() / "folder.ini");
  struct {
    const char* File;
    const char* Reason;  // empty: nothing to say
  } cases[] = {{"big.ini", "larger than 16 MiB"},
               {"folder.ini", "a folder"},
               {"ok.ini", ""},
               {"missing.ini", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    const std::string problem = SettingsReadProblem(TIniFile(dir.Path() / c.File));
    if (*c.Reason == 0) {
      EXPECT_EQ(problem, "");
      continue;
    }
    EXPECT_NE(problem.find((dir.Path() / c.File).string()), std::string::npos) << problem;
    EXPECT_NE(problem.find(c.Reason), std::string::npos) << problem;
  }
}

TEST(SafeWrite, AReadOnlyFolderReportsPathAndReasonAndKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  WriteAll(p, "[A]\nk=1\n");
  TIniFile f(p);
  f.WriteString("A", "k", "2");
  fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  std::string error;
  EXPECT_FALSE(f.UpdateFile(error));
  EXPECT_NE(error.find(p.string()), std::string::npos) << error;
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
  fs::permissions(dir.Path(), fs::perms::owner_all);
  EXPECT_EQ(ReadAll(p), "[A]\nk=1\n");
}

TEST(SafeWrite, AFullDiskLeavesTheOldFileWhole) {
  // A file size limit fails the write part-way, as a full disk would; this works as root too.
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  WriteAll(p, "[A]\nk=1\n");
  TIniFile f(p);
  f.WriteString("A", "k", std::string(4000, 'x'));
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  const bool written = f.UpdateFile(error);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_NE(error.find(p.string()), std::string::npos) << error;
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(p), "[A]\nk=1\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(SafeWrite, AFolderThatIsNotOneReportsTheReason) {
  TTempDir dir;
  WriteAll(dir.Path() / "file", "x");
  TIniFile f(dir.Path() / "file" / "QNLaserControl.ini");
  f.WriteString("A", "k", "1");
  std::string error;
  EXPECT_FALSE(f.UpdateFile(error));
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
}
#endif

TEST(SafeWrite, AFileThatCouldNotBeReadIsNeverOverwritten) {
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  fs::create_directory(p);
  TIniFile f(p);
  EXPECT_FALSE(f.ReadError().empty());
  f.WriteString("A", "k", "1");
  std::string error;
  EXPECT_FALSE(f.UpdateFile(error));
  EXPECT_NE(error.find(p.string()), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(p));
}

// ---------------------------------------------------------------------------------------------

namespace {

struct TExitCase {
  const char* name;
  bool settingsChanged, presetsEdited;
  int dx, dy;
  std::vector<std::string> written;  // "section/key", lower case
};

}  // namespace

TEST(ExitWriteBack, WritesOnlyWhatChanged) {
  const std::string stored =
      "[LaserConnection]\nPort=3\nAutoDetect=1\n[WindowPosition]\nLeft=50\nTop=60\n"
      "[Template]\nSN142=LaserA.ini\n[Mine]\nColour=blue\n";
  const std::vector<std::string> changedKeys = {"laserconnection/port",
                                                "general/autoupdate",
                                                "laserconnection/autodetect",
                                                "general/updateinterval",
                                                "laserconnection/detectinterval",
                                                "hotkeys/connectlaser",
                                                "hotkeys/internaltrigger",
                                                "hotkeys/externaltrigger",
                                                "hotkeys/cwmode",
                                                "hotkeys/laseron",
                                                "hotkeys/laseroff",
                                                "hotkeys/setcurrentzero",
                                                "hotkeys/startrecording",
                                                "hotkeys/stoprecording",
                                                "hotkeys/showtrends",
                                                "trayicon/doubleclickoff",
                                                "trayicon/minimizetotray",
                                                "trayicon/showtrayicon"};
  std::vector<std::string> presetKeys;
  for (int n = 1; n <= 9; ++n) presetKeys.push_back("presetcurrents/" + std::to_string(n));
  const TExitCase cases[] = {
      {"nothing", false, false, 0, 0, {}},
      {"left moved", false, false, 5, 0, {"windowposition/left"}},
      {"top moved", false, false, 0, -5, {"windowposition/top"}},
      {"both moved", false, false, 1, 1, {"windowposition/left", "windowposition/top"}},
      {"presets", false, true, 0, 0, presetKeys},
      {"settings", true, false, 0, 0, changedKeys},
  };
  for (const auto& c : cases) {
    TTempDir dir;
    const fs::path p = dir.Path() / "QNLaserControl.ini";
    WriteAll(p, stored);
    const auto before = fs::last_write_time(p);
    TIniFile file(p);
    const auto start = ReadStartupSettings(file, ParseCommandLine({"/PORT:9"}));
    TExitState st;
    st.Options = start.Options;
    st.Options.AutoDetect = false;  // a value that differs from the file if written
    st.Options.PresetCurrents[2] = "12.5";
    st.Port = start.Options.Port;
    st.MinimizeToTray = start.MinimizeToTray;
    st.ShowTrayIcon = start.ShowTrayIcon;
    st.SettingsChanged = c.settingsChanged;
    st.PresetsEdited = c.presetsEdited;
    st.StartLeft = start.StartLeft;
    st.StartTop = start.StartTop;
    st.Left = start.StartLeft + c.dx;
    st.Top = start.StartTop + c.dy;
    std::string error;
    ASSERT_TRUE(WriteBackSettings(file, st, error)) << c.name << ": " << error;
    if (c.written.empty()) {
      EXPECT_EQ(fs::last_write_time(p), before) << c.name;
      EXPECT_EQ(ReadAll(p), stored) << c.name;
      continue;
    }
    // Every key written here is new to the file or gets a new value, so the written set is
    // exactly what differs.
    const auto old = Entries(FromText(stored));
    const auto now = Entries(TIniFile(p));
    std::vector<std::string> differing;
    for (const auto& [k, v] : now)
      if (!old.count(k) || old.at(k) != v) differing.push_back(k);
    for (const auto& [k, v] : old) EXPECT_TRUE(now.count(k)) << c.name << ": lost " << k;
    std::vector<std::string> expected = c.written;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(differing, expected) << c.name;
  }
}

TEST(ExitWriteBack, WritesTheLaserPortAndTheCheckedStates) {
  TIniFile file = FromText("[LaserConnection]\nPort=3\n");
  TExitState st;
  st.Port = 9;  // given on the command line
  st.Options.Port = 3;
  st.SettingsChanged = true;
  st.MinimizeToTray = false;
  st.ShowTrayIcon = true;
  st.Options.ConnectLaser = 0x4000 | 'K';
  ASSERT_TRUE(StoreExitSettings(file, st));
  EXPECT_EQ(file.ReadString("LaserConnection", "Port", ""), "9");
  EXPECT_EQ(file.ReadString("TrayIcon", "MinimizeToTray", ""), "0");
  EXPECT_EQ(file.ReadString("TrayIcon", "ShowTrayIcon", ""), "1");
  EXPECT_EQ(file.ReadString("Hotkeys", "ConnectLaser", ""), "16459");
  EXPECT_FALSE(file.ValueExists("General", "AllowOver100A"));
  // What was written reads back as what was in force.
  const auto again = ReadStartupSettings(FromText(file.Text()), {});
  EXPECT_EQ(again.Options.ConnectLaser, st.Options.ConnectLaser);
  EXPECT_EQ(again.Options.Port, 9);
  EXPECT_FALSE(again.MinimizeToTray);
  EXPECT_TRUE(again.ShowTrayIcon);
}

TEST(ExitWriteBack, NothingToWriteCreatesNoFile) {
  TTempDir dir;
  const fs::path p = dir.Path() / "QNLaserControl.ini";
  TIniFile file(p);
  TExitState st;
  std::string error;
  EXPECT_TRUE(WriteBackSettings(file, st, error));
  EXPECT_FALSE(fs::exists(p));
  st.Left = 10;
  EXPECT_TRUE(WriteBackSettings(file, st, error)) << error;
  // A new file gets the platform's own line breaks.
#ifdef _WIN32
  EXPECT_EQ(ReadAll(p), "[WindowPosition]\r\nLeft=10\r\n");
#else
  EXPECT_EQ(ReadAll(p), "[WindowPosition]\nLeft=10\n");
#endif
}

// ---------------------------------------------------------------------------------------------

TEST(OptionsStep, ComparesAndPlansTheTimer) {
  using H = TTimerHandler;
  struct Case {
    const char* name;
    void (*change)(TOptions&);
    bool settingsChanged, portChanged;
    TTimerPlan disconnected, connected;
  } cases[] = {
      {"nothing", [](TOptions&) {}, false, false, {}, {}},
      {"port", [](TOptions& o) { o.Port = 4; }, true, true, {}, {}},
      {"detect interval",
       [](TOptions& o) { o.DetectInterval = 3000; },
       true,
       false,
       {3000, {}, {}},
       {}},
      {"update interval",
       [](TOptions& o) { o.UpdateInterval = 500; },
       true,
       false,
       {},
       {500, {}, {}}},
      {"auto-detect off",
       [](TOptions& o) { o.AutoDetect = false; },
       true,
       false,
       {1000, H::RetryConnect, false},
       {}},
      {"auto-detect off, new period",
       [](TOptions& o) {
         o.AutoDetect = false;
         o.DetectInterval = 2500;
       },
       true,
       false,
       {2500, H::RetryConnect, false},
       {}},
      {"auto-update off",
       [](TOptions& o) { o.AutoUpdate = false; },
       true,
       false,
       {},
       {1000, H::RefreshLaserState, false}},
      {"hot key", [](TOptions& o) { o.LaserOff = 0; }, true, false, {}, {}},
      {"double click", [](TOptions& o) { o.DoubleClickOff = false; }, true, false, {}, {}},
      // Presets are saved through the dialog's own flag.
      {"presets", [](TOptions& o) { o.PresetCurrents[0] = "5"; }, false, false, {}, {}},
      // The dialog does not carry it: whatever it says is not taken.
      {"allow over 100 A", [](TOptions& o) { o.AllowOver100A = true; }, false, false, {}, {}},
  };
  for (const auto& c : cases) {
    TOptions old;
    TOptions changed = old;
    c.change(changed);
    const TOptionsChange r = CompareOptions(old, changed);
    EXPECT_EQ(r.SettingsChanged, c.settingsChanged) << c.name;
    EXPECT_EQ(r.PortChanged, c.portChanged) << c.name;
    EXPECT_TRUE(r.TimerPlan(false) == c.disconnected) << c.name;
    EXPECT_TRUE(r.TimerPlan(true) == c.connected) << c.name;
    TOptions expected = changed;
    expected.AllowOver100A = old.AllowOver100A;
    EXPECT_EQ(r.Result, expected) << c.name;
  }
  // Turning auto-detect on while disconnected starts the retry timer.
  TOptions off;
  off.AutoDetect = false;
  TOptions on = off;
  on.AutoDetect = true;
  EXPECT_TRUE(
      (CompareOptions(off, on).TimerPlan(false) == TTimerPlan{1000, H::RetryConnect, true}));
}

TEST(OptionsStep, EveryHotKeyChangeIsReportedForItsOwnAction) {
  for (int i = 0; i < HotKeyCount; ++i) {
    const TOptions old;
    TOptions changed;
    changed.HotKey(static_cast<THotKeyAction>(i)) = scAlt | 'Q';
    const TOptionsChange r = CompareOptions(old, changed);
    EXPECT_TRUE(r.SettingsChanged) << HotKeyNames[i];
    for (int j = 0; j < HotKeyCount; ++j) EXPECT_EQ(r.HotKeyChanged[j], i == j) << HotKeyNames[i];
    EXPECT_EQ(r.Result.HotKey(static_cast<THotKeyAction>(i)), scAlt | 'Q');
  }
}
