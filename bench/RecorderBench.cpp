// What the recorder's core costs: rows formatted and written per second, the longest a single
// flush keeps the caller (the UI thread) waiting at the rate of a two-branch laser refreshed
// every 100 ms, and the trend model with 24 hours of such points: its memory, the time to take
// them in (decimation included) and the time a plot's query takes. It measures; it never fails.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "logic/recorder/Recorder.h"
#include "logic/recorder/TrendModel.h"

namespace {

using bench::At;
using bench::CpuMs;
using bench::RssKb;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The rows one refresh round of a two-branch laser gives (nine reads, a packed current each
// branch), at time ms.
void Round(std::int64_t ms, std::vector<TRecordRow>& out) {
  out.clear();
  const auto row = [&](TQuantity q, std::uint8_t branch, double value, const char* text = "") {
    TRecordRow r;
    r.Time = At(ms);
    r.SN = 1234;
    r.Branch = branch;
    r.Quantity = q;
    r.Value = value;
    r.Text = text;
    out.push_back(std::move(r));
  };
  const double t = ms / 1000.0;
  row(TQuantity::Emission, 0, 1);
  for (std::uint8_t b = 1; b <= 2; ++b) {
    row(TQuantity::Current, b, 20.5 + b);
    row(TQuantity::CurrentActual, b, 20.47 + b + 0.01 * std::sin(t));
    row(TQuantity::CurrentMax, b, 40);
    row(TQuantity::Frequency, b, 30000.5);
    row(TQuantity::TriggerMode, b, 0, "Internal");
  }
}

void Recording(const std::string& dir) {
  std::printf("Recording (rows of a two-branch laser, 11 per refresh round):\n");
  TRecorder recorder;
  recorder.Settings().Folder = dir;
  std::string error;
  std::vector<TRecordRow> rows;

  // Formatting alone.
  {
    std::string out;
    double bytes = 0;
    const int rounds = 200000;
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
      Round(i * 100, rows);
      for (const TRecordRow& r : rows) AppendRecordRow(out, r, At(0).Mono);
      if (out.size() > (1 << 20)) {
        bytes += static_cast<double>(out.size());
        out.clear();
      }
    }
    const double ms = Ms(Clock::now() - t0);
    bytes += static_cast<double>(out.size());
    std::printf("  formatted:            %10.0f rows/s (%.1f B per row)\n",
                rounds * 11 / (ms / 1000), bytes / (rounds * 11.0));
  }
  // Formatted and written, the buffer flushed when full and every 90 rounds.
  {
    if (!recorder.Start(1234, At(0), error)) {
      std::printf("  cannot start: %s\n", error.c_str());
      return;
    }
    const int rounds = 200000;
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
      Round(i * 100, rows);
      for (const TRecordRow& r : rows) recorder.Add(r);
      if (i % 90 == 0) recorder.Flush();
    }
    recorder.Stop();
    const double ms = Ms(Clock::now() - t0);
    const auto bytes = std::filesystem::file_size(recorder.FileName());
    std::printf("  formatted and written:%10.0f rows/s (%.1f MB in %.0f ms, %.1f B per row)\n",
                rounds * 11 / (ms / 1000), bytes / 1e6, ms, bytes / (rounds * 11.0));
    std::filesystem::remove(recorder.FileName());
  }
  // At the program's pace: ten rounds a second, the flush timer once a second. What one Add and
  // one Flush keep the caller waiting (median, 99th percentile, longest over an hour of rows).
  {
    if (!recorder.Start(1234, At(0), error)) return;
    std::vector<double> adds, flushes;
    const int seconds = 3600;
    for (int s = 0; s < seconds; ++s) {
      for (int k = 0; k < 10; ++k) {
        Round(s * 1000 + k * 100, rows);
        const double t0 = CpuMs();
        for (const TRecordRow& r : rows) recorder.Add(r);
        adds.push_back((CpuMs() - t0) * 1000 / static_cast<double>(rows.size()));
      }
      const double t0 = CpuMs();
      recorder.Flush();
      flushes.push_back(CpuMs() - t0);
    }
    recorder.Stop();
    const auto bytes = std::filesystem::file_size(recorder.FileName());
    std::filesystem::remove(recorder.FileName());
    const auto stats = [](std::vector<double> v, const char* what, const char* unit) {
      std::sort(v.begin(), v.end());
      std::printf("  %-22s median %.3f, 99%% %.3f, longest %.3f %s\n", what, v[v.size() / 2],
                  v[v.size() * 99 / 100], v.back(), unit);
    };
    std::printf("  at 10 rounds/s, flushed every second (%.0f B per flush):\n",
                static_cast<double>(bytes) / seconds);
    stats(adds, "one row into the buffer", "us");
    stats(flushes, "one flush", "ms");
  }
}

void Trend(double hours) {
  std::printf(
      "Trend model, two branches refreshed every 100 ms for %.0f h (%.1f million "
      "points in 6 series):\n",
      hours, hours * 36000 * 6 / 1e6);
  const long rss0 = RssKb();
  TTrendModel model(At(0));
  const long points = std::lround(hours * 36000);
  std::vector<TRecordRow> rows;
  const auto feed = [&](TTrendModel& m, long i) {
    Round(i * 100, rows);
    if (i % 36000 == 0) {  // an error and a short disconnection once an hour
      TRecordRow r = rows[0];
      r.Quantity = TQuantity::ErrorCode;
      r.Value = 93;
      r.Text = "General protection (interlock is open).";
      m.Add(r);
      r.Quantity = TQuantity::Connection;
      r.Value = 0;
      m.Add(r);
      r.Value = 1;
      m.Add(r);
    }
  };
  const auto t0 = Clock::now();
  for (long i = 0; i < points; ++i) {
    feed(model, i);
    for (const TRecordRow& r : rows) model.Add(r);
  }
  const double addMs = Ms(Clock::now() - t0);
  std::printf("  memory: %.2f MiB held (RSS grew %.2f MiB); the most it ever holds: %.2f MiB\n",
              model.MemoryBytes() / 1048576.0, (RssKb() - rss0) / 1024.0,
              TTrendModel::MaxBytes / 1048576.0);
  const TTrendSeries* s = model.Series(TQuantity::Current, 1);
  std::printf("  a series: %zu points as reported, %zu buckets of %.0f s\n", s->RawCount(),
              s->BucketCount(), s->BucketSeconds());
  std::printf("  taking them in: %.0f ms in all, %.2f us per round\n", addMs,
              addMs * 1000 / static_cast<double>(points));
  {
    // Again, each round timed: the longest are those that fold buckets together.
    TTrendModel timed(At(0));
    std::vector<double> rounds;
    rounds.reserve(static_cast<std::size_t>(points));
    for (long i = 0; i < points; ++i) {
      feed(timed, i);
      const double a = CpuMs();
      for (const TRecordRow& r : rows) timed.Add(r);
      rounds.push_back(CpuMs() - a);
    }
    std::sort(rounds.begin(), rounds.end());
    std::printf("  one round: median %.4f ms, 99.99%% %.3f ms, longest %.3f ms\n",
                rounds[rounds.size() / 2], rounds[rounds.size() * 9999 / 10000], rounds.back());
  }

  const double now = hours * 3600;
  const struct {
    const char* Name;
    double From;
  } windows[] = {{"1 min", now - 60}, {"10 min", now - 600}, {"1 h", now - 3600}, {"all", 0}};
  for (const auto& w : windows) {
    const int repeat = 50;
    std::size_t n = 0;
    const auto q0 = Clock::now();
    for (int k = 0; k < repeat; ++k) {
      const TTrendFrame frame = model.Query(w.From, now, 1920);
      n = 0;
      for (const TTrendLine& line : frame.Lines) {
        for (const auto& seg : line.Segments) n += seg.size();
      }
    }
    std::printf("  query %-6s at 1920 columns: %.3f ms, %zu points\n", w.Name,
                Ms(Clock::now() - q0) / repeat, n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 24;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--hours") == 0 && i + 1 < argc) {
      hours = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--hours H]\n", argv[0]);
      return 2;
    }
  }
  char pattern[] = "/tmp/laser-recorder-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  Recording(pattern);
  Trend(hours);
  std::filesystem::remove_all(pattern);
  return 0;
}
