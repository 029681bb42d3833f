#pragma once
// main() for tests that need a Qt application object. Tests run headless:
// ctest sets the offscreen platform, and so does this when ctest lists the
// tests (the listing runs without the tests' environment).

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <type_traits>
#include <gtest/gtest.h>

#include "app/exception_hook.h"

// With `failOnMessageBox`, a message box that opens during a test is closed
// and fails the test, instead of waiting for a click that never comes.
template <typename App = QApplication>
int RunTests(int argc, char** argv, bool failOnMessageBox = false) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  EnableExceptionTracking();
  App app(argc, argv);
  QTimer watchdog;
  if constexpr (std::is_base_of_v<QApplication, App>) {
    if (failOnMessageBox) {
      QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          ADD_FAILURE() << "unexpected message box: " << box->text().toStdString();
          box->reject();
        }
      });
      watchdog.start(50);
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
