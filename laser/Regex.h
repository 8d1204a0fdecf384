// Reply patterns over PCRE2 (8-bit), with the laser protocol's matching settings: multi-line on,
// "." not matching a line break, case-sensitive, and every quantifier lazy.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TRegexCode;  // compiled pattern, shared through the cache

struct TRegexMatch {
  // Groups 0..Highest, each cut to 255 characters; a group that took no part is empty.
  std::vector<std::string> Groups;
  int Highest = -1;       // highest-numbered group that took part (0 when only the whole match)
  std::size_t Start = 0;  // offsets of the whole match in the subject
  std::size_t End = 0;
};

class TRegex {
 public:
  TRegex() = default;
  // Compiles (or takes from the cache) the pattern. An invalid pattern matches nothing.
  explicit TRegex(std::string_view pattern);

  bool Valid() const { return FCode != nullptr; }
  const std::string& Pattern() const { return FPattern; }
  // The compiler's complaint about an invalid pattern (empty when valid).
  const std::string& Error() const { return FError; }
  // Number of capture groups of the pattern (0 when invalid).
  int CaptureCount() const;

  // Searches `subject` from `offset`. Hitting the match limit counts as no match.
  bool Search(std::string_view subject, TRegexMatch& match, std::size_t offset = 0) const;
  bool Search(std::string_view subject) const;

 private:
  std::string FPattern;
  std::string FError;
  std::shared_ptr<const TRegexCode> FCode;
};

// Rewrites a pattern so that every greedy quantifier (*, +, ?, {n}, {n,}, {n,m}) becomes lazy;
// lazy and possessive ones stay. The pattern is read as PCRE2 reads it (escapes and \Q..\E,
// classes, group syntax, conditions, verbs, callouts, comments, the x and xx options), so
// nothing else changes: a pattern compiles exactly when its rewrite does. The U option is
// dropped from option settings, since under it a "?" after a quantifier would mean greedy.
std::string MakeQuantifiersLazy(std::string_view pattern);

// The match limit that bounds a pathological pattern.
inline constexpr unsigned RegexMatchLimit = 100'000;
