#define PCRE2_CODE_UNIT_WIDTH 8
#include "laser/Regex.h"

#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <unordered_map>

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

// Length of a valid counted quantifier ("{n}", "{n,}", "{n,m}") at `at`, or 0.
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

// Length of the escape sequence that starts with the backslash at `at`.
std::size_t EscapeLength(std::string_view p, std::size_t at) {
  if (at + 1 >= p.size()) return p.size() - at;
  const char c = p[at + 1];
  const std::size_t next = at + 2;
  if (c == 'Q') {
    const std::size_t end = p.find("\\E", next);
    return (end == std::string_view::npos ? p.size() : end + 2) - at;
  }
  if (c == 'c') return std::min(p.size(), next + 1) - at;  // \cX: X is any character
  if (next < p.size()) {
    const char open = p[next];
    if (open == '{' && std::string_view("xopPNgk").find(c) != std::string_view::npos) {
      return SkipTo(p, next, '}') - at;
    }
    if ((c == 'g' || c == 'k') && (open == '<' || open == '\'')) {
      return SkipTo(p, next + 1, open == '<' ? '>' : '\'') - at;
    }
    if (c == 'g' && (open == '+' || open == '-')) {
      std::size_t i = next + 1;
      while (i < p.size() && IsDigit(p[i])) ++i;
      return i - at;
    }
  }
  return 2;
}

// Length of a character class starting with the "[" at `at`.
std::size_t ClassLength(std::string_view p, std::size_t at) {
  std::size_t i = at + 1;
  if (i < p.size() && p[i] == '^') ++i;
  if (i < p.size() && p[i] == ']') ++i;  // a leading "]" is literal
  while (i < p.size()) {
    const char c = p[i];
    if (c == '\\') {
      i += EscapeLength(p, i);
    } else if (c == '[' && i + 1 < p.size() &&
               (p[i + 1] == ':' || p[i + 1] == '.' || p[i + 1] == '=')) {
      const std::size_t end = p.find(std::string{p[i + 1], ']'}, i + 2);
      i = end == std::string_view::npos ? i + 1 : end + 2;
    } else if (c == ']') {
      return i + 1 - at;
    } else {
      ++i;
    }
  }
  return p.size() - at;
}

// Length of the syntax that opens a group at the "(" at `at`, up to where its body begins.
std::size_t GroupOpenLength(std::string_view p, std::size_t at) {
  const std::size_t n = p.size();
  std::size_t i = at + 1;
  if (i >= n) return 1;
  if (p[i] == '*') return SkipTo(p, i, ')') - at;  // (*VERB) or (*positive_lookahead:
  if (p[i] != '?') return 1;
  ++i;
  if (i >= n) return i - at;
  const char c = p[i];
  if (c == '#') return SkipTo(p, i, ')') - at;  // comment
  // References and recursion: (?R) (?1) (?+1) (?-1) (?&name) (?P>name) (?P=name)
  if (c == 'R' || IsDigit(c) || c == '&' ||
      ((c == '+' || c == '-') && i + 1 < n && IsDigit(p[i + 1])) ||
      (c == 'P' && i + 1 < n && (p[i + 1] == '>' || p[i + 1] == '='))) {
    return SkipTo(p, i, ')') - at;
  }
  if (c == '<' && i + 1 < n && (p[i + 1] == '=' || p[i + 1] == '!')) return i + 2 - at;
  if (c == '<') return SkipTo(p, i + 1, '>') - at;
  if (c == 'P' && i + 1 < n && p[i + 1] == '<') return SkipTo(p, i + 2, '>') - at;
  if (c == '\'') return SkipTo(p, i + 1, '\'') - at;
  if (c == ':' || c == '=' || c == '!' || c == '>' || c == '|') return i + 1 - at;
  if (c == '(') {
    // Condition: a name or number in parentheses, or an assertion that the main loop copies.
    if (i + 1 < n && p[i + 1] == '?') return i + 1 - at;
    return SkipTo(p, i + 1, ')') - at;
  }
  // Option settings: (?i) (?-i) (?i:...) (?^...)
  while (i < n && (std::isalpha(static_cast<unsigned char>(p[i])) || p[i] == '-' || p[i] == '^'))
    ++i;
  if (i < n && (p[i] == ')' || p[i] == ':')) ++i;
  return i - at;
}

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

std::string MakeQuantifiersLazy(std::string_view p) {
  std::string out;
  out.reserve(p.size() + p.size() / 4);
  std::size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    std::size_t quantifier = 0;
    if (c == '\\') {
      const std::size_t len = EscapeLength(p, i);
      out.append(p.substr(i, len));
      i += len;
      continue;
    }
    if (c == '[') {
      const std::size_t len = ClassLength(p, i);
      out.append(p.substr(i, len));
      i += len;
      continue;
    }
    if (c == '(') {
      const std::size_t len = GroupOpenLength(p, i);
      out.append(p.substr(i, len));
      i += len;
      continue;
    }
    if (c == '*' || c == '+' || c == '?') {
      quantifier = 1;
    } else if (c == '{') {
      quantifier = CountedQuantifierLength(p, i);
    }
    if (quantifier == 0) {
      out.push_back(c);
      ++i;
      continue;
    }
    out.append(p.substr(i, quantifier));
    i += quantifier;
    if (i < p.size() && (p[i] == '?' || p[i] == '+')) {
      out.push_back(p[i]);  // lazy or possessive already
      ++i;
    } else {
      out.push_back('?');
    }
  }
  return out;
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
  thread_local TMatchData matchData;
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
