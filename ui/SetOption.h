// The options dialog: the serial port, the two automatic timers, the seven configurable hot keys
// and the nine preset currents. It only edits a TOptions value and checks the port; applying the
// result is the main window's options step: LoadFromOptions, exec(), and on Accepted only
// StoreToOptions. Created once and reused; PresetsEdited stays readable until it is destroyed.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <array>
#include <functional>
#include <optional>

#include "logic/Settings.h"
#include "logic/remote/RemoteSettings.h"

class QCheckBox;
class QLabel;
class QSpinBox;
class QTabWidget;

// A hot-key entry: shows and captures one key with its modifiers. A key pressed alone or with
// Shift as its only modifier gets Alt added; Backspace or Delete alone clear it.
class THotKeyEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit THotKeyEdit(QWidget* parent = nullptr);
  TShortCut HotKey() const { return FHotKey; }
  void SetHotKey(TShortCut hotKey);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;

 private:
  TShortCut FHotKey = 0;
};

// The port field: an editable list that fills itself each time it drops down.
class TPortComboBox : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;
  std::function<void()> OnDropDown;
  void showPopup() override;
};

class TOptionFrm : public QDialog {
  Q_OBJECT

 public:
  explicit TOptionFrm(QWidget* parent = nullptr);

  void LoadFromOptions(const TOptions& Options);
  void StoreToOptions(TOptions& Options) const;  // AllowOver100A is left as it is
  bool PresetsEdited() const { return FPresetsEdited; }
  // The "Remote" page: the remote control's settings, and its state now (clients connected).
  void LoadRemote(const TRemoteSettings& Settings, const QString& State);
  void StoreRemote(TRemoteSettings& Settings) const;

  // Handlers.
  void BitBtn1Click();  // OK: checks the port, then closes with Accepted
  void LaserPortDropDown();
  void FillPortList();
  void AutoUpdateClick();
  void AutoDetectClick();
  void PreCurrentChange();

  int PortTag() const { return FPortTag; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // A period field: the arrows keep 500..32767; a stored value outside that is shown clamped
  // and handed back unchanged unless the operator changes the field.
  struct TPeriod {
    QSpinBox* Spin = nullptr;
    std::optional<std::int32_t> Kept;
  };
  void LoadPeriod(TPeriod& period, std::int32_t value);
  static std::int32_t StorePeriod(const TPeriod& period);

  QTabWidget* FPages = nullptr;
  TPortComboBox* FPort = nullptr;
  QCheckBox* FDblClkOff = nullptr;
  QCheckBox* FAutoUpdate = nullptr;
  QCheckBox* FAutoDetect = nullptr;
  TPeriod FUpdate;
  TPeriod FDetect;
  std::array<THotKeyEdit*, HotKeyCount> FHotKeys{};
  std::array<QLineEdit*, 9> FPresets{};
  QCheckBox* FRemoteEnabled = nullptr;
  QSpinBox* FRemotePort = nullptr;
  QCheckBox* FRemoteControl = nullptr;
  QLabel* FRemoteState = nullptr;
  int FPortTag = 1;
  bool FPresetsEdited = false;
  bool FLoading = false;
};
