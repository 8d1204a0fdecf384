#include "ui/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <clocale>
#include <cstdio>

#include "ui/AboutFrm.h"
#include "ui/Application.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/ConsolePanel.h"
#include "ui/ControlPanel.h"
#include "ui/CoverPanel.h"
#include "ui/HotKeys.h"
#include "ui/Pictures.h"
#include "ui/QtSync.h"
#include "ui/SetOption.h"
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
                               Qt::WindowCloseButtonHint),
      FLaser(std::make_unique<TLaser>(Timing)) {
  setObjectName(QStringLiteral("QNLaserControlMainForm"));
  setFont(WindowFont());
  setWindowIcon(SvgIcon(QStringLiteral("app")));
  FDetection = std::make_unique<TDetection>(*FLaser, *this, FExplanations, FConnectionLog);
  FSync = std::make_unique<TQtSync>(FLaser->Synchronizer());
  FTimer1.setObjectName(QStringLiteral("Timer1"));
  // Created stopped: with no tick handler it would only wake the program for nothing.
  connect(&FTimer1, &QTimer::timeout, this, Guard([this] {
    FDetection->TimerTick();
    UpdateActions();
  }));

  CreateActions();
  CreateClientArea();
  CreateMenuAndToolBar();
  TrayIcon = new QSystemTrayIcon(SvgIcon(QStringLiteral("app")), this);
  TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          Guard([this](QSystemTrayIcon::ActivationReason Reason) {
            if (Reason == QSystemTrayIcon::Trigger) TrayIconClick();
            if (Reason == QSystemTrayIcon::DoubleClick) TrayIconDblClick();
          }));
  TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  setFixedSize(ClientWidth, menuBar()->sizeHint().height() + ClientHeight);
  BindLaserEvents();
  UpdateActions();
}

TQNLaserControlMainForm::~TQNLaserControlMainForm() {
  if (!FDestroyed) FormDestroy();
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
  file->addAction(FileExit1);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->setObjectName(QStringLiteral("View1"));
  MenuItem(view, QStringLiteral("&Minimize to system tray"), MinimizeToTray);
  MenuItem(view, QStringLiteral("&Show tray icon"), ShowTrayIcon);
  MenuItem(view, QStringLiteral("S&how advanced panel"), ShowAdvanced);
  view->addSeparator();
  MenuItem(view, QStringLiteral("Sh&ow Log"), ShowLog);
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
  ClientArea->setFixedSize(ClientWidth, ClientHeight - ToolBarHeight);
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

  // The console covers the client area below the tool bar whenever it is shown; its " System "
  // group sits below the trigger group, left of the laser switch.
  FConsole = new TConsolePanel(*FLaser, FExplanations, ClientArea);
  AdvancedPanel = FConsole;
  AdvancedPanel->setGeometry(ClientArea->rect());
  SystemGroup = FConsole->SystemGroup();
  SystemGroup->setParent(ClientArea);
  SystemGroup->setGeometry(SystemGroupGeometry);
  LayOutSystemGroup();
  SystemGroup->show();
  FConsole->OnFatalClose = [this] {
    if (OnFatalClose) {
      OnFatalClose();
    } else {
      close();
    }
  };

  FCover = new TCoverPanel(ClientArea, ToolBarHeight);
}

void TQNLaserControlMainForm::LayOutSystemGroup() {
  // The group is wide and low here: the four buttons in one row and the error list the whole
  // width below them, so that a line with its time or its explanation can be read.
  auto* grid = qobject_cast<QGridLayout*>(SystemGroup->layout());
  if (!grid) return;
  const char* const buttons[] = {"Save", "Reset", "ClearError", "GetError"};
  int column = 0;
  for (const char* name : buttons) {
    auto* button = SystemGroup->findChild<QPushButton*>(QString::fromLatin1(name));
    if (!button) return;
    grid->removeWidget(button);
    grid->addWidget(button, 0, column++);
    button->setFixedHeight(21);
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance(button->text()) + 12);
  }
  auto* errors = SystemGroup->findChild<QPlainTextEdit*>(QStringLiteral("ErrorMsgs"));
  if (!errors) return;
  grid->removeWidget(errors);
  grid->addWidget(errors, 1, 0, 1, column);
  for (int c = 0; c <= column; ++c) grid->setColumnStretch(c, c < column ? 1 : 0);
  grid->setRowStretch(1, 1);
  grid->setContentsMargins(4, 5, 4, 4);
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
}

void TQNLaserControlMainForm::ConnectLaserExecute() {
  FDetection->ConnectLaserExecute();
  UpdateActions();
}

void TQNLaserControlMainForm::closeEvent(QCloseEvent* Event) {
  Event->accept();
  // Closing the main window ends the program, also when it is hidden in the tray (main() does
  // not quit on the last window closed, so a box closed while the window is hidden cannot).
  QCoreApplication::quit();
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
  // The operator's quick way to stop emission, from the tray.
  if (FOptions.DoubleClickOff && FDetection->LaserReady()) FPanel->SetLaserOffExecute();
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

void TQNLaserControlMainForm::ShowLogExecute() {
  if (LogForm) LogForm->ShowLog(FConnectionLog);
}

void TQNLaserControlMainForm::AboutExecute() {
  TAboutForm about(this);
  about.exec();
}

void TQNLaserControlMainForm::CreateDialogs() {
  OptionFrm = new TOptionFrm(this);
  WaitingBox = new TWaitingBox(this);
  LogForm = new TLogForm(this);
  FConsole->SetWaitingBox(WaitingBox);
  RunOptionsDialog = [this](const TOptions& Current) -> std::optional<TOptions> {
    OptionFrm->LoadFromOptions(Current);
    if (OptionFrm->exec() != QDialog::Accepted) return std::nullopt;
    TOptions result = Current;
    OptionFrm->StoreToOptions(result);
    return result;
  };
  PresetsEdited = [this] { return OptionFrm->PresetsEdited(); };
}

// ---------------------------------------------------------------- laser events

void TQNLaserControlMainForm::BindLaserEvents() {
  TLaser& l = *FLaser;
  l.OnConnect = [this](TComPort*) {
    FDetection->LaserConnect();
    UpdateActions();
  };
  l.OnConnectFail = [this](TLaser*) {
    FDetection->LaserConnectFail();
    UpdateActions();
  };
  l.OnDisconnect = [this](TComPort*) {
    FDetection->LaserDisconnect();
    UpdateActions();
  };
  l.OnSN = [this](TLaser*, int SN) {
    FDetection->LaserSN(SN);
    UpdateActions();
  };
  const auto commandError = [this](TLaser*, TLaserCommand Command, std::uint8_t SubID,
                                   const std::string& CmdStr) {
    FDetection->LaserCommandError(Command, SubID, CmdStr);
    UpdateActions();
  };
  l.OnCommandError = commandError;
  l.OnCommandTimeout = commandError;
  l.OnCurrent = [this](TLaser*, std::uint8_t Branch, double Value) { LaserCurrent(Branch, Value); };
  l.OnMaxCurrent = [this](TLaser*, std::uint8_t Branch, double Value) {
    LaserMaxCurrent(Branch, Value);
  };
  l.OnFrequency = [this](TLaser*, std::uint8_t Branch, double Value) {
    LaserFrequency(Branch, Value);
  };
  l.OnTriggerMode = [this](TLaser*, std::uint8_t Branch, TTriggerMode Mode) {
    LaserTriggerMode(Branch, Mode);
  };
  l.OnLaserON = [this](TLaser*, bool IsOn) { FPanel->LaserLaserON(IsOn); };
  // Error codes, the clear-error and reset phases and a failed worker: the console's.
  FConsole->BindLaserEvents();
}

void TQNLaserControlMainForm::DetachLaserEvents() {
  if (!FLaser) return;
  TLaser& l = *FLaser;
  l.OnConnect = nullptr;
  l.OnConnectFail = nullptr;
  l.OnDisconnect = nullptr;
  l.OnSN = nullptr;
  l.OnCommandError = nullptr;
  l.OnCommandTimeout = nullptr;
  l.OnCurrent = nullptr;
  l.OnMaxCurrent = nullptr;
  l.OnFrequency = nullptr;
  l.OnTriggerMode = nullptr;
  l.OnLaserON = nullptr;
  l.OnLaserError = nullptr;
  l.OnReceive = nullptr;
  l.OnClearError = nullptr;
  l.OnClearedError = nullptr;
  l.OnReset = nullptr;
  l.OnReseted = nullptr;
  l.OnMointorError = nullptr;
}

// Display first, then the detection's half.
void TQNLaserControlMainForm::LaserCurrent(std::uint8_t Branch, double Value) {
  FPanel->LaserCurrent(Branch, Value);
  FDetection->LaserCurrent(Branch, Value);
  UpdateActions();
}

void TQNLaserControlMainForm::LaserMaxCurrent(std::uint8_t Branch, double Value) {
  FPanel->LaserMaxCurrent(Branch, Value);
  FDetection->LaserMaxCurrent(Branch, Value);
  UpdateActions();
}

void TQNLaserControlMainForm::LaserFrequency(std::uint8_t Branch, double Value) {
  FPanel->LaserFrequency(Branch, Value);
  FDetection->LaserFrequency(Branch, Value);
  UpdateActions();
}

void TQNLaserControlMainForm::LaserTriggerMode(std::uint8_t Branch, TTriggerMode Mode) {
  FPanel->LaserTriggerMode(Branch, Mode);
  FDetection->LaserTriggerMode(Branch, Mode);
  UpdateActions();
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
  return ::LoadTemplate(FileName, FExeFolder, *this, FLaser->CommandList(), FExplanations);
}

// ---------------------------------------------------------------- lifecycle

void TQNLaserControlMainForm::ApplyHotKeys() {
  ConnectLaser->setShortcut(ShortCutToKeySequence(FOptions.ConnectLaser));
  FPanel->SetInternal->setShortcut(ShortCutToKeySequence(FOptions.InternalTrigger));
  FPanel->SetExternal->setShortcut(ShortCutToKeySequence(FOptions.ExternalTrigger));
  FPanel->SetCW->setShortcut(ShortCutToKeySequence(FOptions.CWMode));
  FPanel->SetLaserOn->setShortcut(ShortCutToKeySequence(FOptions.LaserOn));
  FPanel->SetLaserOff->setShortcut(ShortCutToKeySequence(FOptions.LaserOff));
  FPanel->SetCurrentZero->setShortcut(ShortCutToKeySequence(FOptions.SetCurrentZero));
}

void TQNLaserControlMainForm::FormCreate(const TStartup& Startup) {
  FConnectionLog.clear();  // 1
  UpdateCaption(0);        // 2
  // 3: "." as the decimal separator for every number, whatever the locale.
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  FSettingsFile = TIniFile(Startup.SettingsFile);  // 4
  FExeFolder = Startup.ExeFolder;
  const TCommandLine commandLine = ParseCommandLine(Startup.Params);  // 5
  // 6, 8, 9, 10: everything stored, with the command line's port and position in front.
  const TStartupSettings stored = ReadStartupSettings(FSettingsFile, commandLine);
  FOptions = stored.Options;
  FStartLeft = stored.StartLeft;
  FStartTop = stored.StartTop;
  FLaser->SetPort(FOptions.Port);                     // 7
  ApplyHotKeys();                                     // 8
  MinimizeToTray->setChecked(stored.MinimizeToTray);  // 9
  ShowTrayIcon->setChecked(stored.ShowTrayIcon);
  TrayIcon->setVisible(stored.ShowTrayIcon);
  move(FStartLeft, FStartTop);  // 11
  TDetection& d = *FDetection;
  d.ReportConnectFailure = false;  // 12
  d.AutoDetect = FOptions.AutoDetect;
  d.DetectInterval = FOptions.DetectInterval;
  d.AutoUpdate = FOptions.AutoUpdate;
  d.UpdateInterval = FOptions.UpdateInterval;
  d.FindTemplateLink = [this](int SN, std::string& FileName) {
    return ::FindTemplateLink(FSettingsFile, SN, FileName);
  };
  FExplanations.Clear();     // 13
  d.OpenSilently();          // 14
  FSettingsChanged = false;  // 15
  // 16: the cover over the controls, as for a disconnected laser (unless the laser is ready
  // already, when it has begun to slide away).
  if (!d.LaserReady()) FCover->PlaceAtHome();
  AdvancedPanel->setGeometry(ClientArea->rect());  // 17
  // 18: the console gives its reply box the blue and the font itself.
  if (FOptions.AllowOver100A) FPanel->SetAllowOver100A();  // 19
  UpdateActions();
}

void TQNLaserControlMainForm::FormShow() {
  if (WaitingBox) WaitingBox->OnClosed = [](TWaitingBox*) {};
}

void TQNLaserControlMainForm::FormDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  FTimer1.stop();
  FLaser->OnDisconnect = nullptr;  // closing at exit raises no disconnect handling
  FLaser->Disconnect();
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
  if (!WriteBackSettings(FSettingsFile, state, error)) {
    QMessageBox::warning(nullptr, QStringLiteral("Error"), QString::fromStdString(error));
  }
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
