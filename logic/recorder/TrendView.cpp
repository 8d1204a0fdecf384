#include "logic/recorder/TrendView.h"

#include <algorithm>
#include <cmath>

namespace {

double Seconds(TTimeWindow window) {
  switch (window) {
    case TTimeWindow::OneMinute:
      return 60;
    case TTimeWindow::TenMinutes:
      return 600;
    case TTimeWindow::OneHour:
      return 3600;
    case TTimeWindow::All:
      break;
  }
  return 0;
}

}  // namespace

void TTrendView::SetWindow(TTimeWindow Window) {
  FWindow = Window;
  FZoomed = false;
}

void TTrendView::Pause(double Now) {
  if (FPaused) return;
  FPaused = true;
  FPausedAt = Now;
}

void TTrendView::Resume() {
  FPaused = false;
  FZoomed = false;
}

void TTrendView::Zoom(double Factor, double Around, double Now) {
  if (!(Factor > 0) || !std::isfinite(Factor) || !std::isfinite(Around)) return;
  const TTrendRange r = Range(Now);
  const double width = std::max(MinSeconds, (r.To - r.From) * Factor);
  // Around keeps its share of the width on either side.
  const double share =
      r.To > r.From ? std::clamp((Around - r.From) / (r.To - r.From), 0.0, 1.0) : 1.0;
  const double at = r.From + share * (r.To - r.From);
  FZoom = {at - share * width, at + (1 - share) * width};
  FZoomed = true;
}

void TTrendView::Pan(double Seconds, double Now) {
  if (!std::isfinite(Seconds)) return;
  const TTrendRange r = Range(Now);
  FZoom = {r.From + Seconds, r.To + Seconds};
  FZoomed = true;
}

TTrendRange TTrendView::Range(double Now) const {
  if (FZoomed) return FZoom;
  const double end = FPaused ? FPausedAt : Now;
  if (FWindow == TTimeWindow::All) return {0, std::max(end, MinSeconds)};
  return {end - Seconds(FWindow), end};
}
