// The real main window with a real laser object against the simulator on a pseudo-terminal:
// detection and layouts per model, the operator's set-then-read round trips as the simulator
// receives them, the hand-over inside modal loops, and the default error handler.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/laser/Harness.h"
#include "tests/laser/SimHarness.h"
#include "tests/ui/BoxCloser.h"
#include "tests/ui/WindowRig.h"
#include "ui/ControlPanel.h"
#include "ui/CoverPanel.h"
#include "ui/MainForm.h"
#include "ui/Recording.h"

namespace {

constexpr int Bound = test::kWindowBound;

using test::TBoxCloser;

class WindowTest : public test::TWindowRig {
 protected:
  template <typename T>
  T* Find(const char* name) {
    T* w = Form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString Text(const char* label) { return Find<QLabel>(label)->text(); }
  bool Shown(const char* name) { return !Find<QWidget>(name)->isHidden(); }
};

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------- detection and layouts

struct TLayoutCase {
  const char* Model;
  Strings Visible;
  Strings Hidden;
  bool Frequency2Enabled;
  bool ExternBoundToAction;  // one-column trigger layout
  Strings Values;            // label=text after detection
};

void PrintTo(const TLayoutCase& c, std::ostream* os) {
  *os << c.Model;
}

class LayoutTest : public WindowTest, public ::testing::WithParamInterface<TLayoutCase> {};

TEST_P(LayoutTest, DetectsTheLaserAndShowsItsControls) {
  const TLayoutCase& c = GetParam();
  StartSim(c.Model);
  StartWindow();
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("SN1234 - Corvane Laser Control"));
  EXPECT_EQ(TQNLaserControlMainForm::ApplicationTitle(), Form->windowTitle());
  EXPECT_TRUE(Form->ConnectLaser->isChecked());
  EXPECT_EQ(Form->ConnectLaser->property("ImageIndex").toInt(), 1);
  EXPECT_TRUE(Form->Panel().SetLaserOn->isEnabled());
  EXPECT_TRUE(Form->ShowAdvanced->isEnabled());
  // The cover slides down out of the client area.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !Form->Cover().Sliding(); }, Bound));
  EXPECT_EQ(Form->Cover().ClientTopPos(), TCoverPanel::Tag + Form->Cover().height() + 1);
  EXPECT_GE(Form->Cover().height(), TCoverPanel::PanelHeight);
  for (const std::string& name : c.Visible) EXPECT_TRUE(Shown(name.c_str())) << name;
  for (const std::string& name : c.Hidden) EXPECT_FALSE(Shown(name.c_str())) << name;
  EXPECT_EQ(Find<QSpinBox>("Frequency2")->isEnabled(), c.Frequency2Enabled);
  EXPECT_EQ(Find<QToolButton>("ExternTrig")->defaultAction() == Form->Panel().SetExternal,
            c.ExternBoundToAction);
  for (const std::string& v : c.Values) {
    const std::size_t eq = v.find('=');
    const std::string name = v.substr(0, eq);
    EXPECT_EQ(Text(name.c_str()).toStdString(), v.substr(eq + 1)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, LayoutTest,
    ::testing::Values(
        TLayoutCase{"qt2",
                    {"Current1", "Current2", "LinkCurrents", "LabelBranches", "TriggerMode2",
                     "Frequency2", "ExternTrig2", "CW2", "LabelBranches2"},
                    {"Actual", "ActCurrent1", "ActCurrent2"},
                    true,
                    false,
                    {"NormCurrent1=10.00", "NormCurrent2=12.50", "MaxCurrent1=40.00",
                     "MaxCurrent2=30.00", "ActFrequency1=30000.00", "ActFrequency2=20000.00",
                     "TriggerMode1=Internal", "TriggerMode2=External"}},
        TLayoutCase{"qt2c",
                    {"Current1", "Current2", "LinkCurrents", "TriggerMode2", "Frequency2"},
                    {"Actual"},
                    false,
                    false,
                    {"NormCurrent1=10.00", "NormCurrent2=12.50", "ActFrequency1=30000.00",
                     "ActFrequency2=30000.00"}},
        TLayoutCase{"qt1",
                    {"Current1", "OkCurrent1", "MaxCurrent1", "TriggerMode1", "Frequency"},
                    {"Current2", "OkCurrent2", "LinkCurrents", "LabelBranches", "TriggerMode2",
                     "Frequency2", "ExternTrig2", "CW2", "LabelBranches2"},
                    true,
                    true,
                    {"NormCurrent1=10.00", "MaxCurrent1=40.00", "ActFrequency1=30000.00",
                     "TriggerMode1=Internal"}},
        TLayoutCase{"ze",
                    {"Current2", "OkCurrent2", "MaxCurrent2", "TriggerMode1", "Frequency"},
                    {"Current1", "OkCurrent1", "LinkCurrents", "LabelBranches", "TriggerMode2",
                     "Frequency2", "CW2"},
                    true,
                    true,
                    {"NormCurrent2=12.50", "MaxCurrent2=30.00"}}),
    [](const auto& info) { return std::string(info.param.Model); });

TEST_F(WindowTest, WithoutALaserTheCoverStaysAndTheLaserActionsAreDisabled) {
  StartWindow({"/PORT:256"});  // nothing there
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("PLANOVEX - Corvane Laser Control"));
  EXPECT_EQ(TQNLaserControlMainForm::ApplicationTitle(), QStringLiteral("Corvane Laser Control"));
  EXPECT_EQ(Form->Cover().ClientTopPos(), TCoverPanel::Tag);
  EXPECT_TRUE(Form->Cover().isVisible());
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return QApplication::focusWidget() == &Form->Cover(); }, Bound));
  EXPECT_FALSE(Form->ConnectLaser->isChecked());
  EXPECT_EQ(Form->ConnectLaser->property("ImageIndex").toInt(), 0);
  EXPECT_FALSE(Form->Panel().SetLaserOn->isEnabled());
  EXPECT_FALSE(Form->Panel().SetCurrentN[0]->isEnabled());
  EXPECT_FALSE(Form->ShowAdvanced->isEnabled());
  EXPECT_FALSE(Form->Timer1().isActive());  // a failed start-up attempt schedules no retry
  QLabel* caption = Form->Cover().Caption;
  EXPECT_EQ(caption->text(), QStringLiteral("Laser Disconnected"));
  EXPECT_EQ(caption->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(Find<QLabel>("Image1")->size(), QSize(193, 195));
  EXPECT_EQ(Find<QLabel>("QNLogo")->size(), QSize(300, 37));
  // The design's client area is the least; the platform's font may need a little more.
  EXPECT_GE(Form->centralWidget()->width(), 479);
  EXPECT_GE(Form->centralWidget()->height(), 247 - 49);
  EXPECT_EQ(Form->Cover().size(), Form->centralWidget()->size()) << "the cover hides everything";
}

TEST_F(WindowTest, OperatorConnectThatFailsSaysWhichPort) {
  StartWindow({"/PORT:256"});
  TBoxCloser closer;
  Form->ConnectLaser->trigger();
  ASSERT_EQ(closer.Captions, Strings{"Error"});
  EXPECT_EQ(closer.Texts[0].rfind("Cannot open port: COM256. ", 0), 0u) << closer.Texts[0];
  EXPECT_FALSE(Form->ConnectLaser->isChecked());
}

TEST_F(WindowTest, ConnectWhileReadyDisconnectsAndCoversThePanel) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->ConnectLaser->trigger();
  EXPECT_FALSE(Form->Laser().Connected());
  EXPECT_FALSE(Form->ConnectLaser->isChecked());
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("PLANOVEX - Corvane Laser Control"));
  EXPECT_FALSE(Form->Timer1().isActive());  // the operator's disconnect starts no retry
  EXPECT_TRUE(QTest::qWaitFor([&] { return !Form->Cover().Sliding(); }, Bound));
  EXPECT_EQ(Form->Cover().ClientTopPos(), TCoverPanel::Tag);
  // And back: the operator connects again.
  Form->ConnectLaser->trigger();
  EXPECT_TRUE(WaitReady());
}

// ---------------------------------------------------------------- the hand-over

TEST_F(WindowTest, LaserEventsArriveWhileAModalBoxIsOpen) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  QMessageBox box(QMessageBox::Information, QStringLiteral("Modal"), QStringLiteral("open"),
                  QMessageBox::Ok, Form.get());
  bool seenInside = false;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (Text("NormCurrent1") == QStringLiteral("17.25") && box.isVisible()) {
      seenInside = true;
      box.done(QMessageBox::Ok);
    }
  });
  QTimer::singleShot(0, [&] {
    // Inside the box's own loop: the operator's request and the laser's answer.
    Find<QLineEdit>("Current1")->setText(QStringLiteral("17.25"));
    Form->Panel().OkCurrentClick(1);
    poll.start();
  });
  QTimer::singleShot(Bound, &box, [&] { box.done(QMessageBox::Cancel); });
  box.exec();
  EXPECT_TRUE(seenInside);
}

TEST_F(WindowTest, AnEventHandlerThatThrowsIsReportedAndTheHandOverGoesOn) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->Laser().OnLaserON = [](TLaser*, bool) { throw std::runtime_error("handler failed"); };
  TBoxCloser closer;
  Form->Panel().SetLaserOnExecute();  // its status reply raises the failing event
  Find<QLineEdit>("Current1")->setText(QStringLiteral("11.00"));
  Form->Panel().OkCurrentClick(1);  // answered after it
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return Text("NormCurrent1") == QStringLiteral("11.00"); }, Bound));
  // The status read that ends detection may still be on its way and fail the same way.
  ASSERT_FALSE(closer.Captions.empty());
  EXPECT_LE(closer.Captions.size(), 2u);
  for (const auto& caption : closer.Captions) EXPECT_EQ(caption, "Error");
  for (const auto& text : closer.Texts) EXPECT_EQ(text, "handler failed");
  EXPECT_TRUE(Form->isVisible());
}

// ---------------------------------------------------------------- set, then read

struct TRoundTrip {
  const char* Name;
  const char* Model;
  std::function<void(WindowTest&, TQNLaserControlMainForm&)> Act;
  Strings Sent;
  Strings Values;  // label=text afterwards
};

void PrintTo(const TRoundTrip& c, std::ostream* os) {
  *os << c.Name;
}

class RoundTripTest : public WindowTest, public ::testing::WithParamInterface<TRoundTrip> {
 public:
  static QLineEdit* Edit(TQNLaserControlMainForm& f, const char* name) {
    return f.findChild<QLineEdit*>(QString::fromLatin1(name));
  }
  static QSpinBox* Spin(TQNLaserControlMainForm& f, const char* name) {
    return f.findChild<QSpinBox*>(QString::fromLatin1(name));
  }
  static void Click(TQNLaserControlMainForm& f, const char* name) {
    QTest::mouseClick(f.findChild<QToolButton*>(QString::fromLatin1(name)), Qt::LeftButton);
  }
};

TEST_P(RoundTripTest, SendsWhatTheOperatorAskedAndShowsWhatTheLaserReports) {
  const TRoundTrip& c = GetParam();
  StartSim(c.Model);
  StartWindow();
  ASSERT_TRUE(WaitReady());
  const Strings sent = Exchange([&] { c.Act(*this, *Form); });
  EXPECT_EQ(sent, c.Sent);
  for (const std::string& v : c.Values) {
    const std::size_t eq = v.find('=');
    const std::string name = v.substr(0, eq);
    const std::string want = v.substr(eq + 1);
    if (name == "LaserWarnOn" || name == "LaserWarnOff") {
      EXPECT_EQ(Shown(name.c_str()), want == "shown") << name;
    } else if (name == "Current2.enabled") {
      EXPECT_EQ(Edit(*Form, "Current2")->isEnabled(), want == "1");
    } else if (name == "Current2.text") {
      EXPECT_EQ(Edit(*Form, "Current2")->displayText().toStdString(), want);
    } else {
      EXPECT_TRUE(QTest::qWaitFor([&] { return Text(name.c_str()).toStdString() == want; }, Bound))
          << name << " is " << Text(name.c_str()).toStdString() << ", want " << want;
    }
  }
}

using RT = RoundTripTest;
INSTANTIATE_TEST_SUITE_P(
    Panel, RoundTripTest,
    ::testing::Values(
        TRoundTrip{"CurrentTyped",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     QLineEdit* e = RT::Edit(f, "Current1");
                     e->setFocus();
                     e->selectAll();
                     QTest::keyClicks(e, "1525");
                     QTest::keyClick(e, Qt::Key_Return);  // released Enter sends
                   },
                   {"w61 15.25", "r61"},
                   {"NormCurrent1=15.25", "NormCurrent2=12.50"}},
        TRoundTrip{"CurrentTypedBranch2",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     RT::Edit(f, "Current2")->setText(QStringLiteral("07.50"));
                     RT::Click(f, "OkCurrent2");
                   },
                   {"w62 7.50", "r62"},
                   {"NormCurrent2=7.50"}},
        TRoundTrip{"LinkedCurrents",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     RT::Click(f, "LinkCurrents");
                     RT::Edit(f, "Current1")->setText(QStringLiteral("22.00"));
                     RT::Click(f, "OkCurrent2");  // the value of Current1 goes to both
                   },
                   {"w61 22.00", "r61", "w62 22.00", "r62"},
                   {"NormCurrent1=22.00", "NormCurrent2=22.00", "Current2.text=22.00",
                    "Current2.enabled=0"}},
        TRoundTrip{"PresetLimitedToTheMaximum",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     TOptions o = f.Options();
                     o.PresetCurrents[0] = "45.5";
                     f.ApplyOptions(o);
                     f.findChild<QAction*>(QStringLiteral("SetCurrent1"))->trigger();
                   },
                   {"w61 40.00", "r61", "w62 30.00", "r62"},
                   {"NormCurrent1=40.00", "NormCurrent2=30.00"}},
        TRoundTrip{
            "CurrentZero",
            "qt1",
            [](WindowTest&, TQNLaserControlMainForm& f) { f.Panel().SetCurrentZero->trigger(); },
            {"w61 0.00", "r61"},
            {"NormCurrent1=0.00"}},
        TRoundTrip{"FrequencyOfBranch2ByEnter",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     QSpinBox* s = RT::Spin(f, "Frequency2");
                     s->setValue(15000);
                     s->setFocus();
                     QTest::keyClick(s, Qt::Key_Return);
                   },
                   {"w74 15000.00", "r74"},
                   {"ActFrequency2=15000.00", "ActFrequency1=30000.00"}},
        TRoundTrip{"FrequencyBothBranchesInLayout2",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     RT::Spin(f, "Frequency")->setValue(25000);
                     RT::Spin(f, "Frequency2")->setValue(26000);
                     RT::Click(f, "OkFrequency");
                   },
                   {"w73 25000.00", "r73", "w74 26000.00", "r74"},
                   {"ActFrequency1=25000.00", "ActFrequency2=26000.00"}},
        TRoundTrip{"CommonFrequencyInLayout1",
                   "qt2c",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     RT::Spin(f, "Frequency")->setValue(25000);
                     RT::Click(f, "OkFrequency");
                   },
                   {"w73 25000.00", "r73"},
                   {"ActFrequency1=25000.00", "ActFrequency2=25000.00"}},
        TRoundTrip{"FrequencyOneColumn",
                   "qt1",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     RT::Spin(f, "Frequency")->setValue(12300);
                     RT::Click(f, "OkFrequency");
                   },
                   {"w73 12300.00", "r73"},
                   {"ActFrequency1=12300.00"}},
        TRoundTrip{"ExternalOfBranch1InTwoColumns",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "ExternTrig"); },
                   {"w71 1", "r71"},
                   {"TriggerMode1=External", "TriggerMode2=External"}},
        TRoundTrip{"CWOfBranch2",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "CW2"); },
                   {"w72 2", "r72"},
                   {"TriggerMode2=CW", "TriggerMode1=Internal"}},
        TRoundTrip{
            "ExternalHotKeyBothBranches",
            "qt2",
            [](WindowTest&, TQNLaserControlMainForm& f) { f.Panel().SetExternal->trigger(); },
            {"w71 1", "w72 1", "r71", "r72"},
            {"TriggerMode1=External", "TriggerMode2=External"}},
        TRoundTrip{"InternalAllBranches",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "InternTrig"); },
                   {"w70 1", "r71"},
                   {"TriggerMode1=Internal"}},
        TRoundTrip{"ExternalOneColumnRunsTheAction",
                   "qt1",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "ExternTrig"); },
                   {"w71 1", "r71"},
                   {"TriggerMode1=External"}},
        TRoundTrip{"CWOneColumn",
                   "qt1",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "CW"); },
                   {"w71 2", "r71"},
                   {"TriggerMode1=CW"}},
        TRoundTrip{"LaserOn",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) { RT::Click(f, "LaserON"); },
                   {"w60 1", "r60"},
                   {"LaserWarnOn=shown", "LaserWarnOff=hidden"}},
        TRoundTrip{"LaserOnThenOff",
                   "qt2",
                   [](WindowTest&, TQNLaserControlMainForm& f) {
                     // Laser OFF would overtake a Laser ON still waiting (and cancel it).
                     RT::Click(f, "LaserON");
                     EXPECT_TRUE(
                         QTest::qWaitFor([&] { return f.Laser().QueueCount() == 0; }, 10000));
                     RT::Click(f, "LaserOff");
                   },
                   {"w60 1", "r60", "w60 0", "r60"},
                   {"LaserWarnOn=hidden", "LaserWarnOff=shown"}}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------- the options step

struct TOptionsCase {
  const char* Name;
  std::function<void(TOptions&)> Change;
  std::function<void(WindowTest&, TQNLaserControlMainForm&, const TBoxCloser&)> Check;
};

void PrintTo(const TOptionsCase& c, std::ostream* os) {
  *os << c.Name;
}

class OptionsTest : public WindowTest, public ::testing::WithParamInterface<TOptionsCase> {};

TEST_P(OptionsTest, OkInTheOptionsDialogAppliesWhatChanged) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TOptions o = Form->Options();
  GetParam().Change(o);
  TBoxCloser closer;
  Form->RunOptionsDialog = [&](const TOptions&) { return std::optional<TOptions>(o); };
  Form->SetOptions->trigger();
  GetParam().Check(*this, *Form, closer);
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionsTest,
    ::testing::Values(
        TOptionsCase{"Unchanged", [](TOptions&) {},
                     [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser& closer) {
                       EXPECT_FALSE(f.SettingsChanged());
                       EXPECT_TRUE(f.Detection().LaserReady());
                       EXPECT_FALSE(f.Timer1().isActive());
                       EXPECT_TRUE(closer.Captions.empty());
                     }},
        TOptionsCase{"AutoUpdateOn",
                     [](TOptions& o) {
                       o.AutoUpdate = true;
                       o.UpdateInterval = 250;
                     },
                     [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser&) {
                       EXPECT_TRUE(f.SettingsChanged());
                       EXPECT_TRUE(f.Timer1().isActive());
                       EXPECT_EQ(f.Timer1().interval(), 250);
                     }},
        TOptionsCase{
            "HotKeysAtOnce",
            [](TOptions& o) {
              o.LaserOn = 0x4000 | 0x74;  // Ctrl+F5
              o.ConnectLaser = 0;
            },
            [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser&) {
              EXPECT_TRUE(f.SettingsChanged());
              EXPECT_EQ(f.Panel().SetLaserOn->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F5));
              EXPECT_TRUE(f.ConnectLaser->shortcut().isEmpty());
              EXPECT_EQ(f.Panel().SetLaserOff->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
            }},
        // The recorder's and the trends' keys are the operator's too; a key given twice goes to
        // the first action only, and never away from Laser OFF.
        TOptionsCase{"RecordingHotKeysAndAKeyGivenTwice",
                     [](TOptions& o) {
                       o.StartRecording = 0x4000 | 0x77;  // Ctrl+F8
                       o.StopRecording = 0;
                       o.ShowTrends = o.LaserOff;
                       o.CWMode = o.LaserOn;
                     },
                     [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser&) {
                       EXPECT_EQ(f.Recording().StartRecording->shortcut(),
                                 QKeySequence(Qt::CTRL | Qt::Key_F8));
                       EXPECT_TRUE(f.Recording().StopRecording->shortcut().isEmpty());
                       EXPECT_EQ(f.Panel().SetLaserOff->shortcut(),
                                 QKeySequence(Qt::CTRL | Qt::Key_S));
                       EXPECT_TRUE(f.findChild<QAction*>("ShowTrends")->shortcut().isEmpty());
                       EXPECT_EQ(f.Panel().SetCW->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
                       EXPECT_TRUE(f.Panel().SetLaserOn->shortcut().isEmpty());
                       const auto& log = f.ConnectionLog();
                       for (const char* line : {"Hot key Ctrl+S of ShowTrends --> not used",
                                                "Hot key Ctrl+N of LaserOn --> not used"}) {
                         EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
                           return l.find(line) != std::string::npos;
                         })) << line;
                       }
                     }},
        // The menus' fixed keys stay theirs, except one the operator gives Laser OFF.
        TOptionsCase{
            "HotKeysMeetTheMenusKeys",
            [](TOptions& o) {
              o.LaserOff = 0x4000 | 'O';    // Ctrl+O, the options' key
              o.LaserOn = 0x4000 | '1';     // Ctrl+1, the first preset current's
              o.StartRecording = 0x70;      // F1, the about box's
              o.ShowTrends = 0x8000 | 'X';  // Alt+X, Exit's
            },
            [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser&) {
              EXPECT_EQ(f.Panel().SetLaserOff->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
              EXPECT_TRUE(f.SetOptions->shortcut().isEmpty());
              EXPECT_TRUE(f.Panel().SetLaserOn->shortcut().isEmpty());
              EXPECT_EQ(f.Panel().SetCurrentN[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_1));
              EXPECT_TRUE(f.Recording().StartRecording->shortcut().isEmpty());
              EXPECT_EQ(f.About->shortcut(), QKeySequence(Qt::Key_F1));
              EXPECT_TRUE(f.findChild<QAction*>("ShowTrends")->shortcut().isEmpty());
              EXPECT_EQ(f.FileExit1->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
              const auto& log = f.ConnectionLog();
              for (const char* line : {"Hot key Ctrl+O of SetOptions --> not used",
                                       "Hot key Ctrl+1 of LaserOn --> not used",
                                       "Hot key F1 of StartRecording --> not used",
                                       "Hot key Alt+X of ShowTrends --> not used"}) {
                EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
                  return l.find(line) != std::string::npos;
                })) << line;
              }
            }},
        TOptionsCase{"PortChanged", [](TOptions& o) { o.Port = 256; },
                     [](WindowTest&, TQNLaserControlMainForm& f, const TBoxCloser& closer) {
                       EXPECT_TRUE(f.SettingsChanged());
                       EXPECT_FALSE(f.Laser().Connected());
                       EXPECT_EQ(f.Laser().Port(), 256);
                       ASSERT_EQ(closer.Captions, Strings{"Error"});
                       EXPECT_EQ(closer.Texts[0].rfind("Cannot open port: COM256. ", 0), 0u);
                       EXPECT_FALSE(f.ConnectLaser->isChecked());
                       // Closed with a restart: AutoDetect retries every DetectInterval.
                       EXPECT_TRUE(f.Timer1().isActive());
                       EXPECT_EQ(f.Timer1().interval(), 1000);
                     }}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------- the default error handler

struct TTypo {
  const char* Name;
  std::function<void(TQNLaserControlMainForm&)> Act;
  const char* Message;
};

void PrintTo(const TTypo& c, std::ostream* os) {
  *os << c.Name;
}

class TypoTest : public WindowTest, public ::testing::WithParamInterface<TTypo> {};

TEST_P(TypoTest, ShowsTheConversionErrorAndSendsNothing) {
  const TTypo& c = GetParam();
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  const QString before = Text("NormCurrent1");
  TBoxCloser closer;
  const Strings sent = Exchange([&] { c.Act(*Form); });
  EXPECT_EQ(sent, Strings{});
  EXPECT_EQ(closer.Captions, Strings{"Error"});
  EXPECT_EQ(closer.Texts, Strings{c.Message});
  EXPECT_EQ(Text("NormCurrent1"), before);
  EXPECT_TRUE(Form->isVisible());  // the program goes on
}

INSTANTIATE_TEST_SUITE_P(
    Typos, TypoTest,
    ::testing::Values(TTypo{"CurrentField",
                            [](TQNLaserControlMainForm& f) {
                              // A field whose text does not convert (its mask lifted, as a paste
                              // could).
                              QLineEdit* e = f.findChild<QLineEdit*>(QStringLiteral("Current1"));
                              e->setInputMask(QString());
                              e->setText(QStringLiteral("1x.00"));
                              QTest::mouseClick(
                                  f.findChild<QToolButton*>(QStringLiteral("OkCurrent1")),
                                  Qt::LeftButton);
                            },
                            "'1x.00' is not a valid floating point value"},
                      TTypo{"LinkedCurrentField",
                            [](TQNLaserControlMainForm& f) {
                              QLineEdit* e = f.findChild<QLineEdit*>(QStringLiteral("Current1"));
                              e->setInputMask(QString());
                              e->setText(QStringLiteral("2..5"));
                              f.Panel().LinkCurrents->click();
                              QTest::mouseClick(
                                  f.findChild<QToolButton*>(QStringLiteral("OkCurrent2")),
                                  Qt::LeftButton);
                            },
                            "'2..5' is not a valid floating point value"},
                      TTypo{"PresetCurrent",
                            [](TQNLaserControlMainForm& f) {
                              TOptions o = f.Options();
                              o.PresetCurrents[4] = "4O.5";
                              f.ApplyOptions(o);
                              f.Panel().SetCurrentN[4]->trigger();
                            },
                            "'4O.5' is not a valid floating point value"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(WindowTest, FrequencyBoxesTakeDigitsAndEditingKeysOnly) {
  StartWindow({"/PORT:256"});
  QSpinBox* spin = Find<QSpinBox>("Frequency");
  spin->setValue(30000);
  auto* edit = spin->findChild<QLineEdit*>();
  ASSERT_NE(edit, nullptr);
  edit->setCursorPosition(2);
  struct TKey {
    Qt::Key Key;
    const char* Text;  // the box's text afterwards
    int Cursor;
  };
  // Home, End, the arrows up and down and the page keys neither move the caret nor step.
  const TKey keys[] = {
      {Qt::Key_Home, "30000", 2},     {Qt::Key_End, "30000", 2},      {Qt::Key_Up, "30000", 2},
      {Qt::Key_PageDown, "30000", 2}, {Qt::Key_A, "30000", 2},        {Qt::Key_Minus, "30000", 2},
      {Qt::Key_Right, "30000", 3},    {Qt::Key_Backspace, "3000", 2}, {Qt::Key_5, "30500", 3},
      {Qt::Key_Left, "30500", 2},     {Qt::Key_Delete, "3000", 2}};
  for (const TKey& k : keys) {
    QTest::keyClick(spin, k.Key);
    EXPECT_EQ(edit->text().toStdString(), k.Text) << k.Key;
    EXPECT_EQ(edit->cursorPosition(), k.Cursor) << k.Key;
  }
}

// ---------------------------------------------------------------- masks and numbers

TEST(ControlPanelText, EditMasksShowAndReadUnfilledPlacesAsZero) {
  struct TCase {
    const char* Mask;
    const char* Typed;
    const char* Displayed;
  };
  const TCase cases[] = {
      {"99.99;1;0", "", "00.00"},         {"99.99;1;0", "20.00", "20.00"},
      {"99.99;1;0", "12", "12.00"},       {"999.99;1;0", "020.00", "020.00"},
      {"999.99;1;0", "123.45", "123.45"},
  };
  for (const TCase& c : cases) {
    QLineEdit edit;
    edit.setInputMask(QtInputMask(c.Mask));
    edit.setText(QString::fromLatin1(c.Typed));
    EXPECT_EQ(edit.displayText().toStdString(), c.Displayed) << c.Mask << " " << c.Typed;
    EXPECT_NO_THROW(StrToFloat(edit.displayText().toStdString()));
  }
}

TEST(ControlPanelText, NumbersUseThePointWhateverTheLocale) {
  EXPECT_DOUBLE_EQ(StrToFloat(" 12.50 "), 12.5);
  EXPECT_DOUBLE_EQ(StrToFloat("+3"), 3.0);
  for (const char* bad : {"", "12,50", "1x.00", "nan", "inf", "12.5A", "--1"}) {
    EXPECT_THROW(StrToFloat(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(FormatFloat2(29999.994), "29999.99");
  EXPECT_EQ(FormatFloat2(-0.001), "0.00");
}

}  // namespace

// A current read that carries the actual current too comes as nominal + actual * 0.00001: both
// shown to the cent, whatever the binary fraction of the packed number.
TEST(ControlPanelText, APackedCurrentShowsItsNominalAndActual) {
  struct TCase {
    double Nominal, Actual;
    const char *ShownNominal, *ShownActual;
  };
  const TCase cases[] = {
      {0.29, 0.00, "0.29", "0.00"},     {10.00, 600.00, "10.00", "600.00"},
      {12.50, 12.49, "12.50", "12.49"}, {99.99, 999.99, "99.99", "999.99"},
      {0.00, 0.01, "0.00", "0.01"},
  };
  TLaser laser;
  const TOptions options;
  QWidget area;
  TControlPanel panel(laser, options, &area);
  panel.ApplyCurrentLayout(2, true);
  for (const TCase& c : cases) {
    panel.LaserCurrent(1, c.Nominal + c.Actual * 0.00001);
    EXPECT_EQ(panel.NormCurrent1->text().toStdString(), c.ShownNominal) << c.Nominal;
    EXPECT_EQ(panel.ActCurrent1->text().toStdString(), c.ShownActual) << c.Actual;
  }
}

// The panel acts on its layout value (which branches it reads, sets and refreshes), so that value
// and what the operator sees must agree after every sequence the detection or a template makes,
// and a trigger layout it does not know changes neither.
TEST(ControlPanelLayout, TheLayoutValueMatchesTheShownControls) {
  struct TStep {
    int Current = -1;  // ApplyCurrentLayout's layout, -1: not called
    bool ShowActual = false;
    int Trigger = -1;  // ApplyTriggerLayout's layout, -1: not called
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    TPanelLayout Expected;
  };
  const TCase cases[] = {
      {"as created", {}, {true, true, true, 0}},
      {"two branches, a frequency each", {{6, false, 2}}, {true, true, false, 2}},
      {"two branches, common frequency", {{6, false, 2}, {-1, false, 1}}, {true, true, false, 1}},
      {"branch 1 alone with actual", {{2, true, 0}}, {true, false, true, 0}},
      {"branch 2 alone", {{4, false, 0}}, {false, true, false, 0}},
      {"two columns back to one", {{6, true, 2}, {2, false, 0}}, {true, false, false, 0}},
      {"an unknown trigger layout", {{6, false, 1}, {-1, false, 3}}, {true, true, false, 1}},
  };
  for (const TCase& c : cases) {
    TLaser laser;
    const TOptions options;
    QWidget area;
    TControlPanel panel(laser, options, &area);
    for (const TStep& s : c.Steps) {
      if (s.Current >= 0) panel.ApplyCurrentLayout(s.Current, s.ShowActual);
      if (s.Trigger >= 0) panel.ApplyTriggerLayout(s.Trigger);
    }
    const TPanelLayout& got = panel.Layout();
    EXPECT_TRUE(got == c.Expected) << c.Name;
    const auto shown = [](const QWidget* w) { return !w->isHidden(); };
    EXPECT_EQ(shown(panel.Current1), got.Branch1) << c.Name;
    EXPECT_EQ(shown(panel.MaxCurrent1), got.Branch1) << c.Name;
    EXPECT_EQ(shown(panel.Current2), got.Branch2) << c.Name;
    EXPECT_EQ(shown(panel.MaxCurrent2), got.Branch2) << c.Name;
    EXPECT_EQ(shown(panel.LinkCurrents), got.BothBranches()) << c.Name;
    EXPECT_EQ(shown(panel.Actual), got.ShowActual) << c.Name;
    EXPECT_EQ(shown(panel.ActCurrent1), got.Branch1 && got.ShowActual) << c.Name;
    EXPECT_EQ(shown(panel.ActCurrent2), got.Branch2 && got.ShowActual) << c.Name;
    EXPECT_TRUE(shown(panel.TriggerMode1) && shown(panel.Frequency)) << c.Name;
    EXPECT_EQ(shown(panel.TriggerMode2), got.TriggerColumns()) << c.Name;
    EXPECT_EQ(shown(panel.Frequency2), got.TriggerColumns()) << c.Name;
    if (got.TriggerColumns()) {
      EXPECT_EQ(panel.Frequency2->isEnabledTo(panel.TriggerGroup), got.Trigger == 2) << c.Name;
    }
  }
}
