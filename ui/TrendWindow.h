// The "Trends" window: the session's reported values over time, drawn by a lean painter of our
// own (the same code on every platform, no charting module needed): nominal and actual current
// per branch on the left axis (A), frequency per branch on the right axis (Hz), emission as a
// shaded band, error codes as labelled markers, disconnections as gaps. A time window of 1 min,
// 10 min, 1 h or all; pause; zoom with the wheel and pan by dragging; reset; PNG and CSV of what
// is shown.
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>

#include "logic/recorder/Clock.h"
#include "logic/recorder/TrendModel.h"
#include "logic/recorder/TrendView.h"

class QComboBox;
class QPushButton;

class TTrendPlot : public QWidget {
 public:
  TTrendPlot(const TTrendModel& Model, TTrendView& View, std::function<double()> Now,
             QWidget* Parent);
  // What is drawn now: its range and content.
  TTrendFrame Frame() const;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void wheelEvent(QWheelEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;

 private:
  QRect PlotArea() const;
  const TTrendModel& FModel;
  TTrendView& FView;
  std::function<double()> FNow;
  int FDragX = 0;
};

class TTrendWindow : public QWidget {
 public:
  TTrendWindow(const TTrendModel& Model, TStampClock& Clock, QWidget* Parent);

  // New values came: the plot follows them (a repaint at most a few times a second).
  void DataArrived();
  TTrendView& View() { return FView; }
  TTrendPlot* Plot() const { return FPlot; }
  // What the export buttons write, without their file dialogs; false with Error on failure.
  bool ExportPng(const QString& FileName, QString& Error) const;
  bool ExportCsv(const QString& FileName, QString& Error) const;

 protected:
  void showEvent(QShowEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  void Export(bool Png);
  const TTrendModel& FModel;
  TStampClock& FClock;
  TTrendView FView;
  TTrendPlot* FPlot;
  QComboBox* FWindow;
  QPushButton* FPause;
  QTimer FRepaint;  // one-shot after data arrived
  QTimer FFollow;   // while shown and following the present: the time axis moves on
};
