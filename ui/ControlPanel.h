// The laser control panel of the main window: the " Trigger " and " Current " groups, the laser
// on/off buttons and the warning pictures. It turns the operator's actions into laser requests
// and shows what the laser reports; it never shows a value that was only entered.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "laser/Commands.h"
#include "logic/LaserEvents.h"

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

// What the panel shows, as the detection or a template decided it: the current columns of the
// branches, the "Actual:" row, and the trigger group's form. The panel acts on this, never on
// which of its widgets happen to be visible.
struct TPanelLayout {
  bool Branch1 = true, Branch2 = true;
  bool ShowActual = true;
  // 0: one trigger column for the laser; 1: a column per branch with one common frequency;
  // 2: a column and a frequency per branch.
  int Trigger = 0;

  bool BothBranches() const { return Branch1 && Branch2; }
  bool TriggerColumns() const { return Trigger != 0; }
  bool operator==(const TPanelLayout&) const = default;
};

class TControlPanel : public QObject {
 public:
  // Creates the controls on Area (the main window's client area below the tool bar).
  TControlPanel(TLaser& Laser, const TOptions& Options, QWidget* Area);

  // True when the laser is ready: port connected and detection finished.
  std::function<bool()> IsReady;

  // Layout: clBranch1 | clBranch2 (2, 4 or 6).
  void ApplyCurrentLayout(int Layout, bool ShowActual);
  // Layout: TPanelLayout::Trigger; other values change nothing.
  void ApplyTriggerLayout(int Layout);
  const TPanelLayout& Layout() const { return FLayout; }
  void SetAllCurrents(double Value);
  void RefreshLaserState();
  // Start-up with "AllowOver100A": three integer digits in the current fields.
  void SetAllowOver100A();
  // During detection a frequency reading fills the entry of its branch.
  void SetFrequencyEntry(std::uint8_t Branch, int Value);
  // The first shown current field gets the focus.
  void FocusCurrent();
  // Enables the laser actions exactly while a laser is ready, and Laser OFF while one is
  // connected.
  void LaserActionUpdate();
  // A new connection: no value shows until this laser has reported it, and the warning sign
  // shows neither state until it has reported its status.
  void ClearValues();
  // While refreshing: a value not reported again for three periods is greyed, its age in its
  // tooltip, until a fresh report comes.
  void MarkStale(int PeriodMs);
  static bool Stale(const QLabel* Label);

  // Takes the value events and the connect (which clears the values) from the fan-out. Ends with
  // the panel.
  void Subscribe(TLaserEvents& Events);

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
  QLabel *LaserWarnOn, *LaserWarnOff, *LaserWarnUnknown;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  QAction* NewAction(const char* Name, const QString& Caption, const QString& Hint);
  void CreateTriggerGroup(QWidget* Area);
  void CreateCurrentGroup(QWidget* Area);
  void CreateLaserSwitch(QWidget* Area);
  // Places the current rows and columns for the shown branches and rows.
  void PlaceCurrentControls();
  // The trigger group's grid for layout 0 (one column) or 1 and 2 (a column per branch).
  void ArrangeTriggerGrid(int Layout);
  // The current fields' least width for their mask.
  void SizeCurrentEntries();
  // Binds or releases the column-1 trigger buttons from their actions.
  void BindTriggerButton(QToolButton* Button, QAction* Action);
  void ReleaseTriggerButton(QToolButton* Button, const QString& Caption, const QString& Hint);
  double CurrentEntry(const QLineEdit* Edit) const;
  // A value the laser reported goes into its label, which stops looking stale.
  void Reported(QLabel* Label, const QString& Text);
  std::vector<QLabel*> ValueLabels() const;
  static QString StatusHint(bool IsOn, int AgeSeconds);

  using TClock = std::chrono::steady_clock;
  TLaser& FLaser;
  const TOptions& FOptions;
  TPanelLayout FLayout;  // what the controls were created for: both branches, one column
  std::map<QLabel*, TClock::time_point> FReportedAt;
  std::optional<TClock::time_point> FStatusAt;
  bool FStatusOn = false;
  // The current field in which Enter was last pressed; its release there sends.
  QObject* FEnterPressedIn = nullptr;
  TSubscriptions FSubscriptions;  // last: ended first when the panel goes
};
