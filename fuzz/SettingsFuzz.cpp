// The settings file is edited by hand and may hold anything. The input is the file's bytes.
//
// Checked for every input:
//  - reading, looking up every key the program reads, writing and rewriting never crash or leak;
//  - the rewritten text reads back to the same text (nothing is lost or reshaped a second time);
//  - every section and key read survives the rewrite with its value;
//  - the start-up values stay in their ranges whatever the file holds;
//  - a value written reads back as written (line breaks turned to blanks), and nothing else moves.
// The same bytes, split at NUL characters, are also a command line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "logic/Settings.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "settings fuzz: %s\n", what);
    std::abort();
  }
}

std::string OneLine(std::string_view value) {
  // As WriteString stores a value: trimmed of blanks, line breaks made blanks.
  std::string v(value);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  std::size_t b = v.find_first_not_of(" \t\v\f"), e = v.find_last_not_of(" \t\v\f");
  return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  TIniFile file;
  file.SetText(input);
  const std::string text = file.Text();
  TIniFile again;
  again.SetText(text);
  Check(again.Text() == text, "a rewritten file reads back differently");
  Check(again.HasBom() == file.HasBom(), "the byte-order mark changed");
  for (const auto& section : file.Sections())
    for (const auto& key : file.SectionKeys(section))
      Check(again.Value(section, key) == file.Value(section, key), "a value changed on rewrite");

  const TStartupSettings s = ReadStartupSettings(file, {});
  Check(s.Options.Port >= 1 && s.Options.Port <= 256, "port out of range");
  Check(s.Options.UpdateInterval >= 1 && s.Options.DetectInterval >= 1, "interval below 1");
  std::string link;
  FindTemplateLink(file, 142, link);

  // Write a value taken from the input into a section and key taken from it too.
  const std::size_t cut = size / 3;
  const std::string section = OneLine(input.substr(0, cut / 2)),
                    key = OneLine(input.substr(cut / 2, cut - cut / 2));
  const bool usable = !section.empty() && !key.empty() && section.find(']') == std::string::npos &&
                      key.find('=') == std::string::npos && key.front() != ';' &&
                      key.front() != '[';
  if (usable) {
    TIniFile written = file;
    written.WriteString(section, key, input.substr(cut));
    TIniFile reread;
    reread.SetText(written.Text());
    Check(reread.ReadString(section, key, "<none>") == OneLine(input.substr(cut)),
          "a written value reads back differently");
  }

  std::vector<std::string> params;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i)
    if (i == size || input[i] == '\0') {
      params.emplace_back(input.substr(start, i - start));
      start = i + 1;
    }
  const TCommandLine cl = ParseCommandLine(params);
  Check(!cl.Port || (*cl.Port >= 1 && *cl.Port <= 256), "command-line port out of range");
  return 0;
}
