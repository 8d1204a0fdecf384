// Reply patterns come from the operator's template files, so anything may arrive here. The input
// is a pattern, optionally followed by a NUL and a subject to match (without one, the pattern is
// matched against itself).
//
// Checked for every input:
//  - the lazy rewrite and PCRE2 compile and match never crash, leak or hang;
//  - a pattern compiles exactly when its rewrite compiles, with the same groups;
//  - the rewrite of a rewrite changes nothing;
//  - every quantifier of the rewrite is lazy or possessive: for a pattern written without "?"
//    quantifiers (so without lazy ones) and without the U option, PCRE2's own ungreedy mode must
//    match exactly as the rewrite does.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "laser/Regex.h"

namespace {

struct TCompiled {
  pcre2_code* Code = nullptr;
  explicit TCompiled(std::string_view pattern, std::uint32_t options) {
    static pcre2_compile_context* context = [] {
      pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
      pcre2_set_newline(c, PCRE2_NEWLINE_ANYCRLF);  // as TRegex compiles
      return c;
    }();
    int error = 0;
    PCRE2_SIZE offset = 0;
    Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                         PCRE2_MULTILINE | options, &error, &offset, context);
  }
  ~TCompiled() { pcre2_code_free(Code); }
  TCompiled(const TCompiled&) = delete;
  TCompiled& operator=(const TCompiled&) = delete;
  std::uint32_t Info(std::uint32_t what) const {
    std::uint32_t value = 0;
    pcre2_pattern_info(Code, what, &value);
    return value;
  }
};

[[noreturn]] void Fail(const char* what, std::string_view pattern, std::string_view rewrite) {
  std::fprintf(stderr, "%s\n  pattern: %.*s\n  rewrite: %.*s\n", what,
               static_cast<int>(pattern.size()), pattern.data(), static_cast<int>(rewrite.size()),
               rewrite.data());
  std::abort();
}

// Interpreted matching (no JIT) with the production limits, so both sides count alike.
struct TResult {
  int Rc = 0;
  std::string Ovector;
};

TResult Match(const TCompiled& compiled, std::string_view subject) {
  static pcre2_match_context* context = [] {
    pcre2_match_context* c = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(c, 100'000);
    pcre2_set_depth_limit(c, 10'000);
    pcre2_set_heap_limit(c, 64 * 1024);
    return c;
  }();
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(compiled.Code, nullptr);
  TResult result;
  result.Rc = pcre2_match(compiled.Code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                          subject.size(), 0, 0, data, context);
  if (result.Rc > 0) {
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    for (int k = 0; k < 2 * result.Rc; ++k) result.Ovector += std::to_string(ovector[k]) + ",";
  }
  pcre2_match_data_free(data);
  return result;
}

// True when the pattern may hold a lazy quantifier or the U option, so that the ungreedy mode
// would not mean the same as the rewrite. A "?" that does not open group syntax may be a lazy
// marker (also apart from its quantifier: "a* (?#c) ?"), so only patterns without one qualify.
bool MayHoldLazyOrUngreedy(std::string_view p) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '?' && (i == 0 || p[i - 1] != '(')) return true;
  }
  return p.find('U') != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view pattern = input.substr(0, nul);
  const std::string_view subject = nul == std::string_view::npos ? input : input.substr(nul + 1);

  const std::string rewrite = MakeQuantifiersLazy(pattern);
  const TCompiled original(pattern, 0);
  const TCompiled lazy(rewrite, 0);
  if ((original.Code != nullptr) != (lazy.Code != nullptr)) {
    Fail(original.Code ? "the rewrite of a valid pattern does not compile"
                       : "the rewrite of an invalid pattern compiles",
         pattern, rewrite);
  }
  if (MakeQuantifiersLazy(rewrite) != rewrite) Fail("the rewrite is not stable", pattern, rewrite);

  // The production path: cache, JIT, groups cut to length.
  const TRegex regex(pattern);
  if (regex.Valid() != (lazy.Code != nullptr)) Fail("TRegex disagrees", pattern, rewrite);
  TRegexMatch match;
  regex.Search(subject, match);

  if (original.Code == nullptr) return 0;
  if (original.Info(PCRE2_INFO_CAPTURECOUNT) != lazy.Info(PCRE2_INFO_CAPTURECOUNT) ||
      original.Info(PCRE2_INFO_NAMECOUNT) != lazy.Info(PCRE2_INFO_NAMECOUNT)) {
    Fail("the rewrite changed the groups", pattern, rewrite);
  }
  if (MayHoldLazyOrUngreedy(pattern)) return 0;
  const TCompiled ungreedy(pattern, PCRE2_UNGREEDY);
  if (ungreedy.Code == nullptr) Fail("the pattern does not compile ungreedy", pattern, rewrite);
  const TResult expected = Match(ungreedy, subject);
  const TResult got = Match(lazy, subject);
  if (expected.Rc != got.Rc || expected.Ovector != got.Ovector) {
    Fail("the rewrite matches unlike the ungreedy pattern", pattern, rewrite);
  }
  return 0;
}
