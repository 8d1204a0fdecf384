#include "tools/laser-console/Console.h"

#include <charconv>
#include <functional>
#include <map>
#include <sstream>

#include "laser/QNLaser.h"
#include "laser/Text.h"

namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool ToInt(const std::string& text, long long low, long long high, long long& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last && value >= low && value <= high;
}

bool ToDouble(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

std::optional<TLaserCommand> ToKind(const std::string& text) {
  for (int k = 0; k < LaserCommandCount; ++k) {
    const auto kind = static_cast<TLaserCommand>(k);
    if (LaserCommandName(kind) == text) return kind;
  }
  long long number = 0;
  if (ToInt(text, 0, LaserCommandCount - 1, number)) return static_cast<TLaserCommand>(number);
  return std::nullopt;
}

// The rest of the line after the first `skip` words, as typed.
std::string RestAfter(std::string_view line, std::size_t skip) {
  std::size_t at = 0;
  for (std::size_t w = 0; w < skip; ++w) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) return "";
    at = line.find_first_of(" \t", at);
    if (at == std::string_view::npos) return "";
  }
  const std::size_t start = line.find_first_not_of(" \t", at);
  return start == std::string_view::npos ? "" : std::string(text::TrimControls(line.substr(start)));
}

struct TRequest {
  const char* Usage;
  std::size_t Args;  // words after the name (at least)
  bool MoreArgs;     // the last argument may hold blanks
  std::function<bool(TLaser&, const std::vector<std::string>&, std::string_view)> Run;
};

using A = const std::vector<std::string>&;

bool Branch(const std::string& text, std::uint8_t& branch) {
  long long v = 0;
  if (!ToInt(text, 0, 255, v)) return false;
  branch = static_cast<std::uint8_t>(v);
  return true;
}

// A read addressed to one branch ("ReadCurrent 2").
TRequest BranchRead(const char* usage, void (TLaser::*read)(std::uint8_t)) {
  return {usage, 1, false, [read](TLaser& l, A a, auto) {
            std::uint8_t b = 0;
            return Branch(a[1], b) && ((l.*read)(b), true);
          }};
}

// A command-set loader with its optional Reload flag (default 1).
TRequest Loader(const char* usage, void (TLaser::*load)(bool)) {
  return {usage, 0, false, [load](TLaser& l, A a, auto) {
            long long reload = 1;
            if (a.size() > 1 && !ToInt(a[1], 0, 1, reload)) return false;
            (l.*load)(reload != 0);
            return true;
          }};
}

const std::map<std::string, TRequest>& Requests() {
  static const std::map<std::string, TRequest> requests = {
      {"ReadStatus",
       {"ReadStatus", 0, false, [](TLaser& l, A, auto) { return l.ReadStatus(), true; }}},
      {"ReadSN", {"ReadSN", 0, false, [](TLaser& l, A, auto) { return l.ReadSN(), true; }}},
      {"ReadErrorCode",
       {"ReadErrorCode", 0, false, [](TLaser& l, A, auto) { return l.ReadErrorCode(), true; }}},
      {"ClearError",
       {"ClearError", 0, false, [](TLaser& l, A, auto) { return l.ClearError(), true; }}},
      {"SaveSettings",
       {"SaveSettings", 0, false, [](TLaser& l, A, auto) { return l.SaveSettings(), true; }}},
      {"Reset", {"Reset", 0, false, [](TLaser& l, A, auto) { return l.Reset(), true; }}},
      {"LoadBaseCommands",
       {"LoadBaseCommands", 0, false,
        [](TLaser& l, A, auto) { return l.LoadBaseCommands(), true; }}},
      {"LoadQTCommands", Loader("LoadQTCommands [Reload 0|1]", &TLaser::LoadQTCommands)},
      {"LoadZECommands", Loader("LoadZECommands [Reload 0|1]", &TLaser::LoadZECommands)},
      {"ReadCurrent", BranchRead("ReadCurrent Branch", &TLaser::ReadCurrent)},
      {"ReadMaxCurrent", BranchRead("ReadMaxCurrent Branch", &TLaser::ReadMaxCurrent)},
      {"ReadFrequency", BranchRead("ReadFrequency Branch", &TLaser::ReadFrequency)},
      {"ReadTriggerMode", BranchRead("ReadTriggerMode Branch", &TLaser::ReadTriggerMode)},
      {"SetLaserOn",
       {"SetLaserOn 0|1", 1, false,
        [](TLaser& l, A a, auto) {
          long long on = 0;
          return ToInt(a[1], 0, 1, on) && (l.SetLaserOn(on != 0), true);
        }}},
      {"SetTriggerMode",
       {"SetTriggerMode Mode Branch", 2, false,
        [](TLaser& l, A a, auto) {
          std::uint8_t mode = 0, b = 0;
          return Branch(a[1], mode) && Branch(a[2], b) && (l.SetTriggerMode(mode, b), true);
        }}},
      {"SetCurrent",
       {"SetCurrent Branch Value", 2, false,
        [](TLaser& l, A a, auto) {
          std::uint8_t b = 0;
          double v = 0;
          return Branch(a[1], b) && ToDouble(a[2], v) && (l.SetCurrent(b, v), true);
        }}},
      {"SetFrequency",
       {"SetFrequency Branch Value", 2, false,
        [](TLaser& l, A a, auto) {
          std::uint8_t b = 0;
          double v = 0;
          return Branch(a[1], b) && ToDouble(a[2], v) && (l.SetFrequency(b, v), true);
        }}},
      {"SendCommand",
       {"SendCommand Kind SubID [Param]", 2, true,
        [](TLaser& l, A a, std::string_view line) {
          auto kind = ToKind(a[1]);
          std::uint8_t sub = 0;
          if (!kind || !Branch(a[2], sub)) return false;
          l.SendCommand(*kind, sub, RestAfter(line, 3));
          return true;
        }}},
      {"SendValue",
       {"SendValue Kind SubID Value", 3, false,
        [](TLaser& l, A a, auto) {
          auto kind = ToKind(a[1]);
          std::uint8_t sub = 0;
          double v = 0;
          if (!kind || !Branch(a[2], sub) || !ToDouble(a[3], v)) return false;
          l.SendValue(*kind, sub, v);
          return true;
        }}},
      {"SendParam",
       {"SendParam Kind Param", 2, true,
        [](TLaser& l, A a, std::string_view line) {
          auto kind = ToKind(a[1]);
          if (!kind) return false;
          l.SendParam(*kind, RestAfter(line, 2));
          return true;
        }}},
      {"SendRaw",
       {"SendRaw Text", 1, true,
        [](TLaser& l, A, std::string_view line) {
          l.SendRaw(RestAfter(line, 1), -1);
          return true;
        }}},
      {"Open", {"Open", 0, false, [](TLaser& l, A, auto) { return l.Open(), true; }}},
      {"Disconnect",
       {"Disconnect", 0, false, [](TLaser& l, A, auto) { return l.Disconnect(), true; }}},
  };
  return requests;
}

}  // namespace

std::string ConsoleUsage() {
  std::string text =
      "Usage: laser-console --port N [--set base|qt|ze] [--wait-ms N]\n"
      "\n"
      "Opens COM N through the laser engine, loads a command set (default base) and reads\n"
      "lines from standard input. A line is a request by name, or else a command text that is\n"
      "sent as typed. Every event of the engine is printed as one line (OnSend, OnReceive,\n"
      "OnCurrent 2 12.50, OnCommandTimeout lcReadCurrent 2 r62, ...). At the end of input the\n"
      "console waits until every queued command is answered or timed out, keeps reporting for\n"
      "--wait-ms more milliseconds (default 100), and exits 0.\n"
      "\n"
      "Options:\n"
      "  --port N      COM port number 1..65535 (COM N, see LASER_COM_DIR)\n"
      "  --set NAME    command set loaded after opening: base, qt or ze\n"
      "  --wait-ms N   how long to keep reporting after the queue has drained\n"
      "  --help        this text\n"
      "\n"
      "Requests:\n";
  for (const auto& [name, request] : Requests()) text += "  " + std::string(request.Usage) + "\n";
  text +=
      "  Wait Ms               keep reporting for Ms milliseconds before the next line\n"
      "Empty lines and lines starting with # are skipped. Kinds are written as in\n"
      "lcReadCurrent or as their number.\n";
  return text;
}

std::optional<std::string> ParseConsoleArgs(const std::vector<std::string>& args,
                                            TConsoleOptions& options) {
  bool havePort = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      (void)name;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
    } else if (arg == "--port") {
      auto v = value("--port");
      long long port = 0;
      if (!v || !ToInt(*v, 1, 65535, port)) return "--port needs a number from 1 to 65535";
      options.Port = static_cast<int>(port);
      havePort = true;
    } else if (arg == "--set") {
      auto v = value("--set");
      if (!v || (*v != "base" && *v != "qt" && *v != "ze")) return "--set needs base, qt or ze";
      options.Set = *v;
    } else if (arg == "--wait-ms") {
      auto v = value("--wait-ms");
      long long ms = 0;
      if (!v || !ToInt(*v, 0, 3600000, ms)) return "--wait-ms needs milliseconds (0..3600000)";
      options.WaitMs = static_cast<int>(ms);
    } else {
      return "unknown argument: " + arg;
    }
  }
  if (!options.Help && !havePort) return "--port is required";
  return std::nullopt;
}

std::optional<std::string> ExecuteLine(TLaser& laser, std::string_view line, int& waitMs) {
  const std::string_view trimmed = text::TrimControls(line);
  if (trimmed.empty() || trimmed.front() == '#') return std::nullopt;
  const std::vector<std::string> words = Words(trimmed);
  if (words[0] == "Wait") {
    long long ms = 0;
    if (words.size() != 2 || !ToInt(words[1], 0, 3600000, ms)) return "usage: Wait Ms";
    waitMs = static_cast<int>(ms);
    return std::nullopt;
  }
  const auto it = Requests().find(words[0]);
  if (it == Requests().end()) {
    laser.SendRaw(trimmed, -1);
    return std::nullopt;
  }
  const TRequest& request = it->second;
  const std::size_t given = words.size() - 1;
  const bool countOk = request.MoreArgs ? given >= request.Args
                                        : (given >= request.Args && given <= request.Args + 1);
  if (!countOk || !request.Run(laser, words, trimmed)) {
    return std::string("usage: ") + request.Usage;
  }
  return std::nullopt;
}
