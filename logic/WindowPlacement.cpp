#include "logic/WindowPlacement.h"

#include <algorithm>
#include <limits>

namespace {

// 64-bit throughout: a stored coordinate may be anything a 32-bit integer holds, and adding the
// window's size to it must not overflow.
bool Inside(const TScreenRect& W, const TScreenRect& S) {
  return W.Left >= S.Left && W.Top >= S.Top && W.Left + W.Width <= S.Left + S.Width &&
         W.Top + W.Height <= S.Top + S.Height;
}

std::int64_t Overlap(const TScreenRect& W, const TScreenRect& S) {
  const std::int64_t w = std::min(W.Left + W.Width, S.Left + S.Width) - std::max(W.Left, S.Left);
  const std::int64_t h = std::min(W.Top + W.Height, S.Top + S.Height) - std::max(W.Top, S.Top);
  return w > 0 && h > 0 ? w * h : 0;
}

// How far the window's centre lies from the screen (0 when inside it).
std::int64_t Distance(const TScreenRect& W, const TScreenRect& S) {
  const std::int64_t cx = W.Left + W.Width / 2;
  const std::int64_t cy = W.Top + W.Height / 2;
  const std::int64_t dx =
      cx < S.Left ? S.Left - cx : (cx > S.Left + S.Width ? cx - S.Left - S.Width : 0);
  const std::int64_t dy =
      cy < S.Top ? S.Top - cy : (cy > S.Top + S.Height ? cy - S.Top - S.Height : 0);
  return dx + dy;
}

// The edge moved onto the screen; a window larger than the screen keeps its left or top edge on
// it, so that its title bar and menu can be reached.
std::int64_t Clamp(std::int64_t Pos, std::int64_t Size, std::int64_t Start, std::int64_t Extent) {
  return std::max(Start, std::min(Pos, Start + Extent - Size));
}

int ToInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

}  // namespace

TWindowPos PlaceWindow(const TScreenRect& Window, const std::vector<TScreenRect>& Screens) {
  if (Screens.empty()) return {ToInt(Window.Left), ToInt(Window.Top)};
  for (const TScreenRect& s : Screens) {
    if (Inside(Window, s)) return {ToInt(Window.Left), ToInt(Window.Top)};
  }
  // The screen that shows most of it; when none shows any, the nearest (the primary on a tie).
  const TScreenRect* best = &Screens.front();
  std::int64_t bestOverlap = Overlap(Window, *best);
  std::int64_t bestDistance = Distance(Window, *best);
  for (const TScreenRect& s : Screens) {
    const std::int64_t overlap = Overlap(Window, s);
    const std::int64_t distance = Distance(Window, s);
    if (overlap > bestOverlap ||
        (overlap == bestOverlap && bestOverlap == 0 && distance < bestDistance)) {
      best = &s;
      bestOverlap = overlap;
      bestDistance = distance;
    }
  }
  return {ToInt(Clamp(Window.Left, Window.Width, best->Left, best->Width)),
          ToInt(Clamp(Window.Top, Window.Height, best->Top, best->Height))};
}
