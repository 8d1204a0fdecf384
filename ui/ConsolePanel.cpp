#include "ui/ConsolePanel.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
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
#include <algorithm>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "ui/Waiting.h"

namespace {

const QColor kSentColour(255, 0, 0);
const QColor kReceivedColour(0, 0, 255);
const QColor kEngineColour(128, 128, 128);  // the engine's own reads after a lost reply

// Blanks and control characters off both ends, as a typed command is sent.
QString TrimCommand(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first].unicode() <= ' ') ++first;
  while (last > first && text[last - 1].unicode() <= ' ') --last;
  return text.mid(first, last - first);
}

// Commands go out as single-byte text of at most 255 characters on one line.
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
  FCmdProblem = Named(new QLabel(this), "CmdProblem");
  FCmdProblem->setStyleSheet("color: rgb(192, 0, 0);");
  FCmdProblem->setWordWrap(true);
  FCmdProblem->hide();
  connect(FCmdBox, &QLineEdit::textEdited, this, [this] {
    FCmdProblem->hide();
    FRecalled = -1;  // edited: the line is the operator's own again
  });
  FCmdBox->installEventFilter(this);
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
  left->addWidget(FCmdProblem);
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
  // Arrows, page keys and Ctrl+Home/End move through the lines; the text stays read-only.
  FErrors->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  FErrors->setFocusPolicy(Qt::StrongFocus);
  FErrors->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(save, &QPushButton::clicked, this, &TConsolePanel::SaveClick);
  connect(reset, &QPushButton::clicked, this, &TConsolePanel::ResetClick);
  connect(clearError, &QPushButton::clicked, this, &TConsolePanel::ClearErrorClick);
  connect(getError, &QPushButton::clicked, this, &TConsolePanel::GetErrorClick);
  // The four buttons in two rows on the left, the error list beside them the group's whole
  // height, so that several lines show even in the smallest window.
  auto* system = new QGridLayout(FSystem);
  system->setContentsMargins(4, 5, 4, 4);
  system->setHorizontalSpacing(3);
  system->setVerticalSpacing(3);
  int i = 0;
  for (QPushButton* button : {save, reset, clearError, getError}) {
    system->addWidget(button, i / 2, i % 2);
    button->setMinimumHeight(21);
    button->setMaximumHeight(33);
    button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance(button->text()) + 12);
    ++i;
  }
  system->addWidget(FErrors, 0, 2, 3, 1);
  system->setColumnStretch(2, 1);
  system->setRowStretch(2, 1);
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

void TConsolePanel::Subscribe(TLaserEvents& Events) {
  FEvents = &Events;
  FSubscriptions +=
      Events.LaserError.Subscribe([this](std::uint8_t Code) { LaserLaserError(&FLaser, Code); });
  FSubscriptions += Events.ClearError.Subscribe([this] { LaserClearError(&FLaser); });
  FSubscriptions += Events.Reset.Subscribe([this] { LaserReset(&FLaser); });
  FSubscriptions += Events.ClearedError.Subscribe([this] { LaserReseted(&FLaser); });
  FSubscriptions += Events.Reseted.Subscribe([this] { LaserReseted(&FLaser); });
  FSubscriptions += Events.MointorError.Subscribe(
      [this](const std::string& Text) { LaserMointorError(&FLaser, Text); });
  if (FShown) SubscribeShown();
}

void TConsolePanel::SubscribeShown() {
  if (!FEvents) return;
  FShownSubscriptions.Clear();
  FShownSubscriptions +=
      FEvents->Receive.Subscribe([this](const std::string& buf) { LaserReceive(&FLaser, buf); });
  // What the engine writes of its own shows too: the transcript holds every line written.
  FShownSubscriptions += FEvents->Resync.Subscribe([this](const std::string& buf) {
    AppendTranscript(QString::fromLatin1(buf.data(), buf.size()) + '\t', kEngineColour);
  });
}

void TConsolePanel::ShowConsole() {
  FShown = true;
  show();
  raise();
  SubscribeShown();
  FCmdBox->setFocus();
}

void TConsolePanel::HideConsole() {
  FShown = false;
  // Received text is shown nowhere while the console is hidden: the engine stops handing it over.
  FShownSubscriptions.Clear();
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
  FRecalled = -1;
  FLastWasCR = false;
}

// ---------------------------------------------------------------- sending

QString TConsolePanel::CommandProblem(const QString& text) {
  if (text.contains('\r') || text.contains('\n')) {
    return "Not sent: one command per line (the text holds a line break).";
  }
  if (text.contains(QChar(0))) return "Not sent: the text holds a NUL character.";
  for (const QChar c : text) {
    if (c.unicode() > 0xFF) return "Not sent: the laser takes 8-bit characters only.";
  }
  if (text.size() > 255) {
    return QString("Not sent: a command has at most 255 characters, this one %1.").arg(text.size());
  }
  return {};
}

void TConsolePanel::SendCmdClick() {
  const QString text = TrimCommand(FCmdBox->text());
  if (text.isEmpty()) return;
  // Refused as a whole, and left in the line to be mended: a text cut or split on its way would
  // be another command than the one shown.
  const QString problem = CommandProblem(text);
  if (!problem.isEmpty()) {
    FCmdProblem->setText(problem);
    FCmdProblem->show();
    return;
  }
  FCmdProblem->hide();
  SendText(text);
  bool known = false;
  for (int i = 0; i < FHistory->count() && !known; ++i) {
    known = FHistory->item(i)->text().compare(text, Qt::CaseInsensitive) == 0;
  }
  if (!known) FHistory->addItem(text);
  FCmdBox->clear();
  FRecalled = -1;
}

void TConsolePanel::RecallHistory(int Step) {
  const int count = FHistory->count();
  if (count == 0) return;
  if (FRecalled < 0) {
    if (Step > 0) return;  // below the newest already
    FDraft = FCmdBox->text();
    FRecalled = count;
  }
  const int row = std::clamp(FRecalled + Step, 0, count);
  FRecalled = row;
  if (row == count) {
    FRecalled = -1;
    FHistory->clearSelection();
    FCmdBox->setText(FDraft);
    return;
  }
  FHistory->setCurrentRow(row);
  FCmdBox->setText(FHistory->item(row)->text());
  FCmdProblem->hide();
}

bool TConsolePanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FCmdBox && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
      if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
        RecallHistory(key->key() == Qt::Key_Up ? -1 : 1);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
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
  // The transcript shows the bytes as they go out.
  const std::string bytes = CommandBytes(text);
  AppendTranscript(QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())) + '\t',
                   kSentColour);
  FLaser.SendRaw(bytes, -1);
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
  // A new error is news whatever the operator scrolled to: the newest line comes into view.
  QScrollBar* bar = FErrors->verticalScrollBar();
  bar->setValue(bar->maximum());
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
