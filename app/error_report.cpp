#include "app/error_report.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include "app/product.h"

namespace {

constexpr int kClientTimeoutMs = 60000;

// xdg-email's documented exit codes.
QString DescribeExitCode(int code) {
  switch (code) {
    case 1: return QStringLiteral("Error in command line syntax");
    case 2: return QStringLiteral("One of the files passed on the command line did not exist");
    case 3: return QStringLiteral("A required tool could not be found");
    case 4: return QStringLiteral("The action failed");
    case 5: return QStringLiteral("No permission to read one of the files passed on the command line");
    default: return QStringLiteral("Unknown error");
  }
}

[[noreturn]] void Fail(int code, const QString& description) {
  throw MailClientError(QStringLiteral("MAPI Error: (%1) \"%2\"").arg(code).arg(description).toStdString());
}

}  // namespace

ErrorReport BuildErrorReport(const QString& appName, const QString& version, const QString& productName,
                             const QString& officeVersion, const QString& logPath, const QString& configPath) {
  ErrorReport report;
  report.recipient = product::kSupportAddress;
  report.subject = appName + u' ' + version + QStringLiteral(" support request");
  report.body = QStringLiteral("Please describe your problem here.\r\n\r\nWindows version: ") + productName +
                QStringLiteral("\r\nOffice version: ") + officeVersion;
  if (QFileInfo::exists(logPath)) report.attachments << logPath;
  if (QFileInfo::exists(configPath)) report.attachments << configPath;
  return report;
}

void SendWithMailClient(const ErrorReport& report) {
  const QString client = QStandardPaths::findExecutable(QStringLiteral("xdg-email"));
  if (client.isEmpty())
    throw MailClientError("No Simple MAPI client installed, cannot send the message");
  QStringList args{QStringLiteral("--utf8"), QStringLiteral("--subject"), report.subject,
                   QStringLiteral("--body"), report.body};
  for (const QString& file : report.attachments) args << QStringLiteral("--attach") << file;
  args << report.recipient;
  QProcess process;
  // xdg-email returns once the mail client has the message. Meanwhile the
  // message loop keeps running, so timers and store events go on.
  QEventLoop loop;
  QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
  QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
  QTimer::singleShot(kClientTimeoutMs, &loop, &QEventLoop::quit);
  process.start(client, args);
  if (!process.waitForStarted()) Fail(3, process.errorString());
  if (process.state() != QProcess::NotRunning) loop.exec();
  if (process.state() != QProcess::NotRunning) {
    process.kill();
    process.waitForFinished();
    Fail(4, QStringLiteral("The mail client did not answer"));
  }
  if (process.exitStatus() != QProcess::NormalExit) Fail(4, QStringLiteral("The mail client crashed"));
  if (process.exitCode() != 0) Fail(process.exitCode(), DescribeExitCode(process.exitCode()));
}
