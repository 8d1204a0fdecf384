// The window tests need a QApplication (ours, with the default error handler) around GoogleTest.
#include <gtest/gtest.h>

#include "ui/Application.h"

int main(int argc, char** argv) {
  // Test discovery runs this program at build time too, where ctest's environment is not set.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TLaserApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
