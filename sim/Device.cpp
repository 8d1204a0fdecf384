#include "sim/Device.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace sim {

namespace {

constexpr double kByteMs = 10.0 * 1000.0 / 57600.0;  // start + 8 data + stop bit
constexpr int kAccessCode = 347;
constexpr std::size_t kMaxInputLine = 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Fixed-point text with "." whatever the locale.
std::string Fixed(double value, int decimals) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return std::string(buf, r.ptr);
}

std::string Int(long long value) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string PadLeft(std::string s, std::size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

double Round2(double v) {
  return std::round(v * 100.0) / 100.0;
}

const char* TriggerName(Trigger t) {
  switch (t) {
    case Trigger::Internal:
      return "INTERNAL";
    case Trigger::External:
      return "EXTERNAL";
    case Trigger::CW:
      return "CW";
  }
  return "INTERNAL";
}

bool IsInteger(double v, int n) {
  return v == static_cast<double>(n);
}

}  // namespace

std::optional<Model> ParseModel(std::string_view name) {
  if (name == "qt2") return Model::Qt2;
  if (name == "qt2c") return Model::Qt2c;
  if (name == "qt1") return Model::Qt1;
  if (name == "ze") return Model::Ze;
  if (name == "sn-only") return Model::SnOnly;
  if (name == "mute") return Model::Mute;
  return std::nullopt;
}

const char* ModelName(Model model) {
  switch (model) {
    case Model::Qt2:
      return "qt2";
    case Model::Qt2c:
      return "qt2c";
    case Model::Qt1:
      return "qt1";
    case Model::Ze:
      return "ze";
    case Model::SnOnly:
      return "sn-only";
    case Model::Mute:
      return "mute";
  }
  return "?";
}

std::string ValidateOptions(const Options& o) {
  if (!ParseModel(o.model)) {
    return "unknown model \"" + o.model + "\" (qt2, qt2c, qt1, ze, sn-only, mute)";
  }
  if (o.sn < 0) return "serial number must not be negative";
  for (auto [name, p] : {std::pair{"drop", o.drop},
                         {"garbage", o.garbage},
                         {"error rate", o.errorRate},
                         {"unsolicited error rate", o.unsolicitedErrorRate}}) {
    if (!(p >= 0 && p <= 1)) return std::string(name) + " must be a probability from 0 to 1";
  }
  if (o.delayMs < 0 || o.clearDelayMs < 0 || o.resetMs < 0) return "times must not be negative";
  if (o.unplugAfter == 0 || o.unplugAfter < -1) return "unplug-after must be at least 1";
  // Error lines carry one or two digits.
  auto badCode = [](int c) { return c < 0 || c > 99; };
  for (const auto* list :
       {&o.errors, &o.persistentErrors, &o.unclearableErrors, &o.unsolicitedCodes}) {
    if (std::any_of(list->begin(), list->end(), badCode)) return "error codes run from 0 to 99";
  }
  for (auto [code, detail] : o.errorDetails) {
    if (badCode(code) || badCode(detail)) return "error codes run from 0 to 99";
  }
  if (o.unsolicitedErrorRate > 0 && o.unsolicitedCodes.empty()) {
    return "unsolicited error lines need at least one code";
  }
  return {};
}

Device::Device(Options options) : options_(std::move(options)), rng_(options_.seed) {
  if (auto why = ValidateOptions(options_); !why.empty()) throw std::invalid_argument(why);
  model_ = *ParseModel(options_.model);
  const Options& o = options_;
  state_.laserOn = o.laserOn;
  state_.sn = o.sn;
  state_.qxcSn = o.qxcSn;
  state_.branch[0] = {o.current1, o.maxCurrent1, o.limit1, o.frequency1, o.humidity1, o.trigger1};
  state_.branch[1] = {o.current2, o.maxCurrent2, o.limit2, o.frequency2, o.humidity2, o.trigger2};
  state_.flow = o.flow;
  state_.seederMHz = o.seederMHz;
  state_.regulator = o.regulator;
  state_.pulseCount = o.pulseCount;
  state_.pulseNumber = o.pulseNumber;
  state_.runningMinutes = o.runningMinutes;
  saved_ = state_.branch;
  persistent_.insert(o.persistentErrors.begin(), o.persistentErrors.end());
  unclearable_.insert(o.unclearableErrors.begin(), o.unclearableErrors.end());
  state_.errors.insert(o.errors.begin(), o.errors.end());
  state_.errors.insert(persistent_.begin(), persistent_.end());
  state_.errors.insert(unclearable_.begin(), unclearable_.end());
  if (!state_.errors.empty()) state_.laserOn = false;
  if (state_.laserOn) onSinceMs_ = 0;
}

double Device::Random() {
  return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

int Device::RandomInt(int lo, int hi) {
  return lo + static_cast<int>(rng_() % static_cast<std::uint64_t>(hi - lo + 1));
}

double Device::RunningMinutes(double nowMs) const {
  double m = state_.runningMinutes;
  if (onSinceMs_) m += (nowMs - *onSinceMs_) / 60000.0;
  return m;
}

void Device::SwitchOff(double nowMs) {
  if (onSinceMs_) state_.runningMinutes = RunningMinutes(nowMs);
  onSinceMs_.reset();
  state_.laserOn = false;
}

// ---------------------------------------------------------------- input

void Device::Receive(std::string_view bytes, double nowMs) {
  for (char c : bytes) {
    // Paced, the line brings one byte every byte time, after those still on their way: a
    // command is complete when its last byte has arrived, not when the client wrote it.
    double atMs = nowMs;
    if (options_.pace) atMs = receiveLineFreeMs_ = std::max(receiveLineFreeMs_, nowMs) + kByteMs;
    if (c == '\r' || c == '\n') {
      // CR, LF and CR LF all end a command; the empty line between CR and LF is no command.
      std::string line;
      line.swap(input_);
      if (!Trim(line).empty()) Handle(line, atMs);
    } else if (input_.size() < kMaxInputLine) {
      input_ += c;
    }
  }
}

void Device::Handle(const std::string& line, double nowMs) {
  commands_.push_back({nowMs, line});
  const bool hangUp = options_.unplugAfter > 0 &&
                      commands_.size() == static_cast<std::size_t>(options_.unplugAfter);
  if (hangUp) {
    // The line dies as the command arrives: it is not carried out, nor answered. (A reply
    // written just before the close would be lost anyway: a hang-up flushes what the client
    // has not read yet.)
    Enqueue(nowMs, {}, true);
    Log(line, nowMs, {});
    return;
  }
  const double replyAt = nowMs + options_.delayMs;

  Outcome out;
  JournalEntry entry;
  if (model_ == Model::Mute || Resetting(nowMs)) {
    out = Outcome::Silent();
  } else {
    // letter, register number, and an optional parameter after a blank
    Command c;
    std::string_view t = Trim(line);
    bool valid = t.size() >= 2 && std::isalpha(static_cast<unsigned char>(t[0])) &&
                 std::isdigit(static_cast<unsigned char>(t[1]));
    if (valid) {
      c.letter = static_cast<char>(std::tolower(static_cast<unsigned char>(t[0])));
      auto end = t.data() + t.size();
      auto r = std::from_chars(t.data() + 1, end, c.number);
      valid = r.ec == std::errc();
      if (valid && r.ptr != end) {
        valid = IsBlank(*r.ptr);
        std::string_view p = Trim(std::string_view(r.ptr, end - r.ptr));
        c.hasParam = !p.empty();
        auto v = std::from_chars(p.data(), p.data() + p.size(), c.value);
        c.numeric = c.hasParam && v.ec == std::errc() && v.ptr == p.data() + p.size() &&
                    std::isfinite(c.value);
      }
    }
    if (model_ == Model::SnOnly && !(valid && c.letter == 'r' && c.number == 1)) {
      out = Outcome::Silent();
    } else if (!valid) {
      out.reply = {"ERROR"};
    } else if (Chance(options_.errorRate)) {
      out.reply = {"ERROR"};  // a refusal out of the blue: nothing done
      entry.injectedRefusal = true;
    } else {
      out = Execute(c, nowMs);
    }
  }

  if (!out.silent) {
    std::vector<std::string> lines;
    entry.garbage = Chance(options_.garbage);
    if (entry.garbage) lines.push_back(GarbageLine());
    entry.dropped = Chance(options_.drop);
    if (!entry.dropped) {
      for (auto& l : out.reply) lines.push_back(Cased(l));
    }
    for (auto& l : out.trailer) lines.push_back(l);
    if (Chance(options_.unsolicitedErrorRate)) {
      const auto& codes = options_.unsolicitedCodes;
      lines.push_back(CodeLine(codes[RandomInt(0, static_cast<int>(codes.size()) - 1)]));
    }
    if (!lines.empty()) Enqueue(replyAt + out.replyAfterMs, lines);
    entry.reply = out.reply;
    if (!entry.dropped && !out.reply.empty()) entry.replyAtMs = replyAt + out.replyAfterMs;
  }
  Log(line, nowMs, std::move(entry));
}

void Device::Log(const std::string& line, double nowMs, JournalEntry entry) {
  if (!options_.journal) return;
  entry.seq = journal_.size();
  entry.receivedMs = nowMs;
  entry.command = line;
  entry.refused = entry.reply.size() == 1 && entry.reply.front() == "ERROR";
  entry.state = state_;
  journal_.push_back(std::move(entry));
}

// ---------------------------------------------------------------- commands

Device::Outcome Device::Execute(const Command& c, double nowMs) {
  const Outcome refuse = Outcome::Refuse();
  const Outcome ok = Outcome::Ok();
  auto say = [](std::vector<std::string> lines) { return Outcome::Say(std::move(lines)); };

  if (c.letter == 'r') {
    switch (c.number) {
      case 1:
        return say({"S/N: " + Int(state_.sn) + ".000"});
      case 60:
        return say({state_.laserOn ? "LASER_ON" : "LASER_OFF"});
      case 51: {
        auto minutes = static_cast<long long>(RunningMinutes(nowMs));
        return say({"OPERATING TIME:", Lead() + PadLeft(Int(minutes / 60), 6) + " H",
                    Lead() + PadLeft(Int(minutes % 60), 3) + " M"});
      }
      case 90:
        // The held codes, one a line; none held, nothing said.
        return state_.errors.empty() ? Outcome::Silent() : say(HeldCodeLines());
      case 99:
        return say({"SERIENNUMMER-QXC : " + Int(state_.qxcSn) + ".0"});
      case 170:
        return say({Lead() + "SEEDER-FREQUENCY = " + Fixed(state_.seederMHz, 1) + " MHZ"});
      case 172:
        return say({Lead() + "PULSE COUNT = " + Int(state_.pulseCount)});
      case 173:
        return say({Lead() + "PULSE NUMBER = " + Int(state_.pulseNumber)});
      case 175:
        return say({Lead() + "VREG SOLL = " + Fixed(state_.regulator, 1) + " %"});
    }
  } else if (c.letter == 'w') {
    const bool code = c.numeric && IsInteger(c.value, kAccessCode);
    switch (c.number) {
      case 1:
        return c.hasParam ? ok : refuse;  // password: any is taken
      case 60:
        if (!c.numeric || !(IsInteger(c.value, 0) || IsInteger(c.value, 1))) return refuse;
        if (c.value == 1) {
          if (!state_.errors.empty()) return refuse;  // no light while an error is held
          if (!state_.laserOn) onSinceMs_ = nowMs;
          state_.laserOn = true;
        } else {
          SwitchOff(nowMs);
        }
        return ok;
      case 97: {
        if (!code) return refuse;
        for (int e : state_.errors) {
          if (unclearable_.count(e)) return refuse;
        }
        std::erase_if(state_.errors, [&](int e) { return !persistent_.count(e); });
        Outcome out = say({"READY"});
        out.replyAfterMs = options_.clearDelayMs;
        out.trailer = HeldCodeLines();  // what persists is reported again
        return out;
      }
      case 98:
        if (!code) return refuse;
        saved_ = state_.branch;
        return ok;
      case 99: {
        if (!code) return refuse;
        // A restart: light off, the saved settings back, only lasting errors survive.
        SwitchOff(nowMs);
        Restore();
        std::erase_if(state_.errors,
                      [&](int e) { return !persistent_.count(e) && !unclearable_.count(e); });
        const double bootAt = nowMs + options_.delayMs + options_.resetMs;
        resetUntilMs_ = bootAt;
        std::vector<std::string> boot{Cased("READY")};
        for (auto& l : HeldCodeLines()) boot.push_back(l);
        Enqueue(bootAt, boot);
        return say({"QXC03 OK"});
      }
    }
  }
  switch (model_) {
    case Model::Qt2:
    case Model::Qt2c:
    case Model::Qt1:
      return ExecuteQt(c, nowMs);
    case Model::Ze:
      return ExecuteZe(c);
    default:
      return refuse;
  }
}

Device::Outcome Device::SetCurrent(Branch& b, const Command& c) {
  if (!c.numeric || c.value < 0 || Round2(c.value) > b.maxCurrent) return Outcome::Refuse();
  b.current = Round2(c.value);
  return Outcome::Ok();
}

Device::Outcome Device::SetFrequency(Branch& b, const Command& c) {
  if (!c.numeric || c.value < 0 || c.value > options_.maxFrequency) return Outcome::Refuse();
  b.frequency = Round2(c.value);
  return Outcome::Ok();
}

Device::Outcome Device::ExecuteQt(const Command& c, double) {
  const Outcome refuse = Outcome::Refuse();
  const Outcome ok = Outcome::Ok();
  auto say = [](std::string line) { return Outcome::Say({std::move(line)}); };
  const bool two = model_ != Model::Qt1;
  const bool ownFrequency2 = model_ == Model::Qt2;

  // registers that exist per branch: which branch, or -1 when this model lacks it
  auto branchOf = [&](int reg1, int reg2) {
    if (c.number == reg1) return 0;
    if (c.number == reg2 && two) return 1;
    return -1;
  };
  const std::string n[2] = {"1", "2"};

  if (c.letter == 'r') {
    if (int i = branchOf(61, 62); i >= 0) {
      return say(Lead() + PadLeft(Fixed(state_.branch[i].current, 2), 6) + " A");
    }
    if (int i = branchOf(67, 69); i >= 0) {
      return say("IMAX" + n[i] + " = " + Fixed(state_.branch[i].maxCurrent, 2) + " A");
    }
    if (int i = branchOf(71, 72); i >= 0) {
      return say(Lead() + "LASER" + n[i] + " " + TriggerName(state_.branch[i].trigger));
    }
    if (int i = branchOf(73, ownFrequency2 ? 74 : -1); i >= 0) {
      return say(Lead() + "FREQUENCY = " + Fixed(state_.branch[i].frequency, 2) + " HZ");
    }
    if (int i = branchOf(21, 23); i >= 0) {
      return say(Lead() + "HUMIDITY LASER " + n[i] + ": " + Fixed(state_.branch[i].humidity, 1) +
                 " %");
    }
    if (c.number == 66) return say("LIMIT_I1 = " + Fixed(state_.branch[0].limit, 2) + " A");
    if (c.number == 91) return say("FLOW: " + Fixed(state_.flow, 2) + " L/MIN");
    return refuse;
  }
  if (c.letter == 'w') {
    if (int i = branchOf(61, 62); i >= 0) return SetCurrent(state_.branch[i], c);
    if (int i = branchOf(67, 69); i >= 0) {
      Branch& b = state_.branch[i];
      if (!c.numeric || c.value < 0 || Round2(c.value) > b.limit) return refuse;
      b.maxCurrent = Round2(c.value);
      b.current = std::min(b.current, b.maxCurrent);
      return ok;
    }
    if (int i = branchOf(73, ownFrequency2 ? 74 : -1); i >= 0) {
      return SetFrequency(state_.branch[i], c);
    }
    if (int i = branchOf(71, 72); i >= 0) {
      // per branch: 1 external, 2 CW (internal is common, "w70 1")
      if (c.numeric && IsInteger(c.value, 1)) {
        state_.branch[i].trigger = Trigger::External;
      } else if (c.numeric && IsInteger(c.value, 2)) {
        state_.branch[i].trigger = Trigger::CW;
      } else {
        return refuse;
      }
      return ok;
    }
    if (c.number == 70) {
      if (!c.numeric || !IsInteger(c.value, 1)) return refuse;
      state_.branch[0].trigger = Trigger::Internal;
      if (two) state_.branch[1].trigger = Trigger::Internal;
      return ok;
    }
  }
  if (c.letter == 'p' && c.number == 66) {
    // the limit reads back as two integer digits
    if (!c.numeric || c.value < 0 || Round2(c.value) >= 100) return refuse;
    Branch& b = state_.branch[0];
    b.limit = Round2(c.value);
    b.maxCurrent = std::min(b.maxCurrent, b.limit);
    b.current = std::min(b.current, b.maxCurrent);
    return ok;
  }
  return refuse;
}

Device::Outcome Device::ExecuteZe(const Command& c) {
  const Outcome refuse = Outcome::Refuse();
  auto say = [](std::string line) { return Outcome::Say({std::move(line)}); };
  Branch& b = state_.branch[1];
  if (c.letter == 'r') {
    switch (c.number) {
      case 62:
        return say(Lead() + PadLeft(Fixed(b.current, 2), 6) + " A");
      case 65:
        return say(std::string(options_.grenz ? "I_GRENZ" : "IMAX") + " = " +
                   Fixed(b.maxCurrent, 2) + " A");
      case 70:
        return say(Lead() + "TRIGGER_MODE: " + TriggerName(b.trigger));
      case 71:
        return say(Lead() + "FREQUENCY = " + Fixed(b.frequency, 2) + " HZ");
    }
  } else if (c.letter == 'w') {
    switch (c.number) {
      case 62:
        return SetCurrent(b, c);
      case 71:
        return SetFrequency(b, c);
      case 70:
        // the mode as parameter: 0 external, 1 internal, 2 CW
        if (!c.numeric) return refuse;
        if (IsInteger(c.value, 0)) {
          b.trigger = Trigger::External;
        } else if (IsInteger(c.value, 1)) {
          b.trigger = Trigger::Internal;
        } else if (IsInteger(c.value, 2)) {
          b.trigger = Trigger::CW;
        } else {
          return refuse;
        }
        return Outcome::Ok();
    }
  }
  return refuse;
}

void Device::Restore() {
  for (std::size_t i = 0; i < 2; ++i) {
    // humidity is measured, not a setting
    const double humidity = state_.branch[i].humidity;
    state_.branch[i] = saved_[i];
    state_.branch[i].humidity = humidity;
  }
}

// ---------------------------------------------------------------- errors

std::string Device::CodeLine(int code) const {
  auto two = [](int v) { return (v < 10 ? "0" : "") + Int(v); };
  std::string line = two(code);
  if (auto it = options_.errorDetails.find(code); it != options_.errorDetails.end()) {
    line += " (" + two(it->second) + ")";
  }
  return line;
}

std::vector<std::string> Device::HeldCodeLines() const {
  std::vector<std::string> lines;
  for (int e : state_.errors) lines.push_back(CodeLine(e));
  return lines;
}

void Device::RaiseError(int code, double nowMs) {
  if (code < 0 || code > 99) return;
  state_.errors.insert(code);
  SwitchOff(nowMs);
  // While restarting the controller says nothing; the code follows its READY.
  Enqueue(std::max(nowMs, resetUntilMs_), {CodeLine(code)});
}

void Device::ClearErrorCode(int code) {
  state_.errors.erase(code);
}

void Device::SetErrorDetail(int code, int detail) {
  if (detail < 0 || detail > 99) {
    options_.errorDetails.erase(code);
  } else {
    options_.errorDetails[code] = detail;
  }
}

// ---------------------------------------------------------------- line faults

std::string Device::Lead() {
  if (!options_.blanks) return {};
  std::string s;
  for (int i = RandomInt(0, 2); i > 0; --i) s += Chance(0.5) ? '\t' : ' ';
  return s;
}

std::string Device::Cased(std::string text) {
  for (char& ch : text) {
    auto u = static_cast<unsigned char>(ch);
    if (!std::isalpha(u)) continue;
    if (options_.caseMode == CaseMode::Lower ||
        (options_.caseMode == CaseMode::Mixed && Chance(0.5))) {
      ch = static_cast<char>(std::tolower(u));
    }
  }
  return text;
}

// Line noise that no reply form accepts: no digits (not an error code), no vowels (no OK, ERROR,
// READY), and it starts with punctuation.
std::string Device::GarbageLine() {
  static constexpr std::string_view kChars = "~#$%&*+^|<>?!;bcdfghjmpqvwxz";
  std::string s(1, '~');
  for (int i = RandomInt(4, 14); i > 0; --i) {
    s += kChars[RandomInt(0, static_cast<int>(kChars.size()) - 1)];
  }
  return s;
}

// ---------------------------------------------------------------- the line

void Device::Enqueue(double atMs, const std::vector<std::string>& lines, bool hangUp) {
  std::string bytes;
  for (auto& l : lines) bytes += l + "\r\n";
  Segment seg{atMs, seq_++, {}, hangUp};
  if (options_.split && bytes.size() >= 2) {
    const int pieces = std::min<int>(static_cast<int>(bytes.size()), RandomInt(2, 4));
    std::set<std::size_t> cuts;
    while (static_cast<int>(cuts.size()) < pieces - 1) {
      cuts.insert(static_cast<std::size_t>(RandomInt(1, static_cast<int>(bytes.size()) - 1)));
    }
    std::size_t from = 0;
    cuts.insert(bytes.size());
    for (std::size_t cut : cuts) {
      const double gap = from == 0 ? 0.0 : 1.0 + 2.0 * Random();
      seg.pieces.emplace_back(gap, bytes.substr(from, cut - from));
      from = cut;
    }
  } else if (!bytes.empty()) {
    seg.pieces.emplace_back(0.0, std::move(bytes));
  }
  pending_.push_back(std::move(seg));
}

Device::Due Device::TakeDue(double nowMs) {
  Due due;
  for (;;) {
    while (!sending_.empty() && sending_.front().first <= nowMs) {
      due.bytes += sending_.front().second;
      sending_.pop_front();
    }
    if (!sending_.empty() || pending_.empty()) return due;
    auto next = std::min_element(pending_.begin(), pending_.end(), [](auto& a, auto& b) {
      return a.atMs < b.atMs || (a.atMs == b.atMs && a.seq < b.seq);
    });
    double t = std::max(next->atMs, lineFreeMs_);
    if (t > nowMs) return due;
    if (next->hangUp) {
      pending_.erase(next);
      due.hangUp = true;
      return due;
    }
    for (auto& [gap, bytes] : next->pieces) {
      t += gap;
      for (char ch : bytes) {
        if (options_.pace) t += kByteMs;
        sending_.emplace_back(t, ch);
      }
    }
    lineFreeMs_ = t;
    pending_.erase(next);
  }
}

std::optional<double> Device::NextDueMs() const {
  if (!sending_.empty()) return sending_.front().first;
  if (pending_.empty()) return std::nullopt;
  double t = pending_.front().atMs;
  for (auto& s : pending_) t = std::min(t, s.atMs);
  return std::max(t, lineFreeMs_);
}

}  // namespace sim
