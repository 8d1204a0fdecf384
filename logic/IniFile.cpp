#include "logic/IniFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include "laser/Text.h"
#include "logic/SafeWrite.h"

namespace {

namespace fs = std::filesystem;

// Settings files are a few kilobytes; anything this large is not one and is not loaded.
constexpr std::uintmax_t MaxIniSize = 16u * 1024 * 1024;

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
    FReadError = "the file is larger than " + std::to_string(MaxIniSize / (1024 * 1024)) + " MiB";
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
  // One mark is kept; more of them (an editor that added its own in front of ours) would
  // otherwise stand before the first section's name and hide that section.
  FBom = Text.starts_with("\xEF\xBB\xBF");
  while (Text.starts_with("\xEF\xBB\xBF")) Text.remove_prefix(3);

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
    const std::string_view line = text::TrimBlanks(raw);
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string_view name = text::TrimBlanks(line.substr(1, line.size() - 2));
      // A section that appears twice is merged into its first appearance.
      current = FindSection(name);
      if (!current) current = &FSections.emplace_back(TSection{std::string(name), {}});
      continue;
    }
    // Lines before the first section belong to no section; they are kept and written first.
    auto& lines = current ? current->Lines : FLeadingLines;
    const auto eq = line.find('=');
    if (line.front() == ';' || eq == std::string_view::npos ||
        text::TrimBlanks(line.substr(0, eq)).empty()) {
      lines.push_back(TLine{{}, std::string(line)});
    } else {
      lines.push_back(TLine{std::string(text::TrimBlanks(line.substr(0, eq))),
                            std::string(text::TrimBlanks(line.substr(eq + 1)))});
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
  // (nor a second one after ours, which a reader would take as part of a run of marks).
  const std::size_t start = FBom ? 3 : 0;
  if (out.compare(start, 3, "\xEF\xBB\xBF") == 0) out.insert(start, br);
  return out;
}

TIniFile::TSection* TIniFile::FindSection(std::string_view Section) {
  for (auto& s : FSections)
    if (text::SameText(s.Name, Section)) return &s;
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
    if (!line.Key.empty() && text::SameText(line.Key, Key)) return line.Value;
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
                     [&](const std::string& k) { return text::SameText(k, line.Key); }))
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
  value = std::string(text::TrimBlanks(value));
  TSection* s = FindSection(Section);
  if (!s) s = &FSections.emplace_back(TSection{std::string(Section), {}});
  for (auto& line : s->Lines) {
    if (!line.Key.empty() && text::SameText(line.Key, Key)) {
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
  const std::u8string name = FFileName.u8string();
  const std::string shown(name.begin(), name.end());
  if (FFileName.empty()) {
    Error = "Cannot write the settings file: it has no name";
    return false;
  }
  if (!FReadError.empty()) {
    // What could not be read would be lost by overwriting it.
    Error = "Cannot write " + shown + ": it could not be read at start-up (" + FReadError + ")";
    return false;
  }
  // Write beside the file a link points to, so the link stays a link; a link whose file does
  // not exist yet gets that file.
  fs::path target = FFileName;
  std::error_code ec;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
    const fs::path next = fs::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  ec.clear();
  const std::string text = Text();
  // A file in the user's configuration folder may be the first thing written there.
  const fs::path folder = target.parent_path();
  if (!folder.empty() && !fs::exists(folder, ec)) {
    fs::create_directories(folder, ec);
    if (ec) {
      Error = "Cannot write " + shown + ": " + ec.message();
      return false;
    }
  }
  std::string reason;
  if (!ReplaceFileContents(target, text, reason)) {
    Error = "Cannot write " + shown + ": " + reason;
    return false;
  }
  return true;
}
