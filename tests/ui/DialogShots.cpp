// Not a test: pictures of every dialog for a look by eye. Run with
//   QT_QPA_PLATFORM=xcb DISPLAY=:98 ui_dialog_tests --gtest_also_run_disabled_tests
//   --gtest_filter='*Shots*'
// The PNGs go to $DIALOG_SHOTS (default /tmp/dialog-shots).
#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QTabWidget>
#include <QTest>

#include "DialogTestUtil.h"
#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "ui/AboutFrm.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/ConsolePanel.h"
#include "ui/SetOption.h"
#include "ui/Waiting.h"

namespace {

QString ShotDir() {
  const QString dir = qEnvironmentVariableIsSet("DIALOG_SHOTS")
                          ? qEnvironmentVariable("DIALOG_SHOTS")
                          : QString("/tmp/dialog-shots");
  QDir().mkpath(dir);
  return dir;
}

void Shot(QWidget* w, const QString& name) {
  w->show();
  QTest::qWait(150);  // let the window manager and the style paint
  const QPixmap pixmap = w->grab();
  EXPECT_TRUE(pixmap.save(ShotDir() + "/" + name + ".png")) << name.toStdString();
}

TEST(DialogShots, DISABLED_All) {
  TOptionFrm options;
  TOptions o;
  o.Port = 5;
  o.UpdateInterval = 1000;
  o.PresetCurrents = {"10.00", "12.50", "15", "0", "0", "0", "0", "0", "0"};
  options.LoadFromOptions(o);
  auto* pages = options.findChild<QTabWidget*>("PageControl1");
  for (int i = 0; i < 3; ++i) {
    pages->setCurrentIndex(i);
    Shot(&options, QString("options-%1").arg(i + 1));
  }
  options.hide();

  std::vector<std::string> log = {"Open COM5: OK", "Serial number 1234", "r61: 10.00 A",
                                  "r62: 12.50 A", "Command set QT, two branches"};
  TLogForm logForm;
  logForm.SetLog(log);
  Shot(&logForm, "log");
  test::OnNextModal([](QWidget* w) {
    Shot(w, "log-save");
    if (auto* d = qobject_cast<QFileDialog*>(w)) d->reject();
  });
  logForm.SaveLogsClick();
  logForm.hide();

  TWaitingBox box;
  box.Label1()->setText("Please wait for clearing laser error");
  Shot(&box, "waiting");
  box.hide();

  TAboutForm about;
  Shot(&about, "about");
  about.hide();

  TLaser laser;
  TExplanationList explanations;
  explanations.LoadQTExplanations();
  TConsolePanel panel(laser, explanations);
  panel.resize(479, 218);
  panel.findChild<QListWidget*>("CmdHistory")->addItems({"r01", "r61", "r90"});
  panel.findChild<QLineEdit*>("CmdBox")->setText("w62 12.5");
  panel.ShowConsole();
  panel.LaserReceive(&laser, "");
  for (const char* sent : {"r01", "r61"}) {
    panel.findChild<QLineEdit*>("CmdBox")->setText(sent);
    panel.SendCmdClick();
    panel.LaserReceive(&laser, std::string(sent) == "r01" ? "S/N: 1234.000\r\n" : "10.00 A\r\n");
  }
  Shot(&panel, "console");
  QGroupBox* system = panel.SystemGroup();
  system->setParent(nullptr);
  system->resize(336, 76);  // its place in the main window
  panel.Clock = [] { return QTime(14, 3, 7); };
  panel.GetErrorClick();
  panel.LaserLaserError(&laser, 93);
  panel.LaserLaserError(&laser, 5);
  Shot(system, "system");
  system->setParent(&panel);
}

}  // namespace
