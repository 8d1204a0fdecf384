#include "sim/Cli.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>

namespace sim {

namespace {

template <typename T>
std::optional<T> Number(std::string_view s) {
  T v{};
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(v)) return std::nullopt;
  }
  return v;
}

std::string FormatDouble(double v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

// A value-taking flag stores its text through `set`, which says what is wrong with a bad one.
using Setter = std::function<std::string(CliConfig&, std::string_view)>;

Setter Int(int Options::*field, int lo, int hi) {
  return [=](CliConfig& c, std::string_view v) -> std::string {
    auto n = Number<int>(v);
    if (!n || *n < lo || *n > hi) {
      return "needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    }
    c.options.*field = *n;
    return {};
  };
}

Setter Probability(double Options::*field) {
  return [=](CliConfig& c, std::string_view v) -> std::string {
    auto p = Number<double>(v);
    if (!p || *p < 0 || *p > 1) return "needs a probability from 0 to 1";
    c.options.*field = *p;
    return {};
  };
}

Setter Code(std::vector<int> Options::*list, bool withDetail) {
  return [=](CliConfig& c, std::string_view v) -> std::string {
    auto code = [](std::string_view w) {
      auto n = Number<int>(w);
      return n && *n >= 0 && *n <= 99 ? n : std::nullopt;
    };
    const auto colon = withDetail ? v.find(':') : std::string_view::npos;
    auto n = code(v.substr(0, colon));
    auto detail =
        colon == std::string_view::npos ? std::optional<int>(-1) : code(v.substr(colon + 1));
    if (!n || !detail) {
      return withDetail ? "needs an error code from 0 to 99, optionally :DETAIL (also 0 to 99)"
                        : "needs an error code from 0 to 99";
    }
    (c.options.*list).push_back(*n);
    if (*detail >= 0) c.options.errorDetails[*n] = *detail;
    return {};
  };
}

Setter Text(std::string CliConfig::*field) {
  return [=](CliConfig& c, std::string_view v) -> std::string {
    if (v.empty()) return "needs a value";
    c.*field = std::string(v);
    return {};
  };
}

struct Flag {
  const char* value;  // name of the value in the help, nullptr for a switch
  const char* help;
  Setter set;                          // value flags
  std::function<void(CliConfig&)> on;  // switches
};

const std::map<std::string, Flag, std::less<>>& Flags() {
  constexpr int kMaxMs = 24 * 3600 * 1000;
  static const std::map<std::string, Flag, std::less<>> flags = {
      {"--model",
       {"NAME",
        "qt2 (default), qt2c, qt1, ze, sn-only or mute",
        [](CliConfig& c, std::string_view v) -> std::string {
          if (!ParseModel(v)) return "needs one of qt2, qt2c, qt1, ze, sn-only, mute";
          c.options.model = std::string(v);
          return {};
        },
        {}}},
      {"--link",
       {"PATH", "symbolic link to make to the pty slave (required)", Text(&CliConfig::link), {}}},
      {"--sn", {"N", "laser serial number (1234)", Int(&Options::sn, 0, 99999999), {}}},
      {"--qxc-sn",
       {"N", "controller serial number (1234)", Int(&Options::qxcSn, -99999999, 99999999), {}}},
      {"--pace",
       {nullptr,
        "receive and send at line rate, 173.6 us per byte each way",
        {},
        [](CliConfig& c) { c.options.pace = true; }}},
      {"--drop", {"P", "drop a reply with probability P", Probability(&Options::drop), {}}},
      {"--delay-ms", {"N", "delay every reply by N ms", Int(&Options::delayMs, 0, kMaxMs), {}}},
      {"--split",
       {nullptr,
        "send replies in random chunks with small gaps",
        {},
        [](CliConfig& c) { c.options.split = true; }}},
      {"--garbage",
       {"P",
        "a garbage line before a reply with probability P",
        Probability(&Options::garbage),
        {}}},
      {"--error-rate",
       {"P", "answer ERROR instead with probability P", Probability(&Options::errorRate), {}}},
      {"--unsolicited",
       {"P",
        "an unsolicited error line (93) after a reply with probability P",
        Probability(&Options::unsolicitedErrorRate),
        {}}},
      {"--case",
       {"MODE",
        "upper (default), lower or mixed case replies",
        [](CliConfig& c, std::string_view v) -> std::string {
          if (v == "upper") {
            c.options.caseMode = CaseMode::Upper;
          } else if (v == "lower") {
            c.options.caseMode = CaseMode::Lower;
          } else if (v == "mixed") {
            c.options.caseMode = CaseMode::Mixed;
          } else {
            return "needs upper, lower or mixed";
          }
          return {};
        },
        {}}},
      {"--blanks",
       {nullptr,
        "random leading blanks and tabs where replies allow them",
        {},
        [](CliConfig& c) { c.options.blanks = true; }}},
      {"--error",
       {"CODE[:DETAIL]",
        "hold CODE from the start (repeatable); DETAIL shows as in \"07 (03)\"",
        Code(&Options::errors, true),
        {}}},
      {"--persistent-error",
       {"CODE",
        "hold this code; it comes back after every clear (repeatable)",
        Code(&Options::persistentErrors, false),
        {}}},
      {"--unclearable-error",
       {"CODE",
        "hold this code; clearing answers ERROR (repeatable)",
        Code(&Options::unclearableErrors, false),
        {}}},
      {"--clear-delay-ms",
       {"N",
        "READY this long after \"w97 347\" (200)",
        Int(&Options::clearDelayMs, 0, kMaxMs),
        {}}},
      {"--reset-ms",
       {"N",
        "silent this long after \"w99 347\", then READY (3000)",
        Int(&Options::resetMs, 0, kMaxMs),
        {}}},
      {"--grenz",
       {nullptr,
        "ze: report the maximum current as I_GRENZ",
        {},
        [](CliConfig& c) { c.options.grenz = true; }}},
      {"--unplug-after",
       {"N", "close the line as command N arrives", Int(&Options::unplugAfter, 1, 1 << 30), {}}},
      {"--seed",
       {"S",
        "seed of every random choice (1)",
        [](CliConfig& c, std::string_view v) -> std::string {
          auto n = Number<std::uint64_t>(v);
          if (!n) return "needs a whole number of 0 or more";
          c.options.seed = *n;
          return {};
        },
        {}}},
      {"--log",
       {"FILE",
        "write one line per command: ms since start, a tab, the text",
        Text(&CliConfig::log),
        {}}},
      {"--control",
       {"FIFO",
        "take control lines from FIFO (made if missing), see below",
        Text(&CliConfig::control),
        {}}},
      {"--help", {nullptr, "show this text", {}, [](CliConfig& c) { c.help = true; }}},
  };
  return flags;
}

}  // namespace

std::variant<CliConfig, std::string> ParseCommandLine(const std::vector<std::string>& args) {
  CliConfig config;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i], value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inlineValue = true;
    }
    if (arg == "-h") arg = "--help";
    auto it = Flags().find(arg);
    if (it == Flags().end()) return "unknown option '" + std::string(arg) + "'";
    const Flag& flag = it->second;
    if (!flag.value) {
      if (inlineValue) return "option '" + std::string(arg) + "' takes no value";
      flag.on(config);
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) return "option '" + std::string(arg) + "' needs a value";
      value = args[++i];
    }
    if (auto why = flag.set(config, value); !why.empty()) {
      return "option '" + std::string(arg) + "' " + why + ", not '" + std::string(value) + "'";
    }
  }
  if (config.help) return config;
  if (config.link.empty()) return "option '--link' is required";
  if (auto why = ValidateOptions(config.options); !why.empty()) return why;
  return config;
}

std::string HelpText() {
  std::string text =
      "Usage: laser-sim --link PATH [options]\n"
      "Simulates the laser's controller on a pseudo-terminal and links PATH (for example\n"
      "$LASER_COM_DIR/COM5) to it; serves until SIGINT or SIGTERM, then removes the link.\n"
      "Prints the slave path, then a summary line.\n\nOptions:\n";
  for (const auto& [name, flag] : Flags()) {
    std::string left = "  " + name + (flag.value ? std::string(" ") + flag.value : "");
    left.resize(std::max<std::size_t>(left.size() + 2, 30), ' ');
    text += left + flag.help + "\n";
  }
  text +=
      "\nControl lines: error CODE [DETAIL], clear CODE, unplug, replug, sn N.\n"
      "Every random choice comes from one generator: the same seed repeats a run.\n"
      "\nExit status: 0 after a signal, 1 when the pty or link cannot be made, 2 for bad usage.\n";
  return text;
}

std::variant<ControlCommand, std::string> ParseControlLine(std::string_view line) {
  auto words = Words(line);
  ControlCommand c;
  if (words.empty()) return c;
  using K = ControlCommand::Kind;
  const std::string_view verb = words[0];
  auto code = [](std::string_view w) {
    auto n = Number<int>(w);
    return n && *n >= 0 && *n <= 99 ? n : std::nullopt;
  };
  if ((verb == "unplug" || verb == "replug") && words.size() == 1) {
    c.kind = verb == "unplug" ? K::Unplug : K::Replug;
    return c;
  }
  if (verb == "error" && (words.size() == 2 || words.size() == 3)) {
    auto n = code(words[1]);
    auto d = words.size() == 3 ? code(words[2]) : std::optional<int>(-1);
    if (n && d) {
      c.kind = K::Error;
      c.value = *n;
      c.detail = *d;
      return c;
    }
  }
  if (verb == "clear" && words.size() == 2) {
    if (auto n = code(words[1])) {
      c.kind = K::Clear;
      c.value = *n;
      return c;
    }
  }
  if (verb == "sn" && words.size() == 2) {
    if (auto n = Number<int>(words[1]); n && *n >= 0) {
      c.kind = K::SN;
      c.value = *n;
      return c;
    }
  }
  return "bad control line '" + std::string(line) +
         "' (error CODE [DETAIL], clear CODE, unplug, replug, sn N)";
}

std::string Summary(const Options& o) {
  std::string s =
      "model " + o.model + ", S/N " + std::to_string(o.sn) + ", QXC S/N " + std::to_string(o.qxcSn);
  std::vector<std::string> faults;
  if (o.pace) faults.push_back("pace");
  if (o.split) faults.push_back("split");
  if (o.blanks) faults.push_back("blanks");
  if (o.drop > 0) faults.push_back("drop " + FormatDouble(o.drop));
  if (o.garbage > 0) faults.push_back("garbage " + FormatDouble(o.garbage));
  if (o.errorRate > 0) faults.push_back("error-rate " + FormatDouble(o.errorRate));
  if (o.unsolicitedErrorRate > 0) {
    faults.push_back("unsolicited " + FormatDouble(o.unsolicitedErrorRate));
  }
  if (o.delayMs > 0) faults.push_back("delay " + std::to_string(o.delayMs) + " ms");
  if (o.caseMode == CaseMode::Lower) faults.push_back("lower case");
  if (o.caseMode == CaseMode::Mixed) faults.push_back("mixed case");
  if (o.unplugAfter > 0) faults.push_back("unplug after " + std::to_string(o.unplugAfter));
  auto codes = [](const std::vector<int>& list) {
    std::string t;
    for (int c : list) t += (t.empty() ? "" : " ") + std::to_string(c);
    return t;
  };
  if (!o.errors.empty()) faults.push_back("errors " + codes(o.errors));
  if (!o.persistentErrors.empty()) faults.push_back("persistent " + codes(o.persistentErrors));
  if (!o.unclearableErrors.empty()) faults.push_back("unclearable " + codes(o.unclearableErrors));
  s += ", seed " + std::to_string(o.seed) + ", faults: ";
  if (faults.empty()) return s + "none";
  for (std::size_t i = 0; i < faults.size(); ++i) s += (i ? ", " : "") + faults[i];
  return s;
}

}  // namespace sim
