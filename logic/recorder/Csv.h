// CSV text as the recorder writes it (RFC 4180): fields quoted where they must be, UTF-8 text,
// numbers with "." whatever the locale, times in ISO 8601 with milliseconds and the UTC offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends Text as one field. Bytes that do not form UTF-8 are taken as Latin-1 (as the laser's
// 8-bit texts are), control characters other than tab become blanks, so a field stays on its line.
// Quoted when it holds a comma, a quote or blanks at either end (which spreadsheets would drop);
// quotes inside are doubled.
void AppendCsvField(std::string& Out, std::string_view Text);

// The shortest decimal that reads back as Value, never in exponent form ("12.5", "100000",
// "0.0001"); nothing for NaN or an infinity, which a reader takes as a missing value.
void AppendCsvNumber(std::string& Out, double Value);

// Milliseconds as seconds with three decimals ("12.345"); never negative.
void AppendSeconds3(std::string& Out, std::int64_t Ms);

// "2024-05-01T14:03:22.123+02:00": the local time UnixMs + offset, and the offset.
void AppendIsoTime(std::string& Out, std::int64_t UnixMs, int UtcOffsetMinutes);

// "20240501-140322", the local time, for file names.
std::string FileTimeStamp(std::int64_t UnixMs, int UtcOffsetMinutes);
