// Labels of the control panel that scale with the window: a reported value drawn as large as its
// place allows (and never wider than it), and a column heading whose words stand over the
// columns it spans.
#pragma once

#include <QLabel>
#include <QStringList>

class TValueLabel : public QLabel {
 public:
  // Widest: every text the label may have to show (the widest value the laser can report); the
  // font is chosen so that each of them fits. A label that follows a leader (a unit beside its
  // value) is never drawn larger than the leader.
  TValueLabel(QWidget* Parent, const QStringList& Widest, bool Bold);

  void SetLeader(TValueLabel* Leader);
  // Chooses the font for the present size again.
  void Refit();

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // The font of the smallest size: the window's, bold for values.
  QFont BaseFont() const;
  // The largest point size at which every widest text fits Width x Height in this face.
  static qreal FitPointSize(const QFont& Face, const QStringList& Widest, int Width, int Height,
                            qreal Smallest, qreal Largest);

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  QSize TextSize(const QFont& Font) const;

  QStringList FWidest;
  bool FBold;
  TValueLabel* FLeader = nullptr;
  TValueLabel* FFollower = nullptr;
  bool FFitting = false;
};

// "Laser 1   Laser 2": the text stays as designed, but each word is drawn centred over its share
// of the label's width, so that the words stay over their columns however wide they grow.
class THeadingLabel : public QLabel {
 public:
  THeadingLabel(const QString& Text, QWidget* Parent);
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* Event) override;
};

// A status-bar field: shows its whole text where there is room and cuts it short with "…"
// (the whole text in its tooltip) where the window is too narrow, so that the bar never makes
// the window wider than its smallest size.
class TStatusField : public QLabel {
 public:
  explicit TStatusField(QWidget* Parent);
  void SetText(const QString& Text);
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* Event) override;
};

// A picture (one of ours, by name) drawn as large as its place allows, never smaller than Least
// and in Least's proportions: the laser's warning sign grows with the window.
class TPictureLabel : public QLabel {
 public:
  TPictureLabel(QWidget* Parent, const QString& Picture, QSize Least);
  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  QString FPicture;
  QSize FLeast;
};
