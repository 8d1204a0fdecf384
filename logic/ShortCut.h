// Hot keys as the settings file stores them, and the configurable ones with their key names and
// defaults. No window system here: ui/HotKeys turns the codes into the window's keys.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// A hot key: virtual-key code in the low byte, plus 0x2000 Shift, 0x4000 Ctrl, 0x8000 Alt; 0 none.
using TShortCut = std::uint16_t;
constexpr TShortCut scShift = 0x2000;
constexpr TShortCut scCtrl = 0x4000;
constexpr TShortCut scAlt = 0x8000;
constexpr std::uint8_t ShortCutKey(TShortCut s) {
  return static_cast<std::uint8_t>(s & 0xFF);
}

// The configurable hot keys, in the order of TOptions and of the "Hotkeys" section: the seven
// of the control panel, then the recorder's and the trend window's.
enum THotKeyAction : std::uint8_t {
  hkConnectLaser,
  hkInternalTrigger,
  hkExternalTrigger,
  hkCWMode,
  hkLaserOn,
  hkLaserOff,
  hkSetCurrentZero,
  hkStartRecording,
  hkStopRecording,
  hkShowTrends,
};
inline constexpr int HotKeyCount = 10;
// Key names in the "Hotkeys" section, by THotKeyAction.
inline constexpr std::array<std::string_view, HotKeyCount> HotKeyNames = {
    "ConnectLaser", "InternalTrigger", "ExternalTrigger", "CWMode",        "LaserOn",
    "LaserOff",     "SetCurrentZero",  "StartRecording",  "StopRecording", "ShowTrends"};
// Ctrl+L, Ctrl+I, Ctrl+E, Ctrl+W, Ctrl+N, Ctrl+S, Ctrl+0, Ctrl+R, Ctrl+Shift+R, Ctrl+T.
inline constexpr std::array<TShortCut, HotKeyCount> DefaultHotKeys = {
    16460, 16457, 16453, 16471, 16462, 16467, 16432, 16466, 24658, 16468};
