#pragma once
// The error report: a mail to support with the log and the configuration,
// handed to the system's mail client with its compose window shown.

#include <QString>
#include <QStringList>
#include <stdexcept>

struct ErrorReport {
  QString recipient;
  QString subject;
  QString body;
  QStringList attachments;  // full paths, in order
};

// Subject, body and attachments as the About window sends them. A file that
// does not exist is not attached.
ErrorReport BuildErrorReport(const QString& appName, const QString& version, const QString& productName,
                             const QString& officeVersion, const QString& logPath, const QString& configPath);

// Raised when the mail client is missing or fails; carries the user-facing text.
class MailClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Opens the compose window of the system's mail client (xdg-email) with the
// report. Returns once the client has taken the message; does not wait for or
// check delivery. Throws MailClientError with
//   "No Simple MAPI client installed, cannot send the message" when there is no client,
//   "MAPI Error: (<code>) \"<description>\"" when the client reports an error.
void SendWithMailClient(const ErrorReport& report);
