// The trend plot's repaint with 24 hours of a two-branch laser refreshed every 100 ms
// (synthesised), side by side with what a plain plot would do: every point of the range drawn as
// one polyline per series. CPU time of the painting thread, on Qt's offscreen platform at
// 1280 x 480. It measures; it never fails.
#include <time.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/BenchClock.h"
#include "logic/recorder/TrendModel.h"
#include "ui/TrendWindow.h"

namespace {

using bench::At;
using bench::CpuMs;
using bench::Median;

class TFixedClock : public TStampClock {
 public:
  explicit TFixedClock(std::int64_t Ms) : FMs(Ms) {}
  TStamp Now() override { return At(FMs); }

 private:
  std::int64_t FMs;
};

void Fill(TTrendModel& Model, long Rounds) {
  TRecordRow r;
  r.SN = 1234;
  for (long i = 0; i < Rounds; ++i) {
    const std::int64_t ms = i * 100;
    r.Time = At(ms);
    const double t = ms / 1000.0;
    r.Branch = 0;
    r.Quantity = TQuantity::Emission;
    r.Value = (i / 3000) % 2;  // five minutes on, five off
    Model.Add(r);
    for (std::uint8_t b = 1; b <= 2; ++b) {
      r.Branch = b;
      r.Quantity = TQuantity::Current;
      r.Value = 20.5 + b + std::sin(t / 600);
      Model.Add(r);
      r.Quantity = TQuantity::CurrentActual;
      r.Value = 20.47 + b + 0.05 * std::sin(t);
      Model.Add(r);
      r.Quantity = TQuantity::Frequency;
      r.Value = 30000 + 500 * std::sin(t / 3600);
      Model.Add(r);
    }
    if (i % 36000 == 0) {  // an error and a short disconnection once an hour
      r.Branch = 0;
      r.Quantity = TQuantity::ErrorCode;
      r.Value = 93;
      Model.Add(r);
      r.Quantity = TQuantity::Connection;
      r.Value = 0;
      Model.Add(r);
      r.Value = 1;
      Model.Add(r);
    }
  }
}

// A plain plot: every point in the range, one polyline per series, no decimation.
double PlainPaint(const TTrendModel& Model, double From, double To, QImage& Image) {
  const double t0 = CpuMs();
  const TTrendFrame frame = Model.Query(From, To, 0);
  QPainter p(&Image);
  p.fillRect(Image.rect(), Qt::white);
  p.setRenderHint(QPainter::Antialiasing, true);
  const double w = Image.width(), h = Image.height();
  for (const TTrendLine& line : frame.Lines) {
    const double top = line.Quantity == TQuantity::Frequency ? 50000 : 30;
    for (const auto& segment : line.Segments) {
      QPolygonF poly;
      poly.reserve(static_cast<int>(segment.size()));
      for (const TTrendPoint& point : segment) {
        poly << QPointF((point.T - From) / (To - From) * w, h - point.Max / top * h);
      }
      p.drawPolyline(poly);
    }
  }
  p.end();
  return CpuMs() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const double hours = argc > 1 ? std::atof(argv[1]) : 24;
  const long rounds = std::lround(hours * 36000);
  TTrendModel model(At(0));
  Fill(model, rounds);
  TFixedClock clock(rounds * 100);
  TTrendWindow window(model, clock, nullptr);
  TTrendPlot* plot = window.Plot();
  plot->resize(1280, 480);
  QImage ours(plot->size(), QImage::Format_ARGB32_Premultiplied);
  QImage plain(plot->size(), QImage::Format_ARGB32_Premultiplied);
  std::printf(
      "Trend plot repaint, %.0f h of a two-branch laser at 100 ms (%.1f million points), "
      "1280 x 480, CPU ms median / longest of 15:\n",
      hours, rounds * 6 / 1e6);
  std::printf("  %-8s %22s %28s\n", "window", "ours (decimated)", "plain (every point drawn)");
  const char* names[] = {"1 min", "10 min", "1 h", "all"};
  for (int w = 0; w < 4; ++w) {
    window.View().SetWindow(static_cast<TTimeWindow>(w));
    const TTrendRange range = window.View().Range(model.SessionSeconds(clock.Now()));
    std::vector<double> a, b;
    for (int i = 0; i < 15; ++i) {
      const double t0 = CpuMs();
      plot->render(&ours);
      a.push_back(CpuMs() - t0);
      b.push_back(PlainPaint(model, range.From, range.To, plain));
    }
    std::printf("  %-8s %10.2f / %8.2f %14.2f / %8.2f\n", names[w], Median(a),
                *std::max_element(a.begin(), a.end()), Median(b),
                *std::max_element(b.begin(), b.end()));
  }
  return 0;
}
