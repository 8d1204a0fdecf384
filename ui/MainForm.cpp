#include "ui/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "logic/ExitSignals.h"
#include "logic/Reports.h"
#include "logic/StatusText.h"
#include "logic/WindowPlacement.h"
#include "serial/PortNames.h"
#include "ui/AboutFrm.h"
#include "ui/Application.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/ConsolePanel.h"
#include "ui/ControlPanel.h"
#include "ui/CoverPanel.h"
#include "ui/HotKeys.h"
#include "ui/Pictures.h"
#include "ui/QtSync.h"
#include "ui/Recording.h"
#include "ui/RemoteServer.h"
#include "ui/SetOption.h"
#include "ui/TrendWindow.h"
#include "ui/ValueLabel.h"
#include "ui/Waiting.h"

namespace {

QAction* NewAction(QObject* Owner, const char* Name, const QString& Caption, const QString& Hint,
                   const QKeySequence& Key = {}) {
  auto* action = new QAction(Caption, Owner);
  action->setObjectName(QString::fromLatin1(Name));
  // "Tip|Long help": the part before the bar is the tool tip, the rest the status text.
  const qsizetype bar = Hint.indexOf('|');
  action->setToolTip(bar < 0 ? (Hint.isEmpty() ? QString(Caption).remove('&') : Hint)
                             : Hint.left(bar));
  action->setStatusTip(bar < 0 ? Hint : Hint.mid(bar + 1));
  action->setShortcut(Key);
  return action;
}

// A menu entry with a caption of its own that runs Action and mirrors its state.
QAction* MenuItem(QMenu* Menu, const QString& Caption, QAction* Action) {
  auto* item = new QAction(Menu);
  const auto sync = [item, Action, Caption] {
    QString text = Caption;
    if (!Action->shortcut().isEmpty()) {
      text += '\t' + Action->shortcut().toString(QKeySequence::NativeText);
    }
    item->setText(text);
    item->setEnabled(Action->isEnabled());
    item->setCheckable(Action->isCheckable());
    item->setChecked(Action->isChecked());
    item->setStatusTip(Action->statusTip());
  };
  sync();
  QObject::connect(Action, &QAction::changed, item, sync);
  QObject::connect(item, &QAction::triggered, Action, [Action, item, sync] {
    Action->trigger();
    sync();
    (void)item;
  });
  Menu->addAction(item);
  return item;
}

QFont WindowFont() {
  // Tahoma where the system has it; else the system's sans-serif at the same size.
  if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return QFont(QStringLiteral("Tahoma"), 8);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

}  // namespace

TQNLaserControlMainForm::TQNLaserControlMainForm(TLaserTiming Timing)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      FLaser(std::make_unique<TLaser>(Timing)) {
  setObjectName(QStringLiteral("QNLaserControlMainForm"));
  setFont(WindowFont());
  setWindowIcon(SvgIcon(QStringLiteral("app")));
  // The program's own icon for every window of it, the about box's picture included.
  QApplication::setWindowIcon(windowIcon());
  FDetection = std::make_unique<TDetection>(*FLaser, *this, FExplanations, FConnectionLog);
  FDetection->Stamp = [] { return TimeStamp(); };
  FSync = std::make_unique<TQtSync>(FLaser->Synchronizer());
  FTimer1.setObjectName(QStringLiteral("Timer1"));
  // Created stopped: with no tick handler it would only wake the program for nothing.
  connect(&FTimer1, &QTimer::timeout, this, Guard([this] {
    FDetection->TimerTick();
    if (FDetection->TimerRole() == TDetection::TTimerRole::Refresh) {
      FPanel->MarkStale(FOptions.UpdateInterval);
    }
    UpdateActions();
  }));

  CreateActions();
  CreateClientArea();
  FRecording = new TRecording(*FLaser, FExplanations, this);
  FRecording->OnChanged = [this] { UpdateStatus(); };
  FRecording->OnData = [this] {
    if (FTrends) FTrends->DataArrived();
  };
  FRemote = new TRemoteServer(
      *FLaser,
      [this] {
        if (!FLaser->Connected()) return TRemoteState::Disconnected;
        return FDetection->LaserReady() ? TRemoteState::Ready : TRemoteState::Probing;
      },
      this);
  FRemote->OnChanged = [this] { UpdateStatus(); };
  FRemote->OnLogLine = [this](const std::string& Line) { LogLine(Line); };
  ShowTrends = new QAction(QStringLiteral("&Trends"), this);
  ShowTrends->setObjectName(QStringLiteral("ShowTrends"));
  ShowTrends->setStatusTip(QStringLiteral("The reported values over time"));
  connect(ShowTrends, &QAction::triggered, this, Guard([this] { ShowTrendsExecute(); }));
  CreateMenuAndToolBar();
  TrayIcon = new QSystemTrayIcon(SvgIcon(QStringLiteral("app")), this);
  TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          Guard([this](QSystemTrayIcon::ActivationReason Reason) {
            if (Reason == QSystemTrayIcon::Trigger) TrayIconClick();
            if (Reason == QSystemTrayIcon::DoubleClick) TrayIconDblClick();
          }));
  TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  CreateStatusBar();
  // Resizable; the design's size is the least it can be made (the client area's minimum), and
  // the layouts keep every control at least as large as its text needs.
  resize(minimumSizeHint());
  ShowStartupProblem = [this](const QString& Problem) {
    QMessageBox::warning(this, QStringLiteral("Error"), Problem);
  };
  AskExit = [this] {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Exit"),
                    QStringLiteral("The laser is on. Switch it off before exiting?"),
                    QMessageBox::NoButton, this);
    QPushButton* off = box.addButton(QStringLiteral("Switch off and exit"), QMessageBox::YesRole);
    QPushButton* exit = box.addButton(QStringLiteral("Exit"), QMessageBox::NoRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(off);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == off) return TExitChoice::SwitchOffAndExit;
    if (box.clickedButton() == exit) return TExitChoice::Exit;
    return TExitChoice::Cancel;
  };
  // Laser OFF's hot key under every box and dialog of ours, not only in this window.
  qApp->installEventFilter(this);
  BindLaserEvents();
  UpdateActions();
}

TQNLaserControlMainForm::~TQNLaserControlMainForm() {
  if (!FDestroyed) FormDestroy();
  delete FRemote;  // its sessions talk to the laser
  FRemote = nullptr;
  // Nothing of the laser may reach the window while it goes away.
  DetachLaserEvents();
  FTimer1.stop();
  FSync.reset();
  FLaser.reset();
}

// ---------------------------------------------------------------- frame

// Kept apart from Qt's display name: the platform appends that name to every other window's
// title, and the dialogs' captions are theirs alone ("Options", "Log information").
void TQNLaserControlMainForm::SetApplicationTitle(const QString& Title) {
  qApp->setProperty("ApplicationTitle", Title);
}

QString TQNLaserControlMainForm::ApplicationTitle() {
  return qApp->property("ApplicationTitle").toString();
}

void TQNLaserControlMainForm::CreateActions() {
  ConnectLaser = NewAction(this, "ConnectLaser", QStringLiteral("Connect &Laser"),
                           QStringLiteral("Connect Laser"));
  ConnectLaser->setCheckable(true);
  MinimizeToTray =
      NewAction(this, "MinimizeToTray", QStringLiteral("Minimize to system tray"), QString());
  MinimizeToTray->setCheckable(true);
  ShowTrayIcon = NewAction(this, "ShowTrayIcon", QStringLiteral("Show tray icon"), QString());
  ShowTrayIcon->setCheckable(true);
  ShowAdvanced = NewAction(this, "ShowAdvanced", QStringLiteral("Show advanced panel"), QString(),
                           QKeySequence(Qt::CTRL | Qt::Key_D));
  ShowAdvanced->setCheckable(true);
  ShowLog = NewAction(this, "ShowLog", QStringLiteral("Show Log"), QString());
  SetOptions = NewAction(this, "SetOptions", QStringLiteral("&Options"), QStringLiteral("Options"),
                         QKeySequence(Qt::CTRL | Qt::Key_O));
  FileExit1 =
      NewAction(this, "FileExit1", QStringLiteral("E&xit"),
                QStringLiteral("Exit|Quits the application"), QKeySequence(Qt::ALT | Qt::Key_X));
  EditCopy = NewAction(this, "EditCopy", QStringLiteral("&Copy"),
                       QStringLiteral("Copy|Copies the selection and puts it on the Clipboard"),
                       QKeySequence(Qt::CTRL | Qt::Key_C));
  EditSelectAll = NewAction(this, "EditSelectAll", QStringLiteral("Select &All"),
                            QStringLiteral("Select All|Selects the entire document"),
                            QKeySequence(Qt::CTRL | Qt::Key_A));
  EditClear = NewAction(this, "EditClear", QStringLiteral("Clear"), QString());
  About = NewAction(this, "About", QStringLiteral("About..."), QString(), QKeySequence(Qt::Key_F1));

  connect(ConnectLaser, &QAction::triggered, this, Guard([this](bool) { ConnectLaserExecute(); }));
  connect(MinimizeToTray, &QAction::triggered, this, [this](bool) { MinimizeToTrayExecute(); });
  connect(ShowTrayIcon, &QAction::triggered, this,
          [this](bool checked) { ShowTrayIconExecute(checked); });
  connect(ShowAdvanced, &QAction::triggered, this,
          Guard([this](bool checked) { ShowAdvancedExecute(checked); }));
  connect(ShowLog, &QAction::triggered, this, Guard([this](bool) { ShowLogExecute(); }));
  connect(SetOptions, &QAction::triggered, this, Guard([this](bool) { SetOptionsExecute(); }));
  connect(FileExit1, &QAction::triggered, this, [this](bool) { close(); });
  connect(EditCopy, &QAction::triggered, this, [this](bool) { EditExecute("copy"); });
  connect(EditSelectAll, &QAction::triggered, this, [this](bool) { EditExecute("selectAll"); });
  connect(EditClear, &QAction::triggered, this, [this](bool) { FConsole->EditClearExecute(); });
  connect(About, &QAction::triggered, this, Guard([this](bool) { AboutExecute(); }));
  addActions({ConnectLaser, MinimizeToTray, ShowTrayIcon, ShowAdvanced, ShowLog, SetOptions,
              FileExit1, EditCopy, EditSelectAll, EditClear, About});
}

void TQNLaserControlMainForm::EditExecute(const char* Slot) {
  // The standard edit actions work on the focused text box.
  if (QWidget* focus = QApplication::focusWidget()) QMetaObject::invokeMethod(focus, Slot);
}

void TQNLaserControlMainForm::CreateMenuAndToolBar() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("F&ile"));
  file->setObjectName(QStringLiteral("File1"));
  file->addAction(ConnectLaser);
  file->addSeparator();
  file->addAction(FRecording->StartRecording);
  file->addAction(FRecording->StopRecording);
  file->addSeparator();
  file->addAction(FileExit1);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->setObjectName(QStringLiteral("View1"));
  MenuItem(view, QStringLiteral("&Minimize to system tray"), MinimizeToTray);
  MenuItem(view, QStringLiteral("&Show tray icon"), ShowTrayIcon);
  MenuItem(view, QStringLiteral("S&how advanced panel"), ShowAdvanced);
  view->addSeparator();
  MenuItem(view, QStringLiteral("Sh&ow Log"), ShowLog);
  view->addAction(ShowTrends);
  view->addSeparator();
  MenuItem(view, QStringLiteral("O&ptions"), SetOptions);
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("Help1"));
  MenuItem(help, QStringLiteral("&About..."), About);

  ToolBar1 = new QToolBar(this);
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
  ToolBar1->setIconSize(QSize(32, 32));
  ToolBar1->setFixedHeight(ToolBarHeight);
  ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
  ToolBar1->setStyleSheet(QStringLiteral(
      "QToolBar { border: none; border-bottom: 1px solid #a9b1ba; spacing: 3px; padding: 2px;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fbfcfd, stop:1 #d9dee4); }"));
  ToolBar1->addAction(ConnectLaser);
  ToolBar1->addAction(SetOptions);
  ToolBar1->addSeparator();
  ToolBar1->addAction(FileExit1);
  SetOptions->setIcon(SvgIcon(QStringLiteral("options")));
  FileExit1->setIcon(SvgIcon(QStringLiteral("exit")));
  SetConnectImage(false);
  addToolBar(Qt::TopToolBarArea, ToolBar1);
}

void TQNLaserControlMainForm::CreateClientArea() {
  ClientArea = new QWidget(this);
  ClientArea->setObjectName(QStringLiteral("ClientArea"));
  // Group captions on the frame line, as the window was drawn.
  ClientArea->setStyleSheet(
      QStringLiteral("QGroupBox { border: 1px solid #b4b9bf; border-radius: 3px; margin-top: 6px; }"
                     "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                     " left: 6px; padding: 0px 1px; }"));
  setCentralWidget(ClientArea);

  FPanel = new TControlPanel(*FLaser, FOptions, ClientArea);
  FPanel->IsReady = [this] { return FLaser->Connected() && FDetection->DetectionStage == dsIdle; };
  addActions({FPanel->SetInternal, FPanel->SetExternal, FPanel->SetCW, FPanel->SetLaserOn,
              FPanel->SetLaserOff, FPanel->SetCurrentZero});
  for (QAction* a : FPanel->SetCurrentN) addAction(a);

  // The console covers the client area whenever it is shown; its " System " group sits below
  // the trigger group, left of the laser switch.
  FConsole = new TConsolePanel(*FLaser, FExplanations, ClientArea);
  AdvancedPanel = FConsole;
  SystemGroup = FConsole->SystemGroup();
  SystemGroup->setParent(ClientArea);
  SystemGroup->show();
  FConsole->OnFatalClose = [this] {
    if (OnFatalClose) {
      OnFatalClose();
    } else {
      close();
    }
  };

  // Top: the trigger and current groups side by side in the design's proportion; below: the
  // " System " group, the warning sign and the two laser buttons.
  auto* top = new QHBoxLayout;
  top->setSpacing(4);
  top->addWidget(FPanel->TriggerGroup, 226);
  top->addWidget(FPanel->CurrentGroup, 241);
  auto* sign = new QGridLayout;
  sign->setContentsMargins(0, 0, 0, 0);
  for (QWidget* w :
       {static_cast<QWidget*>(FPanel->LaserWarnOn), static_cast<QWidget*>(FPanel->LaserWarnOff),
        static_cast<QWidget*>(FPanel->LaserWarnUnknown)}) {
    sign->addWidget(w, 0, 0);
  }
  auto* buttons = new QVBoxLayout;
  buttons->setSpacing(3);
  buttons->addWidget(FPanel->LaserON);
  buttons->addWidget(FPanel->LaserOff);
  auto* bottom = new QHBoxLayout;
  bottom->setSpacing(3);
  bottom->addWidget(SystemGroup, 5);
  bottom->addLayout(sign, 1);  // the warning sign grows with the window too
  bottom->addLayout(buttons);
  auto* rows = new QVBoxLayout;
  rows->setSpacing(2);
  rows->addLayout(top, 3);
  rows->addLayout(bottom, 2);
  // The design's size is the least, unless the texts in the platform's font need more; the
  // groups grow with the window.
  auto* area = new QGridLayout(ClientArea);
  const QMargins margins(4, 2, 4, 2);
  area->setContentsMargins(margins);
  area->addLayout(rows, 0, 0);
  area->setColumnMinimumWidth(0, ClientWidth - margins.left() - margins.right());
  area->setRowMinimumHeight(0, ClientHeight - ToolBarHeight - margins.top() - margins.bottom());

  FCover = new TCoverPanel(ClientArea, ToolBarHeight);
  // The console and the cover lie over the whole client area, whatever its size.
  ClientArea->installEventFilter(this);
  AdvancedPanel->setGeometry(ClientArea->rect());
}

void TQNLaserControlMainForm::SetConnectImage(bool Ready) {
  ConnectLaser->setChecked(Ready);
  ConnectLaser->setProperty("ImageIndex", Ready ? 1 : 0);
  ConnectLaser->setIcon(SvgIcon(Ready ? QStringLiteral("connect-1") : QStringLiteral("connect-0")));
}

void TQNLaserControlMainForm::UpdateActions() {
  FPanel->LaserActionUpdate();
  // The action flips its own checked state when triggered; it shows whether a laser is ready.
  if (ConnectLaser->isChecked() != FDetection->LaserReady()) {
    SetConnectImage(FDetection->LaserReady());
  }
  ShowAdvanced->setEnabled(ConnectLaser->isChecked());
  UpdateStatus();
}

void TQNLaserControlMainForm::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("StatusBar"));
  bar->setSizeGripEnabled(true);
  // Permanent fields on the right; the message area on the left takes the command reports.
  const auto field = [bar](const char* name, const QString& hint, int stretch) {
    auto* f = new TStatusField(bar);
    f->setObjectName(QString::fromLatin1(name));
    f->setStatusTip(hint);
    bar->addPermanentWidget(f, stretch);
    return f;
  };
  FStatusPort = field("StatusPort", QStringLiteral("The port"), 0);
  FStatusState = field("StatusState", QStringLiteral("The connection"), 0);
  FStatusLastValue =
      field("StatusLastValue", QStringLiteral("When the laser last reported a value"), 0);
  // Stretched: the file name gives way first where the window is narrow.
  FStatusRecording = field("StatusRecording", QStringLiteral("The recording"), 1);
  FStatusRecording->setVisible(false);
  FStatusRemote = field("StatusRemote", QStringLiteral("Remote control: clients connected"), 0);
  FStatusRemote->setVisible(false);
  FStatusEmission = new QLabel(bar);
  FStatusEmission->setObjectName(QStringLiteral("StatusEmission"));
  FStatusEmission->setAlignment(Qt::AlignCenter);
  FStatusEmission->setToolTip(QStringLiteral("Emission, as the laser last reported it"));
  bar->addPermanentWidget(FStatusEmission);
}

void TQNLaserControlMainForm::UpdateStatus() {
  if (!FStatusState) return;
  std::string device;
#ifndef _WIN32
  // The device behind the COM name; a link (the simulator's) is followed to what it names.
  device = PortDevicePath(FLaser->Port());
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(device, ec);
  if (!ec) device = real.string();
#endif
  FStatusPort->SetText(QString::fromStdString(PortFieldText(FLaser->Port(), device)));
  TLinkFacts facts;
  facts.Port = FLaser->Port();
  facts.Connected = FLaser->Connected();
  facts.Ready = FDetection->LaserReady();
  facts.InStep = FLaser->InStep();
  facts.OpenFailed = FDetection->OpenFailed();
  facts.Retrying = FDetection->TimerRole() == TDetection::TTimerRole::RetryConnect;
  facts.LastClose = FDetection->LastClose();
  facts.ConnectKey = ConnectLaser->shortcut().toString(QKeySequence::NativeText).toStdString();
  FStatusState->SetText(QString::fromStdString(ConnectionStateText(facts)));
  FStatusLastValue->SetText(FLastValueAt.isEmpty() ? QString()
                                                   : QStringLiteral("Last value ") + FLastValueAt);
  FStatusLastValue->setVisible(!FLastValueAt.isEmpty());
  const QString recording = FRecording ? FRecording->StatusText() : QString();
  FStatusRecording->SetText(recording);
  FStatusRecording->setVisible(!recording.isEmpty());
  const QString remote = FRemote ? FRemote->StatusText() : QString();
  FStatusRemote->SetText(remote);
  FStatusRemote->setVisible(!remote.isEmpty());
  const QString emission = QString::fromStdString(EmissionText(FEmission));
  if (FStatusEmission->text() != emission) {
    FStatusEmission->setText(emission);
    // The warning colour while the laser says it emits; plain otherwise.
    FStatusEmission->setStyleSheet(
        FEmission.value_or(false)
            ? QStringLiteral("QLabel { background: #ffd400; color: black; font-weight: bold;"
                             " padding: 0px 6px; border: 1px solid #8a6d00; }")
            : QStringLiteral("QLabel { padding: 0px 6px; }"));
  }
}

void TQNLaserControlMainForm::ValueReceived() {
  FLastValueAt = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
}

std::string TQNLaserControlMainForm::TimeStamp() {
  return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void TQNLaserControlMainForm::LogLine(const std::string& Text) {
  FConnectionLog.push_back(TimeStamp() + " " + Text);
}

void TQNLaserControlMainForm::ConnectLaserExecute() {
  FDetection->ConnectLaserExecute();
  UpdateActions();
}

void TQNLaserControlMainForm::closeEvent(QCloseEvent* Event) {
  if (FExiting && !FExitFinished) {
    Event->ignore();  // Laser OFF is on its way; the window closes when it has been answered
    return;
  }
  // The question only while a laser is connected that said it is on.
  if (!FExiting && !FForcedExit && FEmission.value_or(false) && FLaser->Connected() && AskExit) {
    Event->ignore();
    TExitChoice choice = TExitChoice::Cancel;
    Guarded([&] { choice = AskExit(); });
    if (choice == TExitChoice::Cancel) return;
    FExiting = true;
    if (choice == TExitChoice::SwitchOffAndExit) {
      SwitchOffAndExit();
      return;
    }
    Event->accept();  // "Exit": the laser stays as it is
  }
  FExiting = true;
  FExitFinished = true;
  Event->accept();
  // Closing the main window ends the program, also when it is hidden in the tray (main() does
  // not quit on the last window closed, so a box closed while the window is hidden cannot).
  QCoreApplication::quit();
}

void TQNLaserControlMainForm::SwitchOffAndExit() {
  statusBar()->showMessage(QStringLiteral("Switching the laser off..."));
  {
    // Laser OFF alone, first in the queue; told when it has been answered, refused, not
    // answered within the reply wait, or could not be written.
    TLaser::TRequestScope scope(*FLaser, TOrigin::Operator, TPriority::Urgent,
                                [this](TCommandOutcome, const TLaserMsg&) { FinishExit(); });
    FLaser->SetLaserOn(false);
  }
  // Should the engine never end it (the port gone meanwhile), the exit does not hang.
  QTimer::singleShot(2 * FLaser->Timing().ReplyTimeoutMs + 1000, this, [this] { FinishExit(); });
}

void TQNLaserControlMainForm::FinishExit() {
  if (FExitFinished) return;
  FExitFinished = true;
  // Not from inside a close already under way (the reply may come at once): Qt would ignore it.
  QTimer::singleShot(0, this, [this] { close(); });
}

void TQNLaserControlMainForm::WatchExitSignals() {
#ifndef _WIN32
  const int fd = InstallExitSignals();
  if (fd < 0) return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this, fd] {
    DrainExitSignals(fd);
    FForcedExit = true;
    close();
  });
#else
  InstallExitSignals([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          FForcedExit = true;
          close();
        },
        Qt::QueuedConnection);
  });
  // A program with windows gets no console event at logoff or shutdown: Windows asks its
  // windows instead, Qt says aboutToQuit, and the process is ended right after, before exec()
  // returns to main(). The exit step runs here then: no question, nothing sent, the settings
  // and the recording written. On a normal exit it runs here too, once.
  connect(qApp, &QCoreApplication::aboutToQuit, this,
          [this] { Guarded([this] { FormDestroy(); }); });
#endif
}

void TQNLaserControlMainForm::PlaceOnScreen() {
  std::vector<TScreenRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) {
    const QRect r = primary->availableGeometry();
    screens.push_back({r.x(), r.y(), r.width(), r.height()});
  }
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen == QGuiApplication::primaryScreen()) continue;
    const QRect r = screen->availableGeometry();
    screens.push_back({r.x(), r.y(), r.width(), r.height()});
  }
  // The frame is not known before the window is shown: room for a usual title bar and border.
  const TScreenRect window{FStartLeft, FStartTop, width() + 2 * FrameAllowance.width(),
                           height() + FrameAllowance.height()};
  const TWindowPos pos = PlaceWindow(window, screens);
  // The place applied is what the exit compares with: a stored place moved onto the screen is
  // written back only if the operator moves the window, so it is there again when its screen is.
  FStartLeft = pos.Left;
  FStartTop = pos.Top;
  move(FStartLeft, FStartTop);
}

void TQNLaserControlMainForm::changeEvent(QEvent* Event) {
  QMainWindow::changeEvent(Event);
  if (Event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Hidden only once the minimising is through, not inside the state change.
    QTimer::singleShot(0, this, [this] { ApplicationEvents1Minimize(); });
  }
}

// ---------------------------------------------------------------- tray, console, dialogs

void TQNLaserControlMainForm::MinimizeToTrayExecute() {
  // The action has flipped its own checked state.
  FSettingsChanged = true;
}

void TQNLaserControlMainForm::ShowTrayIconExecute(bool Checked) {
  TrayIcon->setVisible(Checked || FHiddenInTray);
  FSettingsChanged = true;
}

void TQNLaserControlMainForm::ApplicationEvents1Minimize() {
  if (!isMinimized() || !MinimizeToTray->isChecked()) return;
  // Without a tray the window stays on the task bar: hidden, it could not be found again.
  if (!TrayAvailable || !TrayAvailable()) return;
  TrayIcon->show();
  FHiddenInTray = true;
  hide();
}

void TQNLaserControlMainForm::TrayIconClick() {
  if (isMinimized() || isHidden()) {
    FHiddenInTray = false;
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
    // An icon shown only for the hidden window goes away.
    TrayIcon->setVisible(ShowTrayIcon->isChecked());
  } else {
    showMinimized();
  }
}

void TQNLaserControlMainForm::TrayIconDblClick() {
  // The operator's quick way to stop emission, from the tray, whenever a laser is connected.
  if (FOptions.DoubleClickOff && FLaser->Connected()) FPanel->SetLaserOffExecute();
}

bool TQNLaserControlMainForm::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == ClientArea && Event->type() == QEvent::Resize) {
    AdvancedPanel->setGeometry(ClientArea->rect());
    FCover->Fit(ClientArea->size());
  }
  if (Event->type() != QEvent::KeyPress || !Watched->isWidgetType()) {
    return QMainWindow::eventFilter(Watched, Event);
  }
  // In this window, while no box is open, the action's own shortcut has taken the key before it
  // got here; under a box or dialog of ours it comes here, and Laser OFF must not wait for the
  // box to close. The hot-key editors of the options dialog take keys to record them, not to
  // act on them.
  auto* widget = static_cast<QWidget*>(Watched);
  const auto* key = static_cast<QKeyEvent*>(Event);
  const bool actionHasIt = widget->window() == this &&
                           QApplication::activeModalWidget() == nullptr &&
                           QApplication::activePopupWidget() == nullptr;
  if (actionHasIt || dynamic_cast<THotKeyEdit*>(widget) != nullptr || key->isAutoRepeat()) {
    return QMainWindow::eventFilter(Watched, Event);
  }
  const QKeySequence pressed(key->keyCombination());
  const QKeySequence off = FPanel->SetLaserOff->shortcut();
  if (off.isEmpty() || pressed != off || !FLaser->Connected()) {
    return QMainWindow::eventFilter(Watched, Event);
  }
  Guarded([this] { FPanel->SetLaserOffExecute(); });
  return true;
}

void TQNLaserControlMainForm::ReportCommand(TCommandOutcome Outcome, const std::string& CmdStr) {
  const std::string text = CommandReportText(Outcome, CmdStr);
  if (text.empty()) return;
  statusBar()->showMessage(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())),
                           ReportShownMs);
  LogLine(text);
}

void TQNLaserControlMainForm::ShowAdvancedExecute(bool Checked) {
  // The action has flipped its own checked state.
  if (Checked) {
    FConsole->ShowConsole();
    FDetection->StopTimer();  // no periodic reads while the operator talks to the laser
  } else {
    FConsole->HideConsole();
    FPanel->FocusCurrent();
    FPanel->RefreshLaserState();
    FDetection->StartRefreshTimer();
  }
  UpdateActions();
}

TTrendWindow& TQNLaserControlMainForm::ShowTrendsExecute() {
  if (!FTrends) {
    FTrends = new TTrendWindow(FRecording->Trend(), FRecording->Clock(), this);
    FTrends->setFont(font());
  }
  FTrends->show();
  FTrends->raise();
  FTrends->activateWindow();
  return *FTrends;
}

void TQNLaserControlMainForm::ShowLogExecute() {
  if (LogForm) LogForm->ShowLog(FConnectionLog);
}

void TQNLaserControlMainForm::AboutExecute() {
  TAboutForm about(this);
  about.ShowSettingsFile(FSettingsFile.FileName());
  about.exec();
}

void TQNLaserControlMainForm::CreateDialogs() {
  OptionFrm = new TOptionFrm(this);
  WaitingBox = new TWaitingBox(this);
  WaitingBox->OnLaserOff = [this] { FPanel->SetLaserOffExecute(); };
  LogForm = new TLogForm(this);
  FConsole->SetWaitingBox(WaitingBox);
  RunOptionsDialog = [this](const TOptions& Current) -> std::optional<TOptions> {
    OptionFrm->LoadFromOptions(Current);
    OptionFrm->LoadRemote(FRemote->Settings(), FRemote->StateText());
    if (OptionFrm->exec() != QDialog::Accepted) return std::nullopt;
    TOptions result = Current;
    OptionFrm->StoreToOptions(result);
    TRemoteSettings remote = FRemote->Settings();
    OptionFrm->StoreRemote(remote);
    FRemote->Apply(remote);
    return result;
  };
  PresetsEdited = [this] { return OptionFrm->PresetsEdited(); };
}

// ---------------------------------------------------------------- laser events

void TQNLaserControlMainForm::BindLaserEvents() {
  FEvents = std::make_unique<TLaserEvents>(*FLaser);
  TLaserEvents& e = *FEvents;
  // The order of subscribing is the order of hearing: the values are shown before the detection
  // acts on them, and the window's actions and status bar follow last.
  FSubscriptions += e.Connect.Subscribe([this] { FEmission.reset(); });
  FPanel->Subscribe(e);
  FDetection->Subscribe(e);
  FConsole->Subscribe(e);
  FRecording->Subscribe(e);
  FRemote->Subscribe(e);
  const auto update = [this] { UpdateActions(); };
  for (TFanOut<>* event : {&e.Connect, &e.ConnectFail, &e.Disconnect}) {
    FSubscriptions += event->Subscribe(update);
  }
  FSubscriptions += e.SN.Subscribe([this](int) { UpdateActions(); });
  const auto commandError = [this](TLaserCommand, std::uint8_t, const std::string&) {
    UpdateActions();
  };
  FSubscriptions += e.CommandError.Subscribe(commandError);
  FSubscriptions += e.CommandTimeout.Subscribe(commandError);
  const auto value = [this](std::uint8_t, double) {
    ValueReceived();
    UpdateActions();
  };
  for (TFanOut<std::uint8_t, double>* event : {&e.Current, &e.MaxCurrent, &e.Frequency}) {
    FSubscriptions += event->Subscribe(value);
  }
  FSubscriptions += e.TriggerMode.Subscribe([this](std::uint8_t, TTriggerMode) {
    ValueReceived();
    UpdateActions();
  });
  FSubscriptions += e.LaserON.Subscribe([this](bool IsOn) {
    FEmission = IsOn;
    ValueReceived();
    UpdateStatus();
  });
  FSubscriptions +=
      e.CommandReport.Subscribe([this](TCommandOutcome Outcome, const std::string& CmdStr) {
        ReportCommand(Outcome, CmdStr);
      });
}

void TQNLaserControlMainForm::DetachLaserEvents() {
  FSubscriptions.Clear();
  FEvents.reset();
}

// ---------------------------------------------------------------- IDetectionView

void TQNLaserControlMainForm::ApplyCurrentLayout(int Layout, bool ShowActual) {
  FPanel->ApplyCurrentLayout(Layout, ShowActual);
}

void TQNLaserControlMainForm::ApplyTriggerLayout(int Layout) {
  FPanel->ApplyTriggerLayout(Layout);
}

void TQNLaserControlMainForm::RefreshLaserState() {
  FPanel->RefreshLaserState();
}

void TQNLaserControlMainForm::ShowConnectionState(bool Disconnected) {
  // AutoRecord follows the ready connection.
  if (Disconnected) {
    FRecording->LaserGone();
  } else {
    FRecording->LaserReady();
  }
  if (Disconnected) {
    FConsole->ClearForDisconnectedState();
    SetConnectImage(false);
    FCover->SlideUp();
  } else {
    SetConnectImage(true);
    FCover->SlideDown();
    FPanel->FocusCurrent();
  }
  UpdateActions();
}

void TQNLaserControlMainForm::UpdateCaption(int SN) {
  QString caption;
  QString title;
  if (SN != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "SN%4d - %s", SN, "Corvane Laser Control");
    caption = QString::fromLatin1(text);
    title = caption;
  } else {
    caption = QStringLiteral("PLANOVEX - Corvane Laser Control");
    title = QStringLiteral("Corvane Laser Control");
  }
  setWindowTitle(caption);
  SetApplicationTitle(title);
  TrayIcon->setToolTip(caption);
}

void TQNLaserControlMainForm::SetFrequencyEntry(std::uint8_t Branch, int Value) {
  FPanel->SetFrequencyEntry(Branch, Value);
}

void TQNLaserControlMainForm::ShowConnectFailure(const std::string& Message) {
  QMessageBox::warning(this, QStringLiteral("Error"), QString::fromStdString(Message));
}

void TQNLaserControlMainForm::CloseAdvanced() {
  if (!ShowAdvanced->isChecked() && !FConsole->Shown()) return;
  FConsole->HideConsole();
  ShowAdvanced->setChecked(false);
}

void TQNLaserControlMainForm::ClearConsole() {
  FConsole->ClearOnDisconnect();
}

void TQNLaserControlMainForm::StartTimer(int IntervalMs) {
  FTimer1.start(IntervalMs);
}

void TQNLaserControlMainForm::StopTimer() {
  FTimer1.stop();
}

bool TQNLaserControlMainForm::LoadTemplate(const std::string& FileName) {
  std::vector<std::string> skipped;
  std::string why;
  const bool applied = ::LoadTemplate(FileName, FExeFolder, *this, FLaser->CommandList(),
                                      FExplanations, &skipped, &why, &FTemplates);
  // The operator who linked a template learns why the laser is probed instead, and what of it
  // was left out.
  const std::string name = "Template \"" + FileName + "\"";
  for (const std::string& line : skipped) LogLine(name + ": skipped " + line);
  LogLine(name + (applied ? " --> applied" : " --> not applied, " + why));
  return applied;
}

// ---------------------------------------------------------------- lifecycle

void TQNLaserControlMainForm::ApplyHotKeys() {
  // Qt gives a key that two actions share to neither of them, so each key goes to the first
  // action here only: Laser OFF's before all, then the menus' fixed keys (a key the operator
  // gives another action must not take Options or a preset current away), then the rest.
  struct TEntry {
    QAction* Action;
    QKeySequence Key;
    std::string Name;
  };
  const auto hot = [this](QAction* Action, THotKeyAction Which) {
    return TEntry{Action, ShortCutToKeySequence(FOptions.HotKey(Which)),
                  std::string(HotKeyNames[Which])};
  };
  std::vector<TEntry> entries{hot(FPanel->SetLaserOff, hkLaserOff)};
  if (FFixedKeys.empty()) {
    // Their keys as made, before this ever took one of them away.
    for (QAction* action : {ShowAdvanced, SetOptions, FileExit1, EditCopy, EditSelectAll, About}) {
      FFixedKeys.emplace_back(action, action->shortcut());
    }
    for (QAction* action : FPanel->SetCurrentN) FFixedKeys.emplace_back(action, action->shortcut());
  }
  for (const auto& [action, key] : FFixedKeys) {
    entries.push_back({action, key, action->objectName().toStdString()});
  }
  for (const auto& [action, which] :
       {std::pair{ConnectLaser, hkConnectLaser}, std::pair{FPanel->SetInternal, hkInternalTrigger},
        std::pair{FPanel->SetExternal, hkExternalTrigger}, std::pair{FPanel->SetCW, hkCWMode},
        std::pair{FPanel->SetLaserOn, hkLaserOn},
        std::pair{FPanel->SetCurrentZero, hkSetCurrentZero},
        std::pair{FRecording->StartRecording, hkStartRecording},
        std::pair{FRecording->StopRecording, hkStopRecording},
        std::pair{ShowTrends, hkShowTrends}}) {
    entries.push_back(hot(action, which));
  }
  std::vector<QKeySequence> given;
  for (TEntry& entry : entries) {
    if (!entry.Key.isEmpty() && std::find(given.begin(), given.end(), entry.Key) != given.end()) {
      const std::string text = "Hot key " + entry.Key.toString().toStdString() + " of " +
                               entry.Name + " --> not used, another action has it";
      LogLine(text);
      statusBar()->showMessage(QString::fromStdString(text), ReportShownMs);
      entry.Key = QKeySequence();
    }
    entry.Action->setShortcut(entry.Key);
    if (!entry.Key.isEmpty()) given.push_back(entry.Key);
  }
}

void TQNLaserControlMainForm::FormCreate(const TStartup& Startup) {
  BeginLog(Startup);
  ApplySettings(ReadSettings(Startup));
  PrepareDetection();
  FExplanations.Clear();  // the error table comes with the detected family
  FDetection->OpenSilently();
  FSettingsChanged = false;
  ShowStartState();
}

void TQNLaserControlMainForm::BeginLog(const TStartup& Startup) {
  FConnectionLog.clear();
  UpdateCaption(0);
  // Which settings file is in use: beside the program or in the user's folder.
  const std::u8string settingsPath = Startup.SettingsFile.u8string();
  LogLine("Settings: " + std::string(settingsPath.begin(), settingsPath.end()));
}

TStartupSettings TQNLaserControlMainForm::ReadSettings(const TStartup& Startup) {
  FSettingsFile = TIniFile(Startup.SettingsFile);
  FStartupProblem = QString::fromStdString(SettingsReadProblem(FSettingsFile));
  FExeFolder = Startup.ExeFolder;
  // Everything stored, with the command line's port and position in front.
  return ReadStartupSettings(FSettingsFile, ParseCommandLine(Startup.Params));
}

void TQNLaserControlMainForm::ApplySettings(const TStartupSettings& Stored) {
  FOptions = Stored.Options;
  FRecording->ReadSettings(FSettingsFile);
  // The largest current a client may set is the window's own.
  FRemote->SetMaxCurrent(FOptions.AllowOver100A ? 999.99 : 99.99);
  FRemote->ReadSettings(FSettingsFile, Stored.RemotePort);
  FStartLeft = Stored.StartLeft;
  FStartTop = Stored.StartTop;
  FLaser->SetPort(FOptions.Port);
  ApplyHotKeys();
  MinimizeToTray->setChecked(Stored.MinimizeToTray);
  ShowTrayIcon->setChecked(Stored.ShowTrayIcon);
  TrayIcon->setVisible(Stored.ShowTrayIcon);
  resize(minimumSizeHint());  // the smallest size, which the layouts know now
  PlaceOnScreen();
}

void TQNLaserControlMainForm::PrepareDetection() {
  TDetection& d = *FDetection;
  d.ReportConnectFailure = false;  // the start-up's connect is silent
  d.AutoDetect = FOptions.AutoDetect;
  d.DetectInterval = FOptions.DetectInterval;
  d.AutoUpdate = FOptions.AutoUpdate;
  d.UpdateInterval = FOptions.UpdateInterval;
  d.FindTemplateLink = [this](int SN, std::string& FileName) {
    return ::FindTemplateLink(FSettingsFile, SN, FileName);
  };
}

void TQNLaserControlMainForm::ShowStartState() {
  // The cover over the controls, as for a disconnected laser (unless the laser is ready already,
  // when it has begun to slide away).
  if (!FDetection->LaserReady()) FCover->PlaceAtHome();
  AdvancedPanel->setGeometry(ClientArea->rect());  // and again at every resize
  if (FOptions.AllowOver100A) FPanel->SetAllowOver100A();
  UpdateActions();
}

void TQNLaserControlMainForm::FormShow() {
  if (!FStartupProblem.isEmpty()) {
    const QString problem = FStartupProblem;
    FStartupProblem.clear();
    // After the window has appeared, as its owner.
    QTimer::singleShot(0, this, [this, problem] {
      if (ShowStartupProblem) ShowStartupProblem(problem);
    });
  }
  if (WaitingBox) WaitingBox->OnClosed = [](TWaitingBox*) {};
}

void TQNLaserControlMainForm::FormDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  FTimer1.stop();
  FRemote->Close();     // no client's command after this
  DetachLaserEvents();  // closing at exit raises no disconnect handling
  FLaser->Disconnect();
  FRecording->Recorder().Flush();  // the last rows, also when the process is ended next
  TExitState state;
  state.Options = FOptions;
  state.Port = FLaser->Port();
  state.MinimizeToTray = MinimizeToTray->isChecked();
  state.ShowTrayIcon = ShowTrayIcon->isChecked();
  state.SettingsChanged = FSettingsChanged;
  state.PresetsEdited = PresetsEdited && PresetsEdited();
  state.Left = pos().x();
  state.Top = pos().y();
  state.StartLeft = FStartLeft;
  state.StartTop = FStartTop;
  std::string error;
  const bool recorderChanged = FRecording->StoreSettings(FSettingsFile);
  const bool remoteChanged = FRemote->StoreSettings(FSettingsFile);
  bool written = WriteBackSettings(FSettingsFile, state, error);
  // The recorder's keys alone changed: the file is written for them (a second write of the same
  // text when the rest changed too costs nothing).
  if (written && (recorderChanged || remoteChanged)) written = FSettingsFile.UpdateFile(error);
  if (!written) {
    QMessageBox::warning(nullptr, QStringLiteral("Error"), QString::fromStdString(error));
  }
#ifdef _WIN32
  ExitSignalHandled();  // a console's close or a logoff waits for the settings
#endif
}

// ---------------------------------------------------------------- options

void TQNLaserControlMainForm::SetOptionsExecute() {
  if (!RunOptionsDialog) return;  // the options dialog plugs in here
  const std::optional<TOptions> result = RunOptionsDialog(FOptions);
  if (result) ApplyOptions(*result);
}

void TQNLaserControlMainForm::ApplyOptions(const TOptions& New) {
  const TOptionsChange change = CompareOptions(FOptions, New);
  if (change.SettingsChanged) FSettingsChanged = true;
  TDetection& d = *FDetection;
  if (change.PortChanged) {
    // Closed with the old AutoDetect and DetectInterval still in force.
    d.CloseConnection(true);
    FLaser->SetPort(change.Result.Port);
    d.ReportConnectFailure = true;
    FLaser->Open();
  }
  FOptions = change.Result;
  // Every changed hot key takes effect at once.
  ApplyHotKeys();
  d.AutoDetect = FOptions.AutoDetect;
  d.DetectInterval = FOptions.DetectInterval;
  d.AutoUpdate = FOptions.AutoUpdate;
  d.UpdateInterval = FOptions.UpdateInterval;
  const TTimerPlan plan = change.TimerPlan(FLaser->Connected());
  if (plan.Handler) {
    if (!plan.Enabled.value_or(false)) {
      d.StopTimer();
    } else if (*plan.Handler == TTimerHandler::RetryConnect) {
      d.StartRetryTimer();
    } else {
      d.StartRefreshTimer();
    }
  } else if (plan.Interval) {
    d.SetTimerInterval(*plan.Interval);
  }
  // The console keeps the refresh stopped; hiding it starts the refresh with the new settings.
  if (FConsole->Shown()) d.StopTimer();
  UpdateActions();
}
