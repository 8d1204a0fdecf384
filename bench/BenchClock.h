// What the benches share: the thread's CPU time, the resident memory and a fixed session clock.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "logic/recorder/Clock.h"

namespace bench {

// The thread's CPU time: waits are measured in it, so that the other programs on a busy machine
// taking the processor away do not count.
inline double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// This process's resident memory, kB.
inline long RssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// The middle of the samples (the mean of the two middle ones for an even count); 0 for none.
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The samples' mean; 0 for none.
inline double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (const double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

// A time stamp ms after a fixed start (2024-05-01, UTC+2).
inline TStamp At(std::int64_t ms) {
  TStamp s;
  s.Wall = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714572202123 + ms));
  s.Mono = std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
  s.UtcOffsetMinutes = 120;
  return s;
}

}  // namespace bench
