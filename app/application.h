#pragma once
// Process start: the application object, the three windows in their order,
// the message loop, and an orderly exit on SIGTERM and SIGINT.

#include <QApplication>
#include <functional>

// The application object. An exception that reaches the message loop goes to
// the handler set with SetExceptionHandler (the controller's empty
// aAppEventsException) instead of ending the program.
class LintroveApplication : public QApplication {
 public:
  LintroveApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  void SetExceptionHandler(std::function<void(const std::exception*)> handler) { handler_ = std::move(handler); }

 private:
  std::function<void(const std::exception*)> handler_;
};

// Calls `onSignal` on the main thread, through the event loop, when the
// process receives SIGTERM or SIGINT. REQUIRES: a QCoreApplication exists.
void InstallTerminationHandler(std::function<void()> onSignal);

// main(): returns the process's exit code.
int RunApplication(int argc, char** argv);
