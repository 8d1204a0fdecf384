#include "ui/HotKeys.h"

#include <array>

namespace {

struct TKeyPair {
  std::uint8_t VirtualKey;
  Qt::Key Key;
  bool Keypad;
};

// Keys whose codes do not follow from a range below. Punctuation is that of the US layout, as
// the virtual-key codes name it.
constexpr std::array<TKeyPair, 33> KeyTable = {{
    {0x08, Qt::Key_Backspace, false},  {0x09, Qt::Key_Tab, false},
    {0x0D, Qt::Key_Return, false},     {0x13, Qt::Key_Pause, false},
    {0x1B, Qt::Key_Escape, false},     {0x20, Qt::Key_Space, false},
    {0x21, Qt::Key_PageUp, false},     {0x22, Qt::Key_PageDown, false},
    {0x23, Qt::Key_End, false},        {0x24, Qt::Key_Home, false},
    {0x25, Qt::Key_Left, false},       {0x26, Qt::Key_Up, false},
    {0x27, Qt::Key_Right, false},      {0x28, Qt::Key_Down, false},
    {0x2C, Qt::Key_Print, false},      {0x2D, Qt::Key_Insert, false},
    {0x2E, Qt::Key_Delete, false},     {0x6A, Qt::Key_Asterisk, true},
    {0x6B, Qt::Key_Plus, true},        {0x6D, Qt::Key_Minus, true},
    {0x6E, Qt::Key_Period, true},      {0x6F, Qt::Key_Slash, true},
    {0xBA, Qt::Key_Semicolon, false},  {0xBB, Qt::Key_Equal, false},
    {0xBC, Qt::Key_Comma, false},      {0xBD, Qt::Key_Minus, false},
    {0xBE, Qt::Key_Period, false},     {0xBF, Qt::Key_Slash, false},
    {0xC0, Qt::Key_QuoteLeft, false},  {0xDB, Qt::Key_BracketLeft, false},
    {0xDC, Qt::Key_Backslash, false},  {0xDD, Qt::Key_BracketRight, false},
    {0xDE, Qt::Key_Apostrophe, false},
}};

constexpr std::uint8_t vkNumpad0 = 0x60;
constexpr std::uint8_t vkF1 = 0x70;
constexpr int FKeyCount = 24;

// The keypad digits are the only table keys that need the keypad flag to be told apart.
bool IsKeypadKey(std::uint8_t vk) {
  if (vk >= vkNumpad0 && vk <= vkNumpad0 + 9) return true;
  for (const auto& p : KeyTable)
    if (p.VirtualKey == vk) return p.Keypad;
  return false;
}

}  // namespace

Qt::Key VirtualKeyToQtKey(std::uint8_t vk) {
  if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return static_cast<Qt::Key>(vk);
  if (vk >= vkNumpad0 && vk <= vkNumpad0 + 9)
    return static_cast<Qt::Key>(Qt::Key_0 + vk - vkNumpad0);
  if (vk >= vkF1 && vk < vkF1 + FKeyCount) return static_cast<Qt::Key>(Qt::Key_F1 + vk - vkF1);
  for (const auto& p : KeyTable)
    if (p.VirtualKey == vk) return p.Key;
  return Qt::Key_unknown;
}

std::uint8_t QtKeyToVirtualKey(Qt::Key Key, bool Keypad) {
  if (Key >= Qt::Key_0 && Key <= Qt::Key_9)
    return static_cast<std::uint8_t>(Keypad ? vkNumpad0 + (Key - Qt::Key_0) : Key);
  if (Key >= Qt::Key_A && Key <= Qt::Key_Z) return static_cast<std::uint8_t>(Key);
  if (Key >= Qt::Key_F1 && Key < Qt::Key_F1 + FKeyCount)
    return static_cast<std::uint8_t>(vkF1 + (Key - Qt::Key_F1));
  // Keys that exist only once (Enter, arrows, ...) arrive with or without the keypad flag
  // depending on where they were pressed; the operator means the same key.
  if (Key == Qt::Key_Enter) return 0x0D;
  if (Key == Qt::Key_Backtab) return 0x09;
  const TKeyPair* any = nullptr;
  for (const auto& p : KeyTable) {
    if (p.Key != Key) continue;
    if (p.Keypad == Keypad) return p.VirtualKey;
    if (!any) any = &p;
  }
  return any ? any->VirtualKey : 0;
}

QKeyCombination ShortCutToKeyCombination(TShortCut ShortCut) {
  const std::uint8_t vk = ShortCutKey(ShortCut);
  const Qt::Key key = VirtualKeyToQtKey(vk);
  if (vk == 0 || key == Qt::Key_unknown) return QKeyCombination();
  Qt::KeyboardModifiers mods;
  if (ShortCut & scShift) mods |= Qt::ShiftModifier;
  if (ShortCut & scCtrl) mods |= Qt::ControlModifier;
  if (ShortCut & scAlt) mods |= Qt::AltModifier;
  if (IsKeypadKey(vk)) mods |= Qt::KeypadModifier;
  return QKeyCombination(mods, key);
}

QKeySequence ShortCutToKeySequence(TShortCut ShortCut) {
  const QKeyCombination c = ShortCutToKeyCombination(ShortCut);
  return c.key() == Qt::Key_unknown || c.toCombined() == 0 ? QKeySequence() : QKeySequence(c);
}

TShortCut KeyCombinationToShortCut(QKeyCombination Combination) {
  const Qt::KeyboardModifiers mods = Combination.keyboardModifiers();
  const std::uint8_t vk = QtKeyToVirtualKey(Combination.key(), mods.testFlag(Qt::KeypadModifier));
  if (vk == 0) return 0;
  TShortCut s = vk;
  if (mods.testFlag(Qt::ShiftModifier) || Combination.key() == Qt::Key_Backtab) s |= scShift;
  if (mods.testFlag(Qt::ControlModifier)) s |= scCtrl;
  if (mods.testFlag(Qt::AltModifier)) s |= scAlt;
  return s;
}

TShortCut KeySequenceToShortCut(const QKeySequence& Sequence) {
  if (Sequence.isEmpty()) return 0;
  return KeyCombinationToShortCut(Sequence[0]);
}
