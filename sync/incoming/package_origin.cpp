#include "sync/incoming/package_origin.h"

#include <QFile>
#include <QMap>
#include <QSaveFile>
#include <QTimeZone>

#include <stdexcept>

#include "outlook/member_names.h"
#include "platform/system.h"

namespace {

constexpr double kUnixEpochOleDays = 25569.0;
// Our own file, but InboxDir is shared with what mails bring: a ledger
// larger than any real one is not read.
constexpr qint64 kMaxLedgerBytes = 1024 * 1024;

// Header fields hold no tab or line break once unfolded; an address that
// does is not one we could ever match, and must not split the line.
QString Field(QString text) {
  for (QChar& c : text)
    if (c == u'\t' || c == u'\n' || c == u'\r') c = u' ';
  return text;
}

QString Line(const MailOrigin& origin) {
  return Field(origin.from) + u'\t' + Field(origin.envelope) + u'\t' +
         (origin.sent.isValid() ? origin.sent.toUTC().toString(Qt::ISODateWithMs) : QString());
}

MailOrigin Parse(const QStringList& fields) {
  MailOrigin origin;
  origin.from = fields.value(0);
  origin.envelope = fields.value(1);
  if (!fields.value(2).isEmpty()) origin.sent = QDateTime::fromString(fields.value(2), Qt::ISODateWithMs);
  return origin;
}

QStringList ReadLines(const QString& path) {
  QFile file(path);
  if (file.size() > kMaxLedgerBytes || !file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

// Replaced as a whole: a stop in the middle leaves the old ledger or the new.
void WriteLines(const QString& path, const QStringList& lines) {
  if (lines.isEmpty()) {
    platform::SilentDelete(path);
    return;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error(("Cannot write " + path).toStdString());
  file.write((lines.join(u'\n') + u'\n').toUtf8());
  if (!file.commit()) throw std::runtime_error(("Cannot write " + path).toStdString());
}

QString LedgerPath(const QString& inboxDir, const QString& key) { return inboxDir + key + QStringLiteral(".from"); }
QString UnpackedPath(const QString& packageDir) { return packageDir + QStringLiteral(".origin"); }

// File name -> the rest of its line.
QMap<QString, QStringList> ReadLedger(const QString& path) {
  QMap<QString, QStringList> entries;
  for (const QString& line : ReadLines(path)) {
    QStringList fields = line.split(u'\t');
    const QString name = fields.takeFirst();
    entries.insert(name, fields);
  }
  return entries;
}

void WriteLedger(const QString& path, const QMap<QString, QStringList>& entries) {
  QStringList lines;
  for (auto it = entries.begin(); it != entries.end(); ++it) lines << it.key() + u'\t' + it.value().join(u'\t');
  WriteLines(path, lines);
}

}  // namespace

MailOrigin OriginOfMail(const outlook::RdoMail& mail) {
  MailOrigin origin;
  origin.from = mail.SenderEmailAddress().trimmed();
  // "<a@b>" as a server writes it; "<>" (a bounce) reports no address.
  QString envelope = mail.HeaderField(QStringLiteral("return-path")).trimmed();
  if (envelope.startsWith(u'<') && envelope.endsWith(u'>')) envelope = envelope.mid(1, envelope.size() - 2).trimmed();
  origin.envelope = envelope;
  const double sentOn = mail.SentOn();
  if (sentOn > 0 && sentOn < outlook::names::kNoDate)
    origin.sent = QDateTime::fromMSecsSinceEpoch(qRound64((sentOn - kUnixEpochOleDays) * 86400000.0), QTimeZone::utc());
  return origin;
}

bool SentBy(const MailOrigin& origin, const QString& user) {
  if (user.isEmpty() || origin.from.compare(user, Qt::CaseInsensitive) != 0) return false;
  return origin.envelope.isEmpty() || origin.envelope.compare(user, Qt::CaseInsensitive) == 0;
}

QString DescribeSender(const MailOrigin& origin) {
  const QString from = origin.from.isEmpty() ? QStringLiteral("(no sender)") : origin.from;
  if (origin.envelope.isEmpty() || origin.envelope.compare(origin.from, Qt::CaseInsensitive) == 0) return from;
  return QStringLiteral("%1 (envelope sender %2)").arg(from, origin.envelope);
}

namespace package_origin {

void RecordFiles(const QString& inboxDir, const QString& key, const QStringList& names, const MailOrigin& origin) {
  const QString path = LedgerPath(inboxDir, key);
  QMap<QString, QStringList> entries = ReadLedger(path);
  const QStringList fields = Line(origin).split(u'\t');
  for (const QString& name : names) entries.insert(name, fields);
  WriteLedger(path, entries);
}

void ForgetFiles(const QString& inboxDir, const QString& key, const QStringList& names) {
  const QString path = LedgerPath(inboxDir, key);
  QMap<QString, QStringList> entries = ReadLedger(path);
  for (const QString& name : names) entries.remove(name);
  WriteLedger(path, entries);
}

MailOrigin OfFiles(const QString& inboxDir, const QString& key, const QStringList& names) {
  const QMap<QString, QStringList> entries = ReadLedger(LedgerPath(inboxDir, key));
  QStringList froms;
  QStringList envelopes;
  MailOrigin result;
  for (const QString& name : names) {
    const auto it = entries.find(name);
    const MailOrigin one = it == entries.end() ? MailOrigin() : Parse(*it);
    if (!froms.contains(one.from, Qt::CaseInsensitive)) froms << one.from;
    if (!envelopes.contains(one.envelope, Qt::CaseInsensitive)) envelopes << one.envelope;
    if (one.sent.isValid() && (!result.sent.isValid() || one.sent > result.sent)) result.sent = one.sent;
  }
  // A file without a mail of its own makes the whole package unattributed.
  result.from = froms.contains(QString()) ? QString() : froms.join(QStringLiteral(", "));
  envelopes.removeAll(QString());
  result.envelope = envelopes.join(QStringLiteral(", "));
  return result;
}

void RecordUnpacked(const QString& packageDir, const MailOrigin& origin) {
  WriteLines(UnpackedPath(packageDir), {Line(origin)});
}

std::optional<MailOrigin> OfUnpacked(const QString& packageDir) {
  const QStringList lines = ReadLines(UnpackedPath(packageDir));
  if (lines.isEmpty()) return std::nullopt;
  return Parse(lines.first().split(u'\t'));
}

void ForgetUnpacked(const QString& packageDir) { platform::SilentDelete(UnpackedPath(packageDir)); }

}  // namespace package_origin
