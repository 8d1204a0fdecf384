#include "logic/remote/Scpi.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "laser/Text.h"

std::string TScpiError::Format() const {
  return std::to_string(Code) + "," + ScpiQuoted(Text);
}

std::string ScpiQuoted(std::string_view Text) {
  std::string out = "\"";
  for (const char c : Text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// ---------------------------------------------------------------- lines

void TScpiLineSplitter::Feed(std::string_view Bytes, const TOnLine& OnLine) {
  while (!Bytes.empty()) {
    const std::size_t lf = Bytes.find('\n');
    const std::string_view piece = Bytes.substr(0, lf);
    if (!FSkipping) {
      // One byte over the limit may be the CR of a CR LF.
      const std::size_t room = MaxLine + 1 - FPartial.size();
      if (piece.size() > room) {
        FSkipping = true;
        FPartial.clear();
        FPartial.shrink_to_fit();
        OnLine(std::nullopt);
      } else {
        FPartial.append(piece);
      }
    }
    if (lf == std::string_view::npos) return;
    Bytes.remove_prefix(lf + 1);
    if (FSkipping) {
      FSkipping = false;
      continue;
    }
    std::string line = std::move(FPartial);
    FPartial.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > MaxLine) {
      OnLine(std::nullopt);
    } else {
      OnLine(std::string_view(line));
    }
  }
}

// ---------------------------------------------------------------- the command table

namespace {

enum class TForm : std::uint8_t { Query, Command, Both };
enum class TParam : std::uint8_t { None, Amperes, Hertz, Boolean, Mode, Text };

// A header node: its mnemonic with the short form in capitals ("SOURce"), whether it may be left
// out, whether it takes a branch suffix.
struct TNode {
  std::string_view Name;
  bool Optional = false;
  bool Suffix = false;
};

struct TEntry {
  TScpiCommand Command;
  std::vector<TNode> Path;
  TForm Form;
  TParam Param;         // of the command form
  TParam QueryParam{};  // of the query form
};

const std::vector<TEntry>& Table() {
  static const std::vector<TEntry> table = {
      {TScpiCommand::Identify, {{"*IDN"}}, TForm::Query, TParam::None},
      {TScpiCommand::ResetDefaults, {{"*RST"}}, TForm::Command, TParam::None},
      {TScpiCommand::SelfTest, {{"*TST"}}, TForm::Query, TParam::None},
      {TScpiCommand::ClearStatus, {{"*CLS"}}, TForm::Command, TParam::None},
      {TScpiCommand::OperationComplete, {{"*OPC"}}, TForm::Query, TParam::None},
      {TScpiCommand::SystemError,
       {{"SYSTem"}, {"ERRor"}, {"NEXT", true}},
       TForm::Query,
       TParam::None},
      {TScpiCommand::SystemState, {{"SYSTem"}, {"STATe"}}, TForm::Query, TParam::None},
      {TScpiCommand::Current, {{"SOURce", false, true}, {"CURRent"}}, TForm::Both, TParam::Amperes},
      {TScpiCommand::ActualCurrent,
       {{"SOURce", false, true}, {"CURRent"}, {"ACTual"}},
       TForm::Query,
       TParam::None},
      {TScpiCommand::MaxCurrent,
       {{"SOURce", false, true}, {"CURRent"}, {"MAXimum"}},
       TForm::Query,
       TParam::None},
      {TScpiCommand::Frequency,
       {{"SOURce", false, true}, {"FREQuency"}},
       TForm::Both,
       TParam::Hertz},
      {TScpiCommand::TriggerSource,
       {{"TRIGger", false, true}, {"SOURce"}},
       TForm::Both,
       TParam::Mode},
      {TScpiCommand::Output, {{"OUTPut"}, {"STATe", true}}, TForm::Both, TParam::Boolean},
      {TScpiCommand::LaserError, {{"LASer"}, {"ERRor"}}, TForm::Query, TParam::None},
      {TScpiCommand::Save, {{"SYSTem"}, {"SAVE"}}, TForm::Command, TParam::None},
      {TScpiCommand::Reset, {{"SYSTem"}, {"RESet"}}, TForm::Command, TParam::None},
      {TScpiCommand::ClearError, {{"SYSTem"}, {"CLEar"}}, TForm::Command, TParam::None},
      {TScpiCommand::Raw,
       {{"SYSTem"}, {"COMMunicate"}, {"RAW"}},
       TForm::Query,
       TParam::None,
       TParam::Text},
  };
  return table;
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The mnemonic's short form (its capitals) or its long form, any case.
bool SameMnemonic(std::string_view written, std::string_view name) {
  std::size_t shortLength = 0;
  while (shortLength < name.size() && !(name[shortLength] >= 'a' && name[shortLength] <= 'z'))
    ++shortLength;
  return text::SameText(written, name.substr(0, shortLength)) || text::SameText(written, name);
}

// A header node as written: letters, then an optional numeric suffix.
struct TToken {
  std::string_view Name;
  std::string_view Suffix;
};

// Whether the tokens match the path from the given positions on, optional nodes left out where
// they may be. `suffix` gets the suffix written on a node that takes one.
bool MatchPath(const std::vector<TNode>& path, std::size_t p, const std::vector<TToken>& tokens,
               std::size_t t, std::string_view& suffix) {
  if (p == path.size()) return t == tokens.size();
  const TNode& node = path[p];
  if (t < tokens.size() && SameMnemonic(tokens[t].Name, node.Name) &&
      (node.Suffix || tokens[t].Suffix.empty())) {
    std::string_view mine = node.Suffix ? tokens[t].Suffix : std::string_view();
    std::string_view rest;
    if (MatchPath(path, p + 1, tokens, t + 1, rest)) {
      suffix = mine.empty() ? rest : mine;
      return true;
    }
  }
  return node.Optional && MatchPath(path, p + 1, tokens, t, suffix);
}

// Splits `text` at `separator` outside quoted strings (a doubled quote inside one is part of it).
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote closes and opens again
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

// A decimal number with "." as the separator and an optional exponent, then an optional unit.
std::optional<TScpiError> ParseNumber(std::string_view text, TParam param, double& value) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t mantissa = i;
  while (i < text.size() && IsDigit(text[i])) ++i;
  bool digits = i > mantissa;
  if (i < text.size() && text[i] == '.') {
    ++i;
    const std::size_t fraction = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    digits = digits || i > fraction;
  }
  if (!digits) return scpi::DataTypeError;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exponent = j;
    while (j < text.size() && IsDigit(text[j])) ++j;
    if (j > exponent) i = j;  // else the E begins a unit, and fails as one
  }
  std::string_view number = text.substr(0, i);
  if (number.front() == '+') number.remove_prefix(1);
  double parsed = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), parsed);
  if (ec == std::errc::result_out_of_range) return scpi::OutOfRange;
  if (ec != std::errc() || end != number.data() + number.size() || !std::isfinite(parsed)) {
    return scpi::DataTypeError;
  }
  const std::string_view unit = text::TrimSpaces(text.substr(i));
  for (const char c : unit) {
    if (!IsLetter(c)) return scpi::DataTypeError;
  }
  double scale = 1;
  if (!unit.empty()) {
    if (param == TParam::Amperes && text::SameText(unit, "A")) {
    } else if (param == TParam::Hertz && text::SameText(unit, "HZ")) {
    } else if (param == TParam::Hertz && text::SameText(unit, "KHZ")) {
      scale = 1000;
    } else {
      return scpi::InvalidSuffix;
    }
  }
  value = parsed * scale;
  if (!std::isfinite(value)) return scpi::OutOfRange;
  return std::nullopt;
}

std::optional<TScpiError> ParseString(std::string_view text, std::string& value) {
  if (text.empty() || (text.front() != '"' && text.front() != '\'')) return scpi::DataTypeError;
  const char quote = text.front();
  std::string out;
  std::size_t i = 1;
  for (;; ++i) {
    if (i >= text.size()) return scpi::InvalidString;  // not closed
    const char c = text[i];
    if (c == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        out += quote;
        ++i;
        continue;
      }
      break;
    }
    // A line break or NUL would end or cut the command on the laser's line.
    if (static_cast<unsigned char>(c) < 32 || c == 127) return scpi::InvalidString;
    out += c;
  }
  if (i + 1 != text.size()) return scpi::SyntaxError;  // something after the closing quote
  value = std::move(out);
  return std::nullopt;
}

std::optional<TScpiError> ParseParameter(std::string_view text, TParam param, TScpiUnit& unit) {
  switch (param) {
    case TParam::None:
      return std::nullopt;
    case TParam::Amperes:
    case TParam::Hertz:
      return ParseNumber(text, param, unit.Number);
    case TParam::Boolean:
      if (text::SameText(text, "ON") || text == "1") {
        unit.On = true;
      } else if (text::SameText(text, "OFF") || text == "0") {
        unit.On = false;
      } else {
        return scpi::IllegalValue;
      }
      return std::nullopt;
    case TParam::Mode:
      if (SameMnemonic(text, "INTernal")) {
        unit.Mode = tmInternal;
      } else if (SameMnemonic(text, "EXTernal")) {
        unit.Mode = tmExternal;
      } else if (SameMnemonic(text, "CW")) {
        unit.Mode = tmCW;
      } else {
        return scpi::IllegalValue;
      }
      return std::nullopt;
    case TParam::Text:
      if (auto error = ParseString(text, unit.Text)) return error;
      if (text::TrimControls(unit.Text).empty()) return scpi::IllegalValue;
      if (unit.Text.size() > ShortStringMax) return scpi::TextTooLong;
      return std::nullopt;
  }
  return std::nullopt;
}

// One command of a line, blanks around it taken off, not empty.
std::optional<TScpiError> ParseUnit(std::string_view text, TScpiUnit& unit) {
  std::size_t end = 0;
  while (end < text.size() && !IsBlank(text[end])) ++end;
  std::string_view header = text.substr(0, end);
  const std::string_view parameters = text::TrimSpaces(text.substr(end));

  const bool query = header.back() == '?';
  if (query) header.remove_suffix(1);
  const bool common = !header.empty() && header.front() == '*';
  if (!common && !header.empty() && header.front() == ':') header.remove_prefix(1);
  if (header.empty()) return scpi::SyntaxError;

  std::vector<TToken> tokens;
  std::size_t start = common ? 1 : 0;
  for (std::size_t i = start; i <= header.size(); ++i) {
    if (i < header.size() && header[i] != ':') continue;
    const std::string_view node = header.substr(start, i - start);
    std::size_t letters = 0;
    while (letters < node.size() && IsLetter(node[letters])) ++letters;
    std::size_t digits = letters;
    while (digits < node.size() && IsDigit(node[digits])) ++digits;
    if (letters == 0 || digits != node.size()) {
      // An empty node, or characters that no header holds.
      for (const char c : node) {
        if (!IsLetter(c) && !IsDigit(c)) return scpi::SyntaxError;
      }
      return node.empty() ? scpi::SyntaxError : scpi::UndefinedHeader;
    }
    if (common && (i < header.size() || digits != letters)) return scpi::UndefinedHeader;
    tokens.push_back({node.substr(0, letters), node.substr(letters)});
    start = i + 1;
  }
  if (common) tokens.front().Name = header;  // the table names them with their "*"

  for (const TEntry& entry : Table()) {
    std::string_view suffix;
    if (!MatchPath(entry.Path, 0, tokens, 0, suffix)) continue;
    if ((query && entry.Form == TForm::Command) || (!query && entry.Form == TForm::Query)) {
      return scpi::UndefinedHeader;
    }
    unit = TScpiUnit{};
    unit.Command = entry.Command;
    unit.Query = query;
    if (!suffix.empty()) {
      int branch = 0;
      if (!text::ParseInt(suffix, branch) || branch < 1 || branch > 2) {
        return scpi::SuffixOutOfRange;
      }
      unit.Branch = static_cast<std::uint8_t>(branch);
    }
    const TParam param = query ? entry.QueryParam : entry.Param;
    const std::vector<std::string_view> list = SplitOutsideQuotes(parameters, ',');
    if (param == TParam::None) {
      if (!parameters.empty()) return scpi::ParameterNotAllowed;
      return std::nullopt;
    }
    if (parameters.empty()) return scpi::MissingParameter;
    if (list.size() > 1) return scpi::ParameterNotAllowed;
    return ParseParameter(text::TrimSpaces(list.front()), param, unit);
  }
  return scpi::UndefinedHeader;
}

}  // namespace

TScpiLine ParseScpiLine(std::string_view Line) {
  TScpiLine result;
  for (const std::string_view part : SplitOutsideQuotes(Line, ';')) {
    const std::string_view text = text::TrimSpaces(part);
    if (text.empty()) continue;
    TScpiUnit unit;
    if (std::optional<TScpiError> error = ParseUnit(text, unit)) {
      result.Error = std::move(error);
      break;
    }
    result.Units.push_back(std::move(unit));
  }
  return result;
}

bool ChangesLaser(const TScpiUnit& Unit) {
  switch (Unit.Command) {
    case TScpiCommand::Current:
    case TScpiCommand::Frequency:
    case TScpiCommand::TriggerSource:
      return !Unit.Query;
    case TScpiCommand::Output:
      return !Unit.Query && Unit.On;
    case TScpiCommand::Save:
    case TScpiCommand::Reset:
    case TScpiCommand::ClearError:
    case TScpiCommand::Raw:
      return true;
    default:
      return false;
  }
}

std::string ScpiText(const TScpiUnit& Unit) {
  const std::string branch = std::to_string(Unit.Branch);
  std::string header;
  std::string parameter;
  switch (Unit.Command) {
    case TScpiCommand::Identify:
      header = "*IDN";
      break;
    case TScpiCommand::ResetDefaults:
      header = "*RST";
      break;
    case TScpiCommand::SelfTest:
      header = "*TST";
      break;
    case TScpiCommand::ClearStatus:
      header = "*CLS";
      break;
    case TScpiCommand::OperationComplete:
      header = "*OPC";
      break;
    case TScpiCommand::SystemError:
      header = "SYST:ERR";
      break;
    case TScpiCommand::SystemState:
      header = "SYST:STAT";
      break;
    case TScpiCommand::Current:
      header = "SOUR" + branch + ":CURR";
      parameter = text::Fixed2(Unit.Number);
      break;
    case TScpiCommand::ActualCurrent:
      header = "SOUR" + branch + ":CURR:ACT";
      break;
    case TScpiCommand::MaxCurrent:
      header = "SOUR" + branch + ":CURR:MAX";
      break;
    case TScpiCommand::Frequency:
      header = "SOUR" + branch + ":FREQ";
      parameter = text::Fixed2(Unit.Number);
      break;
    case TScpiCommand::TriggerSource:
      header = "TRIG" + branch + ":SOUR";
      parameter = Unit.Mode == tmCW ? "CW" : Unit.Mode == tmExternal ? "EXT" : "INT";
      break;
    case TScpiCommand::Output:
      header = "OUTP";
      parameter = Unit.On ? "ON" : "OFF";
      break;
    case TScpiCommand::LaserError:
      header = "LAS:ERR";
      break;
    case TScpiCommand::Save:
      header = "SYST:SAVE";
      break;
    case TScpiCommand::Reset:
      header = "SYST:RES";
      break;
    case TScpiCommand::ClearError:
      header = "SYST:CLE";
      break;
    case TScpiCommand::Raw:
      return "SYST:COMM:RAW? " + ScpiQuoted(Unit.Text);
  }
  if (Unit.Query) return header + "?";
  return parameter.empty() ? header : header + " " + parameter;
}
