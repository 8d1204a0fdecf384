// The window tests need a QApplication (ours, with the default error handler) around GoogleTest.
#include <gtest/gtest.h>

#include <QLocale>
#include <clocale>
#include <cstdlib>

#include "ui/Application.h"

int main(int argc, char** argv) {
  // Test discovery runs this program at build time too, where ctest's environment is not set.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TLaserApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
