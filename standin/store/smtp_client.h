#pragma once
// SmtpClient: submits finished mails to one SMTP server through libcurl.
//
// One client stands for one run over a queue: its connection is opened with
// the first mail and reused for the next ones, and closed when the client
// goes. The mail data must already be in wire form (CR LF line ends,
// transport.h WireMail); the client sends it byte for byte — libcurl's line
// end conversion is off — and leaves only the dot-stuffing of the DATA
// phase to libcurl, which is part of the protocol.
//
// Every attempt is bounded: connecting gives up after the server's connect
// timeout, a whole mail after its transfer timeout, so a dead server costs
// the caller's thread seconds, not minutes.
//
// Contract:
// - The constructor reads the password file (ReadPasswordFile) and throws
//   StoreError when it cannot be used; nothing is sent then.
// - Submit never throws. It tells a mail the server refused (a 4xx/5xx
//   answer to MAIL FROM, RCPT TO or the data — the next mail may fare
//   better) from a failure of the connection itself (no server, TLS,
//   authentication, timeout — the next mail would fail the same way).
// - A refused recipient refuses the whole mail before its data is sent, so
//   no recipient gets a copy that the others do not get.
//
// - SetAbort: once the flag is set, the transfer in flight fails (kFailed)
//   within about a second (libcurl's progress callback), wherever it waits.
//
// REQUIRES: one thread at a time per client.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

namespace vasnik {

enum class SmtpSecurity {
  kNone,      // plain SMTP
  kStartTls,  // SMTP upgraded with STARTTLS, which is then required
  kSmtps,     // TLS from the first byte ("smtps", RFC 8314)
};

// Where and how mail of one store is submitted (profile.ini [SMTP], see
// doc/vasnik_transport.md).
struct SmtpServer {
  QString host;  // empty: no server configured
  int port = 0;  // 0: the default port of the security (25, 587, 465)
  SmtpSecurity security = SmtpSecurity::kNone;
  QString user;          // empty: no authentication
  QString passwordFile;  // absolute; empty: an empty password
  QString caFile;        // PEM certificates to trust instead of the system's
  int connectTimeoutSeconds = 5;
  int timeoutSeconds = 60;  // one mail, from connecting to the server's answer

  int EffectivePort() const;
  // "smtp://host:port" or "smtps://host:port" (an IPv6 host in brackets).
  QString Url() const;
  bool operator==(const SmtpServer& other) const = default;
};

// The first line of a password file, without its line end. Throws
// StoreError when the file is missing, cannot be read, is not a regular
// file, belongs to another user, or can be read or written by anyone but
// its owner (mode 0600 or stricter is required).
QString ReadPasswordFile(const QString& path);

class SmtpClient {
 public:
  explicit SmtpClient(SmtpServer server);
  ~SmtpClient();
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  struct Outcome {
    enum Kind { kDelivered, kRefused, kFailed } kind = kFailed;
    QString error;  // empty when delivered
  };

  // Sends data to every recipient with the given envelope sender. data:
  // the whole mail, CR LF throughout.
  Outcome Submit(const QString& sender, const QStringList& recipients, const QByteArray& data);

  const SmtpServer& Server() const { return server_; }

  // flag: outlives the client; read from the thread that calls Submit.
  void SetAbort(const std::atomic<bool>* flag) { abort_ = flag; }

 private:

  SmtpServer server_;
  QByteArray password_;
  void* curl_ = nullptr;  // CURL*, kept for connection reuse
  const std::atomic<bool>* abort_ = nullptr;
};

}  // namespace vasnik
