// The main window with its dialogs, console and tray against the simulator: the waiting box
// around clear-error and reset, the options dialog driven as the operator does, the tray, the
// console's action, the log window and a failed worker thread ending the program.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/laser/Harness.h"
#include "tests/laser/SimHarness.h"
#include "tests/ui/BoxCloser.h"
#include "tests/ui/WindowRig.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/ConsolePanel.h"
#include "ui/ControlPanel.h"
#include "ui/MainForm.h"
#include "ui/SetOption.h"
#include "ui/Waiting.h"

namespace {

constexpr int Bound = test::kWindowBound;
using Strings = std::vector<std::string>;

using test::TBoxCloser;

// Runs Act once Dialog is up in its own modal loop.
void WhenShown(QWidget* Dialog, std::function<void()> Act) {
  auto* timer = new QTimer(Dialog);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, Dialog, [timer, Dialog, Act] {
    if (QApplication::activeModalWidget() != Dialog) return;
    timer->deleteLater();
    timer->stop();
    Act();
  });
  timer->start();
}

class MainWindowTest : public test::TWindowRig {
 protected:
  template <typename T>
  T* In(QWidget* parent, const char* name) {
    T* w = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QPushButton* SystemButton(const char* name) { return In<QPushButton>(Form->SystemGroup, name); }
};

// ---------------------------------------------------------------- the waiting box

struct TPhaseCase {
  const char* Name;
  const char* Button;
  const char* Message;
  const char* Command;
};

void PrintTo(const TPhaseCase& c, std::ostream* os) {
  *os << c.Name;
}

class PhaseTest : public MainWindowTest, public ::testing::WithParamInterface<TPhaseCase> {
 protected:
  void SetUp() override {
    sim::Options options;
    options.errors = {93};
    options.resetMs = 400;
    StartSim(options);
    StartWindow();
    ASSERT_TRUE(WaitReady());
    // Count the laser's end events behind the window's own handler.
    const TLaserNotify windowEnd = Form->Laser().OnReseted;
    ASSERT_TRUE(windowEnd);
    Form->Laser().OnReseted = Form->Laser().OnClearedError = [this, windowEnd](TLaser* s) {
      windowEnd(s);
      ++Ended;
    };
    Form->WaitingBox->OnClosed = [this](TWaitingBox*) { ++Closed; };
    QObject::connect(Form->WaitingBox, &QDialog::finished, [this] { BoxVisibleAtEnd = false; });
  }
  int Ended = 0;
  int Closed = 0;
  bool BoxVisibleAtEnd = true;
};

TEST_P(PhaseTest, WaitingBoxFromTheStartToTheLasersEndEvent) {
  const TPhaseCase& c = GetParam();
  QString shownText;
  bool endedWhileShown = false;
  WhenShown(Form->WaitingBox, [&] {
    shownText = Form->WaitingBox->Label1()->text();
    endedWhileShown = Ended == 0;
  });
  QTest::mouseClick(SystemButton(c.Button), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Ended == 1 && Closed == 1; }, Bound));
  EXPECT_EQ(shownText.toStdString(), c.Message);
  EXPECT_TRUE(endedWhileShown) << "the box was up until the laser's end event";
  EXPECT_FALSE(Form->WaitingBox->isVisible());
  EXPECT_EQ(Sim->Commands().back().text.substr(0, 3), std::string(c.Command).substr(0, 3));
}

TEST_P(PhaseTest, StopWaitingBeforeTheEndEvent) {
  const TPhaseCase& c = GetParam();
  WhenShown(Form->WaitingBox,
            [&] { QTest::mouseClick(Form->WaitingBox->BitBtn1(), Qt::LeftButton); });
  QTest::mouseClick(SystemButton(c.Button), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Closed == 1; }, Bound));
  EXPECT_EQ(Ended, 0) << "closed by the operator, before the laser finished";
  // The laser's end event later finds the box closed: no second closing, nothing shown.
  ASSERT_TRUE(QTest::qWaitFor([&] { return Ended == 1; }, Bound));
  QTest::qWait(50);
  EXPECT_EQ(Closed, 1);
  EXPECT_FALSE(Form->WaitingBox->isVisible());
  EXPECT_TRUE(Form->isVisible());
}

TEST_P(PhaseTest, NoBoxWhileTheConsoleIsShown) {
  const TPhaseCase& c = GetParam();
  Form->ShowAdvanced->trigger();
  ASSERT_TRUE(Form->Console().Shown());
  bool shown = false;
  WhenShown(Form->WaitingBox, [&] { shown = true; });
  QTest::mouseClick(SystemButton(c.Button), Qt::LeftButton);
  auto* transcript = In<QTextEdit>(Form->AdvancedPanel, "ReceiveBuffer");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return Ended == 1 && transcript->toPlainText().contains(QStringLiteral("READY")); },
      Bound));
  QTest::qWait(50);
  EXPECT_FALSE(shown);
  EXPECT_EQ(Closed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, PhaseTest,
    ::testing::Values(TPhaseCase{"ClearError", "ClearError", "Please wait for clearing laser error",
                                 "w97 347"},
                      TPhaseCase{"Reset", "Reset", "Please wait for laser reseting", "w99 347"}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------- the options dialog

struct TOptionsDialogCase {
  const char* Name;
  std::function<void(TOptionFrm&)> Edit;  // the operator's edits; OK is pressed after them
  bool Ok;
  std::function<void(TQNLaserControlMainForm&, const TBoxCloser&)> Check;
  Strings IniHas;    // lines the settings file holds after exit
  Strings IniLacks;  // texts it does not hold
};

void PrintTo(const TOptionsDialogCase& c, std::ostream* os) {
  *os << c.Name;
}

class OptionsDialogTest : public MainWindowTest,
                          public ::testing::WithParamInterface<TOptionsDialogCase> {};

template <typename T>
T* Child(TOptionFrm& f, const char* name) {
  return f.findChild<T*>(QString::fromLatin1(name));
}

TEST_P(OptionsDialogTest, TheWindowAppliesWhatTheOperatorConfirmed) {
  const TOptionsDialogCase& c = GetParam();
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TBoxCloser boxes;
  TOptionFrm& dialog = *Form->OptionFrm;
  WhenShown(&dialog, [&] {
    c.Edit(dialog);
    QTest::mouseClick(Child<QPushButton>(dialog, c.Ok ? "BitBtn1" : "BitBtn2"), Qt::LeftButton);
  });
  Form->SetOptions->trigger();
  EXPECT_FALSE(dialog.isVisible());
  c.Check(*Form, boxes);
  const std::string ini = IniAfterExit();
  for (const std::string& line : c.IniHas) {
    EXPECT_NE(ini.find(line + "\n"), std::string::npos) << line << " in\n" << ini;
  }
  for (const std::string& text : c.IniLacks) {
    EXPECT_EQ(ini.find(text), std::string::npos) << text << " in\n" << ini;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OptionsDialogTest,
    ::testing::Values(
        TOptionsDialogCase{"OkUnchanged",
                           [](TOptionFrm&) {},
                           true,
                           [](TQNLaserControlMainForm& f, const TBoxCloser& boxes) {
                             EXPECT_FALSE(f.SettingsChanged());
                             EXPECT_TRUE(f.Detection().LaserReady());
                             EXPECT_TRUE(boxes.Captions.empty());
                           },
                           {"AutoUpdate=0"},
                           {"Port=", "[Hotkeys]", "[PresetCurrents]"}},
        TOptionsDialogCase{
            "PortChanged",
            [](TOptionFrm& d) { Child<QComboBox>(d, "LaserPort")->setEditText(" com256 "); },
            true,
            [](TQNLaserControlMainForm& f, const TBoxCloser& boxes) {
              EXPECT_TRUE(f.SettingsChanged());
              EXPECT_EQ(f.Laser().Port(), 256);
              EXPECT_FALSE(f.Laser().Connected());
              ASSERT_EQ(boxes.Captions, Strings{"Error"});
              EXPECT_EQ(boxes.Texts[0].rfind("Cannot open port: COM256. ", 0), 0u);
              EXPECT_FALSE(f.ConnectLaser->isChecked());
              EXPECT_TRUE(f.Timer1().isActive());  // retries with AutoDetect
            },
            {"Port=256"},
            {}},
        TOptionsDialogCase{"AutoUpdateOnWithItsPeriod",
                           [](TOptionFrm& d) {
                             Child<QCheckBox>(d, "AutoUpdate")->click();
                             Child<QSpinBox>(d, "UpdateTime")->setValue(1500);
                           },
                           true,
                           [](TQNLaserControlMainForm& f, const TBoxCloser&) {
                             EXPECT_TRUE(f.SettingsChanged());
                             EXPECT_TRUE(f.Timer1().isActive());
                             EXPECT_EQ(f.Timer1().interval(), 1500);
                           },
                           {"AutoUpdate=1", "UpdateInterval=1500"},
                           {"[PresetCurrents]"}},
        TOptionsDialogCase{"DetectPeriodWhileConnected",
                           [](TOptionFrm& d) { Child<QSpinBox>(d, "DetectTime")->setValue(2500); },
                           true,
                           [](TQNLaserControlMainForm& f, const TBoxCloser&) {
                             EXPECT_TRUE(f.SettingsChanged());
                             EXPECT_FALSE(f.Timer1().isActive());  // refresh is off, nothing runs
                             EXPECT_EQ(f.Options().DetectInterval, 2500);
                           },
                           {"DetectInterval=2500"},
                           {}},
        TOptionsDialogCase{
            "HotKeysAtOnce",
            [](TOptionFrm& d) {
              Child<THotKeyEdit>(d, "ConnectKey")->setFocus();
              QTest::keyClick(Child<THotKeyEdit>(d, "ConnectKey"), Qt::Key_F7, Qt::ControlModifier);
              Child<THotKeyEdit>(d, "LaserOffKey")->setFocus();
              QTest::keyClick(Child<THotKeyEdit>(d, "LaserOffKey"), Qt::Key_F9);  // gets Alt
            },
            true,
            [](TQNLaserControlMainForm& f, const TBoxCloser&) {
              EXPECT_EQ(f.ConnectLaser->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F7));
              EXPECT_EQ(f.Panel().SetLaserOff->shortcut(), QKeySequence(Qt::ALT | Qt::Key_F9));
              EXPECT_EQ(f.Panel().SetLaserOn->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
            },
            {"ConnectLaser=16502", "LaserOff=32888", "LaserOn=16462"},
            {}},
        TOptionsDialogCase{"PresetEdited",
                           [](TOptionFrm& d) {
                             d.setFocus();
                             Child<QLineEdit>(d, "Current3")->setText("7.5");
                           },
                           true,
                           [](TQNLaserControlMainForm& f, const TBoxCloser&) {
                             EXPECT_EQ(f.Options().PresetCurrents[2], "7.5");
                             EXPECT_FALSE(f.SettingsChanged());
                           },
                           {"3=7.5", "1=0"},
                           {"[Hotkeys]", "Port="}},
        TOptionsDialogCase{"PresetEditedThenCancel",
                           [](TOptionFrm& d) { Child<QLineEdit>(d, "Current3")->setText("7.5"); },
                           false,
                           [](TQNLaserControlMainForm& f, const TBoxCloser&) {
                             EXPECT_EQ(f.Options().PresetCurrents[2], "0");
                             EXPECT_FALSE(f.SettingsChanged());
                           },
                           // The flag stays: the unchanged presets are written at exit.
                           {"3=0", "9=0"},
                           {"[Hotkeys]", "7.5"}},
        TOptionsDialogCase{"DoubleClickOffUnticked",
                           [](TOptionFrm& d) { Child<QCheckBox>(d, "DblClkOff")->click(); },
                           true,
                           [](TQNLaserControlMainForm& f, const TBoxCloser&) {
                             EXPECT_FALSE(f.Options().DoubleClickOff);
                             EXPECT_TRUE(f.SettingsChanged());
                           },
                           {"DoubleClickOff=0"},
                           {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MainWindowTest, APresetFromTheDialogIsSentByItsHotKey) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TOptionFrm& dialog = *Form->OptionFrm;
  WhenShown(&dialog, [&] {
    Child<QLineEdit>(dialog, "Current4")->setText("12.5");
    QTest::mouseClick(Child<QPushButton>(dialog, "BitBtn1"), Qt::LeftButton);
  });
  Form->SetOptions->trigger();
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  const Strings sent =
      Exchange([&] { QTest::keyClick(Form.get(), Qt::Key_4, Qt::ControlModifier); });
  EXPECT_EQ(sent, (Strings{"w61 12.50", "r61", "w62 12.50", "r62"}));
}

// ---------------------------------------------------------------- the frame's hot keys

TEST_F(MainWindowTest, FrameHotKeysOpenTheirWindows) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  struct TKey {
    QKeyCombination Key;
    const char* Window;  // the modal window that opens, or "" for the window closing
  } keys[] = {{Qt::CTRL | Qt::Key_O, "OptionFrm"},
              {QKeyCombination(Qt::Key_F1), "AboutBox"},
              {Qt::ALT | Qt::Key_X, ""}};
  for (const TKey& k : keys) {
    SCOPED_TRACE(k.Window);
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    // The box closed before may still be the application's active window for a moment; a hot
    // key pressed then goes nowhere.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == Form.get(); }, Bound));
    QString opened;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        opened = modal->objectName();
        modal->reject();
      }
    });
    watch.start();
    QTest::keyClick(Form.get(), k.Key.key(), k.Key.keyboardModifiers());
    if (*k.Window) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, Bound));
      EXPECT_EQ(opened.toStdString(), k.Window);
      EXPECT_TRUE(Form->isVisible());
    } else {
      EXPECT_TRUE(QTest::qWaitFor([&] { return !Form->isVisible(); }, Bound));
    }
  }
}

// ---------------------------------------------------------------- tray and window

TEST_F(MainWindowTest, WithoutATrayMinimisingKeepsTheWindowOnTheTaskBar) {
  StartWindow({"/PORT:256"});
  Form->TrayAvailable = [] { return false; };
  ASSERT_TRUE(Form->MinimizeToTray->isChecked());  // the default
  Form->showMinimized();
  QTest::qWait(50);
  EXPECT_TRUE(Form->isMinimized());
  EXPECT_FALSE(Form->isHidden()) << "a hidden window could not be found again";
  EXPECT_FALSE(Form->TrayIcon->isVisible());
  Form->TrayIconClick();
  EXPECT_FALSE(Form->isMinimized());
}

struct TTrayCase {
  const char* Name;
  bool MinimizeToTray;
  bool ShowTrayIcon;
  bool HiddenWhenMinimised;
  bool IconWhenMinimised;
};

void PrintTo(const TTrayCase& c, std::ostream* os) {
  *os << c.Name;
}

class TrayTest : public MainWindowTest, public ::testing::WithParamInterface<TTrayCase> {};

TEST_P(TrayTest, MinimiseAndRestoreByTheIcon) {
  const TTrayCase& c = GetParam();
  std::string settings = "[TrayIcon]\nMinimizeToTray=" + std::to_string(c.MinimizeToTray) +
                         "\nShowTrayIcon=" + std::to_string(c.ShowTrayIcon) + "\n";
  StartWindow({"/PORT:256"}, settings);
  Form->TrayAvailable = [] { return true; };
  EXPECT_EQ(Form->TrayIcon->isVisible(), c.ShowTrayIcon);
  // A click on the icon while the window is open minimises it (and hides it in the tray).
  Form->TrayIconClick();
  EXPECT_TRUE(Form->isMinimized());
  EXPECT_TRUE(QTest::qWaitFor([&] { return Form->isHidden() == c.HiddenWhenMinimised; }, 1000));
  QTest::qWait(20);
  EXPECT_EQ(Form->isHidden(), c.HiddenWhenMinimised);
  EXPECT_EQ(Form->TrayIcon->isVisible(), c.IconWhenMinimised);
  // A click on the icon brings it back; an icon shown only for the hidden window goes.
  Form->TrayIconClick();
  EXPECT_FALSE(Form->isMinimized());
  EXPECT_FALSE(Form->isHidden());
  EXPECT_EQ(Form->TrayIcon->isVisible(), c.ShowTrayIcon);
  EXPECT_FALSE(Form->SettingsChanged());
}

INSTANTIATE_TEST_SUITE_P(Tray, TrayTest,
                         ::testing::Values(TTrayCase{"ToTrayNoIcon", true, false, true, true},
                                           TTrayCase{"ToTrayWithIcon", true, true, true, true},
                                           TTrayCase{"TaskBarWithIcon", false, true, false, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MainWindowTest, TrayMenuActionsAreRememberedAtExit) {
  StartWindow({"/PORT:256"});
  Form->ShowTrayIcon->trigger();
  EXPECT_TRUE(Form->TrayIcon->isVisible());
  EXPECT_TRUE(Form->SettingsChanged());
  Form->MinimizeToTray->trigger();
  EXPECT_FALSE(Form->MinimizeToTray->isChecked());
  const std::string ini = IniAfterExit();
  EXPECT_NE(ini.find("MinimizeToTray=0\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ShowTrayIcon=1\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Port=256\n"), std::string::npos) << ini;
}

TEST_F(MainWindowTest, DoubleClickOnTheTraySwitchesTheLaserOff) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Exchange([&] { Form->TrayIconDblClick(); }), (Strings{"w60 0", "r60"}));
  TOptions o = Form->Options();
  o.DoubleClickOff = false;
  Form->ApplyOptions(o);
  EXPECT_EQ(Exchange([&] { Form->TrayIconDblClick(); }), Strings{});
  // Not ready: nothing either.
  o.DoubleClickOff = true;
  Form->ApplyOptions(o);
  Form->ConnectLaser->trigger();
  ASSERT_FALSE(Form->Laser().Connected());
  Form->TrayIconDblClick();
  EXPECT_FALSE(Form->Laser().Connected());
}

// ---------------------------------------------------------------- the console's action

TEST_F(MainWindowTest, ConsoleOnlyWhileALaserIsReady) {
  StartSim();
  StartWindow({"/PORT:1"}, "[General]\nAutoUpdate=1\nUpdateInterval=700\n");
  // Before the laser is ready neither the action nor its hot key does anything.
  ASSERT_FALSE(Form->Detection().LaserReady());
  EXPECT_FALSE(Form->ShowAdvanced->isEnabled());
  Form->activateWindow();
  QTest::keyClick(Form.get(), Qt::Key_D, Qt::ControlModifier);
  EXPECT_FALSE(Form->Console().Shown());
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Form->ShowAdvanced->isEnabled());
  ASSERT_TRUE(Form->Timer1().isActive());

  QTest::keyClick(Form.get(), Qt::Key_D, Qt::ControlModifier);
  ASSERT_TRUE(Form->Console().Shown());
  EXPECT_TRUE(Form->ShowAdvanced->isChecked());
  EXPECT_TRUE(Form->AdvancedPanel->isVisible());
  EXPECT_FALSE(Form->Timer1().isActive()) << "no periodic reads under the console";
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return QApplication::focusWidget() &&
               QApplication::focusWidget()->objectName() == QStringLiteral("CmdBox");
      },
      Bound));
  EXPECT_TRUE(static_cast<bool>(Form->Laser().OnReceive));

  QTest::keyClick(Form.get(), Qt::Key_D, Qt::ControlModifier);
  EXPECT_FALSE(Form->Console().Shown());
  EXPECT_FALSE(Form->AdvancedPanel->isVisible());
  EXPECT_FALSE(static_cast<bool>(Form->Laser().OnReceive));
  EXPECT_TRUE(Form->Timer1().isActive());
  EXPECT_EQ(Form->Timer1().interval(), 700);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return QApplication::focusWidget() &&
               QApplication::focusWidget()->objectName() == QStringLiteral("Current1");
      },
      Bound));

  // Closing the connection hides the console and unchecks the action.
  Form->ShowAdvanced->trigger();
  ASSERT_TRUE(Form->Console().Shown());
  Form->ConnectLaser->trigger();
  EXPECT_FALSE(Form->Console().Shown());
  EXPECT_FALSE(Form->ShowAdvanced->isChecked());
  EXPECT_FALSE(Form->ShowAdvanced->isEnabled());
}

// The entry boxes claim some Ctrl keys of their own (Ctrl+D deletes a character on X11); the
// window's hot keys must still work while the operator is typing a value.
TEST_F(MainWindowTest, HotKeysWorkWhileAnEntryBoxHasTheFocus) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  for (const char* name : {"Frequency", "Current1"}) {
    QWidget* box = In<QWidget>(Form.get(), name);
    ASSERT_NE(box, nullptr);
    QWidget* target = box->findChild<QLineEdit*>() ? box->findChild<QLineEdit*>() : box;
    ASSERT_FALSE(Form->Console().Shown()) << name;
    QTest::keyClick(target, Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(Form->Console().Shown()) << name;
    Form->ShowAdvanced->trigger();
  }
}

TEST_F(MainWindowTest, RefreshSwitchedOnUnderTheConsoleStartsWhenItCloses) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->ShowAdvanced->trigger();
  ASSERT_TRUE(Form->Console().Shown());
  TOptions o = Form->Options();
  o.AutoUpdate = true;
  o.UpdateInterval = 1500;
  Form->ApplyOptions(o);
  EXPECT_FALSE(Form->Timer1().isActive()) << "no periodic reads under the console";
  Form->ShowAdvanced->trigger();
  EXPECT_TRUE(Form->Timer1().isActive());
  EXPECT_EQ(Form->Timer1().interval(), 1500);
}

// ---------------------------------------------------------------- log window, fatal error

TEST_F(MainWindowTest, ClearInTheLogWindowEmptiesTheConnectionLog) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  ASSERT_FALSE(Form->ConnectionLog().empty());
  const std::string first = Form->ConnectionLog().front();
  QString shown;
  WhenShown(Form->LogForm, [&] {
    shown = Form->LogForm->LogMemo()->toPlainText();
    QTest::mouseClick(In<QPushButton>(Form->LogForm, "ClearLogs"), Qt::LeftButton);
    QTest::mouseClick(In<QPushButton>(Form->LogForm, "BitBtn2"), Qt::LeftButton);
  });
  Form->ShowLog->trigger();
  EXPECT_TRUE(shown.startsWith(QString::fromStdString(first)));
  EXPECT_TRUE(Form->ConnectionLog().empty());
  EXPECT_FALSE(Form->LogForm->isVisible());
}

TEST_F(MainWindowTest, FailedWorkerClosesTheProgramWithItsMessageAndSavesTheSettings) {
  StartSim();
  StartWindow();
  ASSERT_TRUE(WaitReady());
  Form->MinimizeToTray->trigger();  // something for the exit step to write
  TBoxCloser boxes;
  TLaser& laser = Form->Laser();
  ASSERT_TRUE(laser.OnMointorError);
  laser.OnMointorError(&laser, "Thread Error occured in TInputMonitor");
  EXPECT_EQ(boxes.Captions, Strings{"Error"});
  EXPECT_EQ(boxes.Texts,
            Strings{"Thread Error occured in TInputMonitor\n\nThe program will be closed "
                    "automatically."});
  EXPECT_FALSE(Form->isVisible());
  const std::string ini = IniAfterExit();
  EXPECT_NE(ini.find("MinimizeToTray=0\n"), std::string::npos) << ini;
}

}  // namespace
