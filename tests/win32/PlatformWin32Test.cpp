// The registry port list, the program's version information and the system's error texts, on
// Win32 (under Wine, in a throw-away prefix whose registry the tests may change).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "laser/Sync.h"
#include "platform/WinShell.h"
#include "serial/PortNames.h"

namespace {

const wchar_t* const kSerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Replaces the key with one holding the given values, in that order; nullptr values: no key.
void SetSerialComm(const std::vector<std::pair<std::wstring, std::wstring>>* values) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSerialComm);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialComm);
  if (!values) return;
  HKEY key = nullptr;
  // The device map lives in the volatile part of the registry, as on Windows.
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const auto& [name, data] : *values) {
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

TEST(WinPortList, RegistryValuesInTheirOrderComNamesOnly) {
  using Values = std::vector<std::pair<std::wstring, std::wstring>>;
  // Value names sort in the order they are added: Wine enumerates by name, Windows as added.
  const Values usual = {{L"\\Device\\Serial0", L"COM1"},
                        {L"\\Device\\Serial1", L"COM12"},
                        {L"\\Device\\Serial2", L"COM3"}};
  const Values mixed = {{L"\\Device\\A", L"com7"},
                        {L"\\Device\\B", L"LPT1"},
                        {L"\\Device\\C", L"CNCA0"},
                        {L"\\Device\\D", L"COM2"}};
  const Values none = {{L"\\Device\\Other", L"LPT1"}};
  const Values empty = {};
  struct {
    const char* Name;
    const Values* Key;
    std::optional<std::vector<std::string>> Expected;
  } cases[] = {
      {"as the registry gives them", &usual, std::vector<std::string>{"COM1", "COM12", "COM3"}},
      {"COM in any case, nothing else", &mixed, std::vector<std::string>{"com7", "COM2"}},
      {"no COM entry", &none, std::vector<std::string>{}},
      {"empty key", &empty, std::vector<std::string>{}},
      {"no key", nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    SetSerialComm(c.Key);
    EXPECT_EQ(PresentPorts(), c.Expected) << c.Name;
  }
}

TEST(WinVersionInfo, TheProgramReadsItsOwnVersionResource) {
  const std::string version = std::to_string(LASER_TEST_VERSION_MAJOR) + "." +
                              std::to_string(LASER_TEST_VERSION_MINOR) + "." +
                              std::to_string(LASER_TEST_VERSION_PATCH) + ".0";
  EXPECT_EQ(ProgramVersionString("ProductName"), "Laser Control");
  EXPECT_EQ(ProgramVersionString("FileVersion"), version);
  EXPECT_EQ(ProgramVersionString("NoSuchText"), std::nullopt);
}

TEST(WinVersionInfo, AFileWithoutVersionInformationGivesNothing) {
  wchar_t dir[MAX_PATH];
  wchar_t path[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
  ASSERT_NE(GetTempFileNameW(dir, L"lvi", 0, path), 0u);
  EXPECT_EQ(FileVersionString(path, "ProductName"), std::nullopt);
  EXPECT_EQ(FileVersionString(L"C:\\no\\such\\file.exe", "ProductName"), std::nullopt);
  DeleteFileW(path);
}

TEST(WinShell, OpenReportsATargetThatIsNotThere) {
  EXPECT_FALSE(ShellOpen("C:\\no\\such\\document.txt"));
}

TEST(WinErrors, SystemErrorTextsAreTheSystemsOwn) {
  // Known codes give the system's text without its line break; unknown ones still a text.
  for (const int code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}) {
    const std::string text = SystemErrorText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text, "error " + std::to_string(code));
    EXPECT_NE(text.back(), '\n');
  }
  EXPECT_EQ(SystemErrorText(static_cast<int>(0xDEADBEEF)), "error 3735928559");
}

}  // namespace
