// What the operator can rely on, the window against the simulator: Laser OFF from every box and
// while the laser is still being probed, values only as the laser reported them (and greyed when
// they are old), every failed command of the operator's said, and a console that sends what it
// shows.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/ui/WindowRig.h"
#include "ui/ConsolePanel.h"
#include "ui/ControlPanel.h"
#include "ui/MainForm.h"
#include "ui/SetOption.h"
#include "ui/Waiting.h"

namespace {

constexpr int Bound = test::kWindowBound;
using Strings = std::vector<std::string>;

class TrustTest : public test::TWindowRig {
 protected:
  int Received(const std::string& text) const {
    int n = 0;
    for (const auto& c : Sim->Commands()) n += c.text == text;
    return n;
  }
  QLabel* Label(const char* name) { return Form->findChild<QLabel*>(QString::fromLatin1(name)); }
  QString Text(const char* name) { return Label(name)->text(); }
  bool Shown(const char* name) { return !Label(name)->isHidden(); }
  void WriteTemplate(const std::string& text) {
    std::ofstream out(std::filesystem::path(Dir.Path()) / "tpl.ini");
    out << text;
  }
};

// Runs Act while Box is up in its own modal loop, then closes the box.
void WhileModal(QDialog* Box, const std::function<void()>& Act) {
  QTimer::singleShot(0, Box, [Box, Act] {
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == Box; }));
    Act();
    Box->done(QDialog::Rejected);
  });
  Box->exec();
}

// Laser OFF's hot key acts under every box and dialog of the program, not only in its window;
// in a hot-key editor the key is recorded instead.
TEST_F(TrustTest, LaserOffHotKeyActsUnderEveryBox) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  QMessageBox message(QMessageBox::Information, QStringLiteral("Modal"), QStringLiteral("open"),
                      QMessageBox::Ok, Form.get());
  struct {
    const char* Name;
    QDialog* Box;
  } boxes[] = {{"message box", &message}, {"options dialog", Form->OptionFrm}};
  int offs = 0;
  for (const auto& b : boxes) {
    SCOPED_TRACE(b.Name);
    bool sentWhileOpen = false;
    WhileModal(b.Box, [&] {
      QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : b.Box;
      if (dynamic_cast<THotKeyEdit*>(focus)) focus = b.Box;
      QTest::keyClick(focus, Qt::Key_S, Qt::ControlModifier);
      sentWhileOpen = QTest::qWaitFor([&] { return Received("w60 0") == offs + 1; }, Bound);
    });
    EXPECT_TRUE(sentWhileOpen);
    ++offs;
  }
  // Recording a hot key is no command.
  auto* editor = Form->OptionFrm->findChild<THotKeyEdit*>();
  ASSERT_NE(editor, nullptr);
  WhileModal(Form->OptionFrm, [&] {
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
    QTest::qWait(300);
  });
  EXPECT_EQ(Received("w60 0"), offs);
}

// The controller takes up to 19 s to reset: its waiting box offers Laser OFF meanwhile.
TEST_F(TrustTest, TheWaitingBoxOffersLaserOff) {
  sim::Options options;
  options.resetMs = 3000;
  StartSim(options);
  StartWindow();
  ASSERT_TRUE(WaitReady());
  bool shown = false, sentWhileOpen = false;
  auto* timer = new QTimer(Form->WaitingBox);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [&, timer] {
    if (QApplication::activeModalWidget() != Form->WaitingBox) return;
    timer->stop();
    shown = true;
    QTest::mouseClick(Form->WaitingBox->LaserOffButton(), Qt::LeftButton);
    sentWhileOpen = QTest::qWaitFor([&] { return Received("w60 0") == 1; }, Bound) &&
                    Form->WaitingBox->isVisible();
    Form->WaitingBox->Close();
  });
  timer->start();
  Form->Console().ResetClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown && !Form->WaitingBox->isVisible(); }, Bound));
  EXPECT_TRUE(sentWhileOpen);
}

// Laser OFF works as soon as the port is open, also while the laser is still being probed; the
// other laser actions wait for a ready laser.
TEST_F(TrustTest, LaserOffWhileTheLaserIsProbed) {
  sim::Options options;
  options.delayMs = 150;  // probing takes a while
  StartSim(options);
  StartWindow();
  ASSERT_TRUE(Form->Laser().Connected());
  ASSERT_FALSE(Form->Detection().LaserReady());
  EXPECT_TRUE(Form->Panel().SetLaserOff->isEnabled());
  EXPECT_FALSE(Form->Panel().SetLaserOn->isEnabled());
  Form->Panel().SetLaserOff->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Received("w60 0") == 1; }, Bound));
  EXPECT_TRUE(WaitReady()) << "the probes go on";
}

// A value label is empty until the laser reports that value; the warning sign shows neither
// state until the status is read.
TEST_F(TrustTest, NothingShowsThatTheLaserDidNotReport) {
  struct {
    const char* Name;
    const char* Template;
    Strings Values;  // label=text once the laser is ready
    bool StatusRead;
  } cases[] = {
      {"no command set at all: nothing can be read",
       "[General]\nCurrentLayout=3\nTriggerLayout=2\nBaseCommands=\n",
       {"NormCurrent1=", "NormCurrent2=", "MaxCurrent1=", "MaxCurrent2=", "TriggerMode1=",
        "TriggerMode2=", "ActFrequency1=", "ActFrequency2="},
       false},
      {"no maximum-current read for branch 1",
       "[General]\nCurrentLayout=3\nTriggerLayout=2\nBaseCommands=QT\n[RemoveCommand]\n"
       "Count=1\nRC1=ReadMaxCurrent,1\n",
       {"NormCurrent1=10.00", "NormCurrent2=12.50", "MaxCurrent1=", "MaxCurrent2=30.00",
        "TriggerMode1=Internal", "ActFrequency2=20000.00"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    StartSim("qt2");
    WriteTemplate(c.Template);
    StartWindow({"/PORT:1"}, "[General]\nAutoUpdate=0\n[Template]\nSN1234=tpl.ini\n");
    ASSERT_TRUE(WaitReady());
    // The last reply's value reaches the window a moment after the queue has emptied: the
    // reported ones are waited for, then the ones never reported must still be empty.
    for (const bool reported : {true, false}) {
      for (const std::string& v : c.Values) {
        const std::string name = v.substr(0, v.find('='));
        const std::string want = v.substr(v.find('=') + 1);
        if (want.empty() == reported) continue;
        if (reported) {
          (void)QTest::qWaitFor([&] { return Text(name.c_str()).toStdString() == want; }, Bound);
        }
        EXPECT_EQ(Text(name.c_str()).toStdString(), want) << name;
      }
    }
    EXPECT_EQ(Shown("LaserWarnUnknown"), !c.StatusRead);
    EXPECT_EQ(Shown("LaserWarnOff"), c.StatusRead);
    EXPECT_FALSE(Shown("LaserWarnOn"));
    Form.reset();
    Sim.reset();
  }
}

// While refreshing, a value not reported again for three periods is greyed with its age in the
// tooltip, until a fresh reply comes.
TEST_F(TrustTest, OldValuesLookStale) {
  StartSim("qt2");
  StartWindow({"/PORT:1"}, "[General]\nAutoUpdate=1\nUpdateInterval=100\n");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Detection().LaserReady(); }, Bound));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Text("NormCurrent1") == "10.00"; }, Bound));
  EXPECT_FALSE(TControlPanel::Stale(Label("NormCurrent1")));
  Sim->WithDevice([](sim::Device& d) { d.SetDrop(1.0); });  // the controller falls silent
  ASSERT_TRUE(QTest::qWaitFor([&] { return TControlPanel::Stale(Label("NormCurrent1")); }, Bound));
  EXPECT_EQ(Text("NormCurrent1"), "10.00") << "still the last value, only greyed";
  EXPECT_TRUE(Label("NormCurrent1")->toolTip().contains("s")) << "its age";
  Sim->WithDevice([](sim::Device& d) { d.SetDrop(0); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return !TControlPanel::Stale(Label("NormCurrent1")); }, Bound));
}

// Every command of the operator's that the laser refused or did not answer shows in the status
// bar for a while and goes into the connection log with the time.
TEST_F(TrustTest, FailedCommandsAreSaid) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->findChild<QLineEdit*>("Current1")->setText("45.00");  // beyond the maximum of 40
  Form->Panel().OkCurrentClick(1);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return Form->statusBar()->currentMessage() == "Refused: w61 45.00"; }, Bound));
  const std::string last = Form->ConnectionLog().back();
  EXPECT_EQ(last.substr(8), " Refused: w61 45.00");
  EXPECT_EQ(last[2], ':');
  EXPECT_EQ(last[5], ':');
}

// The console sends exactly what it shows, or nothing: a line break or NUL inside, characters
// beyond 8 bits or more than 255 characters are refused with a word, the text left to be mended.
TEST_F(TrustTest, TheConsoleSendsWhatItShows) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->ShowAdvanced->trigger();
  auto* cmd = Form->AdvancedPanel->findChild<QLineEdit*>("CmdBox");
  auto* problem = Form->AdvancedPanel->findChild<QLabel*>("CmdProblem");
  auto* transcript = Form->AdvancedPanel->findChild<QTextEdit*>("ReceiveBuffer");
  ASSERT_TRUE(cmd && problem && transcript);
  const QString refused[] = {QStringLiteral("r60\nw60 1"), QStringLiteral("r60\rw60 1"),
                             QString("r6") + QChar(0) + "0", QString(300, 'r'),
                             QStringLiteral("r60 \u20ac")};
  const std::size_t before = Sim->Commands().size();
  for (const QString& text : refused) {
    cmd->setText(text);
    Form->Console().SendCmdClick();
    EXPECT_FALSE(problem->isHidden()) << text.size();
    EXPECT_EQ(cmd->text(), text) << "kept to be mended";
  }
  QTest::qWait(200);
  EXPECT_EQ(Sim->Commands().size(), before) << "nothing went out";
  EXPECT_TRUE(transcript->toPlainText().isEmpty());
  cmd->setText(QStringLiteral("r61"));
  Form->Console().SendCmdClick();
  EXPECT_TRUE(problem->isHidden());
  EXPECT_TRUE(QTest::qWaitFor([&] { return Received("r61") >= 2; }, Bound));
}

}  // namespace
