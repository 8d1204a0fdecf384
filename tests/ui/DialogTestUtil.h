// Helpers for driving modal windows in the dialog tests.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace test {

// Runs fn on the next modal window to come up (a message box, a file dialog), from inside its
// own loop; fn must close it.
inline void OnNextModal(std::function<void(QWidget*)> fn) {
  QTimer::singleShot(0, [fn = std::move(fn)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal) fn(modal);
  });
}

struct TSeenMessage {
  bool Seen = false;
  QString Title, Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
};

// Records and dismisses the next message box.
inline void DismissNextMessage(TSeenMessage& seen) {
  OnNextModal([&seen](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      seen = {true, box->windowTitle(), box->text(), box->icon()};
      box->accept();
    }
  });
}

}  // namespace test
