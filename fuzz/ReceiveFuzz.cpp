// The receive path fed hostile bytes in hostile chunkings: chunks appended upper-cased, error lines
// taken out, CR LF lines framed at the front and matched against a command set, as the receiving
// and matching threads do it, without their waits.
//
// Input: byte 0 picks the command set, whether the line is in step and how many commands are
// awaited (in step none or the pending one; out of step one to three), bytes 1 and 2 those
// commands (or a typed text without an entry), byte 3 the number of chunk-length bytes that
// follow (each 1 to 128, the read size, used in turn); the rest is the received text.
//
// Checked for every input:
//  - no crash, leak or hang: every pass consumes at least one complete line;
//  - every delivered group is at most 255 characters, and the whole match lies in the lines that
//    the pass consumed, which end with CR LF;
//  - an error code comes only from a line that holds only a one- or two-digit code (optionally a
//    second one in parentheses), and no such line is left behind;
//  - every received byte is taken out, consumed or still waiting exactly once;
//  - a reply goes to an awaited command, a refusal only when one command is awaited, and out of
//    step no line is delivered as the reply of a command nobody awaits;
//  - when no reply of several lines is involved, the chunking changes nothing that is delivered.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"
#include "laser/RxPath.h"
#include "laser/Text.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s\n  text: ", what);
  for (const char c : text) {
    if (c >= 32 && c < 127) {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
  }
  std::fputc('\n', stderr);
  std::abort();
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Reads 1 or 2 digits at `i` followed by something that is not a digit.
bool Digits(std::string_view s, std::size_t& i, int* value) {
  std::size_t n = 0;
  int v = 0;
  for (; i + n < s.size() && IsDigit(s[i + n]); ++n) {
    if (n < 2) v = v * 10 + (s[i + n] - '0');
  }
  if (n < 1 || n > 2) return false;
  i += n;
  if (value) *value = v;
  return true;
}

bool LineBreak(std::string_view s, std::size_t& i) {
  if (i < s.size() && s[i] == '\r') {
    i += (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
    return true;
  }
  if (i < s.size() && s[i] == '\n') return ++i, true;
  return false;
}

// Whether an error line begins at `p` (a line start), written apart from the scanner's pattern;
// `end` gets the position after its line break.
bool ErrorLineAt(std::string_view s, std::size_t p, std::size_t& end, int& code) {
  std::size_t i = p;
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (!Digits(s, i, &code)) return false;
  std::size_t j = i;
  if (LineBreak(s, j)) return end = j, true;
  while (j < s.size() && IsBlank(s[j])) ++j;
  if (j >= s.size() || s[j++] != '(') return false;
  while (j < s.size() && IsBlank(s[j])) ++j;
  if (!Digits(s, j, nullptr) || j >= s.size() || s[j++] != ')') return false;
  if (!LineBreak(s, j)) return false;
  end = j;
  return true;
}

bool LineStart(std::string_view s, std::size_t p) {
  return p == 0 || s[p - 1] == '\r' || s[p - 1] == '\n';
}

const TCommandList::TEntries& CommandSet(int which) {
  static const std::array<TCommandList::TSnapshot, 4> sets = [] {
    TCommandList initial, base, qt, ze;
    LoadInitialCommands(initial);
    LoadBaseCommands(base);
    LoadQTCommands(qt, true);
    LoadZECommands(ze, true);
    return std::array{initial.Snapshot(), base.Snapshot(), qt.Snapshot(), ze.Snapshot()};
  }();
  return *sets[which];
}

std::string JoinLines(const std::vector<TLine>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i].Text;
  return std::string(text::TrimControls(text));
}

// The receive path as the receiving and matching threads drive it.
struct TRun {
  TRun(const TCommandList::TEntries& list, std::vector<int> awaited, bool inStep)
      : List(list), Awaited(std::move(awaited)), InStep(inStep) {}
  const TCommandList::TEntries& List;
  std::vector<int> Awaited;  // entries of the commands whose replies may come (-1: typed, none)
  bool InStep;
  std::string Rx;
  std::bitset<104> Reported;
  // Error codes are taken out as they arrive, ahead of the lines still to be matched, so their
  // order among the replies depends on the chunking; each list's own order does not.
  std::vector<int> Codes;
  std::vector<std::string> Events;
  std::size_t Appended = 0, TakenOut = 0, Consumed = 0, Cut = 0;
  bool SeveralLines = false;  // a reply of several lines matched somewhere

  void Feed(std::string_view chunk) {
    static const TErrorLineScanner scanner;
    AppendUpper(Rx, chunk);
    Appended += chunk.size();
    scanner.Scan(Rx, false, [&](std::string_view line, int code, bool) {
      const std::size_t p = static_cast<std::size_t>(line.data() - Rx.data());
      std::size_t end = 0;
      int expected = -1;
      if (!LineStart(Rx, p) || !ErrorLineAt(Rx, p, end, expected) || end != p + line.size() ||
          code != expected) {
        Fail("an error code taken from a line that is no error line", line);
      }
      TakenOut += line.size();
      if (!Reported.test(static_cast<std::size_t>(code))) {
        Reported.set(static_cast<std::size_t>(code));
        Codes.push_back(code);
      }
      return true;
    });
    for (std::size_t p = 0; p < Rx.size(); ++p) {
      std::size_t end = 0;
      int code = 0;
      if (LineStart(Rx, p) && ErrorLineAt(Rx, p, end, code) &&
          !(end == Rx.size() && Rx.back() == '\r')) {
        Fail("an error line left in the receive text", Rx);
      }
    }
    const std::size_t before = Rx.size();
    if (CapReceiveText(Rx)) Cut += before - Rx.size();
    while (std::optional<TLine> first = FrameLine(Rx, 0)) Pass(std::move(*first));
    if (Appended != TakenOut + Consumed + Cut + Rx.size()) Fail("bytes lost or counted twice", Rx);
  }

  void Pass(TLine first) {
    std::vector<TLine> lines{std::move(first)};
    std::vector<TAwaited> awaited;
    for (int index : Awaited) {
      awaited.push_back({index >= 0 ? &List[static_cast<std::size_t>(index)] : nullptr});
    }
    // Nothing arrives during a pass here, so the grace for a continuation changes nothing.
    const TPassResult pass = MatchPass(List, awaited, InStep, true, lines, [&](bool) {
      std::optional<TLine> next = NextLine(Rx, lines.back(), true);
      if (next) lines.push_back(std::move(*next));
      return next.has_value();
    });
    const std::size_t consumed = pass.Through + 1;
    if (consumed > Rx.size() || consumed < 2 || Rx.compare(consumed - 2, 2, "\r\n") != 0) {
      Fail("a pass consumed text that does not end with CR LF", Rx);
    }
    for (const TLine& line : lines) {
      const bool emptyAtEnd = line.Text.empty() && line.EndPos + 1 >= Rx.size();
      if (!emptyAtEnd &&
          (line.EndPos >= Rx.size() || line.Text.size() > line.EndPos + 1 ||
           Rx.compare(line.EndPos + 1 - line.Text.size(), line.Text.size(), line.Text) != 0 ||
           !line.Text.ends_with("\r\n"))) {
        Fail("a framed line that is not a complete line of the text", line.Text);
      }
    }
    const std::string_view taken = std::string_view(Rx).substr(0, consumed);
    std::string event;
    int index = pass.Index;
    if (pass.Kind == TPassResult::Reply || pass.Kind == TPassResult::Refusal ||
        pass.Kind == TPassResult::Ambiguous) {
      if (pass.Awaited >= Awaited.size()) Fail("an awaited command that was not awaited", taken);
      index = Awaited[pass.Awaited];
    }
    switch (pass.Kind) {
      case TPassResult::Reply:
      case TPassResult::OtherReply:
        if (pass.Groups.empty() || taken.find(pass.Groups[0]) == std::string_view::npos) {
          Fail("a match outside the consumed lines", taken);
        }
        if (pass.Kind == TPassResult::OtherReply && !InStep) {
          Fail("a stray reply delivered while the line is out of step", taken);
        }
        event = (pass.Kind == TPassResult::Reply ? "reply " : "other ") + std::to_string(index);
        for (const std::string& group : pass.Groups) {
          if (group.size() > ShortStringMax) Fail("a group longer than 255 characters", group);
          event += "|" + group;
        }
        break;
      case TPassResult::Refusal:
        if (text::TrimControls(taken) != "ERROR") Fail("a refusal that is no ERROR", taken);
        if (Awaited.size() != 1) Fail("a refusal with several commands awaited", taken);
        event = "refused " + std::to_string(index);
        break;
      case TPassResult::Ambiguous:
        if (consumed != lines[0].Text.size()) Fail("an ambiguous drop of more than a line", taken);
        event = "ambiguous " + std::to_string(index);
        break;
      case TPassResult::Dropped:
        if (consumed != lines[0].Text.size()) Fail("a drop of more than the first line", taken);
        event = "dropped";
        break;
    }
    if (index >= 0 && List[static_cast<std::size_t>(index)].Lines > 1) SeveralLines = true;
    for (const TCommandSyntax& cmd : List) {
      TLaserMsg groups;
      if (cmd.Lines > 1 && lines.size() >= cmd.Lines &&
          MatchReply(cmd, false, JoinLines(lines, cmd.Lines), groups) == TReplyKind::Reply) {
        SeveralLines = true;  // fits, though perhaps not delivered for fitting others too
      }
    }
    Events.push_back(std::move(event));
    // Settled as the matching thread settles: that command and every one before it.
    if (pass.Kind == TPassResult::Reply || pass.Kind == TPassResult::Refusal) {
      Awaited.erase(Awaited.begin(), Awaited.begin() + static_cast<long>(pass.Awaited) + 1);
      if (Awaited.empty()) InStep = true;
    } else if (pass.Kind == TPassResult::Ambiguous) {
      Awaited.erase(Awaited.begin(), Awaited.begin() + static_cast<long>(pass.Awaited));
    }
    Rx.erase(0, consumed);
    Consumed += consumed;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  if (size < 4) return 0;
  const TCommandList::TEntries& list = CommandSet(data[0] % 4);
  const bool inStep = (data[0] & 4) == 0;
  // In step at most the pending command is awaited; out of step a late one and sync reads too.
  const std::size_t count = inStep ? (data[0] >> 3) % 2 : 1 + (data[0] >> 3) % 3;
  std::vector<int> awaited;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t pick = data[1 + i % 2] % (list.size() + 1);
    awaited.push_back(pick == list.size() ? -1 : static_cast<int>(pick));
  }
  std::size_t lengthCount = data[3] % 16;
  std::size_t at = 4;
  std::vector<std::size_t> lengths;
  for (; lengths.size() < lengthCount && at < size; ++at) lengths.push_back(data[at] % 128 + 1);
  if (lengths.empty()) lengths.push_back(128);
  const std::string_view text(reinterpret_cast<const char*>(data) + at, size - at);

  TRun chunked(list, awaited, inStep);
  for (std::size_t from = 0, k = 0; from < text.size(); ++k) {
    const std::size_t n = std::min(lengths[k % lengths.size()], text.size() - from);
    chunked.Feed(text.substr(from, n));
    from += n;
  }
  TRun whole(list, awaited, inStep);
  whole.Feed(text);

  // Lines of one reply split over chunks get a grace in the real thread, which is not modelled:
  // only single-line replies must come out the same whatever the chunking.
  const bool awaitedSeveral = std::any_of(awaited.begin(), awaited.end(), [&](int i) {
    return i >= 0 && list[static_cast<std::size_t>(i)].Lines > 1;
  });
  if (!awaitedSeveral && !whole.SeveralLines && !chunked.SeveralLines &&
      (whole.Codes != chunked.Codes || whole.Events != chunked.Events || whole.Rx != chunked.Rx)) {
    Fail("the chunking changed what was delivered", text);
  }
  return 0;
}
