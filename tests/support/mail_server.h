#pragma once
// Test helper: a real SMTP server on 127.0.0.1 (tests/support/mail_server.py,
// Debian's aiosmtpd with a handler that delivers into Maildirs), started by
// the test that needs it and stopped by its process id.
//
//   MailServer server;
//   server.AddMailbox("peer@b.test", profileB + "/stores/personal/Inbox");
//   ASSERT_TRUE(server.Start()) << server.Error();
//   ... server.Port() ...
//   server.Stop();  // also done by the destructor
//
// Start with port 0 (the default) lets the system choose a free port, which
// the server reports on its standard output; Port() then gives it. Starting
// again after Stop reuses the port the server had, so a test can take its
// server down and bring it back where the clients expect it.
//
// The script runs under Debian's own Python (/usr/bin/python3), which has
// python3-aiosmtpd; another Python earlier on the PATH may not.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <sys/types.h>

#ifndef LINTROVE_MAIL_SERVER
#error "LINTROVE_MAIL_SERVER must name tests/support/mail_server.py"
#endif

class MailServer {
 public:
  MailServer() = default;
  ~MailServer() { Stop(); }
  MailServer(const MailServer&) = delete;
  MailServer& operator=(const MailServer&) = delete;

  static QString Python() { return QStringLiteral("/usr/bin/python3"); }
  static QString Script() { return QStringLiteral(LINTROVE_MAIL_SERVER); }

  // Set up before Start.
  void AddMailbox(const QString& address, const QString& maildir) {
    arguments_ << QStringLiteral("--mailbox") << address + u'=' + maildir;
  }
  void SetMaildirRoot(const QString& directory) {
    arguments_ << QStringLiteral("--maildir-root") << directory;
  }
  // security: "starttls" or "smtps", with a PEM certificate and key.
  void SetTls(const QString& security, const QString& certificate, const QString& key) {
    arguments_ << QStringLiteral("--security") << security << QStringLiteral("--cert") << certificate
               << QStringLiteral("--key") << key;
  }
  void RequireAuth(const QString& user, const QString& passwordFile) {
    arguments_ << QStringLiteral("--auth-user") << user << QStringLiteral("--auth-password-file")
               << passwordFile;
  }
  void SetPort(int port) { port_ = port; }

  // Starts the server and waits until it listens. False, with Error(),
  // when it did not come up in time.
  bool Start(int timeoutMs = 15000) {
    Stop();
    process_ = new QProcess();
    // Its diagnostics go to the test's own output: read by nobody, a pipe
    // would fill up and stall the server.
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->setProgram(Python());
    process_->setArguments(QStringList{Script(), QStringLiteral("--port"), QString::number(port_)} +
                           arguments_);
    process_->start();
    if (!process_->waitForStarted(timeoutMs)) return Fail(QStringLiteral("cannot start ") + Python());
    QDeadlineTimer deadline(timeoutMs);
    QByteArray output;
    while (!deadline.hasExpired()) {
      if (process_->canReadLine() || process_->waitForReadyRead(int(deadline.remainingTime()))) {
        while (process_->canReadLine()) {
          const QByteArray line = process_->readLine().trimmed();
          output += line + '\n';
          if (line.startsWith("READY ")) {
            port_ = line.mid(6).toInt();
            return port_ > 0 || Fail(QStringLiteral("bad ready line"));
          }
        }
      }
      if (process_->state() == QProcess::NotRunning) break;
    }
    return Fail(QStringLiteral("the mail server did not get ready (its errors are above): ") +
                QString::fromUtf8(output));
  }

  // Stops the server by its process id (SIGTERM, then SIGKILL), and waits
  // for it to end.
  void Stop() {
    if (!process_) return;
    const qint64 pid = process_->processId();
    if (pid > 0 && process_->state() != QProcess::NotRunning) {
      ::kill(pid_t(pid), SIGTERM);
      if (!process_->waitForFinished(5000)) {
        ::kill(pid_t(pid), SIGKILL);
        process_->waitForFinished(5000);
      }
    }
    delete process_;
    process_ = nullptr;
  }

  bool Running() const { return process_ && process_->state() == QProcess::Running; }
  int Port() const { return port_; }
  qint64 Pid() const { return process_ ? process_->processId() : 0; }
  QString Error() const { return error_; }

  // Hands a raw mail to the running server over plain SMTP, with the given
  // envelope sender and recipient (a forger's, say); true when accepted.
  bool Submit(const QString& envelopeFrom, const QString& to, const QByteArray& mail) const {
    QProcess client;
    client.start(Python(), {QStringLiteral("-c"),
                            QStringLiteral("import smtplib, sys\n"
                                           "with smtplib.SMTP('127.0.0.1', int(sys.argv[1])) as s:\n"
                                           "    s.sendmail(sys.argv[2], [sys.argv[3]], sys.stdin.buffer.read())\n"),
                            QString::number(port_), envelopeFrom, to});
    if (!client.waitForStarted(5000)) return false;
    client.write(mail);
    client.closeWriteChannel();
    return client.waitForFinished(15000) && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
  }

 private:
  bool Fail(const QString& error) {
    error_ = error;
    Stop();
    return false;
  }

  QProcess* process_ = nullptr;
  QStringList arguments_;
  int port_ = 0;
  QString error_;
};
