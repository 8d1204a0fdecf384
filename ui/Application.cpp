#include "ui/Application.h"

#include <QMessageBox>
#include <QWidget>

TLaserApplication::TLaserApplication(int& argc, char** argv) : QApplication(argc, argv) {}

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
