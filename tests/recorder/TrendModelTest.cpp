// The trend plot's data, without painting: decimation keeps every minimum and maximum, memory is
// bounded, the time windows, pause, zoom, gaps, emission, error markers and the CSV export.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "RecorderTestUtil.h"
#include "logic/recorder/TrendModel.h"
#include "logic/recorder/TrendView.h"

namespace {

using rectest::At;

TRecordRow Row(double seconds, TQuantity quantity, std::uint8_t branch, double value,
               std::string text = {}) {
  TRecordRow row;
  row.Time = At(std::llround(seconds * 1000));
  row.Quantity = quantity;
  row.Branch = branch;
  row.Value = value;
  row.Text = std::move(text);
  return row;
}

struct TEnvelope {
  double Min = std::numeric_limits<double>::infinity();
  double Max = -std::numeric_limits<double>::infinity();
  void Take(double min, double max) {
    Min = std::min(Min, min);
    Max = std::max(Max, max);
  }
};

// A current that wanders, with rare spikes and dips, every 100 ms for 24 hours. The decimated
// series, queried anywhere at any resolution, never loses an extreme and never invents one.
TEST(TrendSeries, DecimationKeepsEveryMinimumAndMaximum) {
  std::mt19937 random(3);
  TTrendSeries series;
  std::vector<std::pair<double, double>> truth;
  const int points = 24 * 3600 * 10;
  truth.reserve(points);
  double v = 20;
  for (int i = 0; i < points; ++i) {
    const double t = i * 0.1;
    v = std::clamp(v + (static_cast<int>(random() % 21) - 10) * 0.01, 0.0, 40.0);
    double value = v;
    if (random() % 50000 == 0) value = 99.99;  // a spike of one reading
    if (random() % 50000 == 0) value = -1;     // a dip
    series.Add(t, value);
    truth.push_back({t, value});
  }
  EXPECT_EQ(series.RawCount(), TTrendSeries::RawCapacity);
  EXPECT_LE(series.BucketCount(), TTrendSeries::BucketCapacity);
  EXPECT_GE(series.BucketSeconds(), 2.0);  // 24 h of 1 s buckets did not fit: doubled
  EXPECT_LE(series.MemoryBytes(), TTrendSeries::MaxBytes + sizeof(TTrendSeries));

  const double w = series.BucketSeconds();
  const auto envelopeOf = [&](double from, double to) {
    TEnvelope e;
    const auto lo = std::lower_bound(truth.begin(), truth.end(), std::make_pair(from, -1e300));
    for (auto it = lo; it != truth.end() && it->first <= to; ++it) e.Take(it->second, it->second);
    return e;
  };
  const struct {
    double From, To;
    int Columns;
  } windows[] = {
      {0, 86400, 1000},      {0, 86400, 1},        {0, 86400, 0},        {3600, 7200, 800},
      {1234.5, 1294.5, 600}, {40000, 40010, 50},   {86000, 86400, 2000}, {85000, 86400, 3},
      {86399.5, 86400, 10},  {30000.05, 30600, 0},
  };
  for (const auto& win : windows) {
    std::vector<TTrendPoint> out;
    series.Collect(win.From, win.To, win.Columns, out);
    ASSERT_FALSE(out.empty());
    TEnvelope got;
    for (const TTrendPoint& p : out) got.Take(p.Min, p.Max);
    const TEnvelope inside = envelopeOf(win.From, win.To);
    const TEnvelope around = envelopeOf(win.From - 2 * w, win.To + 2 * w);
    EXPECT_LE(got.Min, inside.Min) << win.From << ".." << win.To;
    EXPECT_GE(got.Max, inside.Max) << win.From << ".." << win.To;
    EXPECT_GE(got.Min, around.Min) << win.From << ".." << win.To;
    EXPECT_LE(got.Max, around.Max) << win.From << ".." << win.To;
    for (std::size_t i = 1; i < out.size(); ++i) ASSERT_LE(out[i - 1].T, out[i].T);
    if (win.Columns > 0) {
      EXPECT_LE(out.size(), static_cast<std::size_t>(win.Columns) + 2);
    }
  }
  // Every spike is in the "all" view however few its columns.
  std::vector<TTrendPoint> all;
  series.Collect(0, 86400, 200, all);
  TEnvelope e;
  for (const TTrendPoint& p : all) e.Take(p.Min, p.Max);
  EXPECT_EQ(e.Max, envelopeOf(0, 86400).Max);
  EXPECT_EQ(e.Min, envelopeOf(0, 86400).Min);
}

TEST(TrendSeries, SparsePointsAndBackwardsTimesStayInOrder) {
  TTrendSeries series;
  // Far apart: doubling the width once does not free enough buckets.
  const std::size_t n = TTrendSeries::RawCapacity + TTrendSeries::BucketCapacity + 10;
  for (std::size_t i = 0; i < n; ++i) series.Add(i * 1000.0, static_cast<double>(i % 10));
  series.Add(5, 7);  // earlier than the last: taken as at the last time
  series.Add(1e9, std::nan(""));
  EXPECT_LE(series.BucketCount(), TTrendSeries::BucketCapacity);
  std::vector<TTrendPoint> out;
  series.Collect(0, 1e12, 0, out);
  EXPECT_EQ(out.size(), series.BucketCount() + series.RawCount());
  for (std::size_t i = 1; i < out.size(); ++i) ASSERT_LE(out[i - 1].T, out[i].T);
  EXPECT_EQ(out.back().T, (n - 1) * 1000.0);
  EXPECT_EQ(out.back().Min, 7);
}

// 24 hours of a two-branch laser refreshed every 100 ms, with the laser switched on and off,
// errors and disconnections: within the stated budget, and no more after three more days.
TEST(TrendModel, MemoryStaysWithinItsBudget) {
  TTrendModel model(At(0));
  std::size_t at24h = 0;
  for (int i = 0; i < 4 * 24 * 36000; ++i) {
    const double t = i * 0.1;
    const bool connected = i % 36000 > 100;  // a short disconnection every hour
    if (i % 36000 == 0) model.Add(Row(t, TQuantity::Connection, 0, 0));
    if (i % 36000 == 101) model.Add(Row(t, TQuantity::Connection, 0, 1));
    if (!connected) continue;
    for (std::uint8_t b = 1; b <= 2; ++b) {
      model.Add(Row(t, TQuantity::Current, b, 20 + std::sin(t / 100)));
      model.Add(Row(t, TQuantity::CurrentActual, b, 19.5 + std::sin(t / 90)));
      model.Add(Row(t, TQuantity::Frequency, b, 30000));
    }
    if (i % 6000 == 200) model.Add(Row(t, TQuantity::Emission, 0, (i / 6000) % 2));
    if (i % 600 == 0) model.Add(Row(t, TQuantity::ErrorCode, 0, 93, "interlock"));
    if (i == 24 * 36000) at24h = model.MemoryBytes();
  }
  const std::size_t budget = 13 * 1024 * 1024;  // the README's figure for two branches
  EXPECT_LE(at24h, budget);
  EXPECT_LE(model.MemoryBytes(), budget);
  EXPECT_LE(model.MemoryBytes(), TTrendModel::MaxBytes);
  EXPECT_LE(TTrendModel::MaxBytes, std::size_t{20} * 1024 * 1024);
  // The "all" view still reaches back to the start.
  const TTrendFrame frame = model.Query(0, 4 * 86400, 2000);
  ASSERT_EQ(frame.Lines.size(), 6u);
  EXPECT_LT(frame.Lines[0].Segments.front().front().T, 3700);
  EXPECT_EQ(frame.Gaps.size(), 96u);
}

TEST(TrendView, TheTimeWindowFollowsThePresentUntilPausedOrZoomed) {
  TTrendView view;
  const struct {
    TTimeWindow Window;
    double Now;
    double From, To;
  } follow[] = {
      {TTimeWindow::OneMinute, 1000, 940, 1000}, {TTimeWindow::TenMinutes, 1000, 400, 1000},
      {TTimeWindow::OneHour, 5000, 1400, 5000},  {TTimeWindow::All, 5000, 0, 5000},
      {TTimeWindow::OneMinute, 10, -50, 10},     {TTimeWindow::All, 0, 0, 1},
  };
  for (const auto& f : follow) {
    view.SetWindow(f.Window);
    const TTrendRange r = view.Range(f.Now);
    EXPECT_EQ(r.From, f.From) << static_cast<int>(f.Window) << " at " << f.Now;
    EXPECT_EQ(r.To, f.To);
  }

  // Paused: the plot stops moving; a new window keeps the pause.
  view.SetWindow(TTimeWindow::OneMinute);
  view.Pause(1000);
  EXPECT_EQ(view.Range(2000).To, 1000);
  view.Pause(1500);  // already paused: stays where it stopped
  view.SetWindow(TTimeWindow::TenMinutes);
  EXPECT_EQ(view.Range(2000).From, 400);
  EXPECT_EQ(view.Range(2000).To, 1000);

  // Zoom about a time keeps that time where it was; pan moves; reset returns to the window.
  view.Zoom(0.5, 850, 2000);  // 400..1000, 850 at 3/4 of it
  EXPECT_DOUBLE_EQ(view.Range(2000).From, 625);
  EXPECT_DOUBLE_EQ(view.Range(2000).To, 925);
  view.Pan(-25, 3000);
  EXPECT_DOUBLE_EQ(view.Range(3000).From, 600);
  EXPECT_DOUBLE_EQ(view.Range(3000).To, 900);
  view.Zoom(1e-9, 700, 3000);
  EXPECT_DOUBLE_EQ(view.Range(3000).To - view.Range(3000).From, TTrendView::MinSeconds);
  view.Zoom(std::nan(""), 700, 3000);
  view.Zoom(-1, 700, 3000);
  EXPECT_DOUBLE_EQ(view.Range(3000).To - view.Range(3000).From, TTrendView::MinSeconds);
  view.Reset();
  EXPECT_FALSE(view.Zoomed());
  EXPECT_EQ(view.Range(3000).To, 1000);  // still paused
  // Zoomed while following: the range stops there too.
  view.Resume();
  EXPECT_EQ(view.Range(3000).To, 3000);
  view.Zoom(2, 3000, 3000);
  EXPECT_EQ(view.Range(4000).To, 3000);
  EXPECT_EQ(view.Range(4000).From, 1800);
  view.Resume();
  EXPECT_EQ(view.Range(4000).To, 4000);
}

// Paused, the model goes on taking data: resumed, the plot shows what came meanwhile.
TEST(TrendModel, DataKeepsComingWhilePaused) {
  TTrendModel model(At(0));
  TTrendView view;
  view.SetWindow(TTimeWindow::OneMinute);
  for (int s = 0; s <= 100; ++s) model.Add(Row(s, TQuantity::Current, 1, s));
  view.Pause(100);
  for (int s = 101; s <= 200; ++s) model.Add(Row(s, TQuantity::Current, 1, s));
  TTrendRange r = view.Range(200);
  TTrendFrame frame = model.Query(r.From, r.To, 0);
  ASSERT_EQ(frame.Lines.size(), 1u);
  // 40..100 and the nearest point on either side
  EXPECT_EQ(frame.Lines[0].Segments[0].size(), 63u);
  EXPECT_EQ(frame.Lines[0].Segments[0][61].Max, 100);
  view.Resume();
  r = view.Range(200);
  frame = model.Query(r.From, r.To, 0);
  EXPECT_EQ(frame.Lines[0].Segments[0].back().Max, 200);
}

TEST(TrendModel, GapsSplitLinesAndCloseTheEmission) {
  TTrendModel model(At(0));
  model.Add(Row(0, TQuantity::Connection, 0, 1));
  model.Add(Row(1, TQuantity::Current, 1, 10));
  model.Add(Row(2, TQuantity::Emission, 0, 1));
  model.Add(Row(3, TQuantity::Current, 1, 11));
  model.Add(Row(4, TQuantity::Connection, 0, 0));
  model.Add(Row(10, TQuantity::Connection, 0, 1));
  model.Add(Row(11, TQuantity::Current, 1, 12));
  model.Add(Row(12, TQuantity::Emission, 0, 0));  // off while it was not on: nothing
  model.Add(Row(13, TQuantity::Emission, 0, 1));
  model.Add(Row(14, TQuantity::Frequency, 2, 5000));
  model.Add(Row(15, TQuantity::Connection, 0, 0));  // still disconnected at the end
  model.Add(Row(16, TQuantity::Current, 9, 1));     // a branch the plot has no place for

  const TTrendFrame frame = model.Query(0, 20, 100);
  ASSERT_EQ(frame.Lines.size(), 2u);
  EXPECT_EQ(frame.Lines[0].Quantity, TQuantity::Current);
  ASSERT_EQ(frame.Lines[0].Segments.size(), 2u);
  EXPECT_EQ(frame.Lines[0].Segments[0].size(), 2u);
  EXPECT_EQ(frame.Lines[0].Segments[1].size(), 1u);
  EXPECT_EQ(frame.Lines[1].Quantity, TQuantity::Frequency);
  EXPECT_EQ(frame.Lines[1].Branch, 2);
  ASSERT_EQ(frame.Gaps.size(), 2u);
  EXPECT_EQ(frame.Gaps[0].From, 4);
  EXPECT_EQ(frame.Gaps[0].To, 10);
  EXPECT_EQ(frame.Gaps[1].To, TTrendSpans::Infinity());
  ASSERT_EQ(frame.Emission.size(), 2u);
  EXPECT_EQ(frame.Emission[0].From, 2);
  EXPECT_EQ(frame.Emission[0].To, 4);  // closed by the disconnection
  EXPECT_EQ(frame.Emission[1].From, 13);
  EXPECT_EQ(frame.Emission[1].To, 15);

  // Only what overlaps the range.
  const TTrendFrame late = model.Query(11, 12.5, 100);
  EXPECT_EQ(late.Gaps.size(), 0u);
  EXPECT_EQ(late.Emission.size(), 0u);
}

TEST(TrendModel, ErrorMarkersGatherRepeatsWithinAMinute) {
  TTrendModel model(At(0));
  // 93 and 7 reported together every second for two minutes, then 93 again after five minutes
  for (int s = 0; s < 120; ++s) {
    model.Add(Row(s, TQuantity::ErrorCode, 0, 93, "interlock"));
    model.Add(Row(s, TQuantity::ErrorCode, 0, 7, "temperature"));
  }
  model.Add(Row(420, TQuantity::ErrorCode, 0, 93, "interlock open"));
  const TTrendFrame frame = model.Query(0, 500, 100);
  ASSERT_EQ(frame.Errors.size(), 3u);
  EXPECT_EQ(frame.Errors[0].Code, 93);
  EXPECT_EQ(frame.Errors[0].Count, 120u);
  EXPECT_EQ(frame.Errors[0].Last, 119);
  EXPECT_EQ(frame.Errors[1].Code, 7);
  EXPECT_EQ(frame.Errors[2].T, 420);
  EXPECT_EQ(model.ErrorText(93), "interlock open");
  EXPECT_EQ(model.Query(100, 200, 10).Errors.size(), 2u);  // the runs reach into it

  // Bounded: the oldest go first.
  TTrendModel many(At(0));
  for (int i = 0; i < 20000; ++i) many.Add(Row(i * 100.0, TQuantity::ErrorCode, 0, i % 256));
  EXPECT_LE(many.MarkerCount(), TTrendModel::MarkerCapacity);
  EXPECT_EQ(many.Query(0, 3e6, 10).Errors.back().T, 19999 * 100.0);
}

// Full, spans are joined where they lie closest: what was covered stays covered.
TEST(TrendSpans, JoiningKeepsEverythingCovered) {
  TTrendSpans spans;
  std::mt19937 random(5);
  std::vector<TTrendSpan> truth;
  double t = 0;
  for (std::size_t i = 0; i < 3 * TTrendSpans::Capacity; ++i) {
    t += 1 + random() % 100;
    const double from = t;
    t += 1 + random() % 100;
    spans.Open(from);
    spans.Close(t);
    truth.push_back({from, t});
  }
  EXPECT_LE(spans.Count(), TTrendSpans::Capacity);
  const auto& items = spans.Items();
  std::size_t k = 0;
  for (const TTrendSpan& s : truth) {
    while (k < items.size() && items[k].To < s.To) ++k;
    ASSERT_LT(k, items.size());
    ASSERT_LE(items[k].From, s.From);
  }
}

TEST(TrendModel, ExportsWhatIsShownAsCsv) {
  TTrendModel model(At(0));
  model.Add(Row(0.5, TQuantity::Connection, 0, 1));
  model.Add(Row(1, TQuantity::Current, 1, 12.5));
  model.Add(Row(2, TQuantity::Emission, 0, 1));
  model.Add(Row(3, TQuantity::ErrorCode, 0, 93, "General protection, \"interlock\""));
  model.Add(Row(3.5, TQuantity::ErrorCode, 0, 93, "General protection, \"interlock\""));
  model.Add(Row(4, TQuantity::Frequency, 2, 20000));
  model.Add(Row(5, TQuantity::Connection, 0, 0));
  model.Add(Row(9, TQuantity::Current, 1, 13));
  const TTrendFrame frame = model.Query(1, 6, 0);
  const std::string csv = model.ExportCsv(frame, [](std::time_t) { return 60; });
  EXPECT_EQ(csv,
            "time,elapsed_s,branch,quantity,value,min,max,unit,text\r\n"
            "2024-05-01T15:03:23.123+01:00,1.000,1,current,12.5,,,A,\r\n"
            "2024-05-01T15:03:24.123+01:00,2.000,0,emission,1,,,,\r\n"
            "2024-05-01T15:03:25.123+01:00,3.000,0,error_code,93,,,,"
            "\"General protection, \"\"interlock\"\" (2 reports)\"\r\n"
            "2024-05-01T15:03:26.123+01:00,4.000,2,frequency,20000,,,Hz,\r\n"
            "2024-05-01T15:03:27.123+01:00,5.000,0,emission,0,,,,\r\n"
            "2024-05-01T15:03:27.123+01:00,5.000,0,connection,0,,,,\r\n");

  // Buckets go out as their minimum and maximum.
  TTrendModel dense(At(0));
  const std::size_t n = TTrendSeries::RawCapacity + 20;
  for (std::size_t i = 0; i < n; ++i) {
    dense.Add(Row(i * 0.1, TQuantity::Current, 2, static_cast<double>(i % 5)));
  }
  const std::string buckets =
      dense.ExportCsv(dense.Query(0, 0.95, 0), [](std::time_t) { return 0; });
  EXPECT_EQ(buckets,
            "time,elapsed_s,branch,quantity,value,min,max,unit,text\r\n"
            "2024-05-01T14:03:22.123+00:00,0.000,2,current,,0,4,A,\r\n");
}

}  // namespace
