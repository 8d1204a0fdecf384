// Window tests: closes every message box that appears, remembering its caption and text.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <string>
#include <vector>

namespace test {

class TBoxCloser {
 public:
  TBoxCloser() {
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      Captions.push_back(box->windowTitle().toStdString());
      Texts.push_back(box->text().toStdString());
      box->done(QMessageBox::Ok);
    });
    FTimer.start();
  }
  std::vector<std::string> Captions;
  std::vector<std::string> Texts;

 private:
  QTimer FTimer;
};

}  // namespace test
