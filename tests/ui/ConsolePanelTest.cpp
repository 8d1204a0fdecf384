// The console and the " System " group with a real laser object against the simulated controller.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <memory>

#include "../laser/Harness.h"
#include "DialogTestUtil.h"
#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "tests/laser/SimHarness.h"
#include "ui/ConsolePanel.h"
#include "ui/Waiting.h"

namespace {

// The hand-over into Qt's loop, so laser events also run inside a modal box's own loop.
class TQtWake {
 public:
  explicit TQtWake(TSynchronizer& sync) : FState(std::make_shared<TSynchronizer*>(&sync)) {
    std::weak_ptr<TSynchronizer*> state = FState;
    sync.SetWakeUp([state] {
      QMetaObject::invokeMethod(
          qApp,
          [state] {
            if (auto s = state.lock()) (*s)->CheckSynchronize();
          },
          Qt::QueuedConnection);
    });
    FSync = &sync;
  }
  ~TQtWake() {
    FSync->SetWakeUp(nullptr);
    FState.reset();
  }

 private:
  std::shared_ptr<TSynchronizer*> FState;
  TSynchronizer* FSync = nullptr;
};

// The transcript with its colours: {R:...} red, {B:...} blue, line breaks as "\n".
std::string Coloured(QTextEdit* edit) {
  std::string out;
  char current = 0;
  auto close = [&] {
    if (current) out += '}';
    current = 0;
  };
  for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next()) {
    if (block != edit->document()->begin()) {
      close();
      out += '\n';
    }
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      const QColor c = f.charFormat().foreground().color();
      const char tag = c == QColor(255, 0, 0)       ? 'R'
                       : c == QColor(0, 0, 255)     ? 'B'
                       : c == QColor(128, 128, 128) ? 'G'
                                                    : '?';
      if (tag != current) {
        close();
        out += '{';
        out += tag;
        out += ':';
        current = tag;
      }
      out += f.text().toStdString();
    }
  }
  close();
  return out;
}

struct TRig {
  explicit TRig(sim::Options options = {})
      : Server(std::move(options)), Wake(Laser.Synchronizer()) {
    Server.Start(Dir.Entry(5));
    Laser.SetPort(5);
    Laser.LoadBaseCommands();
    Explanations.LoadQTExplanations();
    Panel = std::make_unique<TConsolePanel>(Laser, Explanations);
    Panel->resize(479, 220);
    Panel->Subscribe(Events);
    Panel->SetWaitingBox(&Box);
    EXPECT_TRUE(Laser.Open());
    CmdBox = Panel->findChild<QLineEdit*>("CmdBox");
    History = Panel->findChild<QListWidget*>("CmdHistory");
    Receive = Panel->findChild<QTextEdit*>("ReceiveBuffer");
    Errors = Panel->SystemGroup()->findChild<QPlainTextEdit*>("ErrorMsgs");
  }
  ~TRig() {
    Laser.Disconnect();
    Panel.reset();
  }
  // Plays the UI thread (Qt events and laser hand-overs) until pred holds or 10 s pass.
  bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
    const auto deadline = test::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (test::Clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      Laser.Synchronizer().CheckSynchronize();
      Laser.Synchronizer().WaitPending(20);
    }
    return true;
  }
  int Sent(const std::string& command) const {
    int n = 0;
    for (const auto& r : Server.Commands()) n += r.text == command;
    return n;
  }
  QPushButton* SystemButton(const char* name) {
    return Panel->SystemGroup()->findChild<QPushButton*>(name);
  }

  test::TComDir Dir;
  sim::SimServer Server;
  TLaser Laser{test::FastTiming()};
  TLaserEvents Events{Laser};
  TQtWake Wake;
  TExplanationList Explanations;
  TWaitingBox Box;
  std::unique_ptr<TConsolePanel> Panel;
  QLineEdit* CmdBox = nullptr;
  QListWidget* History = nullptr;
  QTextEdit* Receive = nullptr;
  QPlainTextEdit* Errors = nullptr;
};

TEST(ConsolePanel, TypedCommandsAndTheHistory) {
  TRig rig;
  rig.Panel->ShowConsole();
  EXPECT_TRUE(rig.Panel->Shown());

  rig.CmdBox->setText("  r01 \t");
  QTest::keyClick(rig.CmdBox, Qt::Key_Return);
  EXPECT_TRUE(rig.CmdBox->text().isEmpty());
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Receive->toPlainText().contains("1234.000\n"); }));
  EXPECT_EQ(Coloured(rig.Receive), "{R:r01\t}{B:S/N: 1234.000}\n");
  EXPECT_EQ(rig.Sent("r01"), 1) << "trimmed before sending";

  // The same command in other letters: sent, but not a second history entry. The table does not
  // know it, so its reply is no reply of its own: after the reply wait the engine reads the
  // status (the serial number's reply could still be that command's) to know the line is in
  // step, and that shows too, in grey.
  rig.CmdBox->setText("R01");
  QTest::mouseClick(rig.Panel->findChild<QPushButton*>("SendCmd"), Qt::LeftButton);
  ASSERT_TRUE(rig.PumpUntil([&] {
    return rig.Sent("R01") == 1 && rig.Receive->document()->blockCount() == 4 &&
           rig.Laser.QueueCount() == 0;
  }));
  ASSERT_EQ(rig.History->count(), 1);
  EXPECT_EQ(rig.History->item(0)->text(), "r01");

  // Nothing typed: nothing sent, nothing shown.
  rig.CmdBox->setText(" \t ");
  rig.Panel->SendCmdClick();
  EXPECT_EQ(rig.History->count(), 1);

  // Resending: nothing without a selection; with one, sent again, history and entry untouched.
  rig.CmdBox->setText("typing");
  rig.Panel->CmdHistoryDblClick();
  rig.History->setCurrentRow(0);
  QTest::mouseClick(rig.Panel->findChild<QPushButton*>("SendHistoryItem"), Qt::LeftButton);
  ASSERT_TRUE(rig.PumpUntil([&] {
    return rig.Sent("r01") == 2 && rig.Receive->document()->blockCount() == 5;
  })) << Coloured(rig.Receive);
  EXPECT_EQ(Coloured(rig.Receive),
            "{R:r01\t}{B:S/N: 1234.000}\n{R:R01\t}{B:S/N: 1234.000}\n{G:r60\t}{B:LASER_OFF}\n"
            "{R:r01\t}{B:S/N: 1234.000}\n");
  EXPECT_EQ(rig.History->count(), 1);
  EXPECT_EQ(rig.CmdBox->text(), "typing");

  // Hidden: received text goes nowhere.
  rig.Panel->HideConsole();
  EXPECT_FALSE(rig.Laser.OnReceive);
  const QString before = rig.Receive->toPlainText();
  int sns = 0;
  rig.Laser.OnSN = [&](TLaser*, int) { ++sns; };
  rig.Laser.ReadSN();
  ASSERT_TRUE(rig.PumpUntil([&] { return sns == 1; }));
  EXPECT_EQ(rig.Receive->toPlainText(), before);
}

// Up and Down walk the history in the command line, newest first; Down past the newest gives
// back what was being typed; nothing is sent by walking.
TEST(ConsolePanel, UpAndDownRecallTheHistory) {
  TRig rig;
  rig.Panel->ShowConsole();
  for (const char* command : {"r01", "w60 1", "r90"}) rig.History->addItem(command);
  struct {
    const char* Keys;  // U: Up, D: Down
    const char* Line;
    int Selected;  // the history row selected, -1: none
  } cases[] = {
      {"U", "r90", 2},     {"UU", "w60 1", 1}, {"UUU", "r01", 0},  {"UUUU", "r01", 0},
      {"UD", "draft", -1}, {"UUD", "r90", 2},  {"D", "draft", -1}, {"UUDD", "draft", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Keys);
    rig.History->clearSelection();
    rig.CmdBox->setText("draft");
    rig.CmdBox->setFocus();
    for (const char* k = c.Keys; *k; ++k) {
      QTest::keyClick(rig.CmdBox, *k == 'U' ? Qt::Key_Up : Qt::Key_Down);
    }
    EXPECT_EQ(rig.CmdBox->text().toStdString(), c.Line);
    const QList<QListWidgetItem*> selected = rig.History->selectedItems();
    EXPECT_EQ(selected.isEmpty() ? -1 : rig.History->row(selected.first()), c.Selected);
    QTest::keyClick(rig.CmdBox, Qt::Key_Down);  // back to the typed line for the next case
    QTest::keyClick(rig.CmdBox, Qt::Key_Down);
    QTest::keyClick(rig.CmdBox, Qt::Key_Down);
  }
  EXPECT_TRUE(rig.Server.Commands().empty()) << "walking sends nothing";
  // A recalled line is sent with Enter like a typed one.
  QTest::keyClick(rig.CmdBox, Qt::Key_Up);
  QTest::keyClick(rig.CmdBox, Qt::Key_Return);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Sent("r90") == 1; }));
  EXPECT_TRUE(rig.CmdBox->text().isEmpty());
}

TEST(ConsolePanel, ErrorLines) {
  sim::Options options;
  options.errors = {93};
  TRig rig(options);
  const TErrorCodeExplanation* explained = rig.Explanations.Find(93);
  ASSERT_NE(explained, nullptr);
  ASSERT_EQ(rig.Explanations.Find(5), nullptr);

  rig.Panel->Clock = [] { return QTime(14, 3, 7); };
  QTest::mouseClick(rig.SystemButton("GetError"), Qt::LeftButton);
  EXPECT_EQ(rig.Errors->toPlainText(), "14:03:07 [r90]Query Laser status") << "before the answer";
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Errors->blockCount() == 2; }));
  rig.Server.RaiseError(5);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Errors->blockCount() == 3; }));
  EXPECT_EQ(rig.Errors->toPlainText().toStdString(),
            "14:03:07 [r90]Query Laser status\n[93]  " + explained->Text + "\n[5]");
}

TEST(ConsolePanel, WaitingBoxForClearErrorAndReset) {
  sim::Options options;
  options.errors = {93};
  options.resetMs = 300;
  TRig rig(options);
  int shown = 0, closed = 0, ended = 0;
  QStringList messages;
  int clearsSentAtClose = -1;
  rig.Box.OnClosed = [&](TWaitingBox*) {
    if (++closed == 1) clearsSentAtClose = rig.Sent("w97 347");
  };
  struct TShowWatch : QObject {
    std::function<void()> OnShow;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Show) OnShow();
      return false;
    }
  } watch;
  watch.OnShow = [&] {
    ++shown;
    messages << rig.Box.Label1()->text();
  };
  rig.Box.installEventFilter(&watch);
  const TLaserNotify panelEnd = rig.Laser.OnReseted;
  rig.Laser.OnReseted = rig.Laser.OnClearedError = [&](TLaser* s) {
    panelEnd(s);
    ++ended;
  };

  QTest::mouseClick(rig.SystemButton("ClearError"), Qt::LeftButton);
  ASSERT_TRUE(rig.PumpUntil([&] { return ended == 1; }));
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(closed, 1) << "closed by the laser's end event";
  EXPECT_EQ(clearsSentAtClose, 1) << "the box held the laser's worker up";
  EXPECT_FALSE(rig.Box.isVisible());

  QTest::mouseClick(rig.SystemButton("Reset"), Qt::LeftButton);
  ASSERT_TRUE(rig.PumpUntil([&] { return ended == 2; }));
  EXPECT_EQ(closed, 2);
  EXPECT_EQ(messages, QStringList({"Please wait for clearing laser error",
                                   "Please wait for laser reseting"}));

  // "Stop Waiting" before the end event: the later close finds the box closed already.
  watch.OnShow = [&] {
    ++shown;
    QTimer::singleShot(0, [&] { QTest::mouseClick(rig.Box.BitBtn1(), Qt::LeftButton); });
  };
  rig.Panel->ResetClick();
  ASSERT_TRUE(rig.PumpUntil([&] { return ended == 3; }));
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(closed, 3);

  // With the console shown: no box; the replies appear in the transcript.
  rig.Panel->ShowConsole();
  rig.Panel->ResetClick();
  // The end event and the received text come by different threads, in either order.
  ASSERT_TRUE(
      rig.PumpUntil([&] { return ended == 4 && rig.Receive->toPlainText().contains("READY"); }));
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(rig.Sent("w99 347"), 3);

  // An end that comes before the box could show: no box at all.
  rig.Panel->HideConsole();
  rig.Panel->LaserClearError(&rig.Laser);
  rig.Panel->LaserReseted(&rig.Laser);
  QCoreApplication::processEvents();
  EXPECT_EQ(shown, 3);
  rig.Box.removeEventFilter(&watch);
}

TEST(ConsolePanel, SaveSendsItsCommand) {
  TRig rig;
  QTest::mouseClick(rig.SystemButton("Save"), Qt::LeftButton);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Sent("w98 347") == 1; }));
}

// The transcript's pieces as they arrive, without a laser.
TEST(ConsolePanel, ReceivedLineBreaksAndTheBound) {
  TLaser laser;
  TExplanationList explanations;
  TConsolePanel panel(laser, explanations);
  auto* receive = panel.findChild<QTextEdit*>("ReceiveBuffer");
  struct {
    std::vector<std::string> Pieces;
    const char* Text;
  } cases[] = {
      {{"OK\r\n"}, "OK\n"},
      {{"OK\r", "\nNEXT\r\n"}, "OK\nNEXT\n"},
      {{"A\n", "\nB"}, "A\n\nB"},
      {{"A\r\r\n"}, "A\n\n"},
      {{"\xB0"
        "C"},
       "\xC2\xB0"
       "C"},  // 8-bit text, one character per byte
  };
  for (const auto& c : cases) {
    panel.ClearOnDisconnect();
    for (const auto& piece : c.Pieces) panel.LaserReceive(&laser, piece);
    EXPECT_EQ(receive->toPlainText().toStdString(), c.Text);
  }

  panel.ClearOnDisconnect();
  panel.SetTranscriptLimit(1000);
  for (int i = 0; i < 500; ++i) {
    panel.LaserReceive(&laser, "line " + std::to_string(i) + "\r\n");
  }
  const QString text = receive->toPlainText();
  EXPECT_LE(receive->document()->characterCount(), 1000);
  EXPECT_GT(receive->document()->characterCount(), 500);
  EXPECT_TRUE(text.endsWith("line 499\n"));
  EXPECT_TRUE(text.startsWith("line ")) << "whole lines dropped";
  EXPECT_FALSE(text.contains("line 0\n"));
}

TEST(ConsolePanel, PopupMenuActsOnItsBox) {
  TLaser laser;
  TExplanationList explanations;
  explanations.LoadQTExplanations();
  TConsolePanel panel(laser, explanations);
  auto* receive = panel.findChild<QTextEdit*>("ReceiveBuffer");
  auto* errors = panel.SystemGroup()->findChild<QPlainTextEdit*>("ErrorMsgs");
  QAction* clear = nullptr;
  QAction* selectAll = nullptr;
  QStringList captions;
  for (QAction* a : panel.RcvBufMenu()->actions()) {
    captions << a->text();
    if (a->text() == "Clear") clear = a;
    if (a->text() == "Select &All") selectAll = a;
  }
  EXPECT_EQ(captions, QStringList({"&Copy", "Select &All", "", "Clear"}));
  ASSERT_TRUE(clear && selectAll);

  struct {
    bool OnErrors;
  } cases[] = {{true}, {false}};
  for (const auto& c : cases) {
    panel.LaserReceive(&laser, "REPLY\r\n");
    panel.LaserLaserError(&laser, 5);
    // A right click on the box itself, as the operator opens the menu.
    QWidget* viewport = c.OnErrors ? errors->viewport() : receive->viewport();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                            viewport->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(viewport, &click);
    EXPECT_TRUE(panel.RcvBufMenu()->isVisible());
    clear->trigger();
    panel.RcvBufMenu()->hide();
    EXPECT_EQ(errors->toPlainText().isEmpty(), c.OnErrors);
    EXPECT_EQ(receive->toPlainText().isEmpty(), !c.OnErrors);
    panel.ClearForDisconnectedState();
  }
  panel.LaserLaserError(&laser, 5);
  panel.PopupMenuOn(errors, QPoint(10, 10));
  selectAll->trigger();
  panel.RcvBufMenu()->hide();
  EXPECT_EQ(errors->textCursor().selectedText(), "[5]");
  EXPECT_FALSE(receive->textCursor().hasSelection());
}

TEST(ConsolePanel, MonitorErrorTellsAndCloses) {
  TLaser laser;
  TExplanationList explanations;
  TConsolePanel panel(laser, explanations);
  int closes = 0;
  test::TSeenMessage seen;
  panel.OnFatalClose = [&] {
    EXPECT_TRUE(seen.Seen) << "closing comes after the message";
    ++closes;
  };
  test::DismissNextMessage(seen);
  panel.LaserMointorError(&laser, "Thread Error occured in TInputMonitor");
  EXPECT_EQ(seen.Title, "Error");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(seen.Text,
            "Thread Error occured in TInputMonitor\n\nThe program will be closed automatically.");
  EXPECT_EQ(closes, 1);
}

}  // namespace
