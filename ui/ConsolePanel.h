// The command console (the advanced panel: command entry, history and the transcript of what was
// sent and received) and the " System " group (save, reset, clear and read errors, error list).
//
// Wiring by the main window:
//   - construct with the window's TLaser and TExplanationList, as a child of the window; place
//     the panel itself over the client area below the tool bar (it starts hidden) and put
//     SystemGroup() into the control area: setParent(area), setGeometry(...), show(). It is laid
//     out for about 336 x 76 pixels;
//   - Subscribe() once to the window's fan-out of the laser's events: error codes, the
//     clear-error and reset phases and a failed worker always, the received text and the
//     engine's own reads while the console is shown;
//   - SetWaitingBox() with the window's waiting box, and OnFatalClose if closing is to do more
//     than window()->close();
//   - ShowAdvanced checked: ShowConsole(), then stop Timer1. Unchecked: HideConsole(), then focus
//     Current1 (or Current2), RefreshLaserState and Timer1 per AutoUpdate. CloseConnection:
//     HideConsole() and uncheck the action;
//   - disconnected state shown: ClearForDisconnectedState(); OnDisconnect: ClearOnDisconnect().
#pragma once

#include <QColor>
#include <QTime>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "logic/LaserEvents.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTextEdit;
class TExplanationList;
class TLaser;
class TWaitingBox;

class TConsolePanel : public QWidget {
  Q_OBJECT

 public:
  TConsolePanel(TLaser& laser, TExplanationList& explanations, QWidget* parent = nullptr);
  ~TConsolePanel() override;

  // --- wiring ---
  QGroupBox* SystemGroup() const { return FSystem; }
  void Subscribe(TLaserEvents& Events);
  void SetWaitingBox(TWaitingBox* box) { FWaitingBox = box; }
  std::function<void()> OnFatalClose;  // after a monitor error; empty: window()->close()

  // --- shown state (the main window's ShowAdvanced) ---
  void ShowConsole();  // visible, received text subscribed, focus in CmdBox
  void HideConsole();  // hidden, received text unsubscribed; the focus is the window's business
  bool Shown() const { return FShown; }
  void ClearForDisconnectedState();  // empties ErrorMsgs, CmdBox and ReceiveBuffer
  void ClearOnDisconnect();          // empties ReceiveBuffer and CmdHistory

  // --- handlers ---
  void SendCmdClick();
  void CmdBoxKeyPress(QChar key);  // Enter (13) sends
  // Up and Down in the command line: the previous or next command of the history into the line
  // (and selected in the list); Down past the newest brings back what was being typed.
  void RecallHistory(int Step);
  void CmdHistoryDblClick();  // also the click of SendHistoryItem
  void EditClearExecute();    // empties the box RcvBufMenu was opened on
  void GetErrorClick();
  void ClearErrorClick();
  void SaveClick();
  void ResetClick();
  void LaserReceive(TLaser* Sender, const std::string& buf);
  void LaserLaserError(TLaser* Sender, std::uint8_t ErrorCode);
  void LaserClearError(TLaser* Sender);
  void LaserReset(TLaser* Sender);
  void LaserReseted(TLaser* Sender);  // OnReseted and OnClearedError
  void LaserMointorError(TLaser* Sender, const std::string& buf);

  // Why a typed text cannot go to the laser as it stands (a line break, a NUL, characters beyond
  // 8 bits, more than 255 characters); empty when it can.
  static QString CommandProblem(const QString& text);

  // --- the popup menu and the transcript ---
  QMenu* RcvBufMenu() const { return FMenu; }
  void PopupMenuOn(QWidget* box, const QPoint& globalPos);
  // The transcript keeps at most this many characters, dropping the oldest lines.
  void SetTranscriptLimit(int chars) { FTranscriptLimit = chars; }
  static constexpr int kDefaultTranscriptLimit = 1 << 20;
  // The clock of the "Read Error" line; tests set a fixed one.
  std::function<QTime()> Clock;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SubscribeShown();
  void SendText(const QString& text);
  void AppendTranscript(const QString& text, const QColor& color);
  void TrimTranscript();
  void AppendError(const QString& line);
  void ShowWaiting(const QString& msg);
  void FatalMessage(const QString& text);
  void MenuCopy();
  void MenuSelectAll();

  TLaser& FLaser;
  TExplanationList& FExplanations;
  TWaitingBox* FWaitingBox = nullptr;
  bool FShown = false;
  bool FPhaseRunning = false;  // between a clear-error or reset start and its end
  bool FLastWasCR = false;     // a received chunk ended in CR: a leading LF of the next is its pair
  int FTranscriptLimit = kDefaultTranscriptLimit;
  TLaserEvents* FEvents = nullptr;
  TSubscriptions FSubscriptions;       // ended with the panel
  TSubscriptions FShownSubscriptions;  // while the console is shown

  QLineEdit* FCmdBox = nullptr;
  QLabel* FCmdProblem = nullptr;
  QPushButton* FSendCmd = nullptr;
  QListWidget* FHistory = nullptr;
  QPushButton* FSendHistory = nullptr;
  QTextEdit* FReceive = nullptr;
  QGroupBox* FSystem = nullptr;
  QPlainTextEdit* FErrors = nullptr;
  QMenu* FMenu = nullptr;
  QWidget* FMenuTarget = nullptr;
  // The history row recalled into the command line; -1: the operator's own text is there.
  int FRecalled = -1;
  QString FDraft;  // what was typed before the first Up
};
