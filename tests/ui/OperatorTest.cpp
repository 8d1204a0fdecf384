// What the operator meets at the window, against the simulator: an Enter that closes a box sets
// no current, every error line shows in a list that scrolls, values fit their places at every
// size and scale, the status bar tells the connection, exit asks while the laser is on, a
// signal closes as Exit does, and the window opens on the screen.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ui/WindowRig.h"
#include "ui/ConsolePanel.h"
#include "ui/ControlPanel.h"
#include "ui/MainForm.h"
#include "ui/SetOption.h"

namespace {

constexpr int Bound = test::kWindowBound;
using Strings = std::vector<std::string>;

class OperatorTest : public test::TWindowRig {
 protected:
  int Received(const std::string& text) const {
    int n = 0;
    for (const auto& c : Sim->Commands()) n += c.text == text;
    return n;
  }
  template <typename T = QWidget>
  T* Find(const char* name) {
    return Form->findChild<T*>(QString::fromLatin1(name));
  }
  std::string Status(const char* field) { return Find<QLabel>(field)->text().toStdString(); }
  // Runs Act when the first modal box is up; a box that never comes leaves nothing behind
  // once the window has gone.
  void OnModal(const std::function<void(QWidget*)>& Act) {
    auto* timer = new QTimer(Form.get());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, Act] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      timer->stop();
      timer->deleteLater();
      Act(modal);
    });
    timer->start();
  }
};

// ---------------------------------------------------------------- 1. Enter

// The Enter that closes a box is released in the current field that gets the focus back: it
// sets no current. An Enter pressed and released in the field still does.
TEST_F(OperatorTest, TheEnterThatClosesABoxSetsNoCurrent) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  struct {
    const char* Name;
    QKeyCombination Opens;
    const char* In;  // where Enter is pressed; empty: where the box puts the focus
  } boxes[] = {{"About (F1)", QKeyCombination(Qt::Key_F1), ""},
               {"Options (Ctrl+O)", Qt::CTRL | Qt::Key_O, "LaserPort"},
               {"the Error box of a bad preset (Ctrl+1)", Qt::CTRL | Qt::Key_1, ""}};
  auto* current = Find<QLineEdit>("Current1");
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  for (const auto& b : boxes) {
    SCOPED_TRACE(b.Name);
    if (b.Opens.key() == Qt::Key_1) {
      TOptions options = Form->Options();
      options.PresetCurrents[0] = "4O.5";  // Options would refuse it at OK
      Form->ApplyOptions(options);
    }
    current->setFocus();
    current->setText(QStringLiteral("12.50"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == current; }, Bound));
    bool pressed = false;
    const auto sent = Exchange([&] {
      OnModal([&](QWidget* box) {
        QWidget* focus = box->focusWidget() ? box->focusWidget() : box;
        if (*b.In) focus = box->findChild<QWidget*>(QString::fromLatin1(b.In));
        QTest::keyPress(focus, Qt::Key_Return);  // closes the box
        pressed = true;
      });
      // Returns once the box has been closed.
      QTest::keyClick(Form.get(), b.Opens.key(), b.Opens.keyboardModifiers());
      ASSERT_TRUE(pressed);
      ASSERT_TRUE(
          QTest::qWaitFor([&] { return QApplication::activeModalWidget() == nullptr; }, Bound));
      // As a person types: the release comes after the box has gone, to the field that has
      // the focus again in the window active again.
      Form->activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
      ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == current; }, Bound));
      QTest::keyRelease(current, Qt::Key_Return);
    });
    EXPECT_EQ(sent, Strings{}) << "nothing sent";
  }
  const auto sent = Exchange([&] { QTest::keyClick(current, Qt::Key_Return); });
  EXPECT_EQ(sent, (Strings{"w61 12.50", "r61"})) << "Enter typed in the field sets the current";
}

// ---------------------------------------------------------------- 2 and 3. error list

// Two error lines in one piece of input give two list lines, in order; the list shows several
// lines, scrolls, and keeps the newest line in view.
TEST_F(OperatorTest, EveryErrorLineShowsInAListThatScrolls) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  auto* list = Find<QPlainTextEdit>("ErrorMsgs");
  Sim->WithDevice([&](sim::Device& d) {
    const double now = Sim->NowMs();
    d.RaiseError(93, now);  // interlock open
    d.RaiseError(5, now);
  });
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return list->blockCount() >= 2 && !list->toPlainText().isEmpty(); }, Bound));
  const QStringList lines = list->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 2) << list->toPlainText().toStdString();
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("[93]"))) << lines[0].toStdString();
  EXPECT_EQ(lines[1], QStringLiteral("[5]"));
  // Several lines show even in the smallest window.
  const int lineHeight = list->fontMetrics().lineSpacing();
  EXPECT_GE(list->viewport()->height() / lineHeight, 3);
  for (int i = 0; i < 20; ++i) Form->Console().GetErrorClick();
  QScrollBar* bar = list->verticalScrollBar();
  ASSERT_TRUE(QTest::qWaitFor([&] { return bar->maximum() > 0; }, Bound));
  EXPECT_EQ(bar->value(), bar->maximum()) << "the newest line in view";
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), 0) << "Ctrl+Home";
  QTest::keyClick(list, Qt::Key_PageDown);
  EXPECT_GT(bar->value(), 0) << "Page Down";
  QTest::keyClick(list, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), bar->maximum()) << "Ctrl+End";
  QTest::keyClick(list, Qt::Key_Home, Qt::ControlModifier);
  Form->Console().GetErrorClick();
  EXPECT_EQ(bar->value(), bar->maximum()) << "a new line comes into view";
}

// ---------------------------------------------------------------- 4 and 9. fit

// Every value the laser can report fits its label, every box shows its widest number, and no
// two controls of a group overlap, in each layout, at the smallest size, a middle one and full
// screen. Run at Qt scale 1 here, and at 1.5 and 2 in a child process of this program.
TEST_F(OperatorTest, ValuesFitTheirPlacesAtEverySizeAndScale) {
  const QByteArray scale = qgetenv("QT_SCALE_FACTOR");
  if (scale.isEmpty()) {
    for (const char* factor : {"1.5", "2"}) {
      SCOPED_TRACE(factor);
      QProcess child;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(factor));
      child.setProcessEnvironment(env);
      child.setProcessChannelMode(QProcess::MergedChannels);
      child.start(
          QCoreApplication::applicationFilePath(),
          {QStringLiteral("--gtest_filter=OperatorTest.ValuesFitTheirPlacesAtEverySizeAndScale")});
      ASSERT_TRUE(child.waitForFinished(120000));
      EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
    }
  }
  const char* const values[] = {"NormCurrent1", "NormCurrent2", "MaxCurrent1",   "MaxCurrent2",
                                "ActCurrent1",  "ActCurrent2",  "ActFrequency1", "ActFrequency2",
                                "TriggerMode1", "TriggerMode2"};
  for (const char* model : {"qt2", "qt2c", "qt1", "ze"}) {
    SCOPED_TRACE(model);
    StartSim(model);
    StartWindow();
    ASSERT_TRUE(WaitReady());
    TControlPanel& panel = Form->Panel();
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    for (const QSize size : {QSize(0, 0), QSize(700, 420), screen}) {
      SCOPED_TRACE(size.width());
      Form->resize(size.expandedTo(Form->minimumSize()));
      QTest::qWait(50);
      for (const TTriggerMode mode : {tmInternal, tmExternal, tmCW, tmError}) {
        for (const std::uint8_t branch : {1, 2}) {
          panel.LaserCurrent(branch, 999.99);
          panel.LaserMaxCurrent(branch, 999.99);
          panel.LaserFrequency(branch, 200000.0);
          panel.LaserTriggerMode(branch, mode);
        }
        for (const char* name : values) {
          auto* label = Find<QLabel>(name);
          if (label->isHidden()) continue;
          const QFontMetrics fm = label->fontMetrics();
          EXPECT_LE(fm.horizontalAdvance(label->text()), label->contentsRect().width())
              << name << " " << label->text().toStdString();
          EXPECT_LE(fm.height(), label->contentsRect().height()) << name;
        }
      }
      for (const char* name : {"Frequency", "Frequency2"}) {
        auto* spin = Find<QSpinBox>(name);
        if (spin->isHidden()) continue;
        auto* edit = spin->findChild<QLineEdit*>();
        EXPECT_LE(edit->fontMetrics().horizontalAdvance(QStringLiteral("200000")),
                  edit->contentsRect().width())
            << name;
      }
      for (const char* name : {"Current1", "Current2"}) {
        auto* edit = Find<QLineEdit>(name);
        if (edit->isHidden()) continue;
        EXPECT_LE(edit->fontMetrics().horizontalAdvance(edit->displayText()) + 4,
                  edit->contentsRect().width())
            << name;
      }
      // Captions and buttons whole, and nothing over anything else.
      for (QGroupBox* group : Form->centralWidget()->findChildren<QGroupBox*>()) {
        if (group->isHidden()) continue;
        QList<QWidget*> shown;
        for (QWidget* w : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          if (!w->isHidden()) shown << w;
        }
        for (QWidget* w : shown) {
          if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            EXPECT_LE(label->minimumSizeHint().width(), label->width())
                << label->objectName().toStdString();
          }
          if (auto* button = qobject_cast<QAbstractButton*>(w);
              button && !button->text().isEmpty()) {
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), button->width())
                << button->objectName().toStdString();
          }
          for (QWidget* other : shown) {
            if (other != w && w->geometry().intersects(other->geometry())) {
              ADD_FAILURE() << w->objectName().toStdString() << " overlaps "
                            << other->objectName().toStdString();
            }
          }
        }
      }
    }
    Form.reset();
    Sim.reset();
  }
}

// ---------------------------------------------------------------- 5 and 8. status bar

TEST_F(OperatorTest, TheStatusBarSaysWhereTheConnectionStands) {
  // No laser at start: the port was tried once, silently; the bar says what to do.
  // No device, and no fallback to a serial port of this machine.
  const int gone = NoDevice(1);
  const std::string com = "COM" + std::to_string(gone);
  StartWindow({PortParam(gone)});
  EXPECT_EQ(Status("StatusState"), com + " not available: connect with Ctrl+L");
  EXPECT_TRUE(Status("StatusPort").starts_with(com)) << Status("StatusPort");
  Form.reset();
  DropNoDevice(gone);

  sim::Options slow;
  slow.delayMs = 100;
  StartSim(slow);
  StartWindow();
  EXPECT_EQ(Status("StatusState"), "Probing");
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Status("StatusState"), "Ready");
#ifndef _WIN32
  EXPECT_TRUE(Status("StatusPort").starts_with("COM1 /dev/")) << Status("StatusPort");
#endif
  EXPECT_TRUE(Status("StatusLastValue").starts_with("Last value ")) << Status("StatusLastValue");
  // The emission as the laser reports it, on a warning colour, in every view.
  Form->Panel().SetLaserOnExecute();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status("StatusEmission") == "LASER ON"; }, Bound));
  EXPECT_TRUE(Find<QLabel>("StatusEmission")->styleSheet().contains("background"));
  Form->ShowAdvanced->trigger();
  EXPECT_TRUE(Form->AdvancedPanel->isVisible());
  EXPECT_TRUE(Find<QLabel>("StatusEmission")->isVisible()) << "the console hides it not";
  Form->ShowAdvanced->trigger();
  Form->Panel().SetLaserOffExecute();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status("StatusEmission") == "off"; }, Bound));
  // Unplugged: looked for again; plugged in again: probed and ready.
  Sim->Unplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status("StatusState") == "Waiting for COM1"; }, Bound))
      << Status("StatusState");
  ASSERT_TRUE(Sim->Replug());
  EXPECT_TRUE(QTest::qWaitFor([&] { return Status("StatusState") == "Ready"; }, Bound));
  // A report of the trust checks still has its place in the bar.
  Form->findChild<QLineEdit*>("Current1")->setText("45.00");
  Form->Panel().OkCurrentClick(1);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Form->statusBar()->currentMessage() == "Refused: w61 45.00"; }, Bound));
  EXPECT_EQ(Status("StatusState"), "Ready");
}

TEST_F(OperatorTest, ALaserThatDoesNotAnswerIsSaid) {
  StartSim("sn-only");
  StartWindow({"/PORT:1"}, "[General]\nAutoUpdate=0\n[LaserConnection]\nAutoDetect=0\n");
  EXPECT_TRUE(QTest::qWaitFor([&] { return Status("StatusState") == "No reply"; }, Bound))
      << Status("StatusState");
}

// ---------------------------------------------------------------- 6. exit

TEST_F(OperatorTest, ExitWhileTheLaserIsOnAsksFirst) {
  struct {
    const char* Answer;  // the button; empty: no question expected
    bool LaserOn;
    bool Off;     // Laser OFF sent
    bool Closed;  // the window closed
  } cases[] = {{"Switch off and exit", true, true, true},
               {"Exit", true, false, true},
               {"Cancel", true, false, false},
               {"", false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(*c.Answer ? c.Answer : "laser off");
    StartSim("qt2");
    StartWindow();
    ASSERT_TRUE(WaitReady());
    if (c.LaserOn) {
      Form->Panel().SetLaserOnExecute();
      ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Emission() == true; }, Bound));
    }
    const std::size_t from = Sim->Commands().size();
    QString question;
    OnModal([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) return;
      question = box->text();
      for (QAbstractButton* b : box->buttons()) {
        if (b->text() == QString::fromLatin1(c.Answer)) b->click();
      }
    });
    Form->FileExit1->trigger();
    EXPECT_EQ(QTest::qWaitFor([&] { return !Form->isVisible(); }, c.Closed ? Bound : 800),
              c.Closed);
    EXPECT_EQ(question.toStdString(),
              *c.Answer ? "The laser is on. Switch it off before exiting?" : "");
    EXPECT_EQ(CommandsFrom(from), c.Off ? Strings{"w60 0"} : Strings{}) << "nothing else";
    if (c.Off) {
      EXPECT_FALSE(Sim->State().laserOn);
    }
    QApplication::processEvents();
    Form.reset();
    Sim.reset();
  }
}

#ifndef _WIN32
// A SIGTERM (logout, shutdown; Linux's end of a session) closes the window as Exit does: no
// question, nothing sent, the changed settings written.
TEST_F(OperatorTest, SigtermClosesAndWritesTheSettings) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->WatchExitSignals();
  Form->MinimizeToTray->trigger();  // a changed setting
  Form->Panel().SetLaserOnExecute();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Emission() == true; }, Bound));
  const std::size_t from = Sim->Commands().size();
  ASSERT_EQ(std::raise(SIGTERM), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->isVisible(); }, Bound));
  EXPECT_EQ(CommandsFrom(from), Strings{});
  const std::string ini = IniAfterExit();
  EXPECT_NE(ini.find("MinimizeToTray=0"), std::string::npos) << ini;
}
#endif

// ---------------------------------------------------------------- 7. placement

TEST_F(OperatorTest, TheWindowOpensWhollyOnTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  struct {
    const char* Name;
    Strings Params;
    const char* Settings;
    bool Kept;
  } cases[] = {
      // Near the corner: the window fits there however wide its fonts make it.
      {"inside: kept", {"/LEFT:10", "/TOP:20"}, "", true},
      {"Left past the right edge", {"/LEFT:1500", "/TOP:20"}, "", false},
      {"Left=99999", {}, "[WindowPosition]\nLeft=99999\nTop=10\n", false},
      {"Left=$7FFFFFFF", {}, "[WindowPosition]\nLeft=$7FFFFFFF\nTop=$7FFFFFFF\n", false},
      {"far to the left and up", {"/LEFT:-5000", "/TOP:-5000"}, "", false},
  };
  // No serial port of this machine is opened.
  const int gone = NoDevice(9);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Strings params = {PortParam(gone)};
    params.insert(params.end(), c.Params.begin(), c.Params.end());
    StartWindow(params, std::string("[General]\nAutoUpdate=0\n") + c.Settings);
    const QRect at(Form->pos(), Form->size());
    EXPECT_TRUE(screen.contains(at)) << at.x() << "," << at.y();
    if (c.Kept) {
      EXPECT_EQ(Form->pos(), QPoint(10, 20));
    }
    // Not moved by the operator: the stored place stays as it was, for the screen it was on.
    const std::string ini = IniAfterExit();
    EXPECT_EQ(ini.find("Left=") == std::string::npos, std::string(c.Settings).empty()) << ini;
    if (std::string(c.Settings).find("99999") != std::string::npos) {
      EXPECT_NE(ini.find("Left=99999"), std::string::npos) << ini;
    }
  }
}

// ---------------------------------------------------------------- smaller ones

// The about box shows the program's own icon; connection-log lines begin with the time.
TEST_F(OperatorTest, AboutIconAndTimedLogLines) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  QImage shown;
  OnModal([&](QWidget* box) {
    if (auto* image = box->findChild<QLabel*>("Image1")) shown = image->pixmap().toImage();
    static_cast<QDialog*>(box)->reject();
  });
  Form->AboutExecute();
  const QImage own = Form->windowIcon().pixmap(32, 32).toImage();
  EXPECT_FALSE(shown.isNull());
  EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
            own.scaled(shown.size()).convertToFormat(QImage::Format_ARGB32));
  ASSERT_FALSE(Form->ConnectionLog().empty());
  for (const std::string& line : Form->ConnectionLog()) {
    ASSERT_GE(line.size(), 9u) << line;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[0])) && line[2] == ':' &&
                line[5] == ':' && line[8] == ' ')
        << line;
  }
}

// A settings file too large to be read is said once the window is up, naming the file, and not
// only when the program fails to write it at exit.
TEST_F(OperatorTest, ASettingsFileThatCannotBeReadIsSaidAtStart) {
  StartWindow({PortParam(NoDevice(1))}, "[General]\n;" + std::string(17 * 1024 * 1024, 'x') + "\n");
  QString said;
  Form->ShowStartupProblem = [&](const QString& problem) { said = problem; };
  ASSERT_TRUE(QTest::qWaitFor([&] { return !said.isEmpty(); }, Bound));
  EXPECT_TRUE(said.contains("larger than 16 MiB")) << said.toStdString();
  EXPECT_TRUE(said.contains(QString::fromStdString(Ini().string()))) << said.toStdString();
}

// Options: Enter in the port box is OK at once; a preset that is no number is refused at OK,
// naming it.
TEST_F(OperatorTest, OptionsTakeEnterInThePortBoxAndRefuseABadPreset) {
  StartWindow({PortParam(NoDevice(9))});
  TOptionFrm* frm = Form->OptionFrm;
  TOptions options = Form->Options();
  frm->LoadFromOptions(options);
  OnModal([&](QWidget*) {
    auto* port = frm->findChild<QComboBox*>("LaserPort");
    port->setFocus();
    QTest::keyClick(port->lineEdit(), Qt::Key_Return);
  });
  EXPECT_EQ(frm->exec(), QDialog::Accepted) << "the first Enter";

  options.PresetCurrents[2] = "4O.5";
  frm->LoadFromOptions(options);
  QString refused;
  OnModal([&](QWidget* box) {
    if (auto* message = qobject_cast<QMessageBox*>(box)) {
      refused = message->text();
      message->done(QMessageBox::Ok);
    }
    OnModal([&](QWidget* again) { static_cast<QDialog*>(again)->reject(); });
  });
  QTimer::singleShot(0, frm, [frm] {
    (void)QTest::qWaitFor([&] { return QApplication::activeModalWidget() == frm; });
    frm->findChild<QPushButton*>("BitBtn1")->click();
  });
  EXPECT_EQ(frm->exec(), QDialog::Rejected) << "stayed open until cancelled";
  EXPECT_TRUE(refused.contains("Ctrl+3")) << refused.toStdString();
  EXPECT_TRUE(refused.contains("4O.5")) << refused.toStdString();
}

}  // namespace
