#include "standin/store/smtp_client.h"

#include "standin/store/store_error.h"

#include <curl/curl.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vasnik {

namespace {

void EnsureCurl() {
  // Not thread-safe in older libcurl versions, hence once; never cleaned up,
  // since other code in the process may use libcurl too.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Upload {
  const QByteArray* data = nullptr;
  qsizetype position = 0;
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* userdata) {
  auto* upload = static_cast<Upload*>(userdata);
  const qsizetype left = upload->data->size() - upload->position;
  const size_t chunk = std::min<size_t>(size * count, size_t(left));
  std::memcpy(buffer, upload->data->constData() + upload->position, chunk);
  upload->position += qsizetype(chunk);
  return chunk;
}

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

QByteArray Angled(const QString& address) { return '<' + address.trimmed().toUtf8() + '>'; }

// Answers the server gave to the mail itself (envelope or data): the
// connection works, this mail was not taken.
bool IsRefusal(CURLcode result, long responseCode) {
  const bool protocolStep = result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR ||
                            result == CURLE_WEIRD_SERVER_REPLY;
  return protocolStep && responseCode >= 400 && responseCode < 600;
}

// A non-zero answer makes libcurl give up the transfer.
int AbortRequested(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* abort = static_cast<const std::atomic<bool>*>(flag);
  return abort && abort->load() ? 1 : 0;
}

}  // namespace

int SmtpServer::EffectivePort() const {
  if (port > 0) return port;
  switch (security) {
    case SmtpSecurity::kStartTls:
      return 587;
    case SmtpSecurity::kSmtps:
      return 465;
    case SmtpSecurity::kNone:
      break;
  }
  return 25;
}

QString SmtpServer::Url() const {
  const QString scheme =
      security == SmtpSecurity::kSmtps ? QStringLiteral("smtps") : QStringLiteral("smtp");
  const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
  return QStringLiteral("%1://%2:%3").arg(scheme, shownHost).arg(EffectivePort());
}

QString ReadPasswordFile(const QString& path) {
  const QByteArray encoded = QFile::encodeName(path);
  struct stat info {};
  if (::stat(encoded.constData(), &info) != 0)
    throw StoreError(QStringLiteral("the password file %1 cannot be used: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
  if (!S_ISREG(info.st_mode))
    throw StoreError(QStringLiteral("the password file %1 is not a regular file").arg(path));
  if (info.st_uid != ::getuid())
    throw StoreError(QStringLiteral("the password file %1 belongs to another user; it must be "
                                    "yours and readable by you only")
                         .arg(path));
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    throw StoreError(QStringLiteral("the password file %1 is refused: others may read or change "
                                    "it (mode %2); allow its owner only (chmod 600)")
                         .arg(path)
                         .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw StoreError(QStringLiteral("the password file %1 cannot be read: %2").arg(path, file.errorString()));
  QByteArray line = file.readLine();
  while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
  return QString::fromUtf8(line);
}

SmtpClient::SmtpClient(SmtpServer server) : server_(std::move(server)) {
  if (server_.host.trimmed().isEmpty())
    throw StoreError(QStringLiteral("no SMTP server is configured ([SMTP] Host in profile.ini)"));
  if (!server_.user.isEmpty() && !server_.passwordFile.isEmpty())
    password_ = ReadPasswordFile(server_.passwordFile).toUtf8();
  EnsureCurl();
  curl_ = curl_easy_init();
  if (!curl_) throw StoreError(QStringLiteral("libcurl could not be initialised"));
}

SmtpClient::~SmtpClient() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
  // The password does not linger in freed memory.
  std::fill(password_.begin(), password_.end(), '\0');
}

SmtpClient::Outcome SmtpClient::Submit(const QString& sender, const QStringList& recipients,
                                       const QByteArray& data) {
  CURL* curl = static_cast<CURL*>(curl_);

  std::unique_ptr<curl_slist, SlistFree> rcpt;
  for (const QString& recipient : recipients) {
    curl_slist* grown = curl_slist_append(rcpt.get(), Angled(recipient).constData());
    if (!grown) return {Outcome::kFailed, QStringLiteral("out of memory")};
    (void)rcpt.release();
    rcpt.reset(grown);
  }
  Upload upload{&data, 0};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const QByteArray url = server_.Url().toUtf8();
  const QByteArray from = Angled(sender);
  const QByteArray user = server_.user.toUtf8();
  const QByteArray caFile = QFile::encodeName(server_.caFile);

  curl_easy_setopt(curl, CURLOPT_URL, url.constData());
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadChunk);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(data.size()));
  // The data is CR LF already; converting again would give CR CR LF.
  curl_easy_setopt(curl, CURLOPT_CRLF, 0L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(std::max(1, server_.connectTimeoutSeconds)));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(std::max(1, server_.timeoutSeconds)));
  // The process has threads and its own signal handling: no SIGALRM for
  // name look-ups (Debian's libcurl resolves in a thread anyway).
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  // libcurl calls this about once a second even while nothing moves, which
  // is what lets a shutdown cut a stalled transfer short.
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &AbortRequested);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(abort_));
  if (server_.security == SmtpSecurity::kStartTls)
    curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
  if (!server_.caFile.isEmpty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
  if (!server_.user.isEmpty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.constData());
  }

  const CURLcode result = curl_easy_perform(curl);
  long responseCode = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseCode);
  // The handle must not point at this frame's buffers any longer (closing
  // the connection later may write an error text).
  curl_easy_reset(curl);
  if (result == CURLE_OK) return {Outcome::kDelivered, {}};
  QString detail = QString::fromUtf8(errorBuffer).trimmed();
  if (detail.isEmpty()) detail = QString::fromUtf8(curl_easy_strerror(result));
  const Outcome::Kind kind = IsRefusal(result, responseCode) ? Outcome::kRefused : Outcome::kFailed;
  return {kind, QStringLiteral("%1: %2").arg(server_.Url(), detail)};
}

}  // namespace vasnik
