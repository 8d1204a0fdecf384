#include "ui/ConsolePanel.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "ui/Waiting.h"

namespace {

const QColor kSentColour(255, 0, 0);
const QColor kReceivedColour(0, 0, 255);

// Blanks and control characters off both ends, as a typed command is sent.
QString TrimCommand(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first].unicode() <= ' ') ++first;
  while (last > first && text[last - 1].unicode() <= ' ') --last;
  return text.mid(first, last - first);
}

// Commands go out as single-byte text of at most 255 characters.
std::string CommandBytes(const QString& text) {
  QByteArray bytes = text.toLatin1();
  if (bytes.size() > 255) bytes.truncate(255);
  return bytes.toStdString();
}

template <typename T>
T* Named(T* widget, const char* name, const QString& hint = {}) {
  widget->setObjectName(name);
  if (!hint.isEmpty()) widget->setToolTip(hint);
  return widget;
}

}  // namespace

TConsolePanel::TConsolePanel(TLaser& laser, TExplanationList& explanations, QWidget* parent)
    : QWidget(parent), FLaser(laser), FExplanations(explanations) {
  setObjectName("AdvancedPanel");
  setAutoFillBackground(true);
  Clock = [] { return QTime::currentTime(); };

  // --- the console ---
  FCmdBox = Named(new QLineEdit(this), "CmdBox", "Press Enter to send command to Laser");
  FSendCmd = Named(new QPushButton(style()->standardIcon(QStyle::SP_ArrowRight), "", this),
                   "SendCmd", "Send command to laser");
  FSendCmd->setAutoDefault(false);
  FHistory = Named(new QListWidget(this), "CmdHistory", "Command History");
  FHistory->setSelectionMode(QAbstractItemView::SingleSelection);
  FSendHistory =
      Named(new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), "Resend", this),
            "SendHistoryItem", "Resend selected history item to Laser");
  FSendHistory->setAutoDefault(false);
  FReceive = Named(new QTextEdit(this), "ReceiveBuffer", "Feedback from the laser");
  FReceive->setReadOnly(true);
  FReceive->setAcceptRichText(false);
  FReceive->setLineWrapMode(QTextEdit::NoWrap);
  FReceive->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FReceive->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FReceive->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  FReceive->setFont(QFont("Tahoma"));
  FReceive->setTextColor(kReceivedColour);
  FReceive->setContextMenuPolicy(Qt::CustomContextMenu);

  connect(FSendCmd, &QPushButton::clicked, this, &TConsolePanel::SendCmdClick);
  connect(FCmdBox, &QLineEdit::returnPressed, this, [this] { CmdBoxKeyPress(QChar(13)); });
  connect(FHistory, &QListWidget::itemDoubleClicked, this, &TConsolePanel::CmdHistoryDblClick);
  connect(FSendHistory, &QPushButton::clicked, this, &TConsolePanel::CmdHistoryDblClick);

  auto* entry = new QHBoxLayout;
  entry->setSpacing(4);
  entry->addWidget(FCmdBox, 1);
  entry->addWidget(FSendCmd);
  auto* left = new QVBoxLayout;
  left->setSpacing(4);
  left->addLayout(entry);
  left->addWidget(FReceive, 1);
  auto* right = new QVBoxLayout;
  right->setSpacing(4);
  right->addWidget(FSendHistory);
  right->addWidget(FHistory, 1);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(6);
  layout->addLayout(left, 1);
  layout->addLayout(right);
  FHistory->setFixedWidth(120);
  FSendHistory->setFixedWidth(120);

  // --- the " System " group ---
  FSystem = Named(new QGroupBox(" System ", this), "SystemGroup");
  auto systemButton = [this](const char* name, const QString& caption, const QString& hint) {
    auto* b = Named(new QPushButton(caption, FSystem), name, hint);
    b->setAutoDefault(false);
    return b;
  };
  QPushButton* save =
      systemButton("Save", "Save settings", "Save Current value, Trigger Mode, Frequency");
  QPushButton* reset = systemButton("Reset", "Reset", "Reset Laser hardware");
  QPushButton* clearError = systemButton("ClearError", "Clear Error", "Clear Laser error status");
  QPushButton* getError = systemButton("GetError", "Read Error", "Read Laser error code");
  FErrors = Named(new QPlainTextEdit(FSystem), "ErrorMsgs", "Error codes");
  FErrors->setReadOnly(true);
  FErrors->setLineWrapMode(QPlainTextEdit::NoWrap);
  FErrors->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FErrors->setMaximumBlockCount(10000);  // read-error lines typed over days stay bounded
  FErrors->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(save, &QPushButton::clicked, this, &TConsolePanel::SaveClick);
  connect(reset, &QPushButton::clicked, this, &TConsolePanel::ResetClick);
  connect(clearError, &QPushButton::clicked, this, &TConsolePanel::ClearErrorClick);
  connect(getError, &QPushButton::clicked, this, &TConsolePanel::GetErrorClick);
  auto* system = new QGridLayout(FSystem);
  // The main window gives the group little height: two rows of buttons beside the list.
  system->setContentsMargins(4, 2, 4, 4);
  system->setHorizontalSpacing(3);
  system->setVerticalSpacing(3);
  system->addWidget(save, 0, 0);
  system->addWidget(reset, 0, 1);
  system->addWidget(clearError, 1, 0);
  system->addWidget(getError, 1, 1);
  system->addWidget(FErrors, 0, 2, 2, 1);
  system->setColumnStretch(2, 1);
  FSystem->hide();  // shown where the main window places it

  // --- the popup menu of the transcript and the error list ---
  FMenu = new QMenu(this);
  FMenu->setObjectName("RcvBufMenu");
  QAction* copy = FMenu->addAction("&Copy", this, &TConsolePanel::MenuCopy);
  copy->setShortcut(QKeySequence::Copy);
  copy->setObjectName("RcvBufCopy");
  QAction* selectAll = FMenu->addAction("Select &All", this, &TConsolePanel::MenuSelectAll);
  selectAll->setShortcut(QKeySequence::SelectAll);
  selectAll->setObjectName("RcvBufSelectAll");
  FMenu->addSeparator();
  QAction* clear = FMenu->addAction("Clear", this, &TConsolePanel::EditClearExecute);
  clear->setObjectName(
      "RcvBufClear");  // the window's EditClear action, if any, calls EditClearExecute
  // A scroll area reports the menu's position in its viewport's coordinates.
  connect(FReceive, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenuOn(FReceive, FReceive->viewport()->mapToGlobal(pos));
  });
  connect(FErrors, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenuOn(FErrors, FErrors->viewport()->mapToGlobal(pos));
  });

  hide();
}

TConsolePanel::~TConsolePanel() = default;

// ---------------------------------------------------------------- wiring and shown state

void TConsolePanel::BindLaserEvents() {
  const std::weak_ptr<int> alive = FAlive;
  FLaser.OnLaserError = [this, alive](TLaser* s, std::uint8_t code) {
    if (alive.lock()) LaserLaserError(s, code);
  };
  FLaser.OnClearError = [this, alive](TLaser* s) {
    if (alive.lock()) LaserClearError(s);
  };
  FLaser.OnReset = [this, alive](TLaser* s) {
    if (alive.lock()) LaserReset(s);
  };
  const TLaserNotify ended = [this, alive](TLaser* s) {
    if (alive.lock()) LaserReseted(s);
  };
  FLaser.OnClearedError = ended;
  FLaser.OnReseted = ended;
  FLaser.OnMointorError = [this, alive](TLaser* s, const std::string& buf) {
    if (alive.lock()) LaserMointorError(s, buf);
  };
}

void TConsolePanel::ShowConsole() {
  FShown = true;
  show();
  raise();
  const std::weak_ptr<int> alive = FAlive;
  FLaser.OnReceive = [this, alive](TLaser* s, const std::string& buf) {
    if (alive.lock()) LaserReceive(s, buf);
  };
  FCmdBox->setFocus();
}

void TConsolePanel::HideConsole() {
  FShown = false;
  FLaser.OnReceive = nullptr;  // received text is shown nowhere while the console is hidden
  hide();
}

void TConsolePanel::ClearForDisconnectedState() {
  FErrors->clear();
  FCmdBox->clear();
  FReceive->clear();
  FLastWasCR = false;
}

void TConsolePanel::ClearOnDisconnect() {
  FReceive->clear();
  FHistory->clear();
  FLastWasCR = false;
}

// ---------------------------------------------------------------- sending

void TConsolePanel::SendCmdClick() {
  const QString text = TrimCommand(FCmdBox->text());
  if (text.isEmpty()) return;
  SendText(text);
  bool known = false;
  for (int i = 0; i < FHistory->count() && !known; ++i) {
    known = FHistory->item(i)->text().compare(text, Qt::CaseInsensitive) == 0;
  }
  if (!known) FHistory->addItem(text);
  FCmdBox->clear();
}

void TConsolePanel::CmdBoxKeyPress(QChar key) {
  if (key.unicode() == 13) SendCmdClick();
}

void TConsolePanel::CmdHistoryDblClick() {
  const QList<QListWidgetItem*> selected = FHistory->selectedItems();
  if (selected.isEmpty()) return;
  SendText(selected.constFirst()->text());
}

void TConsolePanel::SendText(const QString& text) {
  AppendTranscript(text + '\t', kSentColour);
  FLaser.SendRaw(CommandBytes(text), -1);
}

// ---------------------------------------------------------------- the transcript

void TConsolePanel::LaserReceive(TLaser*, const std::string& buf) {
  // The text keeps its own line breaks; CR LF, a lone CR or LF each end one line, also when the
  // pair arrives split over two pieces.
  QString text;
  text.reserve(static_cast<qsizetype>(buf.size()));
  for (const char c : buf) {
    if (c == '\r') {
      text += '\n';
      FLastWasCR = true;
      continue;
    }
    if (c == '\n' && FLastWasCR) {
      FLastWasCR = false;
      continue;
    }
    FLastWasCR = false;
    text += QChar(static_cast<unsigned char>(c));  // 8-bit text, one character per byte
  }
  if (!text.isEmpty()) AppendTranscript(text, kReceivedColour);
}

void TConsolePanel::AppendTranscript(const QString& text, const QColor& color) {
  // Always at the end: a click into the transcript to copy something must not make later text
  // land in the middle of it. A separate cursor leaves the operator's selection alone.
  QScrollBar* bar = FReceive->verticalScrollBar();
  const bool followEnd = bar->value() >= bar->maximum();
  QTextCursor cursor(FReceive->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(color);
  cursor.insertText(text, format);
  TrimTranscript();
  if (followEnd) bar->setValue(bar->maximum());
}

void TConsolePanel::TrimTranscript() {
  QTextDocument* doc = FReceive->document();
  const int count = doc->characterCount();
  if (count <= FTranscriptLimit) return;
  // Drop down to nine tenths of the limit, whole lines where there are any, so that trimming
  // happens once in a while and not on every piece received.
  const int keep = FTranscriptLimit - FTranscriptLimit / 10;
  QTextCursor cursor(doc);
  cursor.setPosition(count - keep, QTextCursor::KeepAnchor);
  if (cursor.block().next().isValid() && cursor.positionInBlock() > 0) {
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
}

// ---------------------------------------------------------------- popup menu

void TConsolePanel::PopupMenuOn(QWidget* box, const QPoint& globalPos) {
  FMenuTarget = box;
  FMenu->popup(globalPos);
}

void TConsolePanel::MenuCopy() {
  if (FMenuTarget == FReceive) FReceive->copy();
  if (FMenuTarget == FErrors) FErrors->copy();
}

void TConsolePanel::MenuSelectAll() {
  if (FMenuTarget == FReceive) FReceive->selectAll();
  if (FMenuTarget == FErrors) FErrors->selectAll();
}

void TConsolePanel::EditClearExecute() {
  if (FMenuTarget == FReceive) {
    FReceive->clear();
    FLastWasCR = false;
  }
  if (FMenuTarget == FErrors) FErrors->clear();
}

// ---------------------------------------------------------------- " System "

void TConsolePanel::AppendError(const QString& line) {
  FErrors->appendPlainText(line);
}

void TConsolePanel::GetErrorClick() {
  AppendError(Clock().toString("HH:mm:ss") + " [r90]Query Laser status");
  FLaser.ReadErrorCode();
}

void TConsolePanel::ClearErrorClick() {
  FLaser.ClearError();
}

void TConsolePanel::SaveClick() {
  FLaser.SaveSettings();
}

void TConsolePanel::ResetClick() {
  FLaser.Reset();
}

void TConsolePanel::LaserLaserError(TLaser*, std::uint8_t ErrorCode) {
  AppendError(QString::fromStdString(FExplanations.DisplayLine(ErrorCode)));
}

void TConsolePanel::ShowWaiting(const QString& msg) {
  // While the console is shown the replies appear in the transcript instead.
  if (FShown || !FWaitingBox) return;
  // The box's own loop runs after this handler has returned: the laser's worker that raised the
  // event waits for the handler, and must go on sending and matching while the box is up.
  FPhaseRunning = true;
  QMetaObject::invokeMethod(
      this,
      [this, msg] {
        if (FPhaseRunning && !FShown && FWaitingBox) FWaitingBox->ShowWithMessage(msg);
      },
      Qt::QueuedConnection);
}

void TConsolePanel::LaserClearError(TLaser*) {
  ShowWaiting("Please wait for clearing laser error");
}

void TConsolePanel::LaserReset(TLaser*) {
  ShowWaiting("Please wait for laser reseting");
}

void TConsolePanel::LaserReseted(TLaser*) {
  FPhaseRunning = false;  // a box still to come is not shown at all
  if (FWaitingBox) FWaitingBox->Close();
}

void TConsolePanel::LaserMointorError(TLaser*, const std::string& buf) {
  const QString text = QString::fromLatin1(buf.data(), static_cast<qsizetype>(buf.size())) +
                       "\r\n\r\nThe program will be closed automatically.";
  if (QThread::currentThread() != thread()) {
    // A worker that fails while it is destroyed reports on its own thread.
    QMetaObject::invokeMethod(
        this, [this, text] { FatalMessage(text); }, Qt::QueuedConnection);
    return;
  }
  FatalMessage(text);
}

void TConsolePanel::FatalMessage(const QString& text) {
  QString shown = text;
  shown.replace("\r\n", "\n");
  QMessageBox::critical(window(), "Error", shown);
  if (OnFatalClose) {
    OnFatalClose();
  } else {
    window()->close();
  }
}
