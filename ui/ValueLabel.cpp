#include "ui/ValueLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QRegularExpression>
#include <algorithm>

#include "ui/Pictures.h"

namespace {
// How much larger than the window's font a value may grow: enough to read across a bench on a
// full screen, not so much that a maximised window shows nothing but digits.
constexpr qreal LargestFactor = 4.5;
constexpr int Padding = 2;  // each side, so that a bold digit's overhang is not cut
}  // namespace

TValueLabel::TValueLabel(QWidget* Parent, const QStringList& Widest, bool Bold)
    : QLabel(Parent), FWidest(Widest), FBold(Bold) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  setFont(BaseFont());
}

void TValueLabel::SetLeader(TValueLabel* Leader) {
  FLeader = Leader;
  if (Leader) Leader->FFollower = this;
  Refit();
}

QFont TValueLabel::BaseFont() const {
  QFont font = parentWidget() ? parentWidget()->font() : QLabel::font();
  font.setBold(FBold);
  return font;
}

QSize TValueLabel::TextSize(const QFont& Font) const {
  const QFontMetrics fm(Font);
  int width = 0;
  for (const QString& text : FWidest) width = std::max(width, fm.horizontalAdvance(text));
  return {width + 2 * Padding, fm.height()};
}

QSize TValueLabel::minimumSizeHint() const {
  return TextSize(BaseFont());
}

QSize TValueLabel::sizeHint() const {
  return minimumSizeHint();
}

qreal TValueLabel::FitPointSize(const QFont& Face, const QStringList& Widest, int Width, int Height,
                                qreal Smallest, qreal Largest) {
  QFont font = Face;
  // Grown, a value keeps a little air to each side, so that two columns never run together.
  const auto fits = [&](qreal size) {
    font.setPointSizeF(size);
    const QFontMetrics fm(font);
    if (fm.height() > Height) return false;
    const int air = size > Smallest ? std::max(2 * Padding, fm.averageCharWidth()) : 2 * Padding;
    for (const QString& text : Widest) {
      if (fm.horizontalAdvance(text) + air > Width) return false;
    }
    return true;
  };
  // Half-point steps downward from the largest; the smallest is the floor the layout's minimum
  // size already guarantees.
  for (qreal size = Largest; size > Smallest; size -= 0.5) {
    if (fits(size)) return size;
  }
  return Smallest;
}

void TValueLabel::Refit() {
  if (FFitting) return;
  FFitting = true;
  const QFont base = BaseFont();
  const qreal smallest = base.pointSizeF() > 0 ? base.pointSizeF() : 8;
  qreal largest = smallest * LargestFactor;
  if (FLeader) largest = std::max(smallest, FLeader->font().pointSizeF());
  const qreal size = FitPointSize(base, FWidest, contentsRect().width(), contentsRect().height(),
                                  smallest, largest);
  if (font().pointSizeF() != size || font().bold() != FBold) {
    QFont font = base;
    font.setPointSizeF(size);
    setFont(font);
  }
  FFitting = false;
  if (FFollower) FFollower->Refit();
}

void TValueLabel::resizeEvent(QResizeEvent* Event) {
  QLabel::resizeEvent(Event);
  Refit();
}

void TValueLabel::changeEvent(QEvent* Event) {
  QLabel::changeEvent(Event);
  // The window's font reached us (it propagates to children): the floor has moved.
  if (Event->type() == QEvent::ParentChange) Refit();
}

// ---------------------------------------------------------------- heading

THeadingLabel::THeadingLabel(const QString& Text, QWidget* Parent) : QLabel(Text, Parent) {}

QSize THeadingLabel::minimumSizeHint() const {
  const QStringList words = text().split(QRegularExpression(QStringLiteral(" {2,}")));
  const QFontMetrics fm(font());
  int widest = 0;
  for (const QString& word : words) widest = std::max(widest, fm.horizontalAdvance(word));
  return {static_cast<int>(words.size()) * (widest + 4), fm.height()};
}

QSize THeadingLabel::sizeHint() const {
  return minimumSizeHint();
}

void THeadingLabel::paintEvent(QPaintEvent*) {
  const QStringList words = text().split(QRegularExpression(QStringLiteral(" {2,}")));
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(QPalette::WindowText));
  const QRect area = contentsRect();
  const int n = static_cast<int>(words.size());
  for (int i = 0; i < n; ++i) {
    const int left = area.left() + area.width() * i / n;
    const int right = area.left() + area.width() * (i + 1) / n;
    painter.drawText(QRect(left, area.top(), right - left, area.height()), Qt::AlignCenter,
                     words[i].trimmed());
  }
}

// ---------------------------------------------------------------- status field

TStatusField::TStatusField(QWidget* Parent) : QLabel(Parent) {
  setContentsMargins(4, 0, 4, 0);
}

void TStatusField::SetText(const QString& Text) {
  if (text() == Text) return;
  setText(Text);
  setToolTip(Text);
}

QSize TStatusField::minimumSizeHint() const {
  const QFontMetrics fm(font());
  return {fm.horizontalAdvance(QStringLiteral("COM1\u2026")) + 8, fm.height()};
}

void TStatusField::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (autoFillBackground()) painter.fillRect(rect(), palette().color(backgroundRole()));
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  const QRect area = contentsRect();
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

// ---------------------------------------------------------------- picture

TPictureLabel::TPictureLabel(QWidget* Parent, const QString& Picture, QSize Least)
    : QLabel(Parent), FPicture(Picture), FLeast(Least) {
  setMinimumSize(Least);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setAlignment(Qt::AlignCenter);
}

QSize TPictureLabel::sizeHint() const {
  return FLeast;
}

void TPictureLabel::resizeEvent(QResizeEvent* Event) {
  QLabel::resizeEvent(Event);
  // The picture as large as the place allows, in its own proportions.
  const QSize size = FLeast.scaled(contentsRect().size(), Qt::KeepAspectRatio);
  setPixmap(SvgPixmap(FPicture, size, devicePixelRatioF()));
}
