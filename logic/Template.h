// Command templates: a file, linked to a laser's serial number in the settings file, that sets
// the panel's layouts, picks the command set and error table of a family, and removes and adds
// command-table entries, so that a known laser is ready without probing.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"

class TExplanationList;
class TIniFile;

// What applying a template needs of the control panel (the window implements it).
class ITemplateLayout {
 public:
  virtual ~ITemplateLayout() = default;
  // Layout: 2 branch 1, 4 branch 2, 6 both (clBranch1 | clBranch2).
  virtual void ApplyCurrentLayout(int Layout, bool ShowActual) = 0;
  // 0 one column, 1 two columns with one frequency, 2 two columns with a frequency each.
  virtual void ApplyTriggerLayout(int Layout) = 0;
};

// The command names a template may use, in this order; each stands for the command kind of the
// same name (ReadFlowRate is lcReadFlowRate).
inline constexpr int TemplateCommandCount = 27;
extern const std::array<std::string_view, TemplateCommandCount> TemplateCommandNames;
// Position of a name (any case) in TemplateCommandNames, 0..26, or 27 when it is not there.
int IndexOfTemplateCommand(std::string_view Name);
// The command kind of a position 0..26; lcUnknown otherwise.
TLaserCommand TemplateCommandKind(int Index);

// The path to read for a template name. A name without a folder, or whose folder starts with
// ".", is looked for in ExeFolder; any other name is used as written. "\" and "/" both separate
// folders, so a template link written on Windows (.\tpl\LaserA.ini) works here too.
std::filesystem::path ResolveTemplatePath(std::string_view FileName,
                                          const std::filesystem::path& ExeFolder);

// A template the program takes: a bigger one is refused as a whole, so that a file of thousands
// of masks can neither hold up a connection nor make every received line costly to match.
inline constexpr std::uintmax_t TemplateMaxBytes = 256 * 1024;
inline constexpr std::size_t TemplateMaxLine = 1024;     // characters in one line of the file
inline constexpr std::size_t TemplateMaxCommands = 128;  // added, and removed, commands each

// Reads template files once per change of the file (its size and time of last writing), so
// that a connection does not read and check the same file again.
class TTemplateCache {
 public:
  // The template at Path, or none, with Why saying why: not found, unreadable, too big.
  std::shared_ptr<const TIniFile> Read(const std::filesystem::path& Path, std::string& Why);

 private:
  struct TEntry {
    std::filesystem::file_time_type Time;
    std::uintmax_t Size = 0;
    std::shared_ptr<const TIniFile> File;
    std::string Why;
  };
  std::map<std::filesystem::path, TEntry> FEntries;
};

// Applies the template file FileName. True when applied; false when it is rejected (no file,
// a file too big, a missing or invalid layout), keeping what the steps before the rejection
// did, with the reason in Why when given. Removals and sections that are malformed or name what
// the list does not hold are skipped, each with a line in Skipped when given; nothing in a
// template throws. With a Cache, a file is read only when it has changed.
bool LoadTemplate(std::string_view FileName, const std::filesystem::path& ExeFolder,
                  ITemplateLayout& Layout, TCommandList& Commands, TExplanationList& Explanations,
                  std::vector<std::string>* Skipped = nullptr, std::string* Why = nullptr,
                  TTemplateCache* Cache = nullptr);
// The same for a template already read (steps after the file was found).
bool ApplyTemplate(const TIniFile& Template, ITemplateLayout& Layout, TCommandList& Commands,
                   TExplanationList& Explanations, std::vector<std::string>* Skipped = nullptr,
                   std::string* Why = nullptr);
