#include "laser/Text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

TEST(Text, CaseFoldsAsciiLettersOnly) {
  struct Case {
    std::string_view In, Upper;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"abc xyz", "ABC XYZ"},
      {"MiXeD 09 @[`{", "MIXED 09 @[`{"},        // the neighbours of the letters stay
      {"\xC3\xA4\xE4\xFF", "\xC3\xA4\xE4\xFF"},  // bytes above 127 stay
      {"err\0or"sv, "ERR\0OR"sv},                // a NUL does not end the text
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::UpperAscii(c.In), c.Upper) << c.In;
    EXPECT_TRUE(text::SameText(c.In, c.Upper)) << c.In;
  }
  EXPECT_EQ(text::LowerAscii('Q'), 'q');
  EXPECT_EQ(text::LowerAscii('@'), '@');
  EXPECT_EQ(text::LowerAscii('['), '[');
}

TEST(Text, SameTextAndStartsWithTextIgnoreOnlyAsciiCase) {
  struct Case {
    std::string_view A, B;
    bool Same, Starts;
  };
  const std::vector<Case> cases = {
      {"", "", true, true},
      {"Port", "PORT", true, true},
      {"PORT", "port", true, true},
      {"Ports", "PORT", false, true},
      {"Por", "PORT", false, false},
      {"P0RT", "PORT", false, false},
      {"@", "`", false, false},  // 0x40 and 0x60 differ by the case bit but are no letters
      {"[", "{", false, false},
      {"\xC4", "\xE4", false, false},  // Latin-1 letters are not folded
      {"port ", "PORT", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::SameText(c.A, c.B), c.Same) << c.A << " / " << c.B;
    EXPECT_EQ(text::StartsWithText(c.A, c.B), c.Starts) << c.A << " / " << c.B;
  }
}

TEST(Text, EachTrimTakesItsOwnBlanks) {
  struct Case {
    std::string_view In, Controls, Blanks, Spaces;
  };
  const std::vector<Case> cases = {
      {"", "", "", ""},
      {"   ", "", "", ""},
      {" a b ", "a b", "a b", "a b"},
      {"\ta\t", "a", "a", "a"},
      {"\r\nOK\r\n", "OK", "\r\nOK\r\n", "\r\nOK\r\n"},
      {"\v\fx\f\v", "x", "x", "\v\fx\f\v"},
      {"\x01x\x1F", "x", "\x01x\x1F", "\x01x\x1F"},
      {"\0x\0"sv, "x", "\0x\0"sv, "\0x\0"sv},
      {" \x7F ", "\x7F", "\x7F", "\x7F"},  // DEL is no blank
      {" \xA0x\xA0 ", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::TrimControls(c.In), c.Controls) << testing::PrintToString(c.In);
    EXPECT_EQ(text::TrimBlanks(c.In), c.Blanks) << testing::PrintToString(c.In);
    EXPECT_EQ(text::TrimSpaces(c.In), c.Spaces) << testing::PrintToString(c.In);
  }
}

TEST(Text, ParseFloatTakesDotDecimalsAndNothingElse) {
  struct Case {
    std::string_view In;
    std::optional<double> Value;
  };
  const std::vector<Case> cases = {
      {"0", 0.0},
      {"12.5", 12.5},
      {"+12.5", 12.5},
      {"-0.25", -0.25},
      {".5", 0.5},
      {"5.", 5.0},
      {"1e3", 1000.0},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"12,5", std::nullopt},  // a comma is never a decimal separator
      {" 1", std::nullopt},    // blanks are the caller's to trim
      {"1 ", std::nullopt},
      {"1x", std::nullopt},
      {"0x10", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"1e999", std::nullopt},
  };
  for (const auto& c : cases) {
    double value = -42;
    const bool ok = text::ParseFloat(c.In, value);
    EXPECT_EQ(ok, c.Value.has_value()) << c.In;
    EXPECT_EQ(value, c.Value.value_or(-42)) << c.In;  // untouched on failure
  }
}

TEST(Text, ParseFloatIgnoresTheLocale) {
  // A locale with "," as its separator must not change what is read; not every machine has one.
  const std::string old = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
    if (!std::setlocale(LC_ALL, name)) continue;
    double value = 0;
    EXPECT_TRUE(text::ParseFloat("2.5", value)) << name;
    EXPECT_EQ(value, 2.5) << name;
    EXPECT_FALSE(text::ParseFloat("2,5", value)) << name;
    EXPECT_EQ(text::Fixed2(-1234.567), "-1234.57") << name;
  }
  std::setlocale(LC_ALL, old.c_str());
}

TEST(Text, ParseIntTakesWholeDecimalsWithinTheType) {
  struct Case {
    std::string_view In;
    std::optional<std::int64_t> AsInt32, AsInt64;
  };
  const std::vector<Case> cases = {
      {"0", 0, 0},
      {"+7", 7, 7},
      {"-7", -7, -7},
      {"2147483647", 2147483647, 2147483647},
      {"2147483648", std::nullopt, 2147483648},
      {"-2147483648", -2147483648LL, -2147483648LL},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"1.0", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"$10", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    std::int32_t small = -1;
    std::int64_t large = -1;
    EXPECT_EQ(text::ParseInt(c.In, small), c.AsInt32.has_value()) << c.In;
    EXPECT_EQ(small, c.AsInt32.value_or(-1)) << c.In;
    EXPECT_EQ(text::ParseInt(c.In, large), c.AsInt64.has_value()) << c.In;
    EXPECT_EQ(large, c.AsInt64.value_or(-1)) << c.In;
  }
}

TEST(Text, Fixed2RoundsAndNeverShowsMinusZero) {
  struct Case {
    double In;
    std::string_view Out;
  };
  const std::vector<Case> cases = {
      {0.0, "0.00"},        {-0.0, "0.00"},  {-0.004, "0.00"},
      {0.005, "0.01"},      {1.005, "1.00"},  // 1.005 is just below in binary
      {12.345678, "12.35"}, {-3.5, "-3.50"}, {29999.994, "29999.99"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::Fixed2(c.In), c.Out) << c.In;
}

}  // namespace
