// Command templates are written by hand and read at every connection. The input is a template
// file's bytes, applied to the command list a connection starts with.
//
// Checked for every input:
//  - applying never crashes, throws, leaks or hangs (a huge Count or NewCommands included);
//  - the panel gets only the layouts it knows (current 2, 4 or 6; trigger 0, 1 or 2), the
//    trigger layout only after the current one;
//  - a rejected template changed no command entry unless its family set was the failing step;
//  - every entry of the resulting list is well formed: a known kind, texts of at most 255
//    characters, and at least the branch group in Indexes.
// The first line of the input also goes through ResolveTemplatePath.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "laser/ErrorExplan.h"
#include "logic/Settings.h"
#include "logic/Template.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "template fuzz: %s\n", what);
    std::abort();
  }
}

struct TLayout : ITemplateLayout {
  int CurrentCalls = 0;
  int TriggerCalls = 0;
  void ApplyCurrentLayout(int Layout, bool) override {
    Check(Layout == 2 || Layout == 4 || Layout == 6, "unknown current layout");
    Check(TriggerCalls == 0, "current layout after the trigger layout");
    ++CurrentCalls;
  }
  void ApplyTriggerLayout(int Layout) override {
    Check(Layout >= 0 && Layout <= 2, "unknown trigger layout");
    Check(CurrentCalls == 1, "trigger layout without the current layout");
    ++TriggerCalls;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TIniFile file;
  file.SetText(input);

  TLayout layout;
  TCommandList commands;
  LoadBaseCommands(commands);
  const int before = commands.Count();
  TExplanationList explanations;
  std::vector<std::string> skipped;
  bool applied = false;
  try {
    applied = ApplyTemplate(file, layout, commands, explanations, &skipped);
  } catch (...) {
    Check(false, "a template threw");
  }
  Check(layout.CurrentCalls <= 1 && layout.TriggerCalls <= 1, "a layout applied twice");
  if (applied) Check(layout.TriggerCalls == 1, "applied without a trigger layout");
  if (!applied && layout.TriggerCalls == 0)
    Check(commands.Count() == before, "rejected but changed");

  for (int i = 0; i < commands.Count(); ++i) {
    const TCommandSyntax& e = commands.Items(i);
    Check(e.ID < lcUnknown, "entry of unknown kind");
    Check(e.Command.size() <= 255 && e.Mask.size() <= 255 && e.Description.size() <= 255,
          "text longer than 255");
    Check(!e.Indexes.empty(), "entry without Indexes");
  }

  const std::string_view firstLine = input.substr(0, input.find_first_of("\r\n"));
  (void)ResolveTemplatePath(firstLine, "/opt/laser");
  return 0;
}
