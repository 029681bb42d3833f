#include "app/application.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/about_form.h"
#include "app/background_form.h"
#include "app/exception_hook.h"
#include "app/main_form.h"
#include "app/product.h"

LintroveApplication::LintroveApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool LintroveApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    if (handler_) handler_(&e);
  } catch (...) {
    if (handler_) handler_(nullptr);
  }
  return false;
}

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  // Only async-signal-safe work here; the loop does the rest.
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

void InstallTerminationHandler(std::function<void()> onSignal) {
  if (g_signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal = std::move(onSignal)] {
    char byte;
    [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &byte, 1);
    onSignal();
  });
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

int RunApplication(int argc, char** argv) {
  // Before any window: exception tracking with capture of handler frames.
  EnableExceptionTracking();

  LintroveApplication app(argc, argv);
  app.setApplicationName(product::kAppName);
  app.setApplicationDisplayName(product::kAppName);
  app.setApplicationVersion(product::Version());
  app.setQuitOnLastWindowClosed(false);

  // A signal that comes during start-up waits in the handler's socket and is
  // acted on once the message loop runs.
  TMainForm* controller = nullptr;
  InstallTerminationHandler([&controller] {
    if (controller) controller->Trap([controller] { controller->Exit1Click(); });
  });

  TBackgroundForm background;
  TMainForm mainForm(app.arguments());
  controller = &mainForm;
  if (mainForm.IsSecondInstance()) return 0;
  mainForm.SetBackgroundForm(&background);
  app.SetExceptionHandler([&mainForm](const std::exception* e) { mainForm.aAppEventsException(e); });

  TAboutForm about(
      [&mainForm] {
        return TAboutForm::ReportSource{mainForm.AppName, mainForm.OfficeVersion,
                                        mainForm.DataDir + QStringLiteral("/error.log"),
                                        mainForm.DataDir + QStringLiteral("/config.xml")};
      },
      &mainForm);
  mainForm.SetAboutForm(&about);
  if (mainForm.Terminated()) return 1;

  const int code = app.exec();
  app.SetExceptionHandler(nullptr);
  controller = nullptr;
  return code;
}
