#pragma once
// Test helper: runs the event loop until a condition holds or time is up.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}
