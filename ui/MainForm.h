// The main window: frame, actions, menu and tool bar, the settings at start-up and exit, the
// options step, and the laser's events routed to the control panel and the detection sequence.
#pragma once

#include <QKeySequence>
#include <QMainWindow>
#include <QRect>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "logic/Detection.h"
#include "logic/LaserEvents.h"
#include "logic/Settings.h"
#include "logic/Template.h"

class QAction;
class QGroupBox;
class QLabel;
class TStatusField;
class QSystemTrayIcon;
class QToolBar;
class TAboutForm;
class TConsolePanel;
class TControlPanel;
class TCoverPanel;
class TLogForm;
class TOptionFrm;
class TQtSync;
class TRecording;
class TRemoteServer;
class TTrendWindow;
class TWaitingBox;

class TQNLaserControlMainForm : public QMainWindow, public IDetectionView, public ITemplateLayout {
 public:
  explicit TQNLaserControlMainForm(TLaserTiming Timing = {});
  ~TQNLaserControlMainForm() override;

  // Where the program finds its settings and templates, and its command line.
  struct TStartup {
    std::filesystem::path SettingsFile;  // beside the executable or the user's (SettingsLocation.h)
    std::filesystem::path ExeFolder;     // templates named without a folder are found here
    std::vector<std::string> Params;     // command-line parameters without the program's name
  };

  // The application's title: "Laser Control" at start, then what UpdateCaption sets.
  static void SetApplicationTitle(const QString& Title);
  static QString ApplicationTitle();

  // Lifecycle, in the order main() runs them.
  void FormCreate(const TStartup& Startup);
  // The options dialog, the waiting box and the log window, in this order; hidden until asked
  // for, they live as long as the window.
  void CreateDialogs();
  void FormShow();
  void FormDestroy();

  // The options step. RunOptionsDialog is the seam for the options dialog (CreateDialogs sets
  // it to OptionFrm): it gets the settings in force and returns the confirmed new ones, or
  // nothing when the operator cancelled.
  std::function<std::optional<TOptions>(const TOptions&)> RunOptionsDialog;
  // The options dialog's "presets edited" flag, read at exit.
  std::function<bool()> PresetsEdited;
  void SetOptionsExecute();
  // What OK in the options dialog does with the new settings.
  void ApplyOptions(const TOptions& New);

  // The frame's commands.
  void ShowAdvancedExecute(bool Checked);
  void ShowLogExecute();
  void AboutExecute();
  void MinimizeToTrayExecute();
  void ShowTrayIconExecute(bool Checked);
  void ApplicationEvents1Minimize();
  void TrayIconClick();
  void TrayIconDblClick();
  // Whether the desktop has a tray; without one, minimising never hides the window. Tests set
  // their own.
  std::function<bool()> TrayAvailable;
  // A problem met at start-up (a settings file that cannot be read), shown once the window is
  // up; tests catch it here.
  std::function<void(const QString&)> ShowStartupProblem;
  // After a worker thread failed and its message was dismissed; empty: close and quit.
  std::function<void()> OnFatalClose;

  // Exit while the laser reports that it is on: the operator chooses.
  enum class TExitChoice { SwitchOffAndExit, Exit, Cancel };
  // Asks "The laser is on. Switch it off before exiting?"; tests may answer for the operator.
  std::function<TExitChoice()> AskExit;
  // SIGTERM, SIGINT and SIGHUP (a console's close, logoff and shutdown on Windows) close the
  // window as its Exit does, without a question, so that the settings are written.
  void WatchExitSignals();
  // The laser's emission as it last reported it on this connection; none until it has.
  std::optional<bool> Emission() const { return FEmission; }

  // --- IDetectionView / ITemplateLayout ---
  void ApplyCurrentLayout(int Layout, bool ShowActual) override;
  void ApplyTriggerLayout(int Layout) override;
  void RefreshLaserState() override;
  void ShowConnectionState(bool Disconnected) override;
  void UpdateCaption(int SN) override;
  void SetFrequencyEntry(std::uint8_t Branch, int Value) override;
  void ShowConnectFailure(const std::string& Message) override;
  void CloseAdvanced() override;
  void ClearConsole() override;
  void StartTimer(int IntervalMs) override;
  void StopTimer() override;
  bool LoadTemplate(const std::string& FileName) override;

  TLaser& Laser() { return *FLaser; }
  // The one fan-out of the laser's events: whatever else listens subscribes here.
  TLaserEvents& Events() { return *FEvents; }
  TDetection& Detection() { return *FDetection; }
  TControlPanel& Panel() { return *FPanel; }
  TRecording& Recording() { return *FRecording; }
  TRemoteServer& Remote() { return *FRemote; }
  // The "Trends" window, made and shown.
  TTrendWindow& ShowTrendsExecute();
  TConsolePanel& Console() { return *FConsole; }
  TCoverPanel& Cover() { return *FCover; }
  const TOptions& Options() const { return FOptions; }
  TIniFile& SettingsFile() { return FSettingsFile; }
  const std::vector<std::string>& ConnectionLog() const { return FConnectionLog; }
  TExplanationList& Explanations() { return FExplanations; }
  bool SettingsChanged() const { return FSettingsChanged; }
  QTimer& Timer1() { return FTimer1; }

  // Actions of the frame ([Laser] actions belong to the control panel).
  QAction* ConnectLaser;
  QAction* MinimizeToTray;
  QAction* ShowTrayIcon;
  QAction* ShowAdvanced;
  QAction* ShowLog;
  QAction* SetOptions;
  QAction* FileExit1;
  QAction* EditCopy;
  QAction* EditSelectAll;
  QAction* EditClear;
  QAction* About;

  QToolBar* ToolBar1;
  QWidget* ClientArea;
  QGroupBox* SystemGroup;  // the console's " System " group, placed in the client area
  QWidget* AdvancedPanel;  // the console
  QSystemTrayIcon* TrayIcon;

  // The secondary windows (CreateDialogs); null before.
  TOptionFrm* OptionFrm = nullptr;
  TWaitingBox* WaitingBox = nullptr;
  TLogForm* LogForm = nullptr;

  // Client area (as the window's design measures it: below the menu bar) and tool bar height.
  static constexpr int ClientWidth = 479;
  static constexpr int ClientHeight = 247;
  static constexpr int ToolBarHeight = 49;
  // The " System " group in the client area.
  static constexpr QRect SystemGroupGeometry{4, 120, 336, 76};
  // A usual window frame (both sides, and title bar plus bottom border), for placing the window
  // before the window manager has given it its frame.
  static constexpr QSize FrameAllowance{8, 40};

 protected:
  void closeEvent(QCloseEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  void CreateActions();
  void CreateMenuAndToolBar();
  void CreateClientArea();
  void BindLaserEvents();
  void DetachLaserEvents();
  // After every laser event and timer tick: the enabled and checked states that depend on the
  // connection (the update handlers of the actions).
  void UpdateActions();
  void SetConnectImage(bool Ready);
  void ApplyHotKeys();
  // The start-up's steps, in order.
  void BeginLog(const TStartup& Startup);
  TStartupSettings ReadSettings(const TStartup& Startup);
  void ApplySettings(const TStartupSettings& Stored);
  void PrepareDetection();
  void ShowStartState();
  void ConnectLaserExecute();
  void EditExecute(const char* Slot);
  // The status bar: port, connection state, time of the last value, emission; the message
  // area on its left takes the command reports.
  void CreateStatusBar();
  void UpdateStatus();
  void ValueReceived();
  // Switch off and exit: Laser OFF, then exit once it has been answered or the reply wait is
  // over (or it could not be written).
  void SwitchOffAndExit();
  void FinishExit();
  // Where the window opens: its stored place when that is wholly on a screen present.
  void PlaceOnScreen();
  // A connection-log line, with the time in front.
  void LogLine(const std::string& Text);
  static std::string TimeStamp();
  // A command of the operator's that was refused, went unanswered or was never written: a few
  // seconds in the status bar, and a line with the time in the connection log.
  void ReportCommand(TCommandOutcome Outcome, const std::string& CmdStr);
  static constexpr int ReportShownMs = 6000;

  std::unique_ptr<TLaser> FLaser;
  TExplanationList FExplanations;
  std::vector<std::string> FConnectionLog;
  // The menus' own keys as made; a hot key of the operator's never takes one of them away.
  std::vector<std::pair<QAction*, QKeySequence>> FFixedKeys;
  std::unique_ptr<TDetection> FDetection;
  std::unique_ptr<TLaserEvents> FEvents;
  TSubscriptions FSubscriptions;  // the window's own
  std::unique_ptr<TQtSync> FSync;
  TOptions FOptions;
  TIniFile FSettingsFile;
  TTemplateCache FTemplates;
  std::filesystem::path FExeFolder;
  int FStartLeft = 0;
  int FStartTop = 0;
  bool FSettingsChanged = false;
  bool FDestroyed = false;
  QTimer FTimer1;
  TControlPanel* FPanel = nullptr;
  TCoverPanel* FCover = nullptr;
  TConsolePanel* FConsole = nullptr;
  bool FHiddenInTray = false;
  TStatusField* FStatusPort = nullptr;
  TStatusField* FStatusState = nullptr;
  TStatusField* FStatusLastValue = nullptr;
  QLabel* FStatusEmission = nullptr;
  TStatusField* FStatusRecording = nullptr;
  TRecording* FRecording = nullptr;  // a child: goes with the window
  TStatusField* FStatusRemote = nullptr;
  TRemoteServer* FRemote = nullptr;  // a child; deleted before the laser
  TTrendWindow* FTrends = nullptr;   // made when first shown
  QAction* ShowTrends = nullptr;
  std::optional<bool> FEmission;
  QString FLastValueAt;
  bool FForcedExit = false;  // a signal closes without a question
  bool FExiting = false;     // the operator has chosen to exit; the window closes for good
  bool FExitFinished = false;
  QString FStartupProblem;
};
