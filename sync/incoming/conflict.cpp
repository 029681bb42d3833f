#include "sync/incoming/conflict.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>

#include "outlook/redemption_ids.h"
#include "storage/folder_identity.h"
#include "storage/xml_storage.h"
#include "sync/echo_guard.h"
#include "sync/outgoing/exporter.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

namespace conflict {
namespace {

// Header lines unfolded, the body after the first empty line.
struct Entity {
  QList<QByteArray> headers;
  QByteArray body;
};

Entity SplitEntity(const QByteArray& text) {
  Entity entity;
  qsizetype end = text.indexOf("\r\n\r\n");
  qsizetype skip = 4;
  const qsizetype lf = text.indexOf("\n\n");
  if (end < 0 || (lf >= 0 && lf < end)) {
    end = lf;
    skip = 2;
  }
  const QByteArray head = end < 0 ? text : text.left(end);
  entity.body = end < 0 ? QByteArray() : text.mid(end + skip);
  for (QByteArray line : head.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    if ((line.startsWith(' ') || line.startsWith('\t')) && !entity.headers.isEmpty())
      entity.headers.last() += ' ' + line.trimmed();
    else
      entity.headers << line;
  }
  return entity;
}

QByteArray HeaderValue(const Entity& entity, const QByteArray& name) {
  for (const QByteArray& line : entity.headers) {
    const qsizetype colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed().toLower() == name) return line.mid(colon + 1).trimmed();
  }
  return {};
}

QByteArray Boundary(const QByteArray& contentType) {
  const qsizetype at = contentType.toLower().indexOf("boundary=");
  if (at < 0) return {};
  QByteArray value = contentType.mid(at + 9);
  if (value.startsWith('"')) return value.mid(1, value.indexOf('"', 1) - 1);
  const qsizetype end = value.indexOf(';');
  return (end < 0 ? value : value.left(end)).trimmed();
}

QByteArray Decoded(const Entity& part) {
  const QByteArray encoding = HeaderValue(part, "content-transfer-encoding").toLower();
  if (encoding == "base64") {
    QByteArray compact = part.body;
    compact.replace("\r", "").replace("\n", "").replace(" ", "");
    return QByteArray::fromBase64(compact);
  }
  QByteArray body = part.body;
  if (body.endsWith("\r\n")) body.chop(2);  // the line break before the boundary belongs to it
  else if (body.endsWith('\n')) body.chop(1);
  return body;
}

bool IsCalendarPart(const Entity& part) {
  return HeaderValue(part, "x-vasnik-part").toLower() == "calendar" ||
         HeaderValue(part, "content-type").toLower().startsWith("text/calendar");
}

// "20261209T230320Z" and "20261209T230320" compare as the same instant:
// the stamps are UTC by the standard.
QString StampValue(const QByteArray& line) {
  const qsizetype colon = line.indexOf(':');
  QByteArray value = line.mid(colon + 1).trimmed();
  if (value.endsWith('Z')) value.chop(1);
  return QString::fromLatin1(value.left(15));
}

// Splits at the separator where it stands outside double quotes.
QList<QByteArray> SplitOutsideQuotes(const QByteArray& text, char separator, int maxParts = -1) {
  QList<QByteArray> parts;
  bool quoted = false;
  qsizetype start = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == separator && !quoted && (maxParts < 0 || parts.size() + 1 < maxParts)) {
      parts << text.mid(start, i - start);
      start = i + 1;
    }
  }
  parts << text.mid(start);
  return parts;
}

// One content line as any writer of the same property writes it: the name
// and the parameter names in upper case, the parameters sorted and without
// quotes, VALUE (which restates the type the value's form already shows)
// left out, the value as it is. A store that reads a version and writes it
// again in its own form ("DTSTART;VALUE=DATE-TIME:..." as "DTSTART:...")
// keeps the same version.
QByteArray CanonicalLine(const QByteArray& line) {
  const QList<QByteArray> nameAndValue = SplitOutsideQuotes(line, ':', 2);
  if (nameAndValue.size() < 2) return line;
  QList<QByteArray> parts = SplitOutsideQuotes(nameAndValue[0], ';');
  QByteArray canonical = parts.takeFirst().trimmed().toUpper();
  QList<QByteArray> parameters;
  for (const QByteArray& parameter : parts) {
    const qsizetype equals = parameter.indexOf('=');
    if (equals < 0) {
      parameters << parameter.trimmed().toUpper();  // not a parameter form: kept, in one case
      continue;
    }
    const QByteArray name = parameter.left(equals).trimmed().toUpper();
    if (name == "VALUE") continue;
    parameters << name + '=' + QByteArray(parameter.mid(equals + 1)).replace('"', "");
  }
  std::sort(parameters.begin(), parameters.end());
  for (const QByteArray& parameter : parameters) canonical += ';' + parameter;
  return canonical + ':' + nameAndValue[1];
}

}  // namespace

QByteArray CalendarText(const QByteArray& messageFile) {
  const Entity top = SplitEntity(messageFile);
  const QByteArray type = HeaderValue(top, "content-type");
  const QByteArray boundary = Boundary(type);
  if (boundary.isEmpty()) return IsCalendarPart(top) ? Decoded(top) : QByteArray();
  const QByteArray delimiter = "--" + boundary;
  qsizetype at = top.body.indexOf(delimiter);
  while (at >= 0) {
    qsizetype start = top.body.indexOf('\n', at);
    if (start < 0 || top.body.mid(at + delimiter.size(), 2) == "--") break;
    ++start;
    const qsizetype next = top.body.indexOf(delimiter, start);
    const Entity part = SplitEntity(top.body.mid(start, next < 0 ? -1 : next - start));
    if (IsCalendarPart(part)) return Decoded(part);
    at = next;
  }
  return {};
}

Stamps ReadStamps(const QByteArray& calendar) {
  Stamps stamps;
  QByteArray unfolded = calendar;
  unfolded.replace("\r\n ", "").replace("\r\n\t", "").replace("\n ", "").replace("\n\t", "");
  int depth = 0;  // 1 inside the primary component, more inside its alarms
  bool seen = false;
  QString dtstamp, lastModified;
  for (QByteArray line : unfolded.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    const QByteArray upper = line.toUpper();
    if (upper.startsWith("BEGIN:")) {
      const QByteArray kind = upper.mid(6).trimmed();
      if (depth > 0) ++depth;
      else if (!seen && (kind == "VEVENT" || kind == "VTODO" || kind == "VJOURNAL")) depth = 1;
      continue;
    }
    if (upper.startsWith("END:")) {
      if (depth > 0 && --depth == 0) seen = true;
      continue;
    }
    if (depth != 1) continue;
    qsizetype nameEnd = 0;
    while (nameEnd < upper.size() && upper[nameEnd] != ';' && upper[nameEnd] != ':') ++nameEnd;
    const QByteArray name = upper.left(nameEnd);
    if (name == "SEQUENCE") {
      bool ok = false;
      const int n = StampValue(line).toInt(&ok);
      if (ok && n >= 0) stamps.sequence = n;
    } else if (name == "LAST-MODIFIED") {
      lastModified = StampValue(line);
    } else if (name == "DTSTAMP") {
      dtstamp = StampValue(line);
    }
  }
  stamps.modified = lastModified.isEmpty() ? dtstamp : lastModified;
  return stamps;
}

Version ReadVersion(const QByteArray& messageFile, const QString& author) {
  Version version;
  // Properties local to one side's copy (its item key) never travel: they
  // do not make two versions different, nor does the form a store writes
  // the lines in.
  QByteArray unfolded = CalendarText(messageFile);
  if (unfolded.isEmpty()) return {{}, author, {}};
  unfolded.replace("\r\n ", "").replace("\r\n\t", "");
  for (QByteArray line : unfolded.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    if (!line.isEmpty() && !line.toUpper().startsWith("X-VASNIK-LOCAL-PROPERTY"))
      version.calendar += CanonicalLine(line) + "\r\n";
  }
  version.stamps = ReadStamps(version.calendar);
  version.author = author;
  return version;
}

int Compare(const Version& a, const Version& b) {
  if (a.stamps.sequence != b.stamps.sequence) return a.stamps.sequence < b.stamps.sequence ? -1 : 1;
  if (const int c = a.stamps.modified.compare(b.stamps.modified); c != 0) return c < 0 ? -1 : 1;
  if (const int c = a.author.compare(b.author, Qt::CaseInsensitive); c != 0) return c < 0 ? -1 : 1;
  if (a.calendar != b.calendar) return a.calendar < b.calendar ? -1 : 1;
  return 0;
}

Decision Decide(const Local& local, const Version& incoming) {
  // The same text again (a version sent back after a deletion here, say).
  if (!incoming.calendar.isEmpty() && incoming.calendar == local.version.calendar) return Decision::kReplace;
  // Without stamps a recent version cannot be told from an older one: only
  // a change that waits to be sent is known not to have been seen.
  const bool stamped = !incoming.calendar.isEmpty() && !local.version.calendar.isEmpty();
  if (!local.unsent && !(stamped && local.recent)) return Decision::kReplace;
  // One author's versions follow each other.
  if (!local.unsent && incoming.author.compare(local.version.author, Qt::CaseInsensitive) == 0)
    return Decision::kReplace;
  // The same SEQUENCE: both were made from one version. A higher one is
  // taken to have been made on top of the other (a lower SEQUENCE never
  // replaces a recent version, so the other side agrees).
  const bool sameBase = stamped && incoming.stamps.sequence == local.version.stamps.sequence;
  if (Compare(incoming, local.version) < 0) {
    // Ours wins. The other side keeps its lost version as a copy when it sees
    // ours made from the same base; otherwise it takes ours as a later edit,
    // and the copy is made here, where ours is known to be unseen.
    return local.unsent && !sameBase ? Decision::kKeepCopyIncoming : Decision::kKeep;
  }
  // Ours loses. It is the user's when it waits to be sent or was sent
  // recently from the same base.
  if (local.unsent) return Decision::kReplaceKeepCopy;
  if (local.own && sameBase) return Decision::kReplaceKeepCopy;
  return Decision::kReplace;
}

}  // namespace conflict

namespace {

const QString kSynced = QStringLiteral("CONFLICT\\Synced\\");
const QString kGone = QStringLiteral("CONFLICT\\Gone\\");

QString Row(const QString& f, const QString& name) { return f + u'\\' + name; }

void WriteSynced(XmlStorage& userData, const QString& f, const QString& e, bool own, const QString& author) {
  userData.WriteString(kSynced + Row(f, e), QStringLiteral("%1;%2;%3")
                                                 .arg(QDateTime::currentMSecsSinceEpoch())
                                                 .arg(own ? 1 : 0)
                                                 .arg(author));
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

void ConflictResolver::NoteExported(XmlStorage& userData, const QString& f, const QString& e, const QString& author) {
  WriteSynced(userData, f, e, true, author);
}

void ConflictResolver::NoteImported(XmlStorage& userData, const QString& f, const QString& e, const QString& author) {
  WriteSynced(userData, f, e, false, author);
}

void ConflictResolver::NoteDeleted(XmlStorage& userData, const QString& f, const QString& e, const QString& itemKey) {
  userData.DeleteValue(kSynced + Row(f, e));
  if (!itemKey.isEmpty()) userData.WriteString(kGone + Row(f, itemKey), QString::number(QDateTime::currentMSecsSinceEpoch()));
}

bool ConflictResolver::DeletedHere(const QString& f, const QString& itemKey) const {
  const QString row = kGone + Row(f, itemKey);
  if (state_.userData.ReadString(row, QString()).isEmpty()) return false;
  state_.userData.DeleteValue(row);  // added again: the deletion is answered
  return true;
}

QString ConflictResolver::PendingFile(const QString& k, const QString& itemKey) const {
  return state_.outboxDir + k + u'/' + itemKey + QStringLiteral(".msg");
}

std::optional<conflict::Local> ConflictResolver::LocalOf(const outlook::RdoMail& item, const QString& itemKey,
                                                        const QString& k, const QString& sender,
                                                        const QString& scratch) {
  conflict::Local local;
  const QString f = item.Parent().EntryID();
  const QString e = item.EntryID();
  const QString recorded = identity_.StateOf(f, e);
  local.unsent = QFileInfo::exists(PendingFile(k, itemKey)) ||
                 (!recorded.isEmpty() && recorded != CurrentState(item).ToText());

  const QStringList synced = state_.userData.ReadString(kSynced + Row(f, e), QString()).split(u';');
  QString author;
  if (synced.size() >= 3) {
    const qint64 at = synced[0].toLongLong();
    local.recent = QDateTime::currentMSecsSinceEpoch() - at < conflict::kRecentMs;
    local.own = local.recent && synced[1] == u"1";
    author = synced.mid(2).join(u';');
  }
  if (!local.unsent && !local.recent) return std::nullopt;  // applied whatever it holds
  if (!local.unsent && author.compare(sender, Qt::CaseInsensitive) == 0) return std::nullopt;
  if (local.unsent || author.isEmpty()) author = StoreOwnerAddress(state_.session, item.Store());
  item.SaveAs(scratch, outlook::ids::olMSG);
  local.version = conflict::ReadVersion(ReadAll(scratch), author);
  return local;
}

bool ConflictResolver::ReplaceAllowed(const QString& path, const outlook::RdoMail& item, const QString& itemKey,
                                      const QString& k, const QString& sender) {
  const QString scratch = QFileInfo(path).absolutePath() + QStringLiteral("/.local-") + itemKey + QStringLiteral(".msg");
  const std::optional<conflict::Local> local = LocalOf(item, itemKey, k, sender, scratch);
  if (!local) return true;
  const conflict::Decision decision = conflict::Decide(*local, conflict::ReadVersion(ReadAll(path), sender));
  const QString subject = item.Subject();
  if (decision == conflict::Decision::kKeep || decision == conflict::Decision::kKeepCopyIncoming) {
    QFile::remove(scratch);
    if (decision == conflict::Decision::kKeepCopyIncoming) AddCopy(item.Parent(), item.MessageClass(), path, QString());
    host_.Log(QStringLiteral("\"%1\" was changed here and by %2 at once: the version here wins, theirs is %3")
                  .arg(subject, sender,
                       decision == conflict::Decision::kKeep ? QStringLiteral("not applied")
                                                             : QStringLiteral("kept as a copy marked \"(conflict)\"")));
    return false;
  }
  if (decision == conflict::Decision::kReplaceKeepCopy) {
    AddCopy(item.Parent(), item.MessageClass(), scratch, subject);
    // The lost version must not go out and replace the winner elsewhere.
    QFile::remove(PendingFile(k, itemKey));
    host_.Log(QStringLiteral("\"%1\" was changed here and by %2 at once: their version is taken, this side's is "
                             "kept as \"%1 (conflict)\"")
                  .arg(subject, sender));
  }
  QFile::remove(scratch);
  return true;
}

void ConflictResolver::AddCopy(const outlook::RdoFolder& folder, const QString& messageClass, const QString& path,
                               QString subject) {
  // The copy is a new item of the user's: it is not on the guard, so its
  // store event exports it like any other new item. It carries no item key:
  // it is not the item the key names.
  const outlook::RdoMail copy = folder.Items().Add(messageClass);
  copy.Import(path, outlook::ids::olMSG);
  copy.SetNamedProperty(update_mail::kItemKeyProperty, QString());
  if (subject.isEmpty()) subject = copy.Subject();
  copy.SetSubject(subject + QStringLiteral(" (conflict)"));
  copy.Save();
}

bool ConflictResolver::DeletionAllowed(const outlook::RdoMail& item, const QString& itemKey, const QString& k) {
  const QString f = item.Parent().EntryID();
  const QString recorded = identity_.StateOf(f, item.EntryID());
  const bool unsent = QFileInfo::exists(PendingFile(k, itemKey)) ||
                      (!recorded.isEmpty() && recorded != CurrentState(item).ToText());
  if (!unsent) return true;
  host_.Log(QStringLiteral("\"%1\" was deleted elsewhere while it was changed here: the change is kept and sent")
                .arg(item.Subject()));
  return false;
}
