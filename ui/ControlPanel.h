// The laser control panel of the main window: the " Trigger " and " Current " groups, the laser
// on/off buttons and the warning pictures. It turns the operator's actions into laser requests
// and shows what the laser reports; it never shows a value that was only entered.
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "laser/Commands.h"

class QAction;
class QLabel;
class QLineEdit;
class QSpinBox;
class QGroupBox;
class QToolButton;
class QWidget;
class TLaser;
struct TOptions;

// A decimal number with "." as separator; blanks around it are allowed. Throws
// std::invalid_argument ("'1x.00' is not a valid floating point value") otherwise.
double StrToFloat(const std::string& Text);
// "%.2f" with "." whatever the locale.
std::string FormatFloat2(double Value);

// Edit masks in the notation "mask;save literals;blank character" ("99.99;1;0": optional
// digits, a fixed point kept in the text, unfilled places shown and read as "0"), turned into a
// Qt input mask that shows the same text.
QString QtInputMask(const std::string& EditMask);

class TControlPanel : public QObject {
 public:
  // Creates the controls on Area (the main window's client area below the tool bar).
  TControlPanel(TLaser& Laser, const TOptions& Options, QWidget* Area);

  // True when the laser is ready: port connected and detection finished.
  std::function<bool()> IsReady;

  // Layout: clBranch1 | clBranch2 (2, 4 or 6).
  void ApplyCurrentLayout(int Layout, bool ShowActual);
  void ApplyTriggerLayout(int Layout);
  void SetAllCurrents(double Value);
  void RefreshLaserState();
  // Start-up with "AllowOver100A": three integer digits in the current fields.
  void SetAllowOver100A();
  // During detection a frequency reading fills the entry of its branch.
  void SetFrequencyEntry(std::uint8_t Branch, int Value);
  // The first shown current field gets the focus.
  void FocusCurrent();
  // Enables the laser actions exactly while a laser is ready.
  void LaserActionUpdate();

  // Display half of the laser's value events.
  void LaserCurrent(std::uint8_t Branch, double Value);
  void LaserMaxCurrent(std::uint8_t Branch, double Value);
  void LaserFrequency(std::uint8_t Branch, double Value);
  void LaserTriggerMode(std::uint8_t Branch, TTriggerMode Mode);
  void LaserLaserON(bool IsOn);

  // Handlers (public so that the window's hot keys and tests reach them the operator's way).
  void SetInternalExecute();
  void SetExternalExecute();
  void SetCWExecute();
  void SetLaserOnExecute();
  void SetLaserOffExecute();
  void SetPresetCurrent(int Tag);
  void ExternTrigClick(int Tag);
  void CWClick(int Tag);
  void OkCurrentClick(int Tag);
  void OkFrequencyClick(int Tag);
  void LinkCurrentsClick();

  // The [Laser] actions; the window adds them to itself for their hot keys.
  QAction* SetInternal;
  QAction* SetExternal;
  QAction* SetCW;
  QAction* SetLaserOn;
  QAction* SetLaserOff;
  QAction* SetCurrentZero;
  std::array<QAction*, 9> SetCurrentN{};  // SetCurrent1 .. SetCurrent9

  // " Trigger "
  QGroupBox* TriggerGroup;
  QLabel *Label1, *Label6, *LabelBranches2;
  QLabel *ActFrequency1, *ActFrequency2, *TriggerMode1, *TriggerMode2;
  QSpinBox *Frequency, *Frequency2;
  QToolButton *OkFrequency, *InternTrig, *ExternTrig, *ExternTrig2, *CW, *CW2;
  // " Current "
  QGroupBox* CurrentGroup;
  QLabel *LabelNorminal, *Actual, *Label8, *LabelBranches;
  QLabel *NormCurrent1, *NormCurrent2, *ActCurrent1, *ActCurrent2, *MaxCurrent1, *MaxCurrent2;
  QLabel *Label7, *Label17, *Label10, *Label18, *Label19, *Label22;
  QLineEdit *Current1, *Current2;
  QToolButton *OkCurrent1, *OkCurrent2, *LinkCurrents, *LaserON, *LaserOff;
  QLabel *LaserWarnOn, *LaserWarnOff;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  QAction* NewAction(const char* Name, const QString& Caption, const QString& Hint);
  void CreateTriggerGroup(QWidget* Area);
  void CreateCurrentGroup(QWidget* Area);
  void CreateLaserSwitch(QWidget* Area);
  // Places the current rows and columns for the shown branches and rows.
  void PlaceCurrentControls();
  // Binds or releases the column-1 trigger buttons from their actions.
  void BindTriggerButton(QToolButton* Button, QAction* Action);
  void ReleaseTriggerButton(QToolButton* Button, const QString& Caption, const QString& Hint);
  double CurrentEntry(const QLineEdit* Edit) const;

  TLaser& FLaser;
  const TOptions& FOptions;
};
