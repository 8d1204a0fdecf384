// When a reported value arrived: the wall clock with the local UTC offset of that moment (for the
// time column and file names) and the monotonic clock (for elapsed seconds and the trend plot,
// which a change of the system time must not bend).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

struct TStamp {
  std::chrono::system_clock::time_point Wall;
  std::chrono::steady_clock::time_point Mono;
  int UtcOffsetMinutes = 0;  // local time = Wall + offset

  // Milliseconds since 1970-01-01 UTC.
  std::int64_t UnixMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Wall.time_since_epoch()).count();
  }
};

// The local zone's offset from UTC, in minutes, at time t (DST included).
int LocalUtcOffsetMinutes(std::time_t t);

class TStampClock {
 public:
  virtual ~TStampClock() = default;
  virtual TStamp Now() = 0;
};

// The system's clocks. The zone's offset is looked up once a minute: offsets change only on
// whole minutes.
class TSystemStampClock : public TStampClock {
 public:
  TStamp Now() override;

 private:
  std::int64_t FMinute = INT64_MIN;
  int FOffset = 0;
};
