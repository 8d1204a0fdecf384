// The remote control's keys in the settings file.
#include "logic/remote/RemoteSettings.h"

#include <gtest/gtest.h>

namespace {

TEST(RemoteSettings, ReadWithTheirDefaults) {
  const struct {
    const char* Ini;
    TRemoteSettings Expected;
  } cases[] = {
      {"", {false, 5025, false}},
      {"[Remote]\nEnabled=1\nPort=6000\nAllowControl=1\n", {true, 6000, true}},
      {"[remote]\nenabled=1\nport=65535\n", {true, 65535, false}},
      // A port that is no TCP port reads as the default.
      {"[Remote]\nPort=0\n", {false, 5025, false}},
      {"[Remote]\nPort=65536\n", {false, 5025, false}},
      {"[Remote]\nPort=-1\n", {false, 5025, false}},
      {"[Remote]\nPort=http\n", {false, 5025, false}},
      {"[Remote]\nPort=$13A1\n", {false, 5025, false}},
      {"[Remote]\nEnabled=yes\nAllowControl=2\n", {false, 5025, true}},
  };
  for (const auto& c : cases) {
    TIniFile ini;
    ini.SetText(c.Ini);
    const TRemoteSettings s = ReadRemoteSettings(ini);
    EXPECT_EQ(s.Enabled, c.Expected.Enabled) << c.Ini;
    EXPECT_EQ(s.Port, c.Expected.Port) << c.Ini;
    EXPECT_EQ(s.AllowControl, c.Expected.AllowControl) << c.Ini;
  }
}

TEST(RemoteSettings, StoresOnlyWhatChanged) {
  TIniFile ini;
  ini.SetText("[General]\nUpdateInterval=100\n[Remote]\nPort=7000\n");
  const TRemoteSettings read = ReadRemoteSettings(ini);
  EXPECT_FALSE(StoreRemoteSettings(ini, read, read));
  EXPECT_EQ(ini.ReadString(RemoteSection, "Enabled", "none"), "none");

  TRemoteSettings now = read;
  now.Enabled = true;
  now.AllowControl = true;
  EXPECT_TRUE(StoreRemoteSettings(ini, now, read));
  EXPECT_EQ(ReadRemoteSettings(ini), now);
  EXPECT_EQ(ini.ReadString(RemoteSection, "Port", ""), "7000") << "unchanged, kept as it was";
}

}  // namespace
