#pragma once
// The main() of the benchmarks that run the controller against the
// messaging library of this build tree.

#include <QApplication>

#include <benchmark/benchmark.h>
#include <functional>

#include "app/exception_hook.h"

// Runs the registered benchmarks inside a QApplication on the offscreen
// platform; atEnd frees what they shared while the application still exists.
inline int RunControllerBenchmarks(int argc, char** argv, const std::function<void()>& atEnd) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("LINTROVE_COMMON_FILES_DIR")) qputenv("LINTROVE_COMMON_FILES_DIR", LINTROVE_BUILD_LIB);
  EnableExceptionTracking();
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  atEnd();
  return 0;
}
