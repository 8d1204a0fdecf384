#include "logic/Settings.h"

#include <algorithm>
#include <limits>
#include <system_error>

#include "laser/Text.h"

#ifdef _WIN32
#include "platform/WinShell.h"
#endif

namespace fs = std::filesystem;

fs::path SettingsPathFor(const fs::path& ExecutablePath) {
  fs::path p = ExecutablePath;
  p.replace_extension(".ini");
  return p;
}

fs::path ExecutablePath(const char* Argv0) {
  std::error_code ec;
#ifdef _WIN32
  // argv[0] is what started the program (maybe without folder or ".exe"), in the ANSI code page.
  const std::wstring self = ProgramFilePath();
  if (!self.empty()) return self;
#endif
#ifdef __linux__
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self;
#endif
  if (!Argv0 || !*Argv0) return {};
  fs::path p = fs::absolute(Argv0, ec);
  return ec ? fs::path(Argv0) : p;
}

// ---------------------------------------------------------------------------------------------

TShortCut& TOptions::HotKey(THotKeyAction Action) {
  switch (Action) {
    case hkConnectLaser:
      return ConnectLaser;
    case hkInternalTrigger:
      return InternalTrigger;
    case hkExternalTrigger:
      return ExternalTrigger;
    case hkCWMode:
      return CWMode;
    case hkLaserOn:
      return LaserOn;
    case hkLaserOff:
      return LaserOff;
    case hkSetCurrentZero:
      return SetCurrentZero;
    case hkStartRecording:
      return StartRecording;
    case hkStopRecording:
      return StopRecording;
    case hkShowTrends:
      break;
  }
  return ShowTrends;
}

TShortCut TOptions::HotKey(THotKeyAction Action) const {
  return const_cast<TOptions*>(this)->HotKey(Action);
}

// ---------------------------------------------------------------------------------------------

TCommandLine ParseCommandLine(const std::vector<std::string>& Params) {
  TCommandLine result;
  for (const std::string& param : Params) {
    if (param.empty() || (param.front() != '-' && param.front() != '/')) continue;
    const auto colon = param.find(':', 1);
    if (colon == std::string::npos) continue;
    const auto value = ParseIniInteger(std::string_view(param).substr(colon + 1));
    if (!value) continue;
    const std::string_view name = std::string_view(param).substr(1, colon - 1);
    if (text::SameText(name, "PORT")) {
      if (*value >= 1 && *value <= 256) result.Port = static_cast<TPort>(*value);
    } else if (text::SameText(name, "LEFT") || text::SameText(name, "TOP")) {
      if (*value < std::numeric_limits<std::int32_t>::min() ||
          *value > std::numeric_limits<std::int32_t>::max())
        continue;
      (text::SameText(name, "LEFT") ? result.Left : result.Top) = static_cast<std::int32_t>(*value);
    } else if (text::SameText(name, "REMOTE")) {
      if (*value >= 1 && *value <= 65535) result.Remote = static_cast<std::uint16_t>(*value);
    }
  }
  return result;
}

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i)
    if (argv[i]) params.emplace_back(argv[i]);
  return ParseCommandLine(params);
}

// ---------------------------------------------------------------------------------------------

namespace {

constexpr std::string_view secConnection = "LaserConnection";
constexpr std::string_view secGeneral = "General";
constexpr std::string_view secTray = "TrayIcon";
constexpr std::string_view secHotkeys = "Hotkeys";
constexpr std::string_view secPresets = "PresetCurrents";
constexpr std::string_view secPosition = "WindowPosition";
constexpr std::string_view secTemplate = "Template";

// A stored integer within [Min, Max], else Default.
std::int64_t ReadRanged(const TIniFile& File, std::string_view Section, std::string_view Key,
                        std::int64_t Min, std::int64_t Max, std::int64_t Default) {
  const auto v = File.Value(Section, Key);
  if (!v) return Default;
  const auto n = ParseIniInteger(*v);
  return (n && *n >= Min && *n <= Max) ? *n : Default;
}

constexpr std::int64_t MaxInterval = std::numeric_limits<std::int32_t>::max();

}  // namespace

TStartupSettings ReadStartupSettings(const TIniFile& File, const TCommandLine& CommandLine) {
  TStartupSettings s;
  TOptions& o = s.Options;
  o.Port = CommandLine.Port
               ? *CommandLine.Port
               : static_cast<TPort>(ReadRanged(File, secConnection, "Port", 1, 256, 1));
  s.StartLeft = CommandLine.Left ? *CommandLine.Left : File.ReadInteger(secPosition, "Left", 0);
  s.StartTop = CommandLine.Top ? *CommandLine.Top : File.ReadInteger(secPosition, "Top", 0);
  s.RemotePort = CommandLine.Remote;

  o.AllowOver100A = File.ReadBool(secGeneral, "AllowOver100A", false);
  o.AutoUpdate = File.ReadBool(secGeneral, "AutoUpdate", true);
  o.AutoDetect = File.ReadBool(secConnection, "AutoDetect", true);
  o.DoubleClickOff = File.ReadBool(secTray, "DoubleClickOff", true);
  o.UpdateInterval = static_cast<std::int32_t>(
      ReadRanged(File, secGeneral, "UpdateInterval", 1, MaxInterval, 1000));
  o.DetectInterval = static_cast<std::int32_t>(
      ReadRanged(File, secConnection, "DetectInterval", 1, MaxInterval, 1000));
  for (int i = 0; i < HotKeyCount; ++i) {
    const auto action = static_cast<THotKeyAction>(i);
    o.HotKey(action) = static_cast<TShortCut>(
        ReadRanged(File, secHotkeys, HotKeyNames[i], 0, 65535, DefaultHotKeys[i]));
  }
  s.MinimizeToTray = File.ReadBool(secTray, "MinimizeToTray", true);
  s.ShowTrayIcon = File.ReadBool(secTray, "ShowTrayIcon", false);
  for (int n = 1; n <= 9; ++n)
    o.PresetCurrents[n - 1] = File.ReadString(secPresets, std::to_string(n), "0");
  return s;
}

bool FindTemplateLink(const TIniFile& File, int SN, std::string& FileName) {
  auto v = File.Value(secTemplate, "SN" + std::to_string(SN));
  if (!v) return false;
  FileName = std::move(*v);
  return true;
}

// ---------------------------------------------------------------------------------------------

TOptionsChange CompareOptions(const TOptions& Old, const TOptions& New) {
  TOptionsChange c;
  c.PortChanged = Old.Port != New.Port;
  for (int i = 0; i < HotKeyCount; ++i) {
    const auto action = static_cast<THotKeyAction>(i);
    c.HotKeyChanged[i] = Old.HotKey(action) != New.HotKey(action);
  }
  c.DetectIntervalChanged = Old.DetectInterval != New.DetectInterval;
  c.UpdateIntervalChanged = Old.UpdateInterval != New.UpdateInterval;
  c.AutoDetectChanged = Old.AutoDetect != New.AutoDetect;
  c.AutoUpdateChanged = Old.AutoUpdate != New.AutoUpdate;
  c.Result = New;
  c.Result.AllowOver100A = Old.AllowOver100A;  // the dialog does not carry it
  // The presets are saved through the dialog's own flag; every other stored field counts here.
  c.SettingsChanged =
      c.PortChanged || c.DetectIntervalChanged || c.UpdateIntervalChanged || c.AutoDetectChanged ||
      c.AutoUpdateChanged || Old.DoubleClickOff != New.DoubleClickOff ||
      std::any_of(c.HotKeyChanged.begin(), c.HotKeyChanged.end(), [](bool b) { return b; });
  return c;
}

TTimerPlan TOptionsChange::TimerPlan(bool Connected) const {
  TTimerPlan p;
  if (!Connected) {
    if (DetectIntervalChanged) p.Interval = Result.DetectInterval;
    if (AutoDetectChanged) {
      p.Interval = Result.DetectInterval;
      p.Handler = TTimerHandler::RetryConnect;
      p.Enabled = Result.AutoDetect;
    }
  } else {
    if (UpdateIntervalChanged) p.Interval = Result.UpdateInterval;
    if (AutoUpdateChanged) {
      p.Interval = Result.UpdateInterval;
      p.Handler = TTimerHandler::RefreshLaserState;
      p.Enabled = Result.AutoUpdate;
    }
  }
  return p;
}

// ---------------------------------------------------------------------------------------------

bool StoreExitSettings(TIniFile& File, const TExitState& State) {
  const bool leftMoved = State.Left != State.StartLeft;
  const bool topMoved = State.Top != State.StartTop;
  if (!State.SettingsChanged && !State.PresetsEdited && !leftMoved && !topMoved) return false;
  const TOptions& o = State.Options;
  if (State.SettingsChanged) {
    File.WriteInteger(secConnection, "Port", State.Port);
    File.WriteBool(secGeneral, "AutoUpdate", o.AutoUpdate);
    File.WriteBool(secConnection, "AutoDetect", o.AutoDetect);
    File.WriteInteger(secGeneral, "UpdateInterval", o.UpdateInterval);
    File.WriteInteger(secConnection, "DetectInterval", o.DetectInterval);
    for (int i = 0; i < HotKeyCount; ++i)
      File.WriteInteger(secHotkeys, HotKeyNames[i], o.HotKey(static_cast<THotKeyAction>(i)));
    File.WriteBool(secTray, "DoubleClickOff", o.DoubleClickOff);
    File.WriteBool(secTray, "MinimizeToTray", State.MinimizeToTray);
    File.WriteBool(secTray, "ShowTrayIcon", State.ShowTrayIcon);
  }
  if (State.PresetsEdited)
    for (int n = 1; n <= 9; ++n)
      File.WriteString(secPresets, std::to_string(n), o.PresetCurrents[n - 1]);
  if (leftMoved) File.WriteInteger(secPosition, "Left", State.Left);
  if (topMoved) File.WriteInteger(secPosition, "Top", State.Top);
  return true;
}

bool WriteBackSettings(TIniFile& File, const TExitState& State, std::string& Error) {
  Error.clear();
  if (!StoreExitSettings(File, State)) return true;
  return File.UpdateFile(Error);
}

std::string SettingsReadProblem(const TIniFile& File) {
  if (File.ReadError().empty()) return {};
  return "Cannot read the settings file " + File.FileName().string() + ": " + File.ReadError() +
         ".\n\nThe program starts with the default settings and will not write over the file.";
}

std::optional<double> ParseDecimal(std::string_view Text) {
  double value = 0;
  if (!text::ParseFloat(text::TrimSpaces(Text), value)) return std::nullopt;
  return value;
}
