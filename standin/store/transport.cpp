#include "standin/store/transport.h"

#include "standin/store/constants.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder.h"
#include "standin/store/maildir.h"
#include "standin/store/mime_codec.h"
#include "standin/store/profile.h"
#include "standin/store/session.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <QSettings>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace vasnik {

namespace {

const QString kJournalName = QStringLiteral(".vasnik-submitted");
const QString kLockName = QStringLiteral(".vasnik-submit.lock");

// ---- settings ----------------------------------------------------------------------

class IniReader {
 public:
  explicit IniReader(const QString& path) : path_(path), ini_(path, QSettings::IniFormat) {}

  bool Has(const QString& key) const { return ini_.contains(key); }

  // QSettings reads an unquoted value with commas as a list; it is text here.
  QString Text(const QString& key) const {
    const QVariant value = ini_.value(key);
    if (!value.isValid()) return {};
    if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QStringLiteral(", "));
    return value.toString().trimmed();
  }

  int Integer(const QString& key, int fallback, int low, int high) const {
    const QString text = Text(key);
    if (text.isEmpty()) return fallback;
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < low || number > high)
      Bad(QStringLiteral("%1=%2 is not a number from %3 to %4").arg(key, text).arg(low).arg(high));
    return number;
  }

  SmtpSecurity Security(const QString& key) const {
    const QString text = Text(key).toLower();
    if (text.isEmpty() || text == u"none") return SmtpSecurity::kNone;
    if (text == u"starttls") return SmtpSecurity::kStartTls;
    if (text == u"smtps") return SmtpSecurity::kSmtps;
    Bad(QStringLiteral("%1=%2 is none of none, starttls, smtps").arg(key, Text(key)));
  }

  // A file name relative to the profile directory.
  QString Path(const QString& key, const QString& profileDirectory) const {
    const QString text = Text(key);
    return text.isEmpty() ? QString() : QDir::cleanPath(QDir(profileDirectory).absoluteFilePath(text));
  }

  [[noreturn]] void Bad(const QString& what) const {
    throw StoreError(QStringLiteral("the profile %1 cannot be used: %2").arg(path_, what));
  }

 private:
  QString path_;
  QSettings ini_;
};

SmtpServer ReadServer(const IniReader& ini, const QString& prefix, const QString& profileDirectory,
                      const SmtpServer& timeouts) {
  SmtpServer server;
  server.host = ini.Text(prefix + QStringLiteral("Host"));
  server.port = ini.Integer(prefix + QStringLiteral("Port"), 0, 1, 65535);
  server.security = ini.Security(prefix + QStringLiteral("Security"));
  server.user = ini.Text(prefix + QStringLiteral("User"));
  server.passwordFile = ini.Path(prefix + QStringLiteral("PasswordFile"), profileDirectory);
  server.caFile = ini.Path(prefix + QStringLiteral("CAFile"), profileDirectory);
  server.connectTimeoutSeconds = timeouts.connectTimeoutSeconds;
  server.timeoutSeconds = timeouts.timeoutSeconds;
  return server;
}

// ---- the queue on disk -----------------------------------------------------------------

// The item files of a Maildir (cur/ and new/), in file-name order, which is
// the order Send queued them in (base names begin with the time).
QStringList QueuedFiles(const QString& directory) {
  std::vector<std::pair<QString, QString>> found;  // file name, path
  for (const char* sub : {"cur", "new"}) {
    const QDir dir(directory + u'/' + QLatin1String(sub));
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
      if (maildir::IsItemFileName(name)) found.emplace_back(name, dir.filePath(name));
  }
  std::sort(found.begin(), found.end());
  QStringList paths;
  for (const auto& entry : found) paths.append(entry.second);
  return paths;
}

QSet<QString> ReadJournal(const QString& path) {
  QSet<QString> bases;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return bases;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QString base = QString::fromUtf8(line).trimmed();
    if (!base.isEmpty()) bases.insert(base);
  }
  return bases;
}

void WriteJournal(const QString& path, const QSet<QString>& bases) {
  if (bases.isEmpty()) {
    if (QFileInfo::exists(path)) files::RemoveFile(path);
    return;
  }
  QStringList sorted(bases.begin(), bases.end());
  sorted.sort();
  files::WriteFile(path, (sorted.join(u'\n') + u'\n').toUtf8());
}

QString Quoted(const QString& text) { return u'"' + text + u'"'; }

}  // namespace

// ---- settings ------------------------------------------------------------------------

const SmtpServer& TransportSettings::ForStore(const QString& section) const {
  const auto it = stores.find(section);
  return it == stores.end() ? defaults : it->second;
}

TransportSettings LoadTransportSettings(const ProfileSettings& profile) {
  const IniReader ini(profile.directory + QStringLiteral("/profile.ini"));
  TransportSettings settings;
  SmtpServer timeouts;
  timeouts.connectTimeoutSeconds = ini.Integer(QStringLiteral("SMTP/ConnectTimeoutSeconds"), 5, 1, 600);
  timeouts.timeoutSeconds = ini.Integer(QStringLiteral("SMTP/TimeoutSeconds"), 60, 1, 3600);
  settings.retrySeconds = ini.Integer(QStringLiteral("SMTP/RetrySeconds"), 60, 0, 86400);
  settings.defaults = ReadServer(ini, QStringLiteral("SMTP/"), profile.directory, timeouts);
  for (const StoreSettings& store : profile.stores) {
    const QString prefix = store.section + QStringLiteral("/SMTP");
    if (ini.Text(prefix + QStringLiteral("Host")).isEmpty()) continue;
    settings.stores[store.section] = ReadServer(ini, prefix, profile.directory, timeouts);
  }
  return settings;
}

// ---- wire form ---------------------------------------------------------------------------

QByteArray ToCrLf(const QByteArray& text) {
  QByteArray out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out.append("\r\n");
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out.append("\r\n");
    } else {
      out.append(c);
    }
  }
  if (!out.endsWith("\r\n")) out.append("\r\n");
  return out;
}

WireMail MakeWireMail(const ItemContent& queued, const QString& fallbackSender,
                      const QString& fallbackSenderName) {
  ItemContent wire = queued;
  WireMail mail;

  // Envelope: every recipient once, Bcc included; the Bcc field itself
  // never goes out.
  QSet<QString> seen;
  for (const Recipient& recipient : queued.recipients) {
    const QString address = recipient.address.trimmed();
    if (!mime::IsSmtpAddress(address))
      throw StoreError(QStringLiteral("the recipient %1 is not an e-mail address").arg(Quoted(address)));
    if (seen.contains(address.toLower())) continue;
    seen.insert(address.toLower());
    mail.recipients.append(address);
  }
  if (mail.recipients.isEmpty()) throw StoreError(QStringLiteral("the mail has no recipient"));
  std::erase_if(wire.recipients, [](const Recipient& r) { return r.type == kRecipientBcc; });

  // Local-only properties belong to the local copy.
  std::erase_if(wire.properties, [](const NamedProperty& p) { return p.localOnly; });
  std::erase_if(wire.headers, [](const std::pair<QString, QString>& header) {
    return header.first.startsWith(u"X-Vasnik-Local", Qt::CaseInsensitive) ||
           header.first.compare(u"Bcc", Qt::CaseInsensitive) == 0;
  });

  // The receiver saves an attachment under the name it was given on the
  // wire: the display name.
  for (Attachment& attachment : wire.attachments)
    if (!attachment.displayName.isEmpty()) attachment.fileName = attachment.displayName;

  if (wire.senderAddress.trimmed().isEmpty()) {
    wire.senderAddress = fallbackSender;
    if (wire.senderName.isEmpty()) wire.senderName = fallbackSenderName;
  }
  mail.sender = wire.senderAddress.trimmed();
  if (wire.Header(QStringLiteral("Date")).isEmpty())
    wire.SetHeader(QStringLiteral("Date"), mime::FormatDate(QDateTime::currentDateTime()));
  if (wire.Header(QStringLiteral("Message-ID")).isEmpty()) {
    QString domain = mail.sender.section(u'@', 1);
    if (domain.isEmpty()) domain = QStringLiteral("localhost");
    wire.SetHeader(QStringLiteral("Message-ID"),
                   u'<' + QUuid::createUuid().toString(QUuid::WithoutBraces) + u'@' + domain + u'>');
  }
  mail.data = ToCrLf(mime::Write(wire, false));
  return mail;
}

// ---- the transport -----------------------------------------------------------------------

// One run: what the UI thread prepared, what the worker reports back.
struct Transport::Run {
  struct Mail {
    QString path;
    QString base;
    QString subject;
    WireMail wire;
  };
  // One Outbox: its lock is held from the run's start to its end.
  struct Batch {
    Outbox outbox;  // UI thread only
    QString storeName;
    QString journalPath;
    QSet<QString> journal;  // the worker's while it runs
    SmtpServer server;
    std::vector<Mail> mails;
    std::unique_ptr<QLockFile> lock;
  };
  // What the worker found, applied on the UI thread in this order.
  struct Notice {
    enum Kind { kDelivered, kFailed, kLog } kind;
    int batch = 0;
    int mail = 0;
    QString text;
  };

  std::vector<Batch> batches;
  Result result;
  std::atomic<bool> abort{false};
  std::thread worker;
  std::mutex mutex;  // guards notices and done
  std::vector<Notice> notices;
  bool done = false;

  void Post(Notice notice, const std::function<void()>& wake) {
    {
      const std::lock_guard<std::mutex> guard(mutex);
      notices.push_back(std::move(notice));
    }
    wake();
  }

  // The worker: SMTP and the journal, nothing of the store.
  void Work(const std::function<void()>& wake) {
    try {
      Submit(wake);
    } catch (const std::exception& error) {
      // Nothing may escape a thread; what was journalled stays journalled.
      Post({Notice::kLog, 0, -1, QStringLiteral("mail transport: the run stopped: %1").arg(QString::fromUtf8(error.what()))},
           wake);
    }
    {
      const std::lock_guard<std::mutex> guard(mutex);
      done = true;
    }
    wake();
  }

  void Submit(const std::function<void()>& wake) {
    for (int b = 0; b < int(batches.size()) && !abort; ++b) {
      Batch& batch = batches[size_t(b)];
      if (batch.mails.empty()) continue;
      std::unique_ptr<SmtpClient> client;
      try {
        client = std::make_unique<SmtpClient>(batch.server);
        client->SetAbort(&abort);
      } catch (const StoreError& error) {
        Post({Notice::kFailed, b, -1,
              QStringLiteral("mail transport: the Outbox of %1 waits: %2").arg(batch.storeName, error.Message())},
             wake);
        continue;
      }
      for (int m = 0; m < int(batch.mails.size()) && !abort; ++m) {
        const Mail& mail = batch.mails[size_t(m)];
        const SmtpClient::Outcome outcome = client->Submit(mail.wire.sender, mail.wire.recipients, mail.wire.data);
        if (outcome.kind == SmtpClient::Outcome::kDelivered) {
          // Recorded before the move is even asked for: should the move
          // fail, or the process end first, the mail is not submitted a
          // second time.
          batch.journal.insert(mail.base);
          try {
            WriteJournal(batch.journalPath, batch.journal);
          } catch (const StoreError& error) {
            Post({Notice::kLog, b, m, QStringLiteral("mail transport: %1").arg(error.Message())}, wake);
          }
          Post({Notice::kDelivered, b, m, {}}, wake);
          continue;
        }
        Post({Notice::kFailed, b, m,
              QStringLiteral("mail transport: %1 in the Outbox of %2 was not sent and waits there: %3")
                  .arg(Quoted(mail.subject), batch.storeName, outcome.error)},
             wake);
        // A refusal concerns this mail; a failed connection would fail the rest.
        if (outcome.kind == SmtpClient::Outcome::kFailed) break;
      }
    }
  }
};

Transport::Transport(std::shared_ptr<Session> session)
    : session_(std::move(session)), settings_(LoadTransportSettings(session_->Profile())),
      context_(std::make_unique<QObject>()) {
  // Without an application object there is no event loop to run a timer.
  if (settings_.retrySeconds > 0 && QCoreApplication::instance()) {
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(settings_.retrySeconds * 1000);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { OnTimer(); });
    timer_->start();
  }
}

Transport::~Transport() { Shutdown(); }

std::vector<Transport::Outbox> Transport::Outboxes() const {
  std::vector<Outbox> outboxes;
  const ProfileSettings& profile = session_->Profile();
  for (int i = 1; i <= session_->StoreCount(); ++i) {
    Outbox outbox;
    outbox.store = session_->StoreAt(i);
    try {
      outbox.folder = outbox.store->GetDefaultFolder(kFolderOutbox);
    } catch (const StoreError&) {
      continue;  // a store without an Outbox queues in the default store's
    }
    if (outbox.folder->IsCalendarDirectory()) continue;
    const QString directory = outbox.folder->Directory();
    if (std::any_of(outboxes.begin(), outboxes.end(),
                    [&](const Outbox& other) { return other.folder->Directory() == directory; }))
      continue;
    for (const StoreSettings& settings : profile.stores)
      if (settings.directory == outbox.store->Directory()) outbox.storeSection = settings.section;
    outboxes.push_back(std::move(outbox));
  }
  return outboxes;
}

int Transport::QueuedCount() const {
  int count = 0;
  for (const Outbox& outbox : Outboxes()) count += int(QueuedFiles(outbox.folder->Directory()).size());
  return count;
}

bool Transport::SubmitQueue() {
  if (stopped_) return false;
  if (run_) {
    again_ = true;
    return true;
  }
  if (session_->Offline()) {
    last_ = Result();
    last_.waiting = QueuedCount();
    return false;
  }
  auto run = std::make_shared<Run>();
  for (const Outbox& outbox : Outboxes()) {
    try {
      PrepareOutbox(outbox, run.get());
    } catch (const StoreError& error) {
      LogLine(QStringLiteral("mail transport: the Outbox of %1 was not submitted: %2")
                  .arg(Quoted(outbox.store->Name()), error.Message()));
    }
  }
  run_ = run;
  const bool anything =
      std::any_of(run->batches.begin(), run->batches.end(), [](const Run::Batch& b) { return !b.mails.empty(); });
  if (!anything) {
    FinishRun();
    return true;
  }
  // The worker wakes the UI thread through the context's event queue; the
  // context goes with the transport, which joins the worker first.
  QObject* context = context_.get();
  Transport* self = this;
  const auto wake = [context, self] {
    QMetaObject::invokeMethod(context, [self] { self->ApplyEvents(); }, Qt::QueuedConnection);
  };
  run->worker = std::thread([run = run.get(), wake] { run->Work(wake); });
  return true;
}

void Transport::PrepareOutbox(const Outbox& outbox, Run* run) {
  const QString directory = outbox.folder->Directory();
  const QStringList queued = QueuedFiles(directory);
  const QString journalPath = directory + u'/' + kJournalName;
  if (queued.isEmpty() && !QFileInfo::exists(journalPath)) return;

  // Another process on this profile may be submitting this queue right now.
  auto lock = std::make_unique<QLockFile>(directory + u'/' + kLockName);
  lock->setStaleLockTime(0);  // stale only when its process is gone
  if (!lock->tryLock(0)) return;

  Run::Batch batch;
  batch.outbox = outbox;
  batch.storeName = Quoted(outbox.store->Name());
  batch.journalPath = journalPath;
  batch.journal = ReadJournal(journalPath);  // as the last run left it
  batch.server = settings_.ForStore(outbox.storeSection);
  batch.lock = std::move(lock);

  for (const QString& path : queued) {
    const QString base = maildir::BaseOf(QFileInfo(path).fileName());
    if (!QFileInfo::exists(path)) continue;
    if (batch.journal.contains(base)) {
      // Accepted by the server in an earlier run; only the move is missing.
      try {
        MoveToSent(outbox, path);
      } catch (const StoreError& error) {
        LogLine(QStringLiteral("mail transport: a sent mail stays in the Outbox of %1 (it will "
                               "not be sent again): %2")
                    .arg(batch.storeName, error.Message()));
      }
      continue;
    }
    Run::Mail mail{path, base, {}, {}};
    try {
      const ItemContent content = mime::Read(files::ReadFile(path), false, path);
      mail.subject = content.subject;
      mail.wire = MakeWireMail(content, outbox.store->SenderAddress(), session_->CurrentUserName());
    } catch (const StoreError& error) {
      ++run->result.failed;
      LogLine(QStringLiteral("mail transport: %1 in the Outbox of %2 cannot be sent and stays "
                             "there: %3")
                  .arg(Quoted(mail.subject.isEmpty() ? QFileInfo(path).fileName() : mail.subject),
                       batch.storeName, error.Message()));
      continue;
    }
    batch.mails.push_back(std::move(mail));
  }
  run->batches.push_back(std::move(batch));
}

void Transport::ApplyEvents() {
  const std::shared_ptr<Run> run = run_;
  if (!run) return;
  std::vector<Run::Notice> notices;
  bool done = false;
  {
    const std::lock_guard<std::mutex> guard(run->mutex);
    notices.swap(run->notices);
    done = run->done;
  }
  for (const Run::Notice& notice : notices) {
    const Run::Batch& batch = run->batches[size_t(notice.batch)];
    switch (notice.kind) {
      case Run::Notice::kDelivered: {
        ++run->result.submitted;
        const Run::Mail& mail = batch.mails[size_t(notice.mail)];
        try {
          MoveToSent(batch.outbox, mail.path);
        } catch (const StoreError& error) {
          LogLine(QStringLiteral("mail transport: %1 was sent but stays in the Outbox of %2 (it "
                                 "will not be sent again): %3")
                      .arg(Quoted(mail.subject), batch.storeName, error.Message()));
        }
        break;
      }
      case Run::Notice::kFailed:
        ++run->result.failed;
        LogLine(notice.text);
        break;
      case Run::Notice::kLog:
        LogLine(notice.text);
        break;
    }
  }
  if (done) FinishRun();
}

void Transport::FinishRun() {
  const std::shared_ptr<Run> run = std::move(run_);
  if (run->worker.joinable()) run->worker.join();
  for (Run::Batch& batch : run->batches) {
    // The journal keeps only mails still in the Outbox.
    try {
      QSet<QString> present;
      for (const QString& path : QueuedFiles(batch.outbox.folder->Directory()))
        present.insert(maildir::BaseOf(QFileInfo(path).fileName()));
      const QSet<QString> kept = batch.journal & present;
      if (kept != ReadJournal(batch.journalPath)) WriteJournal(batch.journalPath, kept);
    } catch (const StoreError& error) {
      LogLine(QStringLiteral("mail transport: %1").arg(error.Message()));
    }
    batch.lock->unlock();
  }
  last_ = run->result;
  try {
    last_.waiting = QueuedCount();
  } catch (const StoreError&) {
    last_.waiting = 0;  // logged off meanwhile
  }
  if (again_ && !stopped_) {
    again_ = false;
    try {
      SubmitQueue();
    } catch (const StoreError& error) {
      LogLine(QStringLiteral("mail transport: the next run did not start: %1").arg(error.Message()));
    }
  }
  again_ = false;
}

void Transport::Shutdown() {
  if (stopped_) return;
  stopped_ = true;
  again_ = false;
  if (timer_) timer_->stop();
  if (!run_) return;
  run_->abort = true;
  if (run_->worker.joinable()) run_->worker.join();
  // What the server accepted before the cut is moved now, while the
  // session is still there; the notices still queued to the context go
  // with it.
  {
    const std::lock_guard<std::mutex> guard(run_->mutex);
    run_->done = true;
  }
  ApplyEvents();
}

void Transport::MoveToSent(const Outbox& outbox, const QString& path) {
  std::shared_ptr<Folder> sent;
  try {
    sent = outbox.store->GetDefaultFolder(kFolderSentItems);
  } catch (const StoreError&) {
    sent = session_->GetDefaultFolder(kFolderSentItems);
  }
  if (sent->IsCalendarDirectory())
    throw StoreError(QStringLiteral("the folder %1 is not a mail folder").arg(sent->FolderPath()));
  maildir::Create(sent->Directory());
  QString flags = maildir::FlagsOf(QFileInfo(path).fileName());
  if (!flags.contains(u'S')) flags += u'S';
  std::sort(flags.begin(), flags.end());
  files::MoveFile(path, sent->Directory() + QStringLiteral("/cur/") + maildir::NewBaseName() +
                            QStringLiteral(":2,") + flags);
}

void Transport::OnTimer() {
  try {
    if (!session_->LoggedOn()) {
      timer_->stop();
      return;
    }
    if (session_->Offline() || run_ || QueuedCount() == 0) return;
    SubmitQueue();
  } catch (const std::exception& error) {
    LogLine(QStringLiteral("mail transport: the periodic retry failed: %1").arg(QString::fromUtf8(error.what())));
  }
}

}  // namespace vasnik
