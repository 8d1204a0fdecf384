// Which part of the session the trend plot shows: the last minute, ten minutes, hour or all of it,
// following the present; paused (the plot stops moving while data keeps coming into the model);
// or a range the operator zoomed or panned to. Times are the trend model's session seconds.
#pragma once

#include <cstdint>

enum class TTimeWindow : std::uint8_t { OneMinute, TenMinutes, OneHour, All };

struct TTrendRange {
  double From;
  double To;
};

class TTrendView {
 public:
  static constexpr double MinSeconds = 1.0;  // the narrowest zoom

  // A new time window; a zoom is undone, a pause kept.
  void SetWindow(TTimeWindow Window);
  TTimeWindow Window() const { return FWindow; }

  // The plot stops where it is at Now.
  void Pause(double Now);
  // Follows the present again, the zoom undone.
  void Resume();
  bool Paused() const { return FPaused; }
  // Zoomed or panned: the range stays where the operator put it.
  bool Zoomed() const { return FZoomed; }

  // Factor < 1 zooms in, > 1 out, keeping time Around where it is on the plot.
  void Zoom(double Factor, double Around, double Now);
  void Pan(double Seconds, double Now);
  // Undoes zoom and pan: the time window again, following the present unless paused.
  void Reset() { FZoomed = false; }

  TTrendRange Range(double Now) const;

 private:
  TTimeWindow FWindow = TTimeWindow::TenMinutes;
  bool FPaused = false;
  double FPausedAt = 0;
  bool FZoomed = false;
  TTrendRange FZoom{0, 0};
};
