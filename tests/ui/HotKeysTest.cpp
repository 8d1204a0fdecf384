// The table between stored hot keys (virtual-key codes) and Qt keys.
#include "ui/HotKeys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const QKeySequence& s) {
  return s.toString(QKeySequence::PortableText).toStdString();
}

// Every virtual-key code the table knows.
std::vector<std::uint8_t> KnownCodes() {
  std::vector<std::uint8_t> codes;
  for (int vk = 1; vk < 256; ++vk)
    if (VirtualKeyToQtKey(static_cast<std::uint8_t>(vk)) != Qt::Key_unknown)
      codes.push_back(static_cast<std::uint8_t>(vk));
  return codes;
}

}  // namespace

TEST(HotKeys, DefaultsAndCommonKeysReadAsOperatorsWriteThem) {
  struct Case {
    TShortCut shortCut;
    const char* text;
  } cases[] = {
      {16460, "Ctrl+L"},
      {16457, "Ctrl+I"},
      {16453, "Ctrl+E"},
      {16471, "Ctrl+W"},
      {16462, "Ctrl+N"},
      {16467, "Ctrl+S"},
      {16432, "Ctrl+0"},
      {scAlt | 'X', "Alt+X"},
      {scShift | scCtrl | 0x74, "Ctrl+Shift+F5"},
      {scAlt | 0x87, "Alt+F24"},
      {0x70, "F1"},
      {scCtrl | 0x25, "Ctrl+Left"},
      {scCtrl | 0x26, "Ctrl+Up"},
      {scCtrl | 0x27, "Ctrl+Right"},
      {scCtrl | 0x28, "Ctrl+Down"},
      {scAlt | 0x24, "Alt+Home"},
      {scAlt | 0x23, "Alt+End"},
      {scAlt | 0x21, "Alt+PgUp"},
      {scAlt | 0x22, "Alt+PgDown"},
      {scCtrl | 0x2D, "Ctrl+Ins"},
      {scCtrl | 0x2E, "Ctrl+Del"},
      {scCtrl | 0x0D, "Ctrl+Return"},
      {scAlt | 0x1B, "Alt+Esc"},
      {scCtrl | 0x20, "Ctrl+Space"},
      {scCtrl | 0x09, "Ctrl+Tab"},
      {scAlt | 0x08, "Alt+Backspace"},
      {scCtrl | 0x65, "Ctrl+Num+5"},
      {scCtrl | 0x6B, "Ctrl+Num++"},
      {scCtrl | 0x6D, "Ctrl+Num+-"},
      {scCtrl | 0xBD, "Ctrl+-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text(ShortCutToKeySequence(c.shortCut)), c.text) << c.shortCut;
    EXPECT_EQ(KeySequenceToShortCut(QKeySequence::fromString(c.text, QKeySequence::PortableText)),
              c.shortCut)
        << c.text;
  }
}

TEST(HotKeys, EveryKnownCodeRoundTripsWithEveryModifierSet) {
  const auto codes = KnownCodes();
  // Letters, digits, 24 F-keys, 10 keypad digits and the named keys.
  EXPECT_GE(codes.size(), 26u + 10 + 24 + 10 + 20);
  for (std::uint8_t vk : codes)
    for (TShortCut mods : {0, 0x2000, 0x4000, 0x6000, 0x8000, 0xA000, 0xC000, 0xE000}) {
      const TShortCut s = static_cast<TShortCut>(mods | vk);
      EXPECT_EQ(KeySequenceToShortCut(ShortCutToKeySequence(s)), s) << std::hex << s;
      EXPECT_EQ(KeyCombinationToShortCut(ShortCutToKeyCombination(s)), s) << std::hex << s;
    }
}

TEST(HotKeys, KeysOutsideTheTableMapToNothing) {
  for (TShortCut s : {0, 0x4000, 0x4007, 0x40FF, 0x4092}) {
    EXPECT_TRUE(ShortCutToKeySequence(s).isEmpty()) << std::hex << s;
  }
  EXPECT_EQ(KeyCombinationToShortCut(QKeyCombination(Qt::ControlModifier, Qt::Key_Eacute)), 0);
  EXPECT_EQ(KeySequenceToShortCut(QKeySequence()), 0);
  EXPECT_EQ(KeyCombinationToShortCut(QKeyCombination(Qt::ControlModifier, Qt::Key_Control)), 0);
}

TEST(HotKeys, QtSpellingsOfTheSameKeyMeetInOneCode) {
  struct Case {
    QKeyCombination qt;
    TShortCut shortCut;
  } cases[] = {
      // Enter on the keypad is the Return key to Windows.
      {QKeyCombination(Qt::ControlModifier | Qt::KeypadModifier, Qt::Key_Enter), scCtrl | 0x0D},
      {QKeyCombination(Qt::ControlModifier, Qt::Key_Enter), scCtrl | 0x0D},
      // Qt reports Shift+Tab as Backtab.
      {QKeyCombination(Qt::ShiftModifier, Qt::Key_Backtab), scShift | 0x09},
      {QKeyCombination(Qt::NoModifier, Qt::Key_Backtab), scShift | 0x09},
      // Arrows and Home arrive with the keypad flag when pressed on the keypad.
      {QKeyCombination(Qt::AltModifier | Qt::KeypadModifier, Qt::Key_Left), scAlt | 0x25},
      {QKeyCombination(Qt::AltModifier | Qt::KeypadModifier, Qt::Key_Home), scAlt | 0x24},
      // Digits: main keyboard and keypad differ.
      {QKeyCombination(Qt::ControlModifier, Qt::Key_7), scCtrl | '7'},
      {QKeyCombination(Qt::ControlModifier | Qt::KeypadModifier, Qt::Key_7), scCtrl | 0x67},
      // The Meta key has no place in a stored hot key.
      {QKeyCombination(Qt::MetaModifier | Qt::ControlModifier, Qt::Key_L), scCtrl | 'L'},
      // Letters are the same key whatever case Qt reports.
      {QKeyCombination(Qt::AltModifier | Qt::ShiftModifier, Qt::Key_A), scAlt | scShift | 'A'},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KeyCombinationToShortCut(c.qt), c.shortCut)
        << Text(QKeySequence(c.qt)) << " -> " << std::hex << c.shortCut;
}
