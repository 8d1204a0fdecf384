#define PCRE2_CODE_UNIT_WIDTH 8
#include "laser/Regex.h"

#include <pcre2.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "laser/Commands.h"

struct TRegexCode {
  pcre2_code* Code = nullptr;
  std::uint32_t CaptureCount = 0;
  explicit TRegexCode(pcre2_code* code) : Code(code) {
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &CaptureCount);
  }
  ~TRegexCode() { pcre2_code_free(Code); }
  TRegexCode(const TRegexCode&) = delete;
  TRegexCode& operator=(const TRegexCode&) = delete;
};

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsWordChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Length of a counted quantifier ("{n}", "{n,}", "{n,m}") at `at`, or 0 when the brace is a
// literal. These are the forms of the PCRE2 release we build with (10.42); later releases also
// read "{,m}" and blanks inside the braces, which this must learn before such a library is used.
std::size_t CountedQuantifierLength(std::string_view p, std::size_t at) {
  std::size_t i = at + 1;
  const std::size_t firstDigit = i;
  while (i < p.size() && IsDigit(p[i])) ++i;
  if (i == firstDigit || i >= p.size()) return 0;
  if (p[i] == '}') return i + 1 - at;
  if (p[i] != ',') return 0;
  ++i;
  while (i < p.size() && IsDigit(p[i])) ++i;
  if (i < p.size() && p[i] == '}') return i + 1 - at;
  return 0;
}

// Index just past the first `close` at or after `from` (or the end of the pattern).
std::size_t SkipTo(std::string_view p, std::size_t from, char close) {
  const std::size_t at = p.find(close, from);
  return at == std::string_view::npos ? p.size() : at + 1;
}

// Names that open a group after "(*" (PCRE2 reads them in lower case only).
bool IsAlphaGroupName(std::string_view name) {
  static constexpr std::string_view names[] = {"pla",
                                               "plb",
                                               "nla",
                                               "nlb",
                                               "napla",
                                               "naplb",
                                               "positive_lookahead",
                                               "positive_lookbehind",
                                               "negative_lookahead",
                                               "negative_lookbehind",
                                               "non_atomic_positive_lookahead",
                                               "non_atomic_positive_lookbehind",
                                               "atomic",
                                               "sr",
                                               "asr",
                                               "script_run",
                                               "atomic_script_run"};
  for (std::string_view n : names) {
    if (n == name) return true;
  }
  return false;
}

enum class TNewline { CR, LF, CRLF, AnyCrLf, Any, Nul };

// Walks a pattern the way PCRE2 10.42 parses it and writes it out with every quantifier made
// lazy. Only what decides where quantifiers are is tracked: escapes and \Q..\E, classes, the
// syntax that opens groups, verbs and callouts, comments, and the options that change the
// syntax ("x", "xx") or the meaning of "?" after a quantifier ("U").
class TLazyRewriter {
 public:
  explicit TLazyRewriter(std::string_view pattern) : P(pattern) {}

  std::string Run() {
    Out.reserve(P.size() + P.size() / 4 + 4);
    StartItems();
    while (I < P.size()) {
      if (SkipIgnorable()) continue;
      const char c = P[I];
      if (c == '*' || c == '+' || c == '?') {
        Quantifier(1);
      } else if (c == '{') {
        const std::size_t length = CountedQuantifierLength(P, I);
        if (length != 0) {
          Quantifier(length);
        } else {
          Copy(1);
        }
      } else if (c == '\\') {
        Escape();
      } else if (c == '[') {
        Class();
      } else if (c == '(') {
        Group();
      } else if (c == ')') {
        Copy(1);
        Pop();
      } else {
        Copy(1);
      }
    }
    return std::move(Out);
  }

 private:
  struct TSyntax {
    bool Extended = false;      // (?x): blanks and #-comments are ignored
    bool ExtendedMore = false;  // (?xx): blanks are ignored inside classes too
  };

  std::string_view P;
  std::size_t I = 0;
  std::string Out;
  bool Utf = false;
  TNewline Newline = TNewline::AnyCrLf;  // what TRegex sets in the compile context
  TSyntax Syntax;
  std::vector<TSyntax> Stack;  // the options outside each open group

  void Copy(std::size_t length) {
    length = std::min(length, P.size() - I);
    Out.append(P.substr(I, length));
    I += length;
  }
  void CopyTo(std::size_t end) { Copy(end - I); }
  bool At(std::size_t at, std::string_view text) const { return P.substr(at, text.size()) == text; }
  char Char(std::size_t at) const { return at < P.size() ? P[at] : '\0'; }

  void Push() { Stack.push_back(Syntax); }
  void Pop() {
    if (Stack.empty()) return;  // an unmatched ")" is the compiler's to report
    Syntax = Stack.back();
    Stack.pop_back();
  }

  // (*UTF), (*CRLF), (*LIMIT_MATCH=10) ... at the very start of the pattern.
  void StartItems() {
    static constexpr struct {
      std::string_view Name;
      int Newline;  // -1: none
      bool Utf;
      bool Number;
    } items[] = {
        {"UTF)", -1, true, false},
        {"UCP)", -1, false, false},
        {"NOTEMPTY)", -1, false, false},
        {"NOTEMPTY_ATSTART)", -1, false, false},
        {"NO_AUTO_POSSESS)", -1, false, false},
        {"NO_DOTSTAR_ANCHOR)", -1, false, false},
        {"NO_JIT)", -1, false, false},
        {"NO_START_OPT)", -1, false, false},
        {"LIMIT_HEAP=", -1, false, true},
        {"LIMIT_MATCH=", -1, false, true},
        {"LIMIT_DEPTH=", -1, false, true},
        {"LIMIT_RECURSION=", -1, false, true},
        {"CR)", static_cast<int>(TNewline::CR), false, false},
        {"LF)", static_cast<int>(TNewline::LF), false, false},
        {"CRLF)", static_cast<int>(TNewline::CRLF), false, false},
        {"ANY)", static_cast<int>(TNewline::Any), false, false},
        {"NUL)", static_cast<int>(TNewline::Nul), false, false},
        {"ANYCRLF)", static_cast<int>(TNewline::AnyCrLf), false, false},
        {"BSR_ANYCRLF)", -1, false, false},
        {"BSR_UNICODE)", -1, false, false},
    };
    while (At(I, "(*")) {
      bool found = false;
      for (const auto& item : items) {
        if (!At(I + 2, item.Name)) continue;
        std::size_t end = I + 2 + item.Name.size();
        if (item.Number) {
          while (end < P.size() && IsDigit(P[end])) ++end;
          if (Char(end) != ')') return;  // malformed: the compiler reports it
          ++end;
        }
        if (item.Newline >= 0) Newline = static_cast<TNewline>(item.Newline);
        Utf = Utf || item.Utf;
        CopyTo(end);
        found = true;
        break;
      }
      if (!found) return;
    }
  }

  std::size_t CharLength(std::size_t at) const {
    const auto c = static_cast<unsigned char>(P[at]);
    std::size_t length = 1;
    if (Utf) {
      if (c >= 0xF0) {
        length = 4;
      } else if (c >= 0xE0) {
        length = 3;
      } else if (c >= 0xC0) {
        length = 2;
      }
    }
    return std::min(length, P.size() - at);
  }

  // Length of the pattern white space at `at` that (?x) ignores, or 0.
  std::size_t BlankLength(std::size_t at) const {
    const auto c = static_cast<unsigned char>(P[at]);
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    if (!Utf) return c == 0x85 ? 1 : 0;  // NEL
    if (At(at, "\xC2\x85")) return 2;
    if (At(at, "\xE2\x80\x8E") || At(at, "\xE2\x80\x8F") || At(at, "\xE2\x80\xA8") ||
        At(at, "\xE2\x80\xA9")) {
      return 3;  // LRM, RLM, LS, PS
    }
    return 0;
  }

  // Length of the newline at `at` under the pattern's newline convention, or 0.
  std::size_t NewlineLength(std::size_t at) const {
    const char c = P[at];
    switch (Newline) {
      case TNewline::CR:
        return c == '\r' ? 1 : 0;
      case TNewline::LF:
        return c == '\n' ? 1 : 0;
      case TNewline::CRLF:
        return At(at, "\r\n") ? 2 : 0;
      case TNewline::Nul:
        return c == '\0' ? 1 : 0;
      case TNewline::AnyCrLf:
      case TNewline::Any:
        if (c == '\r') return Char(at + 1) == '\n' ? 2 : 1;
        if (c == '\n') return 1;
        if (Newline == TNewline::AnyCrLf) return 0;
        if (c == '\v' || c == '\f') return 1;
        if (!Utf) return static_cast<unsigned char>(c) == 0x85 ? 1 : 0;
        if (At(at, "\xC2\x85")) return 2;
        if (At(at, "\xE2\x80\xA8") || At(at, "\xE2\x80\xA9")) return 3;
        return 0;
    }
    return 0;
  }

  // Copies what PCRE2 skips between items: (?#...) comments, \E, an empty \Q\E and, with (?x),
  // blanks and #-comments. A quantifier and its lazy or possessive "?" or "+" may stand on
  // either side of such text and still belong together.
  bool SkipIgnorable() {
    if (At(I, "(?#")) {
      CopyTo(SkipTo(P, I + 3, ')'));
      return true;
    }
    if (At(I, "\\E")) {
      Copy(2);
      return true;
    }
    if (At(I, "\\Q\\E")) {
      Copy(4);
      return true;
    }
    if (!Syntax.Extended) return false;
    if (const std::size_t blank = BlankLength(I); blank != 0) {
      Copy(blank);
      return true;
    }
    if (P[I] != '#') return false;
    std::size_t at = I + 1;
    while (at < P.size()) {
      if (const std::size_t newline = NewlineLength(at); newline != 0) {
        at += newline;
        break;
      }
      at += CharLength(at);
    }
    CopyTo(at);
    return true;
  }

  // A quantifier of `length` characters at I: copied, then made lazy unless a "?" (lazy) or
  // "+" (possessive) already follows it.
  void Quantifier(std::size_t length) {
    Copy(length);
    const std::size_t end = Out.size();
    while (I < P.size() && SkipIgnorable()) {
    }
    if (I < P.size() && (P[I] == '?' || P[I] == '+')) {
      Copy(1);
    } else {
      Out.insert(end, 1, '?');
    }
  }

  // End of the escape sequence that starts with the backslash at `at`. \Q starts quoted text,
  // which runs to \E or to the end of the pattern. In a class, "\g" is just a "g".
  std::size_t EscapeEnd(std::size_t at, bool inClass) const {
    const std::size_t n = P.size();
    if (at + 1 >= n) return n;
    const char c = P[at + 1];
    const std::size_t next = at + 2;
    const char open = Char(next);
    switch (c) {
      case 'Q': {
        const std::size_t end = P.find("\\E", next);
        return end == std::string_view::npos ? n : end + 2;
      }
      case 'c':  // \cX: X is any character, "\" and quantifier characters included
        return std::min(n, next + 1);
      case 'x':
      case 'o':
        return open == '{' ? SkipTo(P, next, '}') : next;
      case 'p':
      case 'P':
        return open == '{' ? SkipTo(P, next, '}') : std::min(n, next + 1);
      case 'N':
        // \N{U+hh} names a character, but \N{3} is "\N" three times.
        if (open == '{' && CountedQuantifierLength(P, next) == 0) return SkipTo(P, next, '}');
        return next;
      case 'g':
      case 'k':
        if (inClass && c == 'g') return next;
        if (open == '{') return SkipTo(P, next + 1, '}');
        if (open == '<') return SkipTo(P, next + 1, '>');
        if (open == '\'') return SkipTo(P, next + 1, '\'');
        if (c == 'g' && (open == '+' || open == '-')) {
          std::size_t i = next + 1;
          while (i < n && IsDigit(P[i])) ++i;
          return i;
        }
        return next;
      default:
        return next;
    }
  }

  void Escape() { CopyTo(EscapeEnd(I, false)); }

  // End of a POSIX class name ("[:alpha:]") whose "[" is at `at`, or 0 when PCRE2 would read
  // the "[" as a plain character.
  std::size_t PosixEnd(std::size_t at) const {
    const char terminator = Char(at + 1);
    if (terminator != ':' && terminator != '.' && terminator != '=') return 0;
    if (P.size() - (at + 1) < 3) return 0;
    for (std::size_t i = at + 2; P.size() - i >= 2; ++i) {
      if (P[i] == '\\' && (P[i + 1] == ']' || P[i + 1] == '\\')) {
        ++i;
      } else if ((P[i] == '[' && P[i + 1] == terminator) || P[i] == ']') {
        return 0;
      } else if (P[i] == terminator && P[i + 1] == ']') {
        return i + 2;
      }
    }
    return 0;
  }

  // A character class: nothing in it is a quantifier or a group.
  void Class() {
    if (At(I, "[[:<:]]") || At(I, "[[:>:]]")) {  // word boundaries in old notation
      Copy(7);
      return;
    }
    std::size_t i = I + 1;
    bool negated = false;
    for (;;) {  // what may come before the first member
      if (At(i, "\\E")) {
        i += 2;
      } else if (At(i, "\\Q\\E")) {
        i += 4;
      } else if (Syntax.ExtendedMore && (Char(i) == ' ' || Char(i) == '\t')) {
        ++i;
      } else if (!negated && Char(i) == '^') {
        negated = true;
        ++i;
      } else {
        break;
      }
    }
    if (Char(i) == ']') ++i;  // a "]" as the first member is a character
    const std::size_t n = P.size();
    while (i < n) {
      const char c = P[i];
      if (c == ']') {
        ++i;
        break;
      }
      if (c == '\\') {
        i = EscapeEnd(i, true);
      } else if (c == '[' && PosixEnd(i) != 0) {
        i = PosixEnd(i);
      } else {
        ++i;
      }
    }
    CopyTo(i);
  }

  // Option letters after "(?" at `at`, up to ")" or ":". Applies x/xx to `Syntax` and writes
  // them again without "U": reply patterns are always lazy, and under U a "?" after a
  // quantifier would make it greedy again. The x letters are written as one "x" or "xx" after
  // the others, so that dropping a "U" never joins "xUx" into "xx". Returns false when the text
  // is no valid option setting; it is then left alone for the compiler to report.
  bool Options(std::size_t at) {
    std::size_t i = at;
    const bool caret = Char(i) == '^';
    if (caret) ++i;
    bool hyphen = false;
    bool setX = false, setXX = false, unsetX = false;
    std::string set, unset;
    for (; i < P.size() && P[i] != ')' && P[i] != ':'; ++i) {
      const char c = P[i];
      if (c == '-') {
        if (hyphen || caret) return false;
        hyphen = true;
      } else if (c == 'x') {
        const bool twice = Char(i + 1) == 'x';
        if (twice) ++i;
        if (hyphen) {
          unsetX = true;
        } else {
          setX = true;
          setXX = setXX || twice;
        }
      } else if (std::string_view("imnsJU").find(c) == std::string_view::npos) {
        return false;
      } else if (c != 'U') {
        (hyphen ? unset : set) += c;
      }
    }
    if (i >= P.size()) return false;
    if (P[i] == ':') Push();  // options for the group it opens
    if (caret) Syntax = TSyntax{};
    if (setX) Syntax = TSyntax{true, setXX};
    if (unsetX) Syntax = TSyntax{};
    Out.append(P.substr(I, at - I));
    if (caret) Out += '^';
    Out += set;
    if (setX) Out += setXX ? "xx" : "x";
    if (hyphen) {
      Out += '-';
      Out += unset;
      if (unsetX) Out += 'x';
    }
    Out += P[i];
    I = i + 1;
    return true;
  }

  // A callout "(?C...)" at I: a number, or a string in delimiters in which a doubled delimiter
  // stands for itself.
  void Callout() {
    std::size_t i = I + 3;
    const char open = Char(i);
    if (std::string_view("`'\"^%#$").find(open) != std::string_view::npos || open == '{') {
      const char close = open == '{' ? '}' : open;
      ++i;
      while (i < P.size()) {
        if (P[i] == close) {
          if (Char(i + 1) != close) break;
          ++i;
        }
        ++i;
      }
      if (i < P.size()) ++i;
      if (Char(i) == ')') ++i;
      CopyTo(i);
      return;
    }
    CopyTo(SkipTo(P, i, ')'));
  }

  // A "(" at I: a group, an assertion, a condition, a reference or call, a verb or a callout.
  void Group() {
    const char c1 = Char(I + 1);
    if (c1 == '*') {
      const char c2 = Char(I + 2);
      if (I + 2 >= P.size() || c2 == ')') {  // "(*)": a group and a quantifier
        Copy(1);
        Push();
        return;
      }
      if (c2 >= 'a' && c2 <= 'z') {  // (*pla: ... and the other alphabetic assertions
        std::size_t end = I + 2;
        while (end < P.size() && IsWordChar(P[end])) ++end;
        if (Char(end) == ':' && IsAlphaGroupName(P.substr(I + 2, end - I - 2))) {
          CopyTo(end + 1);
          Push();
          return;
        }
      }
      CopyTo(SkipTo(P, I + 2, ')'));  // a verb: (*ACCEPT), (*MARK:name) ...
      return;
    }
    if (c1 != '?') {  // a capture group
      Copy(1);
      Push();
      return;
    }
    const std::size_t at = I + 2;
    const char c = Char(at);
    const char next = Char(at + 1);
    if (at >= P.size()) {
      Copy(2);
      return;
    }
    switch (c) {
      case ':':
      case '|':
      case '>':
      case '=':
      case '!':
      case '*':
        Copy(3);
        Push();
        return;
      case '<':
        if (next == '=' || next == '!' || next == '*') {
          Copy(4);
        } else {
          CopyTo(SkipTo(P, at + 1, '>'));  // (?<name>
        }
        Push();
        return;
      case '\'':
        CopyTo(SkipTo(P, at + 1, '\''));  // (?'name'
        Push();
        return;
      case 'P':
        if (next == '<') {
          CopyTo(SkipTo(P, at + 2, '>'));  // (?P<name>
          Push();
        } else {
          CopyTo(SkipTo(P, at, ')'));  // (?P=name) (?P>name)
        }
        return;
      case '&':
      case 'R':
        CopyTo(SkipTo(P, at, ')'));  // (?&name) (?R)
        return;
      case 'C':
        Callout();
        return;
      case '(':
        // A condition. An assertion as condition is a group of its own, read next.
        if (next == '?' || next == '*') {
          Copy(2);
        } else {
          CopyTo(SkipTo(P, at + 1, ')'));  // (?(1) (?(<name>) (?(R) (?(DEFINE) ...
        }
        Push();
        return;
      default:
        break;
    }
    if (IsDigit(c) || ((c == '+' || c == '-') && IsDigit(next))) {
      CopyTo(SkipTo(P, at, ')'));  // (?1) (?+1) (?-1)
      return;
    }
    if (!Options(at)) Copy(2);
  }
};

struct TCache {
  std::mutex Lock;
  std::unordered_map<std::string, std::shared_ptr<const TRegexCode>> Codes;
  std::unordered_map<std::string, std::string> Errors;
};

TCache& Cache() {
  static TCache cache;
  return cache;
}

// Patterns come from the built-in tables and from a user's template files; a bound keeps
// a long session with many templates from growing the cache without limit.
constexpr std::size_t CacheLimit = 1024;

// The line carries CR LF; "^", "$" and "." treat CR, LF and CR LF alike as a line break.
pcre2_compile_context* CompileContext() {
  static pcre2_compile_context* context = [] {
    pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(c, PCRE2_NEWLINE_ANYCRLF);
    return c;
  }();
  return context;
}

pcre2_match_context* MatchContext() {
  static pcre2_match_context* context = [] {
    pcre2_match_context* c = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(c, RegexMatchLimit);
    pcre2_set_depth_limit(c, 10'000);
    pcre2_set_heap_limit(c, 64 * 1024);  // KiB
    return c;
  }();
  return context;
}

// Match data per thread, grown to the largest pattern seen.
struct TMatchData {
  pcre2_match_data* Data = nullptr;
  std::uint32_t Pairs = 0;
  ~TMatchData() { pcre2_match_data_free(Data); }
  pcre2_match_data* For(std::uint32_t pairs) {
    if (pairs > Pairs) {
      pcre2_match_data_free(Data);
      Data = pcre2_match_data_create(pairs, nullptr);
      Pairs = Data ? pairs : 0;
    }
    return Data;
  }
};

}  // namespace

std::string MakeQuantifiersLazy(std::string_view pattern) {
  return TLazyRewriter(pattern).Run();
}

TRegex::TRegex(std::string_view pattern) : FPattern(pattern) {
  TCache& cache = Cache();
  {
    std::lock_guard lock(cache.Lock);
    if (auto it = cache.Codes.find(FPattern); it != cache.Codes.end()) {
      FCode = it->second;
      return;
    }
    if (auto it = cache.Errors.find(FPattern); it != cache.Errors.end()) {
      FError = it->second;
      return;
    }
  }
  const std::string lazy = MakeQuantifiersLazy(pattern);
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(lazy.data()), lazy.size(),
                                   PCRE2_MULTILINE, &errorCode, &errorOffset, CompileContext());
  std::lock_guard lock(cache.Lock);
  if (cache.Codes.size() + cache.Errors.size() >= CacheLimit) {
    cache.Codes.clear();
    cache.Errors.clear();
  }
  if (code == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(errorCode, message, sizeof message);
    FError = reinterpret_cast<const char*>(message);
    FError += " at offset " + std::to_string(errorOffset);
    cache.Errors.emplace(FPattern, FError);
    return;
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // interpreted matching when JIT is unavailable
  FCode = std::make_shared<const TRegexCode>(code);
  cache.Codes.emplace(FPattern, FCode);
}

bool TRegex::Search(std::string_view subject, TRegexMatch& match, std::size_t offset) const {
  match = TRegexMatch{};
  if (!FCode || offset > subject.size()) return false;
#ifdef __MINGW32__
  // MinGW's thread_local destructors can run after its thread-local storage is gone, which
  // crashes a worker thread as it ends: one match block per search there.
  TMatchData matchData;
#else
  thread_local TMatchData matchData;
#endif
  pcre2_match_data* data = matchData.For(FCode->CaptureCount + 1);
  if (data == nullptr) return false;
  const int rc = pcre2_match(FCode->Code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), offset, 0, data, MatchContext());
  if (rc <= 0) return false;  // no match, match limit, or any other failure
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
  match.Highest = rc - 1;
  match.Groups.resize(static_cast<std::size_t>(rc));
  for (int k = 0; k < rc; ++k) {
    const PCRE2_SIZE start = ovector[2 * k];
    const PCRE2_SIZE end = ovector[2 * k + 1];
    if (start == PCRE2_UNSET || end < start) continue;
    match.Groups[static_cast<std::size_t>(k)] = ShortString(subject.substr(start, end - start));
  }
  match.Start = ovector[0];
  match.End = ovector[1] < ovector[0] ? ovector[0] : ovector[1];
  return true;
}

int TRegex::CaptureCount() const {
  return FCode ? static_cast<int>(FCode->CaptureCount) : 0;
}

bool TRegex::Search(std::string_view subject) const {
  TRegexMatch match;
  return Search(subject, match);
}
