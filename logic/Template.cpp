#include "logic/Template.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "laser/ErrorExplan.h"
#include "laser/Text.h"
#include "logic/Settings.h"

namespace fs = std::filesystem;

const std::array<std::string_view, TemplateCommandCount> TemplateCommandNames = {
    "ReadStatus",      "ReadSN",           "ReadRunningTime", "ReadFlowRate",    "ReadCurrent",
    "ReadMaxCurrent",  "ReadCurrentLimit", "ReadFrequency",   "ReadTriggerMode", "ReadErrorCode",
    "ReadTemperature", "ReadHumidity",     "SetInternal",     "SetExternal",     "SetCW",
    "ClearError",      "SaveSettings",     "Reset",           "SetPassword",     "SetStatus",
    "SetCurrent",      "SetMaxCurrent",    "SetCurrentLimit", "SetFrequency",    "SetTemperature",
    "SetCommands",     "Customized"};

namespace {

constexpr std::array<TLaserCommand, TemplateCommandCount> TemplateKinds = {
    lcReadStatus,      lcReadSN,           lcReadRunningTime, lcReadFlowRate,    lcReadCurrent,
    lcReadMaxCurrent,  lcReadCurrentLimit, lcReadFrequency,   lcReadTriggerMode, lcReadErrorCode,
    lcReadTemperature, lcReadHumidity,     lcSetInternal,     lcSetExternal,     lcSetCW,
    lcClearError,      lcSaveSettings,     lcReset,           lcSetPassword,     lcSetStatus,
    lcSetCurrent,      lcSetMaxCurrent,    lcSetCurrentLimit, lcSetFrequency,    lcSetTemperature,
    lcSetCommands,     lcCustomized};

// An integer within [Min, Max]; blanks around it are allowed (a list typed as "-1, 1").
std::optional<std::int64_t> RangedInteger(std::string_view text, std::int64_t Min,
                                          std::int64_t Max) {
  const auto n = ParseIniInteger(text::TrimSpaces(text));
  if (!n || *n < Min || *n > Max) return std::nullopt;
  return n;
}

// "<Prefix><n>" with n written as the program writes it (decimal, no sign, no leading zero);
// 0 when the name has another form.
std::int64_t NumberAfter(std::string_view Name, std::string_view Prefix) {
  if (Name.size() <= Prefix.size() || !text::SameText(Name.substr(0, Prefix.size()), Prefix))
    return 0;
  const std::string_view digits = Name.substr(Prefix.size());
  if (digits.size() > 10 || digits.front() == '0') return 0;
  std::int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The numbers n in 1..Count for which Names holds "<Prefix><n>", in ascending order, with the
// name's first spelling. Walking what the file holds instead of counting up to Count keeps a
// huge Count from spinning.
std::map<std::int64_t, std::string> Numbered(const std::vector<std::string>& Names,
                                             std::string_view Prefix, std::int64_t Count) {
  std::map<std::int64_t, std::string> found;
  for (const auto& name : Names) {
    const std::int64_t n = NumberAfter(name, Prefix);
    if (n >= 1 && n <= Count) found.emplace(n, name);
  }
  return found;
}

void Note(std::vector<std::string>* Skipped, std::string Line) {
  if (Skipped) Skipped->push_back(std::move(Line));
}

}  // namespace

int IndexOfTemplateCommand(std::string_view Name) {
  for (int i = 0; i < TemplateCommandCount; ++i)
    if (text::SameText(TemplateCommandNames[i], Name)) return i;
  return TemplateCommandCount;
}

TLaserCommand TemplateCommandKind(int Index) {
  return (Index >= 0 && Index < TemplateCommandCount) ? TemplateKinds[Index] : lcUnknown;
}

fs::path ResolveTemplatePath(std::string_view FileName, const fs::path& ExeFolder) {
  std::string name(FileName);
#ifndef _WIN32
  std::replace(name.begin(), name.end(), '\\', '/');
  const auto sep = name.find_last_of("/:");
#else
  const auto sep = name.find_last_of("\\/:");
#endif
  const std::string_view folder =
      sep == std::string::npos ? std::string_view() : std::string_view(name).substr(0, sep + 1);
  const fs::path asWritten(std::u8string(name.begin(), name.end()));
  if (folder.empty() || folder.front() == '.') return ExeFolder / asWritten;
  return asWritten;
}

namespace {

bool Refuse(std::string* Why, std::string Reason) {
  if (Why) *Why = std::move(Reason);
  return false;
}

// More added or removed commands than a template may hold.
bool TooManyCommands(const TIniFile& Template, std::string* Why) {
  std::size_t added = 0;
  for (const std::string& section : Template.Sections()) added += NumberAfter(section, "Cmd") > 0;
  std::size_t removed = 0;
  for (const std::string& key : Template.SectionKeys("RemoveCommand")) {
    removed += NumberAfter(key, "RC") > 0;
  }
  if (added > TemplateMaxCommands || removed > TemplateMaxCommands) {
    return !Refuse(Why, "more than " + std::to_string(TemplateMaxCommands) + " commands " +
                            (added > TemplateMaxCommands ? "added" : "removed"));
  }
  return false;
}

bool ApplySteps(const TIniFile& Template, ITemplateLayout& Layout, TCommandList& Commands,
                TExplanationList& Explanations, std::vector<std::string>* Skipped,
                std::string* Why) {
  constexpr std::string_view general = "General";
  if (!Template.ValueExists(general, "CurrentLayout") ||
      !Template.ValueExists(general, "TriggerLayout")) {
    return Refuse(Why, "CurrentLayout and TriggerLayout are both needed");
  }
  if (TooManyCommands(Template, Why)) return false;

  const std::int32_t current = Template.ReadInteger(general, "CurrentLayout", 0);
  if (current < 1 || current > 3) return Refuse(Why, "CurrentLayout is not 1, 2 or 3");
  Layout.ApplyCurrentLayout(current * 2, Template.ReadBool(general, "ShowActualCurrent", false));

  const std::int32_t trigger = Template.ReadInteger(general, "TriggerLayout", -1);
  if (trigger < 0 || trigger > 2) return Refuse(Why, "TriggerLayout is not 0, 1 or 2");
  Layout.ApplyTriggerLayout(trigger);

  const std::string base = Template.ReadString(general, "BaseCommands", "");
  if (text::SameText(base, "QT")) {
    LoadQTCommands(Commands, false);
    Explanations.LoadQTExplanations();
  } else if (text::SameText(base, "ZE")) {
    LoadZECommands(Commands, false);
    Explanations.LoadZEExplanations();
  } else if (base.empty()) {
    Commands.Clear();
  }

  // Removals.
  constexpr std::string_view removals = "RemoveCommand";
  const std::int64_t removeCount = Template.ReadInteger(removals, "Count", 0);
  for (const auto& [n, key] : Numbered(Template.SectionKeys(removals), "RC", removeCount)) {
    const std::string value = Template.ReadString(removals, key, "");
    if (value.empty()) continue;
    const auto comma = value.find(',');
    const std::string_view name =
        text::TrimSpaces(comma == std::string::npos ? std::string_view(value)
                                                    : std::string_view(value).substr(0, comma));
    std::int64_t subId = 0;
    if (comma != std::string::npos) {
      const auto parsed = RangedInteger(std::string_view(value).substr(comma + 1), 0, 255);
      if (!parsed) {
        Note(Skipped, key + "=" + value + ": the branch is not a number from 0 to 255");
        continue;
      }
      subId = *parsed;
    }
    const int index = IndexOfTemplateCommand(name);
    if (index == TemplateCommandCount) {
      Note(Skipped, key + "=" + value + ": unknown command name");
      continue;
    }
    const int entry =
        Commands.IndexOf(TemplateCommandKind(index), static_cast<std::uint8_t>(subId));
    if (entry < 0) {
      Note(Skipped, key + "=" + value + ": the command list holds no such command");
      continue;
    }
    Commands.Delete(entry);
  }

  // Additions.
  const std::int64_t newCount = Template.ReadInteger(general, "NewCommands", 0);
  for (const auto& [n, section] : Numbered(Template.Sections(), "Cmd", newCount)) {
    const std::string id = Template.ReadString(section, "ID", "");
    if (id.empty()) continue;
    const int index = IndexOfTemplateCommand(id);
    if (index == TemplateCommandCount) {
      Note(Skipped, "[" + section + "]: unknown command name " + id);
      continue;
    }
    std::vector<std::int16_t> indexes;
    bool malformed = false;
    const std::string indexText = Template.ReadString(section, "Indexes", "");
    std::string_view rest = indexText;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      const auto element = RangedInteger(rest.substr(0, comma), -32768, 32767);
      if (!element) {
        malformed = true;
        break;
      }
      indexes.push_back(static_cast<std::int16_t>(*element));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (malformed) {
      Note(Skipped, "[" + section + "]: Indexes is not a list of numbers from -32768 to 32767");
      continue;
    }
    // No branch group and one value group 0: the meaning of a reply without values.
    if (indexes.empty()) indexes = {-1, 0};
    std::int64_t subId = 0;
    if (const auto v = Template.Value(section, "SubID")) {
      const auto parsed = RangedInteger(*v, 0, 255);
      if (!parsed) {
        Note(Skipped, "[" + section + "]: SubID is not a number from 0 to 255");
        continue;
      }
      subId = *parsed;
    }
    Commands.Add(TemplateCommandKind(index), static_cast<std::uint8_t>(subId),
                 ShortString(Template.ReadString(section, "Command", "")),
                 ShortString(Template.ReadString(section, "Mask", "")), indexes,
                 ShortString(Template.ReadString(section, "Description", "")));
  }
  return true;
}

}  // namespace

bool ApplyTemplate(const TIniFile& Template, ITemplateLayout& Layout, TCommandList& Commands,
                   TExplanationList& Explanations, std::vector<std::string>* Skipped,
                   std::string* Why) {
  // The command sets remove entries they expect in the list; on a list that lacks them the
  // template is not applied, and the connection goes on to probe instead of stopping here.
  try {
    return ApplySteps(Template, Layout, Commands, Explanations, Skipped, Why);
  } catch (const std::exception& e) {
    Note(Skipped, std::string("template not applied: ") + e.what());
    return Refuse(Why, std::string("not applied: ") + e.what());
  }
}

std::shared_ptr<const TIniFile> TTemplateCache::Read(const fs::path& Path, std::string& Why) {
  std::error_code ec;
  if (!fs::is_regular_file(Path, ec)) {
    FEntries.erase(Path);
    Why = "not found";
    return nullptr;
  }
  const auto time = fs::last_write_time(Path, ec);
  const std::uintmax_t size = fs::file_size(Path, ec);
  if (ec) {
    Why = "cannot be read: " + ec.message();
    return nullptr;
  }
  if (auto it = FEntries.find(Path); it != FEntries.end()) {
    if (it->second.Time == time && it->second.Size == size) {
      Why = it->second.Why;
      return it->second.File;
    }
  }
  TEntry entry{time, size, nullptr, {}};
  if (size > TemplateMaxBytes) {
    entry.Why = "larger than " + std::to_string(TemplateMaxBytes / 1024) + " KiB";
  } else {
    std::ifstream in(Path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t longest = 0;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
      longest = std::max(longest, end - at);
      at = end + 1;
    }
    if (!in && !in.eof()) {
      entry.Why = "cannot be read";
    } else if (longest > TemplateMaxLine) {
      entry.Why = "a line longer than " + std::to_string(TemplateMaxLine) + " characters";
    } else {
      auto file = std::make_shared<TIniFile>(Path);
      if (!file->ReadError().empty()) {
        entry.Why = "cannot be read: " + file->ReadError();
      } else {
        entry.File = std::move(file);
      }
    }
  }
  Why = entry.Why;
  auto file = entry.File;
  FEntries[Path] = std::move(entry);
  return file;
}

bool LoadTemplate(std::string_view FileName, const fs::path& ExeFolder, ITemplateLayout& Layout,
                  TCommandList& Commands, TExplanationList& Explanations,
                  std::vector<std::string>* Skipped, std::string* Why, TTemplateCache* Cache) {
  if (FileName.empty()) return Refuse(Why, "no file named");
  const fs::path path = ResolveTemplatePath(FileName, ExeFolder);
  TTemplateCache once;
  std::string reason;
  const std::shared_ptr<const TIniFile> file = (Cache ? *Cache : once).Read(path, reason);
  if (!file) return Refuse(Why, path.string() + ": " + reason);
  return ApplyTemplate(*file, Layout, Commands, Explanations, Skipped, Why);
}
