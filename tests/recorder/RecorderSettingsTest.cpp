// The recorder's keys in the settings file.
#include "logic/recorder/RecorderSettings.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

TEST(RecorderSettings, ReadsFolderAndAutoRecordWithTheirDefaults) {
  const fs::path documents = "/home/op/Documents";
  const struct {
    const char* Ini;
    fs::path Folder;
    bool AutoRecord;
  } cases[] = {
      {"", documents, false},
      {"[Recorder]\nFolder=\nAutoRecord=1\n", documents, true},
      {"[recorder]\nfolder=/data/laser runs\nautorecord=0\n", "/data/laser runs", false},
      {"[Recorder]\nFolder=runs/today\n", documents / "runs/today", false},
      {"[Recorder]\nFolder=/data/M\xC3\xBCller\nAutoRecord=yes\n", fs::path(u8"/data/M\u00fcller"),
       false},
      {"[Recorder]\nAutoRecord=$10\n", documents, true},
  };
  for (const auto& c : cases) {
    TIniFile ini;
    ini.SetText(c.Ini);
    const TRecorderSettings s = ReadRecorderSettings(ini, documents);
    EXPECT_EQ(s.Folder, c.Folder) << c.Ini;
    EXPECT_EQ(s.AutoRecord, c.AutoRecord) << c.Ini;
  }
}

TEST(RecorderSettings, StoresOnlyWhatChanged) {
  const fs::path documents = "/home/op/Documents";
  TIniFile ini;
  ini.SetText("[General]\nUpdateInterval=100\n");
  const TRecorderSettings read = ReadRecorderSettings(ini, documents);
  EXPECT_FALSE(StoreRecorderSettings(ini, read, read));
  EXPECT_FALSE(ini.SectionExists("Recorder"));

  TRecorderSettings now = read;
  now.AutoRecord = true;
  EXPECT_TRUE(StoreRecorderSettings(ini, now, read));
  EXPECT_EQ(ini.Value("Recorder", "AutoRecord"), "1");
  EXPECT_FALSE(ini.ValueExists("Recorder", "Folder"));

  now.Folder = fs::path(u8"/data/M\u00fcller runs");
  EXPECT_TRUE(StoreRecorderSettings(ini, now, read));
  EXPECT_EQ(ini.Value("Recorder", "Folder"), "/data/M\xC3\xBCller runs");
  // What is written reads back as it was.
  TIniFile again;
  again.SetText(ini.Text());
  EXPECT_EQ(ReadRecorderSettings(again, documents), now);
}

}  // namespace
