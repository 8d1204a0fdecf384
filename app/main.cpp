// Laser Control: the main window first, then its dialogs, then the event loop; the settings are
// written back on the way out.
#include <QLocale>
#include <clocale>
#include <string>
#include <vector>

#include "ui/Application.h"
#include "ui/MainForm.h"
#include "ui/Settings.h"

int main(int argc, char** argv) {
  TLaserApplication app(argc, argv);
  // "." as the decimal separator whatever the locale (QApplication has just set the C library's
  // numeric locale from the environment).
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  QApplication::setApplicationName(QStringLiteral("QNLaserControl"));
  TQNLaserControlMainForm::SetApplicationTitle(QStringLiteral("Laser Control"));
  // The program ends when the main window closes (its closeEvent quits), not when the last
  // visible window goes: hidden in the tray, the main window is not visible.
  QApplication::setQuitOnLastWindowClosed(false);

  const std::filesystem::path exe = ExecutablePath(argv[0]);
  TQNLaserControlMainForm::TStartup startup;
  startup.SettingsFile = SettingsPathFor(exe);
  startup.ExeFolder = exe.parent_path();
  for (int i = 1; i < argc; ++i) startup.Params.emplace_back(argv[i]);

  int rc = 0;
  {
    TQNLaserControlMainForm form;
    Guarded([&] { form.FormCreate(startup); });
    Guarded([&] { form.CreateDialogs(); });
    form.show();
    form.FormShow();
    rc = app.exec();
    Guarded([&] { form.FormDestroy(); });
  }
  return rc;
}
