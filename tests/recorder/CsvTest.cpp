// The CSV text the recorder writes: quoting, UTF-8, numbers and times whatever the locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <locale>

#include "RecorderTestUtil.h"
#include "logic/recorder/Csv.h"
#include "logic/recorder/RecordRow.h"

namespace {

using rectest::At;

TEST(CsvField, QuotesWhatMustBeQuotedAndWritesUtf8) {
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"", ""},
      {"r61", "r61"},
      {"General protection (interlock is open).", "General protection (interlock is open)."},
      {"w62 12,50", "\"w62 12,50\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {" lead", "\" lead\""},
      {"trail ", "\"trail \""},
      {"tab\there", "tab\there"},
      // one record stays one line
      {"two\r\nlines", "two  lines"},
      {"nul\x01", "\"nul \""},
      // UTF-8 is kept; other bytes are Latin-1
      {"\xC2\xB5"
       "A",
       "\xC2\xB5"
       "A"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xB5"
       "A",
       "\xC2\xB5"
       "A"},
      {"cut \xE2\x82", "cut \xC3\xA2\xC2\x82"},
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                          // overlong
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},              // a surrogate
      {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // past U+10FFFF
  };
  for (const auto& c : cases) {
    std::string out;
    AppendCsvField(out, c.In);
    EXPECT_EQ(out, c.Out) << "for \"" << c.In << "\"";
    const auto parsed = rectest::ParseCsv(out + "\r\n");
    ASSERT_TRUE(parsed) << out;
    ASSERT_EQ(parsed->size(), 1u);
    EXPECT_EQ((*parsed)[0].size(), 1u) << out;
  }
}

TEST(CsvNumber, ShortestDecimalWithAPointNeverAnExponent) {
  const struct {
    double In;
    const char* Out;
  } cases[] = {
      {12.5, "12.5"},
      {12.50, "12.5"},
      {0.29, "0.29"},
      {100000, "100000"},
      {200000.01, "200000.01"},
      {0.0000001, "0.0000001"},
      {1e22, "10000000000000000000000"},
      {-3.25, "-3.25"},
      {-0.0, "0"},
      {0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), ""},
      {std::numeric_limits<double>::infinity(), ""},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendCsvNumber(out, c.In);
    EXPECT_EQ(out, c.Out) << c.In;
    if (*c.Out) {
      EXPECT_EQ(std::strtod(out.c_str(), nullptr), c.In == 0 ? 0.0 : c.In);
    }
  }
  std::string big;
  AppendCsvNumber(big, std::numeric_limits<double>::max());
  EXPECT_EQ(big.size(), 309u);
}

TEST(CsvTime, IsoWithMillisecondsAndTheOffsetAndSecondsWithThreeDecimals) {
  const struct {
    std::int64_t UnixMs;
    int Offset;
    const char* Iso;
    const char* FileStamp;
  } cases[] = {
      {0, 0, "1970-01-01T00:00:00.000+00:00", "19700101-000000"},
      {rectest::BaseUnixMs, 120, "2024-05-01T16:03:22.123+02:00", "20240501-160322"},
      {rectest::BaseUnixMs, -330, "2024-05-01T08:33:22.123-05:30", "20240501-083322"},
      {rectest::BaseUnixMs + 7, 0, "2024-05-01T14:03:22.130+00:00", "20240501-140322"},
      // 2024-02-29T23:59:59.999Z, an hour east: the next day, the next month
      {1709251199999, 60, "2024-03-01T00:59:59.999+01:00", "20240301-005959"},
      {-1, 0, "1969-12-31T23:59:59.999+00:00", "19691231-235959"},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendIsoTime(out, c.UnixMs, c.Offset);
    EXPECT_EQ(out, c.Iso);
    EXPECT_EQ(FileTimeStamp(c.UnixMs, c.Offset), c.FileStamp);
  }
  const struct {
    std::int64_t Ms;
    const char* Out;
  } seconds[] = {{0, "0.000"},
                 {5, "0.005"},
                 {12345, "12.345"},
                 {-7, "0.000"},
                 {86400000, "86400.000"},
                 {100000000001, "100000000.001"}};
  for (const auto& s : seconds) {
    std::string out;
    AppendSeconds3(out, s.Ms);
    EXPECT_EQ(out, s.Out);
  }
}

// The local zone's offset, DST included, from the C library's zone rules (POSIX TZ strings, so
// that no zone database is needed).
TEST(CsvTime, LocalOffsetFollowsTheZoneAndItsSummerTime) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  const struct {
    const char* Zone;
    std::time_t At;
    int Offset;
  } cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1704067200, 60},   // 2024-01-01
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1719792000, 120},  // 2024-07-01
      {"IST-5:30", 1719792000, 330},
      {"EST5EDT,M3.2.0,M11.1.0", 1704067200, -300},
      {"EST5EDT,M3.2.0,M11.1.0", 1719792000, -240},
      {"UTC0", 1719792000, 0},
  };
  for (const auto& c : cases) {
    setenv("TZ", c.Zone, 1);
    tzset();
    EXPECT_EQ(LocalUtcOffsetMinutes(c.At), c.Offset) << c.Zone << " at " << c.At;
  }
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

struct TCommaDecimals : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(CsvRow, OneLineOfEightFieldsWithPointDecimalsInACommaLocale) {
  const std::locale oldGlobal =
      std::locale::global(std::locale(std::locale::classic(), new TCommaDecimals));
  // A C locale with a decimal comma, where the system has one.
  const std::string oldC = std::setlocale(LC_NUMERIC, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name)) break;
  }

  TRecordRow row;
  row.Time = At(61234);
  row.SN = 1234;
  row.Branch = 2;
  row.Quantity = TQuantity::Frequency;
  row.Value = 20000.5;
  std::string out;
  AppendRecordRow(out, row, At(0).Mono);
  row.Quantity = TQuantity::CommandRefused;
  row.Value = std::numeric_limits<double>::quiet_NaN();
  row.SN.reset();
  row.Branch = 0;
  row.Text = "w62 \"1,5\"";
  AppendRecordRow(out, row, At(1000).Mono);

  std::setlocale(LC_NUMERIC, oldC.c_str());
  std::locale::global(oldGlobal);

  EXPECT_EQ(out,
            "2024-05-01T16:04:23.357+02:00,61.234,1234,2,frequency,20000.5,Hz,\r\n"
            "2024-05-01T16:04:23.357+02:00,60.234,,0,command_refused,,,\"w62 \"\"1,5\"\"\"\r\n");
  const auto header = rectest::ParseCsv(std::string(RecordHeader));
  ASSERT_TRUE(header);
  EXPECT_EQ((*header)[0],
            std::vector<std::string>(std::begin(rectest::Header), std::end(rectest::Header)));
}

}  // namespace
