#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"
#include "laser/Regex.h"

namespace {

TEST(LazyRewrite, EveryGreedyQuantifierBecomesLazy) {
  struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"a*", "a*?"},
      {"a+", "a+?"},
      {"a?", "a??"},
      {"a*?", "a*?"},
      {"a+?b??", "a+?b??"},
      {"a*+", "a*+"},  // possessive stays
      {"\\d{1,3}", "\\d{1,3}?"},
      {"x{2}", "x{2}?"},
      {"x{2,}", "x{2,}?"},
      {"x{2,5}?", "x{2,5}?"},
      {"x{abc}", "x{abc}"},  // not a quantifier
      {"x{,5}", "x{,5}"},
      {"x{", "x{"},
      {"\\*\\+\\?\\{2\\}", "\\*\\+\\?\\{2\\}"},
      {"[a*+?{1}]", "[a*+?{1}]"},
      {"[]*]+", "[]*]+?"},
      {"[^]*]*", "[^]*]*?"},
      {"[\\]*]+", "[\\]*]+?"},
      {"[[:alpha:]*]+", "[[:alpha:]*]+?"},
      {"(?:ab)+", "(?:ab)+?"},
      {"(?<name>a+)", "(?<name>a+?)"},
      {"(?=a*)", "(?=a*?)"},
      {"(?<=a)b+", "(?<=a)b+?"},
      {"(?i)a+", "(?i)a+?"},
      {"(?#a*)b*", "(?#a*)b*?"},
      {"\\Q*+\\E+", "\\Q*+\\E+?"},
      {"\\x{41}*", "\\x{41}*?"},
      {"\\p{Lu}+", "\\p{Lu}+?"},
      {"(a)\\g{1}+", "(a)\\g{1}+?"},
      {"(a)(?-1)+", "(a)(?-1)+?"},
      {"\\c?a*", "\\c?a*?"},
      {"\\A[ \\t]*?(\\d{1,3}.\\d\\d) A\\Z", "\\A[ \\t]*?(\\d{1,3}?.\\d\\d) A\\Z"},
      {"\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ \\t]*?\\Z",
       "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ \\t]*?\\Z"},
      {".*\\Z", ".*?\\Z"},
      {"", ""},
      {"\\", "\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(MakeQuantifiersLazy(c.In), c.Out) << c.In;
}

// Compiled as TRegex compiles, but without the rewrite.
class TRawPattern {
 public:
  TRawPattern(std::string_view pattern, std::uint32_t options) {
    static pcre2_compile_context* context = [] {
      pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
      pcre2_set_newline(c, PCRE2_NEWLINE_ANYCRLF);
      return c;
    }();
    int error = 0;
    PCRE2_SIZE offset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                          PCRE2_MULTILINE | options, &error, &offset, context);
  }
  ~TRawPattern() { pcre2_code_free(FCode); }
  TRawPattern(const TRawPattern&) = delete;
  TRawPattern& operator=(const TRawPattern&) = delete;
  bool Valid() const { return FCode != nullptr; }
  std::uint32_t Captures() const {
    std::uint32_t count = 0;
    pcre2_pattern_info(FCode, PCRE2_INFO_CAPTURECOUNT, &count);
    return count;
  }
  // The return code and every group's offsets.
  std::vector<std::size_t> Match(std::string_view subject) const {
    static pcre2_match_context* context = [] {
      pcre2_match_context* c = pcre2_match_context_create(nullptr);
      pcre2_set_match_limit(c, 100'000);
      return c;
    }();
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(FCode, nullptr);
    const int rc = pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                               0, 0, data, context);
    std::vector<std::size_t> result{static_cast<std::size_t>(rc)};
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    for (int k = 0; k < 2 * rc; ++k) result.push_back(ovector[k]);
    pcre2_match_data_free(data);
    return result;
  }

 private:
  pcre2_code* FCode = nullptr;
};

// Syntax where a quantifier character is not a quantifier, or where a quantifier's "?" or "+"
// stands apart from it. Each line compiles before and after the rewrite.
TEST(LazyRewrite, ReadsPatternsAsPcre2Does) {
  struct {
    const char* In;
    const char* Out;
  } cases[] = {
      // Assertions as conditions.
      {"(?(?=A)AB|CD)", "(?(?=A)AB|CD)"},
      {"(?(?!A)AB|CD)", "(?(?!A)AB|CD)"},
      {"(?(?<=A)AB|CD)", "(?(?<=A)AB|CD)"},
      {"(?(?<!A)AB|CD)", "(?(?<!A)AB|CD)"},
      {"(?(?=A+)A*|C?)", "(?(?=A+?)A*?|C??)"},
      {"(?(*pla:A+)A|B)", "(?(*pla:A+?)A|B)"},
      {"(?(1)A+|B*)(X)", "(?(1)A+?|B*?)(X)"},
      {"(?(R)A+|B)", "(?(R)A+?|B)"},
      {"(?(DEFINE)(?<d>\\d+))(?&d)*", "(?(DEFINE)(?<d>\\d+?))(?&d)*?"},
      // Alphabetic and non-atomic groups.
      {"(*pla:(a+))a", "(*pla:(a+?))a"},
      {"(*napla:a+)b*", "(*napla:a+?)b*?"},
      {"(*atomic:a+)+", "(*atomic:a+?)+?"},
      {"(?*x)y", "(?*x)y"},
      {"(?*x+)y", "(?*x+?)y"},
      {"(?<*a)b+", "(?<*a)b+?"},
      // Verbs: their names are not pattern text.
      {"(*MARK:a+)b+", "(*MARK:a+)b+?"},
      {"(*:x?)a?", "(*:x?)a??"},
      {"(A(*ACCEPT)?B)C", "(A(*ACCEPT)??B)C"},
      // What stands between a quantifier and its "?" or "+" does not separate them.
      {"a+\\E+", "a+\\E+"},
      {"a+\\E?b*", "a+\\E?b*?"},
      {"a*\\Q\\E?", "a*\\Q\\E?"},
      {"a*(?#c)?b", "a*(?#c)?b"},
      {"a*(?#c)b", "a*?(?#c)b"},
      {"a*\\Q?\\E", "a*?\\Q?\\E"},  // a quoted "?" is a character
      {"(?x)a* ?b", "(?x)a* ?b"},
      {"(?x)a* # c\n+b", "(?x)a* # c\n+b"},
      {"(?x)a* # c?\nb", "(?x)a*? # c?\nb"},
      {"(?x)a #)*\n*", "(?x)a #)*\n*?"},
      {"(?x:a #)*\n)*b+", "(?x:a #)*\n)*?b+?"},
      {"(?x)(?-x)a #*", "(?x)(?-x)a #*?"},
      {"(?x:a) #*", "(?x:a) #*?"},  // the option ends with its group
      {"(*CRLF)(?x)a#\r*\r\n*", "(*CRLF)(?x)a#\r*\r\n*?"},
      {"(*LF)(?x)a#\r*", "(*LF)(?x)a#\r*"},
      // The U option would turn a "?" after a quantifier into greedy again.
      {"(?U)a+?b*", "(?)a+?b*?"},
      {"(?iU:a+)b+", "(?i:a+?)b+?"},
      {"(?-U)a+", "(?-)a+?"},
      {"(?^U)a+", "(?^)a+?"},
      {"(?xUx)[ ]+a]", "(?x)[ ]+?a]"},  // not "xx", under which the blank would not count
      {"(?Ui-U)a+", "(?i-)a+?"},
      // Classes, escapes, callouts, names.
      {"[[:a]*:]", "[[:a]*?:]"},  // no POSIX name: the class ends at the first "]"
      {"[\\E]]*", "[\\E]]*?"},
      {"[\\Q]\\E]+", "[\\Q]\\E]+?"},
      {"[\\g<]+(?<n>a)>", "[\\g<]+?(?<n>a)>"},  // in a class \g is a "g", not a reference
      {"(?xx)[ ]a]*", "(?xx)[ ]a]*?"},
      {"[[:<:]]a+", "[[:<:]]a+?"},
      {"\\N{3}", "\\N{3}?"},  // "\\N" three times, unlike "\\N{U+41}"
      {"\\c{a*", "\\c{a*?"},
      {"\\o{101}+", "\\o{101}+?"},
      {"(a)\\g-1+\\g{1}*\\g<1>?", "(a)\\g-1+?\\g{1}*?\\g<1>??"},
      {"(?<n>a)\\k<n>+\\k{n}+\\k'n'+", "(?<n>a)\\k<n>+?\\k{n}+?\\k'n'+?"},
      {"(?P<n>a+)(?P=n)+(?P>n)*", "(?P<n>a+?)(?P=n)+?(?P>n)*?"},
      {"(?C'a)b')x*", "(?C'a)b')x*?"},
      {"(?C{x}}y})z+", "(?C{x}}y})z+?"},
      {"(?|(a)|(b))+(?1)?", "(?|(a)|(b))+?(?1)??"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeQuantifiersLazy(c.In), c.Out) << c.In;
    EXPECT_TRUE(TRawPattern(c.In, 0).Valid()) << c.In;
    EXPECT_TRUE(TRawPattern(c.Out, 0).Valid()) << c.Out;
  }
}

// Random patterns built from PCRE2 syntax, valid and invalid. LazyFree tells whether the pattern
// was written without lazy quantifiers and without the U option.
class TPatternMaker {
 public:
  explicit TPatternMaker(std::uint32_t seed) : FRandom(seed) {}

  std::string Make() {
    LazyFree = true;
    AfterQuantifier = false;
    return Sequence(3);
  }
  bool LazyFree = true;

 private:
  std::mt19937 FRandom;

  template <std::size_t N>
  const char* Pick(const char* const (&items)[N]) {
    return items[FRandom() % N];
  }

  std::string Sequence(int depth) {
    std::string s;
    for (auto n = 1 + FRandom() % 4; n > 0; --n) s += Item(depth);
    return s;
  }

  std::string Item(int depth) {
    std::string s = depth > 0 && FRandom() % 3 == 0 ? Group(depth - 1) : Atom();
    if (FRandom() % 2 == 0) s += Quantifier();
    return s;
  }
  bool AfterQuantifier = false;  // only skipped text since the last quantifier

  std::string Atom() {
    static const char* const atoms[] = {"a",           "b",
                                        ".",           "\\d",
                                        "[ab]",        "[]a]",
                                        "[^]b]",       "[\\E]a]",
                                        "[[:alpha:]]", "[[:a]",
                                        "\\Qa*\\E",    "\\x{61}",
                                        "\\N",         "\\p{L}",
                                        "\\c*",        "\\E",
                                        "\\Q\\E",      "(?#c*)",
                                        " ",           "#c*\n",
                                        "\\ ",         "\\#",
                                        "(*ACCEPT)",   "(*MARK:a+)",
                                        "(?i)",        "(?x)",
                                        "(?xx)",       "(?-x)",
                                        "(?^)",        "\\1",
                                        "(?1)",        "\\g{-1}",
                                        "|",           "^",
                                        "$",           "\\A",
                                        "\\Z",         "\\N{2}",
                                        "(?C1)",       "(?C'a)*')",
                                        "{",           "}",
                                        "{2",          "\r\n",
                                        "(",           ")",
                                        "[",           "(?",
                                        "(*",          "(?<",
                                        "(?(",         "\\",
                                        "(?U)",        "(?-U)",
                                        "(?xUx)",      "[\\g<]",
                                        "[\\c]]",      "[\\p{L}\\x{41}]"};
    const char* atom = Pick(atoms);
    if (std::string_view(atom).find('U') != std::string_view::npos) LazyFree = false;
    // Text that PCRE2 skips keeps a quantifier before it open to a lazy "?" after it.
    static const std::string_view skipped[] = {"\\E", "\\Q\\E", "(?#c*)", " ", "#c*\n"};
    if (std::find(std::begin(skipped), std::end(skipped), atom) == std::end(skipped)) {
      AfterQuantifier = false;
    }
    return atom;
  }

  std::string Group(int depth) {
    static const char* const opens[] = {
        "(",          "(?:",    "(?=",        "(?!",       "(?<=",  "(?<!",  "(?*",     "(?<*",
        "(*pla:",     "(*nla:", "(*napla:",   "(*atomic:", "(*sr:", "(?>",   "(?|",     "(?<n>",
        "(?'m'",      "(?P<k>", "(?i:",       "(?x:",      "(?-x:", "(?(1)", "(?(?=a)", "(?(?<!b)",
        "(?(*pla:a)", "(?(R)",  "(?(DEFINE)", "(?(<n>)",   "(?iU:"};
    const char* open = Pick(opens);
    AfterQuantifier = false;
    if (std::string_view(open).find('U') != std::string_view::npos) LazyFree = false;
    std::string s = open + Sequence(depth);
    if (FRandom() % 4 == 0) s += "|" + Sequence(depth);
    AfterQuantifier = false;
    return s + ")";
  }

  std::string Quantifier() {
    static const char* const quantifiers[] = {"*",    "+",    "?",   "{2}", "{1,3}",
                                              "{2,}", "{,3}", "{a}", "{1,2"};
    static const char* const between[] = {"", "", "", "(?#c)", "\\E", "\\Q\\E", " ", "#c\n"};
    static const char* const suffixes[] = {"", "", "?", "+"};
    std::string s = Pick(quantifiers);
    if (AfterQuantifier && s == "?") LazyFree = false;  // a lazy mark, not a quantifier
    AfterQuantifier = true;
    const char* suffix = Pick(suffixes);
    if (*suffix != '\0') {
      s += Pick(between);
      s += suffix;
      if (*suffix == '?') LazyFree = false;
    }
    return s;
  }
};

// For every pattern: it compiles exactly when its rewrite compiles, with the same groups; the
// rewrite is stable; and every quantifier of the rewrite is lazy or possessive. The last is
// checked against PCRE2 itself: for a pattern written without lazy quantifiers and the U
// option, its ungreedy mode must match every subject exactly as the rewrite does.
TEST(LazyRewrite, CompilesExactlyWhenThePatternDoesAndLeavesNoGreedyQuantifier) {
  const std::string_view subjects[] = {"",          "ab",         "aab\r\nba", "a*b]c #\nAA",
                                       "aaaa bbbb", "b\r\na\rab", "{2}a{a}"};
  TPatternMaker maker(20261209);
  int valid = 0, compared = 0;
  const int count = 6000;
  for (int k = 0; k < count; ++k) {
    const std::string pattern = maker.Make();
    const std::string rewrite = MakeQuantifiersLazy(pattern);
    const TRawPattern original(pattern, 0);
    const TRawPattern lazy(rewrite, 0);
    ASSERT_EQ(original.Valid(), lazy.Valid()) << pattern << "\n" << rewrite;
    ASSERT_EQ(MakeQuantifiersLazy(rewrite), rewrite) << pattern;
    if (!original.Valid()) continue;
    ++valid;
    ASSERT_EQ(original.Captures(), lazy.Captures()) << pattern << "\n" << rewrite;
    if (!maker.LazyFree) continue;
    const TRawPattern ungreedy(pattern, PCRE2_UNGREEDY);
    ASSERT_TRUE(ungreedy.Valid()) << pattern;
    ++compared;
    for (std::string_view subject : subjects) {
      ASSERT_EQ(ungreedy.Match(subject), lazy.Match(subject))
          << pattern << "\n"
          << rewrite << "\nsubject: " << subject;
    }
  }
  // The generator must keep producing enough valid patterns for the test to mean something.
  EXPECT_GT(valid, count / 5);
  EXPECT_GT(compared, count / 10);
}

TEST(Regex, UngreedyOptionAndAssertionConditionsStillMatchLazily) {
  struct {
    const char* Pattern;
    const char* Subject;
    const char* Whole;
  } cases[] = {
      {"(?U)A+?", "AAA", "A"},
      {"(?U:A*?)B", "AAB", "AAB"},
      {"(?(?=A)A+|C+)", "AAA", "A"},
      {"(?(?<!X)A+|C+)", "AAA", "A"},
      {"(*pla:(A+))A+", "AAA", "A"},
      {"A*(?#comment)?B", "AAB", "AAB"},
      {"(?x) A + # any\n B ?", "AAB", "A"},
      {"A+\\E+", "AAA", "AAA"},  // possessive stays possessive
  };
  for (const auto& c : cases) {
    const TRegex pattern(c.Pattern);
    ASSERT_TRUE(pattern.Valid()) << c.Pattern << ": " << pattern.Error();
    TRegexMatch m;
    ASSERT_TRUE(pattern.Search(c.Subject, m)) << c.Pattern;
    EXPECT_EQ(m.Groups[0], c.Whole) << c.Pattern;
  }
}

TEST(Regex, QuantifiersWrittenGreedyMatchLazily) {
  TRegexMatch m;
  ASSERT_TRUE(TRegex("(\\d+)").Search("1234", m));
  EXPECT_EQ(m.Groups[1], "1");
  ASSERT_TRUE(TRegex("(\\d+?)").Search("1234", m));
  EXPECT_EQ(m.Groups[1], "1");
  ASSERT_TRUE(TRegex("\\A(.*)\\Z").Search("ABC", m));
  EXPECT_EQ(m.Groups[1], "ABC");  // anchors still force the whole text
}

TEST(Regex, MultiLineDotAndCase) {
  EXPECT_TRUE(TRegex("^B$").Search("A\r\nB\r\nC"));
  EXPECT_TRUE(TRegex("^B$").Search("A\rB\rC"));
  EXPECT_FALSE(TRegex("A.B").Search("A\rB"));
  EXPECT_FALSE(TRegex("A.B").Search("A\nB"));
  EXPECT_FALSE(TRegex("\\Aok\\Z").Search("OK"));
  EXPECT_TRUE(TRegex("\\AOK\\Z").Search("OK"));
  EXPECT_FALSE(TRegex("\\AOK\\Z").Search("X\r\nOK"));  // \A is the start of the text only
}

TEST(Regex, GroupsThatTookNoPartAreEmptyAndHighestIsKnown) {
  TRegexMatch m;
  ASSERT_TRUE(TRegex("(A)|(B)").Search("B", m));
  EXPECT_EQ(m.Highest, 2);
  ASSERT_EQ(m.Groups.size(), 3u);
  EXPECT_EQ(m.Groups[1], "");
  EXPECT_EQ(m.Groups[2], "B");
  ASSERT_TRUE(TRegex("(A)|(B)").Search("A", m));
  EXPECT_EQ(m.Highest, 1);
  ASSERT_TRUE(TRegex("X").Search("X", m));
  EXPECT_EQ(m.Highest, 0);
}

TEST(Regex, GroupsAreCutTo255) {
  TRegexMatch m;
  const std::string text(400, 'A');
  ASSERT_TRUE(TRegex("\\A(A*)\\Z").Search(text, m));
  EXPECT_EQ(m.Groups[0].size(), 255u);
  EXPECT_EQ(m.Groups[1].size(), 255u);
}

TEST(Regex, InvalidPatternMatchesNothing) {
  for (const char* bad : {"(", "a{2,1}", "[a", "*a", "(?<n>a)(?<n>b)", "\\"}) {
    TRegex r(bad);
    EXPECT_FALSE(r.Valid()) << bad;
    EXPECT_FALSE(r.Error().empty()) << bad;
    TRegexMatch m;
    EXPECT_FALSE(r.Search("aaaa(", m)) << bad;
    EXPECT_FALSE(TRegex(bad).Valid()) << "cached failure: " << bad;
  }
}

TEST(Regex, PathologicalPatternEndsAsNoMatch) {
  const std::string subject = std::string(40, 'A') + "!";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TRegex("\\A(A+)+\\Z").Search(subject));
  EXPECT_FALSE(TRegex("\\A((A*)*)*B").Search(subject));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(TRegex("\\A(A+)+!\\Z").Search(subject)) << "the limit must not refuse honest work";
}

TEST(Regex, SearchFromAnOffsetReportsMatchPosition) {
  TRegexMatch m;
  ASSERT_TRUE(TRegex("^(\\d{1,2})\\r\\n").Search("X\r\n12\r\nY", m));
  EXPECT_EQ(m.Start, 3u);
  EXPECT_EQ(m.End, 7u);
  EXPECT_FALSE(TRegex("X").Search("X", m, 1));
  EXPECT_FALSE(TRegex("X").Search("X", m, 5));
}

// Every pattern of every command set against realistic, upper-cased and trimmed replies.
struct TReplyCase {
  const char* Set;  // "base", "qt", "ze", "initial"
  const char* Command;
  const char* Reply;
  bool Matches;
  std::map<int, std::string> Groups;
};

const TReplyCase ReplyCases[] = {
    {"base", "r01", "S/N: 1234.000", true, {{2, "1234"}}},
    {"base", "r01", "S/N:1234", true, {{2, "1234"}}},
    {"base", "r01", "S/N: 1234.000\t", true, {{2, "1234"}}},
    {"initial", "r01", "S/N: 1234.000\t", false, {}},
    {"initial", "r01", "S/N: 77.0 ", true, {{2, "77"}}},
    {"base", "r01", "S/N: 12.5", false, {}},
    {"base", "r01", "SN: 1234", false, {}},
    {"base", "r60", "LASER_ON", true, {{0, "LASER_ON"}}},
    {"base", "r60", "LASER_OFF", true, {{0, "LASER_OFF"}}},
    {"base", "r60", "LASER_ONX", false, {}},
    {"base", "r61", "12.50 A", true, {{1, "12.50"}}},
    {"base", "r61", " \t123.45 A", true, {{1, "123.45"}}},
    {"base", "r62", "12X50 A", true, {{1, "12X50"}}},
    {"base", "r62", "1234.50 A", false, {}},
    {"base", "r62", "12.5 A", false, {}},
    {"base", "r62", "12.50 A\r\nX", false, {}},
    {"base", "r51", "OPERATING TIME:\r\n1234 H\r\n5 M", true, {{1, "1234"}, {2, "5"}}},
    {"base", "r51", "TIME:\r\n  0 H\r\n\t0 M", true, {{1, "0"}, {2, "0"}}},
    {"base", "r51", "OPERATING TIME:\r\n1234 H\r\n123 M", false, {}},
    {"base", "r51", "OPERATING TIME:", false, {}},
    {"base", "r90", "OK", true, {}},
    {"base", "r99", "SERIENNUMMER-QXC : 1234.0", true, {{1, "1234"}}},
    {"base", "r99", "SERIENNUMMER-QXC:-5.", true, {{1, "-5"}}},
    {"base", "r99", "SERIENNUMMER-QXC : 1234", false, {}},
    {"base", "w60", "OK", true, {}},
    {"base", "w60", "OK!", false, {}},
    {"base", "w99 347", "QXC03 OK", true, {}},
    {"base", "w99 347", "QXC13 OK", false, {}},
    {"base", "w97 347", "READY", true, {}},
    {"base", "r170", "SEEDER-FREQUENCY = 80.5 MHZ", true, {{1, "80.5"}, {3, "M"}}},
    {"base", "r170", "SEEDER-FREQUENCY = 80.5 KHZ", true, {{1, "80.5"}, {3, "K"}}},
    {"base", "r170", "SEEDER-FREQUENCY=80.5 HZ", true, {{1, "80.5"}, {3, ""}}},
    {"base", "r170", "SEEDER-FREQUENCY = 80 HZ", true, {{1, "80"}}},  // "." takes any digit
    {"base", "r170", "SEEDER-FREQUENCY = 8 HZ", false, {}},
    {"base", "r172", "PULSE COUNT = 10", true, {{1, "10"}}},
    {"base", "r172", "PULSE COUNT = -10.00", true, {{1, "-10.00"}}},
    {"base", "r173", "PULSE NUMBER = 5", true, {{1, "5"}}},
    {"base", "r175", "VREG SOLL = 50.0 %", true, {{1, "50.0"}}},
    {"base", "r175", "VREG SOLL = 50.0", false, {}},
    {"qt", "r91", "FLOW: 3.50 L/MIN", true, {{1, "3.50"}}},
    {"qt", "r91", "FLOW: 100.50 L/MIN", false, {}},
    {"qt", "r66", "LIMIT_I1 = 40.00 A", true, {{1, "1"}, {2, "40.00"}}},
    {"qt", "r66", "LIMIT_I = 40.00 A", true, {{1, ""}, {2, "40.00"}}},
    {"qt", "r67", "IMAX1 = 40.00 A", true, {{1, "1"}, {2, "40.00"}}},
    {"qt", "r69", "IMAX2 = 30.00 A", true, {{1, "2"}, {2, "30.00"}}},
    {"qt", "r69", "IMAX2=30.00A", true, {{1, "2"}, {2, "30.00"}}},
    {"qt", "r69", "IMAX3 = 30.00 A", false, {}},
    {"qt", "r71", "LASER1 EXTERNAL", true, {{2, "1"}, {3, "EXTERNAL"}}},
    {"qt", "r72", "LASER2 CW MODE", true, {{2, "2"}, {3, "CW"}}},
    {"qt", "r71", "TRIGGER INTERNAL", true, {{3, "INTERNAL"}}},
    {"qt", "r71", "LASER1 BURST", false, {}},
    {"qt", "r73", "FREQUENCY = 30000.00 HZ", true, {{1, "30000.00"}}},
    {"qt", "r73", "LASER 1 FREQUENCY = -1.00 HZ", true, {{1, "-1.00"}}},
    {"qt", "r74", "FREQUENCY = -1.00 HZ", false, {}},
    {"qt", "r74", "FREQUENCY = 30000.0 HZ", false, {}},
    {"qt", "r21", "HUMIDITY LASER 1: 35.2 %", true, {{1, "1"}, {2, "35.2"}}},
    {"qt", "r23", "HUMIDITY LASER 2: -3.25%", true, {{1, "2"}, {2, "-3.25"}}},
    {"qt", "w70 1", "OK", true, {}},
    {"ze", "r65", "IMAX = 25.00 A", true, {{1, "MAX"}, {2, "25.00"}}},
    {"ze", "r65", "I_GRENZ = 25.00 A", true, {{1, "_GRENZ"}, {2, "25.00"}}},
    {"ze", "r65", "IMAX =25.00 A", false, {}},
    {"ze", "r70", "TRIGGER_MODE: INTERNAL", true, {{1, "INTERNAL"}}},
    {"ze", "r70", "LASER TRIGGER_MODE:CW", true, {{1, "CW"}}},
    {"ze", "r71", "FREQUENCY = 1000.00 HZ", true, {{1, "1000.00"}}},
};

TEST(Regex, EveryReplyPatternOfEveryCommandSet) {
  TCommandList initial, base, qt, ze;
  LoadInitialCommands(initial);
  LoadBaseCommands(base);
  LoadQTCommands(qt, true);
  LoadZECommands(ze, true);
  const std::map<std::string, TCommandList*> sets = {
      {"initial", &initial}, {"base", &base}, {"qt", &qt}, {"ze", &ze}};
  for (const TReplyCase& c : ReplyCases) {
    TCommandList& list = *sets.at(c.Set);
    const int index = list.IndexOfCommand(c.Command);
    ASSERT_GE(index, 0) << c.Set << " " << c.Command;
    const TRegex pattern(list.Items(index).Mask);
    ASSERT_TRUE(pattern.Valid()) << list.Items(index).Mask << ": " << pattern.Error();
    TRegexMatch m;
    EXPECT_EQ(pattern.Search(c.Reply, m), c.Matches) << c.Command << " / " << c.Reply;
    for (const auto& [group, text] : c.Groups) {
      ASSERT_GT(m.Groups.size(), static_cast<std::size_t>(group)) << c.Reply;
      EXPECT_EQ(m.Groups[group], text) << c.Command << " / " << c.Reply << " group " << group;
    }
  }
  // Every pattern of every set compiles.
  for (auto& [name, list] : sets) {
    for (int i = 0; i < list->Count(); ++i) {
      EXPECT_TRUE(TRegex(list->Items(i).Mask).Valid()) << name << " " << list->Items(i).Command;
    }
  }
}

}  // namespace
