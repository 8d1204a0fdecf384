// The one table between hot keys as the settings file stores them (TShortCut: a Windows
// virtual-key code plus 0x2000 Shift, 0x4000 Ctrl, 0x8000 Alt) and Qt's keys.
#pragma once

#include <QKeyCombination>
#include <QKeySequence>
#include <cstdint>

#include "logic/ShortCut.h"

// The Qt key of a virtual-key code; Qt::Key_unknown when the table lacks it.
Qt::Key VirtualKeyToQtKey(std::uint8_t VirtualKey);
// The virtual-key code of a Qt key; 0 when the table lacks it. Keypad keys need KeypadModifier
// to be told from the main keyboard's digits and operators.
std::uint8_t QtKeyToVirtualKey(Qt::Key Key, bool Keypad = false);

// TShortCut -> Qt. 0, or a key the table lacks, gives an empty combination / sequence.
QKeyCombination ShortCutToKeyCombination(TShortCut ShortCut);
QKeySequence ShortCutToKeySequence(TShortCut ShortCut);
// Qt -> TShortCut (Shift, Ctrl, Alt kept; Meta dropped). 0 when the key is not in the table;
// a sequence uses its first key only.
TShortCut KeyCombinationToShortCut(QKeyCombination Combination);
TShortCut KeySequenceToShortCut(const QKeySequence& Sequence);
