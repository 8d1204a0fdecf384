// The settings of the program: the in-memory INI file beside the executable, the settings record
// TOptions, hot-key codes, the command line, and the Qt-free halves of the window's start-up,
// options step and exit write-back. Nothing here needs a display.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Integers as the settings file, the command line and the templates write them: optional sign,
// then decimal digits, or "$" / "0x" followed by hexadecimal digits. Nothing else, no blanks.
std::optional<std::int64_t> ParseIniInteger(std::string_view text);

// ---------------------------------------------------------------------------------------------
// An INI file held in memory: read once, changed in memory, written back in one piece.
// Section and key names are matched without regard to (ASCII) case. Every section and key is
// kept in its order, also those this program does not know; comment lines (";") stay where
// they were, blank lines are not kept. Text is UTF-8; a byte-order mark is kept, other bytes
// pass through unchanged. Not thread-safe: the UI thread owns it.
class TIniFile {
 public:
  TIniFile() = default;
  // Reads the file. A missing file is an empty one; a file that exists but cannot be read is
  // empty too, and ReadError() says why (UpdateFile then refuses to overwrite it).
  explicit TIniFile(std::filesystem::path FileName);

  // Replaces the content with this text (as if it had been read from FileName()).
  void SetText(std::string_view Text);
  // The file as UpdateFile writes it.
  std::string Text() const;

  const std::filesystem::path& FileName() const { return FFileName; }
  const std::string& ReadError() const { return FReadError; }
  bool HasBom() const { return FBom; }

  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Key) const;
  // The value, trimmed; nullopt when the key is absent.
  std::optional<std::string> Value(std::string_view Section, std::string_view Key) const;
  std::string ReadString(std::string_view Section, std::string_view Key,
                         std::string_view Default) const;
  // Missing, not an integer, or outside the 32-bit range: Default.
  std::int32_t ReadInteger(std::string_view Section, std::string_view Key,
                           std::int32_t Default) const;
  // 0 is false, any other integer true; missing or not an integer: Default.
  bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;
  // The section's keys in file order (first spelling of each).
  std::vector<std::string> SectionKeys(std::string_view Section) const;
  // The sections in file order.
  std::vector<std::string> Sections() const;

  // Sets a value; a new key goes at the end of its section, a new section at the end of the
  // file. Line breaks in a value become blanks, so one value stays one line.
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Key, std::int64_t Value);
  void WriteBool(std::string_view Section, std::string_view Key, bool Value);

  // Writes the whole file: into a temporary file beside it, flushed to disk, then renamed over
  // it, so a crash or a full disk never leaves half a file. On failure returns false and puts
  // into Error a message naming the path and the system's reason; the old file is left as it was.
  bool UpdateFile(std::string& Error) const;

  struct TLine {
    std::string Key;  // empty: a line kept verbatim (comment or text without "=")
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
  };

 private:
  TSection* FindSection(std::string_view Section);
  const TSection* FindSection(std::string_view Section) const;

  std::filesystem::path FFileName;
  std::vector<TLine> FLeadingLines;  // before the first section
  std::vector<TSection> FSections;
  std::string FReadError;
  std::string FLineBreak;  // as the file had it; the platform's own for a new file
  bool FBom = false;
};

// The settings file of the program: its executable's path with the extension ".ini".
std::filesystem::path SettingsPathFor(const std::filesystem::path& ExecutablePath);
// The running executable's own path (/proc/self/exe where there is one, else argv0 made absolute).
std::filesystem::path ExecutablePath(const char* Argv0);

// ---------------------------------------------------------------------------------------------
// A hot key: virtual-key code in the low byte, plus 0x2000 Shift, 0x4000 Ctrl, 0x8000 Alt; 0 none.
using TShortCut = std::uint16_t;
constexpr TShortCut scShift = 0x2000;
constexpr TShortCut scCtrl = 0x4000;
constexpr TShortCut scAlt = 0x8000;
constexpr std::uint8_t ShortCutKey(TShortCut s) {
  return static_cast<std::uint8_t>(s & 0xFF);
}

using TPort = std::uint16_t;  // COM1 .. COM256

// The seven configurable hot keys, in the order of TOptions and of the "Hotkeys" section.
enum THotKeyAction : std::uint8_t {
  hkConnectLaser,
  hkInternalTrigger,
  hkExternalTrigger,
  hkCWMode,
  hkLaserOn,
  hkLaserOff,
  hkSetCurrentZero,
};
inline constexpr int HotKeyCount = 7;
// Key names in the "Hotkeys" section, by THotKeyAction.
inline constexpr std::array<std::string_view, HotKeyCount> HotKeyNames = {
    "ConnectLaser", "InternalTrigger", "ExternalTrigger", "CWMode",
    "LaserOn",      "LaserOff",        "SetCurrentZero"};
// Ctrl+L, Ctrl+I, Ctrl+E, Ctrl+W, Ctrl+N, Ctrl+S, Ctrl+0.
inline constexpr std::array<TShortCut, HotKeyCount> DefaultHotKeys = {16460, 16457, 16453, 16471,
                                                                      16462, 16467, 16432};

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
  // PresetCurrents[n - 1] is preset n (Ctrl+n), n = 1..9.
  std::array<std::string, 9> PresetCurrents = {"0", "0", "0", "0", "0", "0", "0", "0", "0"};

  TShortCut& HotKey(THotKeyAction Action);
  TShortCut HotKey(THotKeyAction Action) const;

  bool operator==(const TOptions&) const = default;
};

// ---------------------------------------------------------------------------------------------
// The command line: "-" or "/", then PORT, LEFT or TOP (any case), ":", an integer. Anything
// else, and a port outside 1..256, is ignored silently; the last valid value of a name wins.
struct TCommandLine {
  std::optional<TPort> Port;
  std::optional<std::int32_t> Left;
  std::optional<std::int32_t> Top;
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
