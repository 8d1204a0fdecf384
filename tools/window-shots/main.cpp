// window-shots FOLDER: writes a PNG of every window and of each layout of the main window (one
// per simulated laser model) into FOLDER, on Qt's offscreen platform unless QT_QPA_PLATFORM or
// -platform names another. Prints each file it writes; exits with 1 when a picture could not be
// made.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPixmap>
#include <QTabWidget>
#include <QTime>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "sim/SimServer.h"
#include "ui/AboutFrm.h"
#include "ui/Application.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/ConsolePanel.h"
#include "ui/MainForm.h"
#include "ui/SetOption.h"
#include "ui/Waiting.h"

namespace {

namespace fs = std::filesystem;

QString g_folder;
bool g_failed = false;

// Runs the event loop until Done holds or TimeoutMs has passed.
bool WaitFor(const std::function<bool()>& Done, int TimeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!Done()) {
    if (timer.elapsed() >= TimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

void Settle(int Ms) {
  WaitFor([] { return false; }, Ms);
}

void Shot(QWidget* W, const QString& Name) {
  W->show();
  Settle(150);  // let the window manager and the style paint
  const QString path = g_folder + "/" + Name + ".png";
  if (W->grab().save(path)) {
    std::printf("%s\n", qPrintable(path));
  } else {
    std::fprintf(stderr, "window-shots: cannot write %s\n", qPrintable(path));
    g_failed = true;
  }
}

// A folder for the simulator's COM entry and the window's settings file, removed at the end.
class TScratch {
 public:
  TScratch() {
    char pattern[] = "/tmp/window-shots-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made) FPath = made;
  }
  ~TScratch() {
    std::error_code ec;
    if (!FPath.empty()) fs::remove_all(FPath, ec);
  }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
};

// The main window on COM1 against a simulated laser of Model (none: nothing answers), after
// detection has finished and the cover has slid away.
void MainWindowShot(const std::string& Model, bool Advanced, const QString& Name) {
  TScratch scratch;
  if (scratch.Path().empty()) {
    std::fprintf(stderr, "window-shots: no temporary folder for %s\n", qPrintable(Name));
    g_failed = true;
    return;
  }
  ::setenv("LASER_COM_DIR", scratch.Path().c_str(), 1);
  std::unique_ptr<sim::SimServer> laser;
  if (!Model.empty()) {
    sim::Options options;
    options.model = Model;
    laser = std::make_unique<sim::SimServer>(options);
    if (!laser->Start((scratch.Path() / "COM1").string())) {
      std::fprintf(stderr, "window-shots: the simulator did not start for %s\n", qPrintable(Name));
      g_failed = true;
      return;
    }
  }
  const fs::path ini = scratch.Path() / "QNLaserControl.ini";
  std::ofstream(ini) << "[General]\nAutoUpdate=0\n";

  TQNLaserControlMainForm form;
  TQNLaserControlMainForm::TStartup startup;
  startup.SettingsFile = ini;
  startup.ExeFolder = scratch.Path();
  startup.Params = {"/PORT:1"};
  Guarded([&] { form.FormCreate(startup); });
  Guarded([&] { form.CreateDialogs(); });
  form.show();
  form.FormShow();
  if (laser) {
    const bool ready = WaitFor([&] { return form.Detection().LaserReady(); }, 15000) &&
                       WaitFor([&] { return form.Laser().QueueCount() == 0; }, 15000);
    if (!ready) {
      std::fprintf(stderr, "window-shots: the %s laser was not ready in time\n", Model.c_str());
      g_failed = true;
      return;
    }
  }
  if (Advanced) form.ShowAdvancedExecute(true);
  Settle(600);  // the cover's slide and the last values
  Shot(&form, Name);
}

void MainWindowShots() {
  MainWindowShot("qt2", false, "main-qt2");
  MainWindowShot("qt2c", false, "main-qt2c");
  MainWindowShot("qt1", false, "main-qt1");
  MainWindowShot("ze", false, "main-ze");
  MainWindowShot("qt2", true, "main-qt2-console");
  MainWindowShot("", false, "main-disconnected");
}

void DialogShots() {
  TOptionFrm options;
  TOptions o;
  o.Port = 5;
  o.UpdateInterval = 1000;
  o.PresetCurrents = {"10.00", "12.50", "15", "0", "0", "0", "0", "0", "0"};
  options.LoadFromOptions(o);
  TRemoteSettings remote;
  remote.Enabled = true;
  options.LoadRemote(remote, "Listening on port 5025 of this computer: 1 client connected");
  auto* pages = options.findChild<QTabWidget*>("PageControl1");
  for (int i = 0; i < pages->count(); ++i) {
    pages->setCurrentIndex(i);
    Shot(&options, QString("options-%1").arg(i + 1));
  }
  options.hide();

  std::vector<std::string> log = {"Open COM5: OK", "Serial number 1234", "r61: 10.00 A",
                                  "r62: 12.50 A", "Command set QT, two branches"};
  TLogForm logForm;
  logForm.SetLog(log);
  Shot(&logForm, "log");
  QTimer::singleShot(0, [] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      Shot(modal, "log-save");
      if (auto* d = qobject_cast<QFileDialog*>(modal)) d->reject();
    }
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

bool NamesPlatform(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0) return true;
  }
  return qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!NamesPlatform(argc, argv)) qputenv("QT_QPA_PLATFORM", "offscreen");
  TLaserApplication app(argc, argv);  // takes Qt's own options (-platform) out of argv
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  TQNLaserControlMainForm::SetApplicationTitle(QStringLiteral("Laser Control"));
  const QStringList args = QApplication::arguments();
  if (args.size() != 2 || args[1].startsWith('-')) {
    std::fprintf(stderr,
                 "usage: window-shots FOLDER\n"
                 "Writes a PNG of every window and main-window layout into FOLDER (made if need "
                 "be), on Qt's offscreen platform unless QT_QPA_PLATFORM or -platform says "
                 "otherwise.\n");
    return 2;
  }
  g_folder = QDir(args[1]).absolutePath();
  if (!QDir().mkpath(g_folder)) {
    std::fprintf(stderr, "window-shots: cannot make %s\n", qPrintable(g_folder));
    return 1;
  }
  MainWindowShots();
  DialogShots();
  return g_failed ? 1 : 0;
}
