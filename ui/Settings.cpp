#include "ui/Settings.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// Settings files are a few kilobytes; anything this large is not one and is not loaded.
constexpr std::uintmax_t MaxIniSize = 16u * 1024 * 1024;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string SystemReason(int err) {
  return std::generic_category().message(err);
}

#ifdef _WIN32
constexpr const char* NativeLineBreak = "\r\n";
#else
constexpr const char* NativeLineBreak = "\n";
#endif

}  // namespace

// ---------------------------------------------------------------------------------------------

std::optional<std::int64_t> ParseIniInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars would take a second sign; only digits may follow.
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > max + 1) return std::nullopt;
    return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

// ---------------------------------------------------------------------------------------------

TIniFile::TIniFile(fs::path FileName) : FFileName(std::move(FileName)) {
  std::error_code ec;
  const auto status = fs::status(FFileName, ec);
  if (ec || !fs::exists(status)) return;  // a missing file reads as all defaults
  if (fs::is_directory(status)) {
    FReadError = "it is a folder";
    return;
  }
  const auto size = fs::file_size(FFileName, ec);
  if (!ec && size > MaxIniSize) {
    FReadError = "the file is too large";
    return;
  }
  std::ifstream in(FFileName, std::ios::binary);
  if (!in) {
    FReadError = SystemReason(errno);
    return;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    FReadError = SystemReason(errno);
    return;
  }
  SetText(text.str());
}

void TIniFile::SetText(std::string_view Text) {
  FSections.clear();
  FLeadingLines.clear();
  FLineBreak.clear();
  FBom = Text.starts_with("\xEF\xBB\xBF");
  if (FBom) Text.remove_prefix(3);

  TSection* current = nullptr;
  std::size_t pos = 0;
  while (pos < Text.size()) {
    std::size_t end = Text.find_first_of("\r\n", pos);
    std::string_view raw = Text.substr(pos, end == std::string_view::npos ? end : end - pos);
    if (end == std::string_view::npos) {
      pos = Text.size();
    } else {
      std::size_t next = end + 1;
      if (Text[end] == '\r' && next < Text.size() && Text[next] == '\n') ++next;
      if (FLineBreak.empty()) FLineBreak = std::string(Text.substr(end, next - end));
      pos = next;
    }
    const std::string_view line = Trim(raw);
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      // A section that appears twice is merged into its first appearance.
      current = FindSection(name);
      if (!current) current = &FSections.emplace_back(TSection{std::string(name), {}});
      continue;
    }
    // Lines before the first section belong to no section; they are kept and written first.
    auto& lines = current ? current->Lines : FLeadingLines;
    const auto eq = line.find('=');
    if (line.front() == ';' || eq == std::string_view::npos || Trim(line.substr(0, eq)).empty()) {
      lines.push_back(TLine{{}, std::string(line)});
    } else {
      lines.push_back(
          TLine{std::string(Trim(line.substr(0, eq))), std::string(Trim(line.substr(eq + 1)))});
    }
  }
}

std::string TIniFile::Text() const {
  const std::string br = FLineBreak.empty() ? NativeLineBreak : FLineBreak;
  std::string out;
  if (FBom) out = "\xEF\xBB\xBF";
  auto put = [&](const std::vector<TLine>& lines) {
    for (const auto& line : lines) {
      if (line.Key.empty())
        out += line.Value;
      else
        out += line.Key + "=" + line.Value;
      out += br;
    }
  };
  put(FLeadingLines);
  bool first = FLeadingLines.empty();
  for (const auto& section : FSections) {
    if (!first) out += br;  // one blank line between sections, for the reader
    first = false;
    out += "[" + section.Name + "]" + br;
    put(section.Lines);
  }
  // Text that only looked like a byte-order mark further down must not become one at the start.
  if (!FBom && out.starts_with("\xEF\xBB\xBF")) out.insert(0, br);
  return out;
}

TIniFile::TSection* TIniFile::FindSection(std::string_view Section) {
  for (auto& s : FSections)
    if (SameText(s.Name, Section)) return &s;
  return nullptr;
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view Section) const {
  return const_cast<TIniFile*>(this)->FindSection(Section);
}

bool TIniFile::SectionExists(std::string_view Section) const {
  return !Section.empty() && FindSection(Section) != nullptr;
}

std::optional<std::string> TIniFile::Value(std::string_view Section, std::string_view Key) const {
  if (Section.empty() || Key.empty()) return std::nullopt;
  const TSection* s = FindSection(Section);
  if (!s) return std::nullopt;
  for (const auto& line : s->Lines)
    if (!line.Key.empty() && SameText(line.Key, Key)) return line.Value;
  return std::nullopt;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
  return Value(Section, Key).has_value();
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
  auto v = Value(Section, Key);
  return v ? std::move(*v) : std::string(Default);
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const {
  const auto v = Value(Section, Key);
  if (!v) return Default;
  const auto n = ParseIniInteger(*v);
  if (!n || *n < std::numeric_limits<std::int32_t>::min() ||
      *n > std::numeric_limits<std::int32_t>::max())
    return Default;
  return static_cast<std::int32_t>(*n);
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Key, bool Default) const {
  const auto v = Value(Section, Key);
  if (!v) return Default;
  const auto n = ParseIniInteger(*v);
  return n ? *n != 0 : Default;
}

std::vector<std::string> TIniFile::SectionKeys(std::string_view Section) const {
  std::vector<std::string> keys;
  const TSection* s = Section.empty() ? nullptr : FindSection(Section);
  if (!s) return keys;
  for (const auto& line : s->Lines) {
    if (line.Key.empty()) continue;
    if (std::none_of(keys.begin(), keys.end(),
                     [&](const std::string& k) { return SameText(k, line.Key); }))
      keys.push_back(line.Key);
  }
  return keys;
}

std::vector<std::string> TIniFile::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : FSections)
    if (!s.Name.empty()) names.push_back(s.Name);
  return names;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
  std::string value(Value);
  std::replace_if(
      value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  value = std::string(Trim(value));
  TSection* s = FindSection(Section);
  if (!s) s = &FSections.emplace_back(TSection{std::string(Section), {}});
  for (auto& line : s->Lines) {
    if (!line.Key.empty() && SameText(line.Key, Key)) {
      line.Value = std::move(value);
      return;
    }
  }
  s->Lines.push_back(TLine{std::string(Key), std::move(value)});
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int64_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

bool TIniFile::UpdateFile(std::string& Error) const {
  Error.clear();
  const std::string shown = FFileName.string();
  if (FFileName.empty()) {
    Error = "Cannot write the settings file: it has no name";
    return false;
  }
  if (!FReadError.empty()) {
    // What could not be read would be lost by overwriting it.
    Error = "Cannot write " + shown + ": it could not be read at start-up (" + FReadError + ")";
    return false;
  }
  // Write beside the file a link points to, so the link stays a link.
  fs::path target = FFileName;
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    const fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  const std::string text = Text();

#ifndef _WIN32
  struct stat old {};
  const bool hadOld = ::stat(target.c_str(), &old) == 0;
  std::string tmpl = target.string() + ".XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    Error = "Cannot write " + shown + ": " + SystemReason(errno);
    return false;
  }
  const fs::path temp(tmpl);
  auto fail = [&](int err) {
    ::close(fd);
    std::error_code ignored;
    fs::remove(temp, ignored);
    Error = "Cannot write " + shown + ": " + SystemReason(err);
    return false;
  };
  // Keep the old file's permissions; a new one gets the usual rw-r--r-- (less the umask).
  if (hadOld) {
    if (::fchmod(fd, old.st_mode & 07777) != 0) return fail(errno);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) return fail(errno);
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    std::error_code ignored;
    fs::remove(temp, ignored);
    Error = "Cannot write " + shown + ": " + SystemReason(err);
    return false;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    std::error_code ignored;
    fs::remove(temp, ignored);
    Error = "Cannot write " + shown + ": " + SystemReason(err);
    return false;
  }
  // Make the rename itself survive a power cut; a folder that cannot be synced is no error.
  const int dir = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                         O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
#else
  fs::path temp = target;
  temp += ".tmp";
  {
    std::FILE* f = std::fopen(temp.string().c_str(), "wb");
    if (!f) {
      Error = "Cannot write " + shown + ": " + SystemReason(errno);
      return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int err = errno;
    if (std::fclose(f) != 0 || !ok) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      Error = "Cannot write " + shown + ": " + SystemReason(ok ? errno : err);
      return false;
    }
  }
  fs::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    Error = "Cannot write " + shown + ": " + ec.message();
    return false;
  }
  return true;
#endif
}

fs::path SettingsPathFor(const fs::path& ExecutablePath) {
  fs::path p = ExecutablePath;
  p.replace_extension(".ini");
  return p;
}

fs::path ExecutablePath(const char* Argv0) {
  std::error_code ec;
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
      break;
  }
  return SetCurrentZero;
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
    if (SameText(name, "PORT")) {
      if (*value >= 1 && *value <= 256) result.Port = static_cast<TPort>(*value);
    } else if (SameText(name, "LEFT") || SameText(name, "TOP")) {
      if (*value < std::numeric_limits<std::int32_t>::min() ||
          *value > std::numeric_limits<std::int32_t>::max())
        continue;
      (SameText(name, "LEFT") ? result.Left : result.Top) = static_cast<std::int32_t>(*value);
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
