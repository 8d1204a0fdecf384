// The settings of the program: the settings record TOptions kept in the INI file beside the
// executable (logic/IniFile.h), hot-key codes, the command line, and the Qt-free halves of the
// window's start-up, options step and exit write-back. Nothing here needs a display.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logic/IniFile.h"
#include "logic/ShortCut.h"

// The settings file of the program: its executable's path with the extension ".ini".
std::filesystem::path SettingsPathFor(const std::filesystem::path& ExecutablePath);
// The running executable's own path (/proc/self/exe where there is one, else argv0 made absolute).
std::filesystem::path ExecutablePath(const char* Argv0);

using TPort = std::uint16_t;  // COM1 .. COM256

// The settings record shared by the main window and the options dialog.
struct TOptions {
  TPort Port = 1;
  bool AllowOver100A = false;
  bool AutoUpdate = true;
  bool AutoDetect = true;
  bool DoubleClickOff = true;
  std::int32_t UpdateInterval = 1000;
  std::int32_t DetectInterval = 1000;
  TShortCut ConnectLaser = DefaultHotKeys[hkConnectLaser];
  TShortCut InternalTrigger = DefaultHotKeys[hkInternalTrigger];
  TShortCut ExternalTrigger = DefaultHotKeys[hkExternalTrigger];
  TShortCut CWMode = DefaultHotKeys[hkCWMode];
  TShortCut LaserOn = DefaultHotKeys[hkLaserOn];
  TShortCut LaserOff = DefaultHotKeys[hkLaserOff];
  TShortCut SetCurrentZero = DefaultHotKeys[hkSetCurrentZero];
  TShortCut StartRecording = DefaultHotKeys[hkStartRecording];
  TShortCut StopRecording = DefaultHotKeys[hkStopRecording];
  TShortCut ShowTrends = DefaultHotKeys[hkShowTrends];
  // PresetCurrents[n - 1] is preset n (Ctrl+n), n = 1..9.
  std::array<std::string, 9> PresetCurrents = {"0", "0", "0", "0", "0", "0", "0", "0", "0"};

  TShortCut& HotKey(THotKeyAction Action);
  TShortCut HotKey(THotKeyAction Action) const;

  bool operator==(const TOptions&) const = default;
};

// ---------------------------------------------------------------------------------------------
// The command line: "-" or "/", then PORT, LEFT, TOP or REMOTE (any case), ":", an integer.
// Anything else, a port outside 1..256 and a remote-control port outside 1..65535, is ignored
// silently; the last valid value of a name wins.
struct TCommandLine {
  std::optional<TPort> Port;
  std::optional<std::int32_t> Left;
  std::optional<std::int32_t> Top;
  std::optional<std::uint16_t> Remote;  // remote control on this TCP port, for this run only
};
// Params: the parameters without the program's name.
TCommandLine ParseCommandLine(const std::vector<std::string>& Params);
// argv as main() gets it; argv[0] is skipped.
TCommandLine ParseCommandLine(int argc, const char* const* argv);

// ---------------------------------------------------------------------------------------------
// Everything the window's creation step reads from the settings file and the command line.
struct TStartupSettings {
  TOptions Options;            // Port: the command line's, else the stored one
  bool MinimizeToTray = true;  // Checked state of the action MinimizeToTray
  bool ShowTrayIcon = false;   // Checked state of ShowTrayIcon, and the tray icon's visibility
  std::int32_t StartLeft = 0;  // window position to apply, kept for the exit comparison
  std::int32_t StartTop = 0;
  std::optional<std::uint16_t> RemotePort;  // the command line's remote control, for this run
};
// Stored values out of range (port outside 1..256, hot key outside 0..65535, interval below 1)
// read as the key's default.
TStartupSettings ReadStartupSettings(const TIniFile& File, const TCommandLine& CommandLine);

// The template link of a laser: the value of "SN<SN>" in section "Template". False when absent.
bool FindTemplateLink(const TIniFile& File, int SN, std::string& FileName);

// ---------------------------------------------------------------------------------------------
// The options step: what the window must do when the options dialog returns OK with New.
enum class TTimerHandler : std::uint8_t { RetryConnect, RefreshLaserState };

// Timer1 changes, each only when set; applied after the reconnect (if any).
struct TTimerPlan {
  std::optional<std::int32_t> Interval;
  std::optional<TTimerHandler> Handler;
  std::optional<bool> Enabled;
  bool operator==(const TTimerPlan&) const = default;
};

struct TOptionsChange {
  // Some setting differs: the window sets SettingsChanged (it never clears it).
  bool SettingsChanged = false;
  // Port differs. In this order: CloseConnection(true) (with the OLD AutoDetect and
  // DetectInterval still in force), laser Port := Result.Port, ReportConnectFailure := true, Open.
  bool PortChanged = false;
  // Which hot keys differ; each changed action gets its new shortcut at once.
  std::array<bool, HotKeyCount> HotKeyChanged{};
  bool DetectIntervalChanged = false;
  bool UpdateIntervalChanged = false;
  bool AutoDetectChanged = false;
  bool AutoUpdateChanged = false;
  // What Options becomes: New, with the AllowOver100A read at start-up.
  TOptions Result;

  // Timer1 changes, given whether the port is open after the reconnect step.
  TTimerPlan TimerPlan(bool Connected) const;
};
TOptionsChange CompareOptions(const TOptions& Old, const TOptions& New);

// ---------------------------------------------------------------------------------------------
// The exit write-back.
struct TExitState {
  TOptions Options;  // the settings in force
  TPort Port = 1;    // the laser object's current port
  bool MinimizeToTray = true;
  bool ShowTrayIcon = false;
  bool SettingsChanged = false;
  bool PresetsEdited = false;  // the options dialog's flag
  std::int32_t Left = 0;       // the window's edges now
  std::int32_t Top = 0;
  std::int32_t StartLeft = 0;  // as applied at start-up
  std::int32_t StartTop = 0;
};
// Puts into File what the exit step writes; false when there is nothing to write.
bool StoreExitSettings(TIniFile& File, const TExitState& State);
// StoreExitSettings, then UpdateFile when there was something to write. False only when the
// write failed; Error then names the path and the reason for the message box.
bool WriteBackSettings(TIniFile& File, const TExitState& State, std::string& Error);

// What the operator is told at start-up when the settings file exists but could not be read
// (too large, a folder, no permission); empty when it was read.
std::string SettingsReadProblem(const TIniFile& File);

// A decimal number as the operator types it: "." as separator, blanks around it allowed, an
// optional sign; nothing else. None when the text is not such a number (or not finite).
std::optional<double> ParseDecimal(std::string_view Text);
