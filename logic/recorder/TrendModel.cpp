#include "logic/recorder/TrendModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "logic/recorder/Csv.h"

namespace {
constexpr double NoValue = std::numeric_limits<double>::quiet_NaN();
}  // namespace

// ------------------------------------------------------------------------------ TTrendSeries

void TTrendSeries::Add(double T, double Value) {
  if (!std::isfinite(T) || !std::isfinite(Value)) return;
  if (!FRaw.empty()) T = std::max(T, Raw(FRaw.size() - 1).T);  // never back in time
  if (FRaw.size() < RawCapacity) {
    FRaw.push_back({T, Value});
    return;
  }
  Fold(FRaw[FHead]);
  FRaw[FHead] = {T, Value};
  FHead = (FHead + 1) % RawCapacity;
}

void TTrendSeries::Fold(const TRaw& P) {
  const auto sameBin = [&] {
    return !FBuckets.empty() && std::floor(FBuckets.back().T / FWidth) == std::floor(P.T / FWidth);
  };
  if (!sameBin() && FBuckets.size() >= BucketCapacity) Compact();
  if (sameBin()) {
    TTrendPoint& b = FBuckets.back();
    b.Min = std::min(b.Min, P.V);
    b.Max = std::max(b.Max, P.V);
    return;
  }
  FBuckets.push_back({P.T, P.V, P.V});
}

void TTrendSeries::Compact() {
  // Twice the width joins neighbouring buckets; sparse points may need more than one doubling.
  do {
    FWidth *= 2;
    std::size_t j = 0;
    for (std::size_t i = 0; i < FBuckets.size(); ++i) {
      const TTrendPoint b = FBuckets[i];
      if (j > 0 && std::floor(FBuckets[j - 1].T / FWidth) == std::floor(b.T / FWidth)) {
        FBuckets[j - 1].Min = std::min(FBuckets[j - 1].Min, b.Min);
        FBuckets[j - 1].Max = std::max(FBuckets[j - 1].Max, b.Max);
      } else {
        FBuckets[j++] = b;
      }
    }
    FBuckets.resize(j);
  } while (FBuckets.size() > BucketCapacity / 2);
}

std::size_t TTrendSeries::RawLowerBound(double T) const {
  std::size_t lo = 0, hi = FRaw.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (Raw(mid).T < T) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

std::size_t TTrendSeries::RawUpperBound(double T) const {
  std::size_t lo = 0, hi = FRaw.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (Raw(mid).T <= T) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void TTrendSeries::Collect(double From, double To, int Columns,
                           std::vector<TTrendPoint>& Out) const {
  if (!(From <= To)) return;
  const auto byT = [](const TTrendPoint& p, double t) { return p.T < t; };
  const auto b0 = static_cast<std::size_t>(
      std::lower_bound(FBuckets.begin(), FBuckets.end(), From, byT) - FBuckets.begin());
  const auto b1 = static_cast<std::size_t>(
      std::upper_bound(FBuckets.begin(), FBuckets.end(), To,
                       [](double t, const TTrendPoint& p) { return t < p.T; }) -
      FBuckets.begin());
  const std::size_t r0 = RawLowerBound(From);
  const std::size_t r1 = RawUpperBound(To);

  // The nearest point before the range: buckets are older than every raw point.
  if (r0 > 0) {
    const TRaw& p = Raw(r0 - 1);
    Out.push_back({p.T, p.V, p.V});
  } else if (b0 > 0) {
    Out.push_back(FBuckets[b0 - 1]);
  }

  const std::size_t first = Out.size();
  const double width = Columns > 0 ? (To - From) / Columns : 0;
  double column = -1;
  const auto put = [&](double t, double min, double max) {
    if (width > 0) {
      const double c = std::min(std::floor((t - From) / width), Columns - 1.0);
      if (Out.size() > first && c == column) {
        Out.back().Min = std::min(Out.back().Min, min);
        Out.back().Max = std::max(Out.back().Max, max);
        return;
      }
      column = c;
    }
    Out.push_back({t, min, max});
  };
  for (std::size_t i = b0; i < b1; ++i) put(FBuckets[i].T, FBuckets[i].Min, FBuckets[i].Max);
  for (std::size_t i = r0; i < r1; ++i) put(Raw(i).T, Raw(i).V, Raw(i).V);

  // And the nearest after it.
  if (b1 < FBuckets.size()) {
    Out.push_back(FBuckets[b1]);
  } else if (r1 < FRaw.size()) {
    const TRaw& p = Raw(r1);
    Out.push_back({p.T, p.V, p.V});
  }
}

std::size_t TTrendSeries::MemoryBytes() const {
  return sizeof(*this) + FRaw.capacity() * sizeof(TRaw) + FBuckets.capacity() * sizeof(TTrendPoint);
}

// ------------------------------------------------------------------------------- TTrendSpans

double TTrendSpans::Infinity() {
  return std::numeric_limits<double>::infinity();
}

void TTrendSpans::Open(double T) {
  if (IsOpen()) return;
  if (!FSpans.empty() && FSpans.back().To >= T) {
    FSpans.back().To = Infinity();  // opened again where it closed: one span
    return;
  }
  if (FSpans.size() >= Capacity) Compact();
  FSpans.push_back({T, Infinity()});
}

void TTrendSpans::Close(double T) {
  if (IsOpen()) FSpans.back().To = std::max(T, FSpans.back().From);
}

void TTrendSpans::Compact() {
  const std::size_t n = FSpans.size();
  if (n < 2) return;
  // Join the half of the neighbours that lie closest together.
  std::vector<std::pair<double, std::size_t>> gaps;
  gaps.reserve(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) gaps.push_back({FSpans[i + 1].From - FSpans[i].To, i});
  const std::size_t joins = (n - 1 + 1) / 2;
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(joins - 1), gaps.end());
  std::vector<char> join(n, 0);
  for (std::size_t k = 0; k < joins; ++k) join[gaps[k].second] = 1;
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (j > 0 && join[i - 1]) {
      FSpans[j - 1].To = FSpans[i].To;
    } else {
      FSpans[j++] = FSpans[i];
    }
  }
  FSpans.resize(j);
}

void TTrendSpans::Collect(double From, double To, std::vector<TTrendSpan>& Out) const {
  // Spans do not overlap, so their ends are in order too.
  auto it = std::partition_point(FSpans.begin(), FSpans.end(),
                                 [&](const TTrendSpan& s) { return s.To < From; });
  for (; it != FSpans.end() && it->From <= To; ++it) Out.push_back(*it);
}

// ------------------------------------------------------------------------------- TTrendModel

TTrendModel::TTrendModel(const TStamp& SessionStart) : FStart(SessionStart) {
  FLastMarker.fill(-1);
}

double TTrendModel::SessionSeconds(const TStamp& Time) const {
  return std::chrono::duration<double>(Time.Mono - FStart.Mono).count();
}

int TTrendModel::SeriesIndex(TQuantity Quantity, std::uint8_t Branch) {
  if (Branch > MaxBranch) return -1;
  int kind = 0;
  switch (Quantity) {
    case TQuantity::Current:
      kind = 0;
      break;
    case TQuantity::CurrentActual:
      kind = 1;
      break;
    case TQuantity::Frequency:
      kind = 2;
      break;
    default:
      return -1;
  }
  return kind * (MaxBranch + 1) + Branch;
}

const TTrendSeries* TTrendModel::Series(TQuantity Quantity, std::uint8_t Branch) const {
  const int i = SeriesIndex(Quantity, Branch);
  return i < 0 ? nullptr : FSeries[static_cast<std::size_t>(i)].get();
}

void TTrendModel::Add(const TRecordRow& Row) {
  const double t = std::max(FLastT, SessionSeconds(Row.Time));
  FLastT = t;
  switch (Row.Quantity) {
    case TQuantity::Current:
    case TQuantity::CurrentActual:
    case TQuantity::Frequency: {
      const int i = SeriesIndex(Row.Quantity, Row.Branch);
      if (i < 0) return;
      auto& series = FSeries[static_cast<std::size_t>(i)];
      if (!series) series = std::make_unique<TTrendSeries>();
      series->Add(t, Row.Value);
      return;
    }
    case TQuantity::Emission:
      if (Row.Value == 1) FEmission.Open(t);
      if (Row.Value == 0) FEmission.Close(t);
      return;
    case TQuantity::Connection:
      if (Row.Value == 0) {
        FEmission.Close(t);  // nothing is known of it while disconnected
        FGaps.Open(t);
      } else if (Row.Value == 1) {
        FGaps.Close(t);
      }
      return;
    case TQuantity::ErrorCode: {
      if (!(Row.Value >= 0 && Row.Value <= 255)) return;
      const auto code = static_cast<std::uint8_t>(Row.Value);
      if (FErrorTexts[code] != Row.Text) FErrorTexts[code] = Row.Text;
      AddMarker(t, code);
      return;
    }
    default:
      return;
  }
}

void TTrendModel::AddMarker(double T, std::uint8_t Code) {
  const std::int64_t last = FLastMarker[Code];
  if (last >= static_cast<std::int64_t>(FMarkerBase)) {
    TTrendMarker& m =
        FMarkers[static_cast<std::size_t>(last - static_cast<std::int64_t>(FMarkerBase))];
    if (T - m.Last <= MarkerMergeSeconds) {
      m.Last = T;
      if (m.Count < UINT32_MAX) ++m.Count;
      return;
    }
  }
  if (FMarkers.size() >= MarkerCapacity) {
    // The oldest quarter goes: the plot keeps the session's recent errors.
    const std::size_t drop = MarkerCapacity / 4;
    FMarkers.erase(FMarkers.begin(), FMarkers.begin() + static_cast<std::ptrdiff_t>(drop));
    FMarkerBase += drop;
  }
  FMarkers.push_back({T, T, 1, Code});
  FLastMarker[Code] = static_cast<std::int64_t>(FMarkerBase + FMarkers.size() - 1);
}

TTrendFrame TTrendModel::Query(double From, double To, int Columns) const {
  TTrendFrame frame;
  frame.From = From;
  frame.To = To;
  if (!(From <= To)) return frame;
  const std::vector<TTrendSpan>& gaps = FGaps.Items();
  std::vector<TTrendPoint> points;
  for (std::size_t i = 0; i < FSeries.size(); ++i) {
    if (!FSeries[i]) continue;
    points.clear();
    FSeries[i]->Collect(From, To, Columns, points);
    if (points.empty()) continue;
    static constexpr TQuantity kinds[] = {TQuantity::Current, TQuantity::CurrentActual,
                                          TQuantity::Frequency};
    TTrendLine line{kinds[i / (MaxBranch + 1)], static_cast<std::uint8_t>(i % (MaxBranch + 1)), {}};
    line.Segments.emplace_back();
    auto gap = std::partition_point(gaps.begin(), gaps.end(),
                                    [&](const TTrendSpan& g) { return g.From < points.front().T; });
    for (std::size_t k = 0; k < points.size(); ++k) {
      bool split = false;
      for (; k > 0 && gap != gaps.end() && gap->From < points[k].T; ++gap) split = true;
      if (split) line.Segments.emplace_back();
      line.Segments.back().push_back(points[k]);
    }
    frame.Lines.push_back(std::move(line));
  }
  FEmission.Collect(From, To, frame.Emission);
  FGaps.Collect(From, To, frame.Gaps);
  for (const TTrendMarker& m : FMarkers) {
    if (m.T <= To && m.Last >= From) frame.Errors.push_back(m);
  }
  return frame;
}

std::string TTrendModel::ExportCsv(const TTrendFrame& Frame,
                                   const std::function<int(std::time_t)>& LocalOffset) const {
  struct TOut {
    double T;
    std::string Line;
  };
  std::vector<TOut> rows;
  const auto in = [&](double t) { return t >= Frame.From && t <= Frame.To; };
  const auto row = [&](double t, std::uint8_t branch, TQuantity quantity, double value, double min,
                       double max, std::string_view text) {
    std::string s;
    const std::int64_t ms = std::llround(t * 1000);
    const std::int64_t wall = FStart.UnixMs() + ms;
    const std::int64_t second = wall >= 0 ? wall / 1000 : (wall - 999) / 1000;
    AppendIsoTime(s, wall, LocalOffset(static_cast<std::time_t>(second)));
    s += ',';
    AppendSeconds3(s, ms);
    s += ',' + std::to_string(branch) + ',';
    s += QuantityName(quantity);
    s += ',';
    AppendCsvNumber(s, value);
    s += ',';
    AppendCsvNumber(s, min);
    s += ',';
    AppendCsvNumber(s, max);
    s += ',';
    s += QuantityUnit(quantity);
    s += ',';
    AppendCsvField(s, text);
    s += "\r\n";
    rows.push_back({t, std::move(s)});
  };
  for (const TTrendLine& line : Frame.Lines) {
    for (const auto& segment : line.Segments) {
      for (const TTrendPoint& p : segment) {
        if (!in(p.T)) continue;
        if (p.Min == p.Max) {
          row(p.T, line.Branch, line.Quantity, p.Min, NoValue, NoValue, {});
        } else {
          row(p.T, line.Branch, line.Quantity, NoValue, p.Min, p.Max, {});
        }
      }
    }
  }
  const auto spans = [&](const std::vector<TTrendSpan>& list, TQuantity quantity, double atFrom) {
    for (const TTrendSpan& s : list) {
      if (in(s.From)) row(s.From, 0, quantity, atFrom, NoValue, NoValue, {});
      if (in(s.To)) row(s.To, 0, quantity, 1 - atFrom, NoValue, NoValue, {});
    }
  };
  spans(Frame.Emission, TQuantity::Emission, 1);
  spans(Frame.Gaps, TQuantity::Connection, 0);
  for (const TTrendMarker& m : Frame.Errors) {
    if (!in(m.T)) continue;
    std::string text(ErrorText(m.Code));
    if (m.Count > 1) text += " (" + std::to_string(m.Count) + " reports)";
    row(m.T, 0, TQuantity::ErrorCode, m.Code, NoValue, NoValue, text);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const TOut& a, const TOut& b) { return a.T < b.T; });
  std::string out = "time,elapsed_s,branch,quantity,value,min,max,unit,text\r\n";
  for (const TOut& r : rows) out += r.Line;
  return out;
}

std::size_t TTrendModel::MemoryBytes() const {
  std::size_t bytes = sizeof(*this) + FEmission.MemoryBytes() + FGaps.MemoryBytes() +
                      FMarkers.size() * sizeof(TTrendMarker);
  for (const auto& s : FSeries) {
    if (s) bytes += s->MemoryBytes();
  }
  for (const std::string& t : FErrorTexts) bytes += t.capacity();
  return bytes;
}
