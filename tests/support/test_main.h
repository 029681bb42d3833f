#pragma once
// main() for tests that need a Qt application object. Tests run headless:
// ctest sets the offscreen platform, and so does this when ctest lists the
// tests (the listing runs without the tests' environment).

#include <QApplication>
#include <gtest/gtest.h>

#include "app/exception_hook.h"

template <typename App = QApplication>
int RunTests(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  EnableExceptionTracking();
  App app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
