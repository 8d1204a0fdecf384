// What the trend plot shows, kept in a fixed amount of memory: per branch the nominal and actual
// current and the frequency as time-stamped points, the laser's emission as intervals, error
// codes as markers and disconnections as gaps. Times are seconds since the session began, on the
// monotonic clock. Recent points are kept as reported; older ones are folded into buckets that
// keep each bucket's minimum and maximum, so no spike is lost however far the plot zooms out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logic/recorder/RecordRow.h"

// A reported value (Min == Max) or a bucket of several.
struct TTrendPoint {
  double T;
  double Min;
  double Max;
};

struct TTrendSpan {
  double From;
  double To;  // +infinity while the span is open
};

// An error code, and how often it was reported again within a minute of its last report.
struct TTrendMarker {
  double T;     // first report
  double Last;  // last report it stands for
  std::uint32_t Count;
  std::uint8_t Code;
};

// One quantity of one branch over time.
class TTrendSeries {
  struct TRaw {
    double T;
    double V;
  };

 public:
  static constexpr std::size_t RawCapacity = 32768;     // points kept as reported
  static constexpr std::size_t BucketCapacity = 65536;  // min/max buckets of the older ones
  static constexpr double FirstBucketSeconds = 1.0;     // doubled whenever the buckets are full
  static constexpr std::size_t MaxBytes =
      RawCapacity * sizeof(TRaw) + BucketCapacity * sizeof(TTrendPoint);

  void Add(double T, double Value);
  // The points in [From, To], and the nearest one on either side (for lines to the edges), in
  // time order. With Columns > 0 points falling into one of Columns equal columns of the range
  // are merged into one (its minimum and maximum kept); otherwise every point is given.
  void Collect(double From, double To, int Columns, std::vector<TTrendPoint>& Out) const;

  std::size_t RawCount() const { return FRaw.size(); }
  std::size_t BucketCount() const { return FBuckets.size(); }
  double BucketSeconds() const { return FWidth; }
  std::size_t MemoryBytes() const;

 private:
  const TRaw& Raw(std::size_t i) const { return FRaw[(FHead + i) % FRaw.size()]; }
  std::size_t RawLowerBound(double T) const;  // first raw point at or after T
  std::size_t RawUpperBound(double T) const;  // first raw point after T
  void Fold(const TRaw& P);
  void Compact();

  std::vector<TRaw> FRaw;  // a ring once full; FHead is the oldest
  std::size_t FHead = 0;
  // Bucket T is the time of its first point; all buckets are older than every raw point.
  std::vector<TTrendPoint> FBuckets;
  double FWidth = FirstBucketSeconds;
};

// Intervals (emission on, disconnected) in time order, at most Capacity of them: when full, the
// half of them with the shortest separations are joined to their neighbours.
class TTrendSpans {
 public:
  static constexpr std::size_t Capacity = 16384;
  void Open(double T);   // starts a span unless one is open
  void Close(double T);  // ends the open span, if any
  bool IsOpen() const { return !FSpans.empty() && FSpans.back().To == Infinity(); }
  // The spans that overlap [From, To].
  void Collect(double From, double To, std::vector<TTrendSpan>& Out) const;
  std::size_t Count() const { return FSpans.size(); }
  const std::vector<TTrendSpan>& Items() const { return FSpans; }
  std::size_t MemoryBytes() const { return FSpans.capacity() * sizeof(TTrendSpan); }
  static double Infinity();

 private:
  void Compact();
  std::vector<TTrendSpan> FSpans;
};

struct TTrendLine {
  TQuantity Quantity;  // Current, CurrentActual or Frequency
  std::uint8_t Branch;
  // Split where a disconnection lies between two points: a line is not drawn across a gap.
  std::vector<std::vector<TTrendPoint>> Segments;
};

struct TTrendFrame {
  double From = 0;
  double To = 0;
  std::vector<TTrendLine> Lines;
  std::vector<TTrendSpan> Emission;  // open spans end at +infinity
  std::vector<TTrendSpan> Gaps;
  std::vector<TTrendMarker> Errors;
};

class TTrendModel {
 public:
  static constexpr int MaxBranch = 2;  // branches 0 (none), 1 and 2 are plotted
  static constexpr std::size_t MarkerCapacity = 16384;
  static constexpr double MarkerMergeSeconds = 60;
  // Series: current, actual current and frequency for branches 0..2.
  static constexpr std::size_t SeriesCapacity = 3 * (MaxBranch + 1);
  // The most the model ever holds, whatever the rate and however long the session.
  static constexpr std::size_t MaxBytes = SeriesCapacity * TTrendSeries::MaxBytes +
                                          2 * TTrendSpans::Capacity * sizeof(TTrendSpan) +
                                          MarkerCapacity * sizeof(TTrendMarker) + 256 * 64;

  explicit TTrendModel(const TStamp& SessionStart);

  void Add(const TRecordRow& Row);

  // Seconds since the session began, for the plot's present and its axis.
  double SessionSeconds(const TStamp& Time) const;
  const TStamp& SessionStart() const { return FStart; }

  // What the plot draws of [From, To], with at most about Columns points per series (two per
  // column where buckets' minima and maxima differ); Columns <= 0 for every point there is.
  TTrendFrame Query(double From, double To, int Columns) const;
  // The frame as CSV, only what lies in [From, To]: the recorder's long form without the serial
  // number, a bucket of several values as its "min" and "max" (its "value" empty), a repeated
  // error code with the number of its reports. LocalOffset gives the local zone's offset in
  // minutes at a time (tests fix it).
  std::string ExportCsv(
      const TTrendFrame& Frame,
      const std::function<int(std::time_t)>& LocalOffset = LocalUtcOffsetMinutes) const;

  // The explanation last reported with an error code.
  std::string_view ErrorText(std::uint8_t Code) const { return FErrorTexts[Code]; }
  const TTrendSeries* Series(TQuantity Quantity, std::uint8_t Branch) const;
  const TTrendSpans& Emission() const { return FEmission; }
  const TTrendSpans& Gaps() const { return FGaps; }
  std::size_t MarkerCount() const { return FMarkers.size(); }
  std::size_t MemoryBytes() const;

 private:
  static int SeriesIndex(TQuantity Quantity, std::uint8_t Branch);
  void AddMarker(double T, std::uint8_t Code);

  TStamp FStart;
  double FLastT = 0;
  std::array<std::unique_ptr<TTrendSeries>, SeriesCapacity> FSeries;
  TTrendSpans FEmission;
  TTrendSpans FGaps;
  std::deque<TTrendMarker> FMarkers;
  std::uint64_t FMarkerBase = 0;  // markers dropped from the front so far
  // The marker each code last went into (an absolute number), or none.
  std::array<std::int64_t, 256> FLastMarker;
  std::array<std::string, 256> FErrorTexts;
};
