#include "logic/recorder/Clock.h"

int LocalUtcOffsetMinutes(std::time_t t) {
  std::tm local{};
#if defined(_WIN32)
  if (localtime_s(&local, &t) != 0) return 0;
#else
  if (localtime_r(&t, &local) == nullptr) return 0;
#endif
  // The local calendar fields read as if they were UTC, minus the instant itself.
  using namespace std::chrono;
  const sys_days date =
      year_month_day{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                     day{static_cast<unsigned>(local.tm_mday)}};
  const std::int64_t asUtc = static_cast<std::int64_t>(date.time_since_epoch().count()) * 86400 +
                             local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  return static_cast<int>((asUtc - static_cast<std::int64_t>(t)) / 60);
}

TStamp TSystemStampClock::Now() {
  TStamp s;
  s.Wall = std::chrono::system_clock::now();
  s.Mono = std::chrono::steady_clock::now();
  const std::int64_t ms = s.UnixMs();
  const std::int64_t minute = ms >= 0 ? ms / 60000 : (ms - 59999) / 60000;
  if (minute != FMinute) {
    FMinute = minute;
    FOffset = LocalUtcOffsetMinutes(static_cast<std::time_t>(minute * 60));
  }
  s.UtcOffsetMinutes = FOffset;
  return s;
}
