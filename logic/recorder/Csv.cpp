#include "logic/recorder/Csv.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence starting at s[i], or 0 when the bytes there are not one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  unsigned min = 0;
  unsigned cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // overlong forms, surrogates and code points past U+10FFFF are not UTF-8
  if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

void AppendInt(std::string& Out, std::int64_t value, int width) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  const auto length = static_cast<int>(end - buffer);
  if (ec == std::errc() && length < width)
    Out.append(static_cast<std::size_t>(width - length), '0');
  Out.append(buffer, end);
}

struct TLocal {
  int Year, Month, Day, Hour, Minute, Second, Milli;
};

TLocal Local(std::int64_t unixMs, int offsetMinutes) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds{unixMs + std::int64_t{offsetMinutes} * 60000}};
  const sys_days date = floor<days>(t);
  const year_month_day ymd{date};
  const hh_mm_ss<milliseconds> hms{t - date};
  return {static_cast<int>(ymd.year()),
          static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          static_cast<int>(hms.hours().count()),
          static_cast<int>(hms.minutes().count()),
          static_cast<int>(hms.seconds().count()),
          static_cast<int>(hms.subseconds().count())};
}

}  // namespace

void AppendCsvField(std::string& Out, std::string_view Text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; };
  bool quote = !Text.empty() && (blank(Text.front()) || blank(Text.back()));
  bool plain = true;  // printable ASCII, no comma or quote: copied as it is
  for (const char ch : Text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ',' || c == '"') quote = true;
    if (c < 0x20 || c >= 0x7F || c == '"') plain = false;
  }
  if (quote) Out += '"';
  if (plain) {
    Out.append(Text);
  } else {
    for (std::size_t i = 0; i < Text.size();) {
      const auto c = static_cast<unsigned char>(Text[i]);
      if (c < 0x80) {
        if (c == '"') {
          Out += "\"\"";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
          Out += ' ';
        } else {
          Out += static_cast<char>(c);
        }
        ++i;
      } else if (const std::size_t n = Utf8Length(Text, i); n > 0) {
        Out.append(Text.substr(i, n));
        i += n;
      } else {
        // Latin-1: the byte is its own code point, U+0080..U+00FF
        Out += static_cast<char>(0xC0 | (c >> 6));
        Out += static_cast<char>(0x80 | (c & 0x3F));
        ++i;
      }
    }
  }
  if (quote) Out += '"';
}

void AppendCsvNumber(std::string& Out, double Value) {
  if (!std::isfinite(Value)) return;
  if (Value == 0) Value = 0;  // no "-0"
  // Fixed notation of the largest doubles takes 309 digits.
  char buffer[400];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed);
  if (ec == std::errc()) Out.append(buffer, end);
}

void AppendSeconds3(std::string& Out, std::int64_t Ms) {
  if (Ms < 0) Ms = 0;
  AppendInt(Out, Ms / 1000, 1);
  Out += '.';
  AppendInt(Out, Ms % 1000, 3);
}

void AppendIsoTime(std::string& Out, std::int64_t UnixMs, int UtcOffsetMinutes) {
  const TLocal l = Local(UnixMs, UtcOffsetMinutes);
  AppendInt(Out, l.Year, 4);
  Out += '-';
  AppendInt(Out, l.Month, 2);
  Out += '-';
  AppendInt(Out, l.Day, 2);
  Out += 'T';
  AppendInt(Out, l.Hour, 2);
  Out += ':';
  AppendInt(Out, l.Minute, 2);
  Out += ':';
  AppendInt(Out, l.Second, 2);
  Out += '.';
  AppendInt(Out, l.Milli, 3);
  const int offset = UtcOffsetMinutes < 0 ? -UtcOffsetMinutes : UtcOffsetMinutes;
  Out += UtcOffsetMinutes < 0 ? '-' : '+';
  AppendInt(Out, offset / 60, 2);
  Out += ':';
  AppendInt(Out, offset % 60, 2);
}

std::string FileTimeStamp(std::int64_t UnixMs, int UtcOffsetMinutes) {
  const TLocal l = Local(UnixMs, UtcOffsetMinutes);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d-%02d%02d%02d", l.Year, l.Month, l.Day, l.Hour,
                l.Minute, l.Second);
  return buffer;
}
