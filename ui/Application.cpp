#include "ui/Application.h"

#include <QLocale>
#include <QMessageBox>
#include <QWidget>
#include <clocale>

TLaserApplication::TLaserApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // "." as the decimal separator for every number whatever the locale, set once here: the
  // application object has just set the C library's numeric locale from the environment.
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
}

bool TLaserApplication::notify(QObject* Receiver, QEvent* Event) {
  // Our slots catch for themselves (Guarded); this is the last line for anything that still
  // comes through an event handler.
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    HandleException();
  }
  return false;
}

void TLaserApplication::HandleException() {
  std::string message;
  try {
    throw;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  ShowError(message);
}

void TLaserApplication::ShowError(const std::string& Message) {
  QWidget* owner = QApplication::activeModalWidget();
  if (!owner) owner = QApplication::activeWindow();
  try {
    QMessageBox::critical(owner, QStringLiteral("Error"), QString::fromStdString(Message));
  } catch (...) {
    // A handler that throws while the box runs its own loop has been shown already.
  }
}

void Guarded(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (...) {
    TLaserApplication::HandleException();
  }
}
