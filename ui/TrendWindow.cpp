#include "ui/TrendWindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kLeft = 56, kRight = 64, kTop = 22, kBottom = 24;

// A round upper bound for an axis: 1, 2 or 5 times a power of ten.
double NiceCeiling(double Value) {
  if (!(Value > 0) || !std::isfinite(Value)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(Value)));
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (Value <= step * power) return step * power;
  }
  return 10 * power;
}

QColor SeriesColour(TQuantity Quantity, std::uint8_t Branch) {
  const bool second = Branch == 2;
  switch (Quantity) {
    case TQuantity::Current:
      return second ? QColor(200, 40, 40) : QColor(30, 80, 200);
    case TQuantity::CurrentActual:
      return second ? QColor(235, 130, 120) : QColor(110, 160, 240);
    default:
      return second ? QColor(120, 60, 150) : QColor(20, 140, 60);
  }
}

QString SeriesName(TQuantity Quantity, std::uint8_t Branch) {
  const QString laser = Branch == 0 ? QString() : QStringLiteral(" %1").arg(Branch);
  switch (Quantity) {
    case TQuantity::Current:
      return QStringLiteral("I") + laser + QStringLiteral(" (A)");
    case TQuantity::CurrentActual:
      return QStringLiteral("I actual") + laser + QStringLiteral(" (A)");
    default:
      return QStringLiteral("f") + laser + QStringLiteral(" (Hz)");
  }
}

// "." as separator whatever the locale; no more decimals than the axis needs.
QString AxisNumber(double Value) {
  if (std::fabs(Value) >= 1000) return QString::number(Value, 'f', 0);
  return QString::number(Value, 'g', 4);
}

}  // namespace

// ---------------------------------------------------------------- the plot

TTrendPlot::TTrendPlot(const TTrendModel& Model, TTrendView& View, std::function<double()> Now,
                       QWidget* Parent)
    : QWidget(Parent), FModel(Model), FView(View), FNow(std::move(Now)) {
  setObjectName(QStringLiteral("TrendPlot"));
  setMinimumSize(420, 220);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
  setToolTip(QStringLiteral("Wheel: zoom. Drag: pan. Double click: reset."));
}

QRect TTrendPlot::PlotArea() const {
  return rect().adjusted(kLeft, kTop, -kRight, -kBottom);
}

TTrendFrame TTrendPlot::Frame() const {
  const TTrendRange range = FView.Range(FNow());
  return FModel.Query(range.From, range.To, std::max(1, PlotArea().width()));
}

void TTrendPlot::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QRect area = PlotArea();
  const TTrendFrame frame = Frame();
  const double span = std::max(frame.To - frame.From, 1e-9);
  const auto x = [&](double t) {
    const double clamped = std::clamp(t, frame.From, frame.To);
    return area.left() + (clamped - frame.From) / span * area.width();
  };

  // The scales: currents on the left, frequencies on the right, both from zero.
  double maxA = 0, maxHz = 0;
  for (const TTrendLine& line : frame.Lines) {
    double& top = line.Quantity == TQuantity::Frequency ? maxHz : maxA;
    for (const auto& segment : line.Segments) {
      for (const TTrendPoint& point : segment) {
        if (point.T >= frame.From && point.T <= frame.To) top = std::max(top, point.Max);
      }
    }
  }
  maxA = NiceCeiling(maxA);
  maxHz = NiceCeiling(maxHz);
  const auto y = [&](double value, bool hz) {
    const double top = hz ? maxHz : maxA;
    return area.bottom() - std::clamp(value / top, -0.05, 1.05) * area.height();
  };

  // Emission and gaps behind everything.
  for (const TTrendSpan& s : frame.Emission) {
    p.fillRect(QRectF(QPointF(x(s.From), area.top()), QPointF(x(s.To), area.bottom())),
               QColor(255, 212, 0, 70));
  }
  for (const TTrendSpan& s : frame.Gaps) {
    p.fillRect(QRectF(QPointF(x(s.From), area.top()), QPointF(x(s.To), area.bottom())),
               QBrush(QColor(150, 150, 150, 90), Qt::BDiagPattern));
  }

  // Grid and axes.
  p.setPen(QColor(225, 225, 225));
  for (int i = 1; i < 5; ++i) {
    const int gy = area.bottom() - i * area.height() / 5;
    p.drawLine(area.left(), gy, area.right(), gy);
  }
  p.setPen(Qt::black);
  p.drawRect(area);
  const QFontMetrics fm = p.fontMetrics();
  for (int i = 0; i <= 5; ++i) {
    const int gy = area.bottom() - i * area.height() / 5;
    const QString left = AxisNumber(maxA * i / 5);
    const QString right = AxisNumber(maxHz * i / 5);
    p.drawText(QRect(0, gy - fm.height() / 2, kLeft - 4, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, left);
    p.drawText(QRect(area.right() + 4, gy - fm.height() / 2, kRight - 4, fm.height()),
               Qt::AlignLeft | Qt::AlignVCenter, right);
  }
  p.drawText(QRect(0, 2, kLeft - 4, kTop - 4), Qt::AlignRight | Qt::AlignVCenter,
             QStringLiteral("A"));
  p.drawText(QRect(area.right() + 4, 2, kRight - 4, kTop - 4), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Hz"));
  // Time labels at the ends and the middle, as the local clock showed it.
  const QDateTime start = QDateTime::fromMSecsSinceEpoch(FModel.SessionStart().UnixMs());
  const QString format =
      span >= 2 * 3600 ? QStringLiteral("dd.MM. HH:mm") : QStringLiteral("HH:mm:ss");
  for (int i = 0; i <= 2; ++i) {
    const double t = frame.From + span * i / 2;
    const QString label = start.addMSecs(static_cast<qint64>(t * 1000)).toString(format);
    const int w = fm.horizontalAdvance(label);
    const int lx = std::clamp(static_cast<int>(x(t)) - w / 2, area.left(), area.right() - w);
    p.drawText(QRect(lx, area.bottom() + 4, w + 2, kBottom - 4), Qt::AlignLeft, label);
  }

  // The series, clipped to the area; a bucket of several values as its range.
  // Steps are level and upright lines: crisp without antialiasing, and twice as fast to draw.
  p.setClipRect(area.adjusted(0, 0, 1, 1));
  int legendX = area.left() + 6;
  for (const TTrendLine& line : frame.Lines) {
    const bool hz = line.Quantity == TQuantity::Frequency;
    QPen pen(SeriesColour(line.Quantity, line.Branch), 2);
    if (line.Quantity == TQuantity::CurrentActual) pen.setStyle(Qt::DashLine);
    p.setPen(pen);
    for (const auto& segment : line.Segments) {
      QPainterPath path;
      for (std::size_t i = 0; i < segment.size(); ++i) {
        const TTrendPoint& point = segment[i];
        const QPointF at(x(point.T), y((point.Min + point.Max) / 2, hz));
        // A step: the value holds until the next report.
        if (i == 0) {
          path.moveTo(at);
        } else {
          path.lineTo(QPointF(at.x(), path.currentPosition().y()));
          path.lineTo(at);
        }
        if (point.Max > point.Min) {
          p.drawLine(QPointF(at.x(), y(point.Min, hz)), QPointF(at.x(), y(point.Max, hz)));
        }
      }
      if (segment.size() == 1) p.drawPoint(path.currentPosition());
      p.drawPath(path);
    }
    // The legend along the top edge.
    const QString name = SeriesName(line.Quantity, line.Branch);
    p.setClipping(false);
    p.fillRect(QRect(legendX, 6, 14, 3), pen.color());
    p.setPen(Qt::black);
    p.drawText(QPoint(legendX + 18, 4 + fm.ascent() / 2 + 2), name);
    legendX += 18 + fm.horizontalAdvance(name) + 12;
    p.setClipRect(area.adjusted(0, 0, 1, 1));
  }

  // Error codes: a red line and the code (with how often it came) at the top.
  for (const TTrendMarker& m : frame.Errors) {
    const int mx = static_cast<int>(x(m.T));
    p.setPen(QPen(QColor(210, 0, 0), 1, Qt::DashLine));
    p.drawLine(mx, area.top(), mx, area.bottom());
    QString label = QString::number(m.Code);
    if (m.Count > 1) label += QStringLiteral(" x%1").arg(m.Count);
    p.setPen(QColor(210, 0, 0));
    p.drawText(QPoint(mx + 3, area.top() + fm.ascent() + 2), label);
  }
  if (frame.Lines.empty() && frame.Emission.empty() && frame.Errors.empty()) {
    p.setPen(Qt::gray);
    p.drawText(area, Qt::AlignCenter, QStringLiteral("No values reported in this time"));
  }
}

void TTrendPlot::wheelEvent(QWheelEvent* Event) {
  const QRect area = PlotArea();
  const TTrendRange range = FView.Range(FNow());
  const double around = range.From + (Event->position().x() - area.left()) /
                                         std::max(1, area.width()) * (range.To - range.From);
  FView.Zoom(Event->angleDelta().y() > 0 ? 0.8 : 1.25, around, FNow());
  update();
  Event->accept();
}

void TTrendPlot::mousePressEvent(QMouseEvent* Event) {
  FDragX = static_cast<int>(Event->position().x());
}

void TTrendPlot::mouseMoveEvent(QMouseEvent* Event) {
  if (!(Event->buttons() & Qt::LeftButton)) return;
  const int now = static_cast<int>(Event->position().x());
  const TTrendRange range = FView.Range(FNow());
  const double seconds =
      -(now - FDragX) * (range.To - range.From) / std::max(1, PlotArea().width());
  FDragX = now;
  FView.Pan(seconds, FNow());
  update();
}

void TTrendPlot::mouseDoubleClickEvent(QMouseEvent*) {
  FView.Reset();
  update();
}

// ---------------------------------------------------------------- the window

TTrendWindow::TTrendWindow(const TTrendModel& Model, TStampClock& Clock, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FModel(Model), FClock(Clock) {
  setObjectName(QStringLiteral("TrendWindow"));
  setWindowTitle(QStringLiteral("Trends"));
  FPlot = new TTrendPlot(
      Model, FView, [this] { return FModel.SessionSeconds(FClock.Now()); }, this);
  FWindow = new QComboBox(this);
  FWindow->setObjectName(QStringLiteral("TimeWindow"));
  FWindow->addItems({QStringLiteral("1 min"), QStringLiteral("10 min"), QStringLiteral("1 h"),
                     QStringLiteral("All")});
  FWindow->setCurrentIndex(static_cast<int>(FView.Window()));
  FPause = new QPushButton(QStringLiteral("Pause"), this);
  FPause->setObjectName(QStringLiteral("Pause"));
  FPause->setCheckable(true);
  auto* reset = new QPushButton(QStringLiteral("Reset"), this);
  reset->setObjectName(QStringLiteral("Reset"));
  auto* png = new QPushButton(QStringLiteral("Export PNG..."), this);
  auto* csv = new QPushButton(QStringLiteral("Export CSV..."), this);
  auto* bar = new QHBoxLayout;
  bar->addWidget(FWindow);
  bar->addWidget(FPause);
  bar->addWidget(reset);
  bar->addStretch(1);
  bar->addWidget(png);
  bar->addWidget(csv);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(bar);
  layout->addWidget(FPlot, 1);
  resize(760, 380);

  connect(FWindow, &QComboBox::currentIndexChanged, this, [this](int i) {
    FView.SetWindow(static_cast<TTimeWindow>(i));
    FPlot->update();
  });
  connect(FPause, &QPushButton::toggled, this, [this](bool paused) {
    if (paused) {
      FView.Pause(FModel.SessionSeconds(FClock.Now()));
    } else {
      FView.Resume();
    }
    FPlot->update();
  });
  connect(reset, &QPushButton::clicked, this, [this] {
    FView.Reset();
    FPlot->update();
  });
  connect(png, &QPushButton::clicked, this, [this] { Export(true); });
  connect(csv, &QPushButton::clicked, this, [this] { Export(false); });
  FRepaint.setSingleShot(true);
  FRepaint.setInterval(200);
  connect(&FRepaint, &QTimer::timeout, FPlot, [this] { FPlot->update(); });
  FFollow.setInterval(1000);
  connect(&FFollow, &QTimer::timeout, this, [this] {
    if (!FView.Paused() && !FView.Zoomed()) FPlot->update();
  });
}

void TTrendWindow::DataArrived() {
  if (isVisible() && !FView.Paused() && !FRepaint.isActive()) FRepaint.start();
}

void TTrendWindow::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  FFollow.start();  // only while shown: a hidden plot costs nothing
}

void TTrendWindow::hideEvent(QHideEvent* Event) {
  FFollow.stop();
  QWidget::hideEvent(Event);
}

bool TTrendWindow::ExportPng(const QString& FileName, QString& Error) const {
  if (FPlot->grab().save(FileName, "PNG")) return true;
  Error = QStringLiteral("Cannot write ") + FileName;
  return false;
}

bool TTrendWindow::ExportCsv(const QString& FileName, QString& Error) const {
  const std::string text = FModel.ExportCsv(FPlot->Frame());
  QFile file(FileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.flush()) {
    Error = QStringLiteral("Cannot write ") + FileName + QStringLiteral(": ") + file.errorString();
    return false;
  }
  return true;
}

void TTrendWindow::Export(bool Png) {
  const QString file = QFileDialog::getSaveFileName(
      this, Png ? QStringLiteral("Export the plot") : QStringLiteral("Export the values shown"),
      QString(),
      Png ? QStringLiteral("PNG pictures (*.png)") : QStringLiteral("CSV files (*.csv)"));
  if (file.isEmpty()) return;
  QString error;
  if (!(Png ? ExportPng(file, error) : ExportCsv(file, error))) {
    QMessageBox::warning(this, QStringLiteral("Export"), error);
  }
}
