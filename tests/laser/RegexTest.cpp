#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

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
