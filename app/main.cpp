// Laser Control: the main window first, then its dialogs, then the event loop; the settings are
// written back on the way out.
#include <QStandardPaths>
#include <string>
#include <vector>

#include "logic/Settings.h"
#include "logic/SettingsLocation.h"
#include "ui/Application.h"
#include "ui/MainForm.h"

int main(int argc, char** argv) {
  TLaserApplication app(argc, argv);  // "." decimals from here on, whatever the locale
  QApplication::setOrganizationName(QStringLiteral("Corvane"));
  QApplication::setApplicationName(QStringLiteral("QNLaserControl"));
  // The desktop entry an installed program comes with: its icon and name in task bars.
  QGuiApplication::setDesktopFileName(QStringLiteral("QNLaserControl"));
  TQNLaserControlMainForm::SetApplicationTitle(QStringLiteral("Laser Control"));
  // The program ends when the main window closes (its closeEvent quits), not when the last
  // visible window goes: hidden in the tray, the main window is not visible.
  QApplication::setQuitOnLastWindowClosed(false);

  const std::filesystem::path exe = ExecutablePath(argv[0]);
  TQNLaserControlMainForm::TStartup startup;
  // The user's own folder where the program cannot keep its settings beside itself:
  // ~/.config/Corvane/QNLaserControl; on Windows %APPDATA%\Corvane\QNLaserControl.
#ifdef _WIN32
  const auto userLocation = QStandardPaths::AppDataLocation;
#else
  const auto userLocation = QStandardPaths::AppConfigLocation;
#endif
  const QString userFolder = QStandardPaths::writableLocation(userLocation);
  startup.SettingsFile = SettingsFileFor(exe, std::filesystem::path(userFolder.toStdU16String()));
  startup.ExeFolder = startup.SettingsFile.parent_path();
  for (int i = 1; i < argc; ++i) startup.Params.emplace_back(argv[i]);

  int rc = 0;
  {
    TQNLaserControlMainForm form;
    Guarded([&] { form.FormCreate(startup); });
    Guarded([&] { form.CreateDialogs(); });
    form.WatchExitSignals();
    form.show();
    form.FormShow();
    rc = app.exec();
    Guarded([&] { form.FormDestroy(); });
  }
  return rc;
}
