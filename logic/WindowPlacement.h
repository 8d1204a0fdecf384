// Where the main window opens: at its stored position when the window lies wholly on a screen
// that is there now, else moved the least distance that brings it wholly onto one (a monitor
// unplugged since, a resolution lowered, a position typed by hand). Qt-free.
#pragma once

#include <cstdint>
#include <vector>

struct TScreenRect {
  std::int64_t Left = 0;
  std::int64_t Top = 0;
  std::int64_t Width = 0;
  std::int64_t Height = 0;
  bool operator==(const TScreenRect&) const = default;
};

struct TWindowPos {
  int Left = 0;
  int Top = 0;
  bool operator==(const TWindowPos&) const = default;
};

// Window: the stored position and the window's outer size. Screens: the usable area of each
// screen present, the primary first. With no screen at all the stored position stands.
TWindowPos PlaceWindow(const TScreenRect& Window, const std::vector<TScreenRect>& Screens);
