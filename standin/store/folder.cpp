#include "standin/store/folder.h"

#include "standin/store/constants.h"
#include "standin/store/entry_id.h"
#include "standin/store/file_ops.h"
#include "standin/store/ical_codec.h"
#include "standin/store/item.h"
#include "standin/store/maildir.h"
#include "standin/store/mime_codec.h"
#include "standin/store/restriction.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <algorithm>

#include <sys/stat.h>

namespace vasnik {

namespace {

constexpr qint64 kHeaderReadLimit = 256 * 1024;

bool IsIcsName(const QString& name) { return name.endsWith(u".ics", Qt::CaseInsensitive); }
bool IsEmlName(const QString& name) { return name.endsWith(u".eml", Qt::CaseInsensitive); }

QByteArray ReadPrefix(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw StoreError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
  return file.read(kHeaderReadLimit);
}

QString NewUuidText() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

[[noreturn]] void Gone(const Folder& folder, const QString& base) {
  throw StoreError(QStringLiteral("the item \"%1\" is no longer in the folder \"%2\"")
                       .arg(base, folder.Name()));
}

}  // namespace

Folder::Folder(std::weak_ptr<Store> store, QString storeUid, QString uid, QString directory)
    : store_(std::move(store)),
      storeUid_(std::move(storeUid)),
      uid_(std::move(uid)),
      directory_(std::move(directory)) {}

QString Folder::EntryID() const { return FolderEntryId(storeUid_, uid_); }
QString Folder::StoreID() const { return StoreEntryId(storeUid_); }
QString Folder::Name() const { return name_; }
int Folder::DefaultItemType() const { return itemType_; }
QString Folder::Directory() const { return directory_; }
bool Folder::IsCalendarDirectory() const { return itemType_ == kItemAppointment; }
QString Folder::ItemEntryId(const QString& base) const { return vasnik::ItemEntryId(storeUid_, uid_, base); }

std::shared_ptr<Store> Folder::GetStore() const {
  std::shared_ptr<Store> store = store_.lock();
  if (!store) throw StoreError(QStringLiteral("the session has logged off"));
  store->GetSession();
  return store;
}

std::shared_ptr<Folder> Folder::Parent() const {
  GetStore();
  return parent_.lock();
}

QString Folder::FolderPath() const {
  std::shared_ptr<Store> store = GetStore();
  QStringList names;
  for (std::shared_ptr<const Folder> folder = shared_from_this(); folder && !folder->root_;
       folder = folder->parent_.lock())
    names.prepend(folder->name_);
  names.prepend(u'\\' + store->Name());
  return u'\\' + names.join(u'\\');
}

std::vector<std::shared_ptr<Folder>> Folder::Folders() const {
  std::shared_ptr<Store> store = GetStore();
  std::vector<std::shared_ptr<Folder>> out;
  const QDir dir(directory_);
  for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (name.startsWith(u'.') || name == u"cur" || name == u"new" || name == u"tmp") continue;
    auto self = std::const_pointer_cast<Folder>(shared_from_this());
    out.push_back(store->Adopt(dir.filePath(name), self));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a->name_.compare(b->name_, Qt::CaseInsensitive) < 0;
  });
  return out;
}

std::shared_ptr<Folder> Folder::CreateFolder(const QString& name, int defaultItemType) {
  std::shared_ptr<Store> store = GetStore();
  const QString trimmed = name.trimmed();
  if (trimmed.isEmpty()) throw StoreError(QStringLiteral("a folder needs a name"));
  if (defaultItemType < kItemMail || defaultItemType > kItemDistributionList)
    throw StoreError(QStringLiteral("%1 is not a folder item type (0 to 7)").arg(defaultItemType));
  for (const auto& sub : Folders())
    if (sub->name_.compare(trimmed, Qt::CaseInsensitive) == 0)
      throw StoreError(QStringLiteral("the folder \"%1\" already has a subfolder named \"%2\"")
                           .arg(name_, trimmed));
  return store->NewFolder(shared_from_this(), trimmed, defaultItemType);
}

ItemCollection Folder::Items() const {
  GetStore();
  ItemCollection items;
  items.folder_ = std::const_pointer_cast<Folder>(shared_from_this());
  return items;
}

std::shared_ptr<Item> Folder::AddItem(const QString& messageClass) {
  GetStore();
  ItemContent content;
  content.messageClass =
      messageClass.trimmed().isEmpty() ? DefaultMessageClass(itemType_) : messageClass.trimmed();
  if (IsAppointmentClass(content.messageClass)) {
    // The next full hour, local time: worked out again only once it has
    // come (an import adds thousands of appointments in a second).
    static QDateTime start;
    static QDateTime end;
    static qint64 startMs = 0;
    if (QDateTime::currentMSecsSinceEpoch() >= startMs) {
      const QDateTime now = QDateTime::currentDateTime();
      start = QDateTime(now.date(), QTime(now.time().hour(), 0)).addSecs(3600);
      end = start.addSecs(3600);
      startMs = start.toMSecsSinceEpoch();
    }
    content.icalendar = ical::NewEvent(NewUuidText(), start, end);
  }
  return Item::InFolder(shared_from_this(), QString(), std::move(content));
}

std::vector<Folder::Entry> Folder::ListItems() const {
  std::vector<Entry> out;
  QHash<QString, Cached> fresh;
  auto consider = [&](const QString& path, const QString& base, bool ics) {
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    const qint64 modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    Cached cached;
    const auto it = cache_.constFind(path);
    if (it != cache_.constEnd() && it->inode == info.st_ino && it->size == info.st_size &&
        it->modifiedNs == modifiedNs) {
      cached = *it;
    } else {
      cached.inode = info.st_ino;
      cached.size = info.st_size;
      cached.modifiedNs = modifiedNs;
      try {
        const std::optional<QString> subject =
            ics ? ical::ReadSummary(files::ReadFile(path))
                : mime::ReadSubject(mime::HeaderBlock(ReadPrefix(path)));
        if (subject) {
          cached.valid = true;
          cached.subject = *subject;
        } else {
          LogLine(QStringLiteral("skipping %1: it is not a well-formed %2")
                      .arg(path, ics ? QStringLiteral("iCalendar file") : QStringLiteral("mail")));
        }
      } catch (const StoreError& error) {
        LogLine(QStringLiteral("skipping %1: %2").arg(path, error.Message()));
      }
    }
    fresh.insert(path, cached);
    if (cached.valid) out.push_back({base, path, cached.subject});
  };

  const QDir dir(directory_);
  if (IsCalendarDirectory()) {
    for (const QString& name : dir.entryList(QDir::Files)) {
      if (name.startsWith(u'.')) continue;
      if (IsIcsName(name)) consider(dir.filePath(name), name, true);
      else if (IsEmlName(name)) consider(dir.filePath(name), name, false);
    }
  } else {
    QSet<QString> seen;
    for (const char* sub : {"cur", "new"}) {
      const QDir subdir(dir.filePath(QLatin1String(sub)));
      for (const QString& name : subdir.entryList(QDir::Files)) {
        if (!maildir::IsItemFileName(name)) continue;
        const QString base = maildir::BaseOf(name);
        if (seen.contains(base)) continue;
        seen.insert(base);
        consider(subdir.filePath(name), base, false);
      }
    }
  }
  cache_ = std::move(fresh);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.base < b.base; });
  return out;
}

QString Folder::Locate(const QString& base) const {
  if (base.isEmpty() || base.contains(u'/')) return {};
  auto isFile = [](const QString& path) { return QFileInfo(path).isFile(); };
  if (IsCalendarDirectory()) {
    const QString path = directory_ + u'/' + base;
    return (IsIcsName(base) || IsEmlName(base)) && isFile(path) ? path : QString();
  }
  if (base.contains(u':')) return {};
  const QString cur = directory_ + QStringLiteral("/cur/");
  const QString candidates[] = {directory_ + QStringLiteral("/new/") + base, cur + base + QStringLiteral(":2,S"),
                                cur + base + QStringLiteral(":2,"), cur + base};
  for (const QString& path : candidates)
    if (isFile(path)) return path;
  // Other flags: the names the last listing saw, then this folder's cur/.
  for (auto it = cache_.constBegin(); it != cache_.constEnd(); ++it)
    if (maildir::BaseOf(QFileInfo(it.key()).fileName()) == base && isFile(it.key())) return it.key();
  const QString prefix = base + u':';
  for (const QString& name : QDir(cur).entryList(QDir::Files))
    if (name.startsWith(prefix)) return cur + name;
  return {};
}

ItemContent Folder::ReadContent(const QString& path) const {
  const QByteArray bytes = files::ReadFile(path);
  if (IsCalendarDirectory() && IsIcsName(path)) return ical::Read(bytes, path);
  return mime::Read(bytes, false, path);
}

std::shared_ptr<Item> Folder::LoadItem(const QString& base) {
  GetStore();
  const QString path = Locate(base);
  if (path.isEmpty()) Gone(*this, base);
  return Item::InFolder(shared_from_this(), base, ReadContent(path));
}

void Folder::EnsureDirectories() const {
  if (IsCalendarDirectory())
    files::EnsureDirectory(directory_);
  else
    maildir::Create(directory_);
}

QString Folder::WriteItem(const QString& base, ItemContent* content) {
  GetStore();
  EnsureDirectories();
  if (IsCalendarDirectory()) {
    const bool ics = base.isEmpty() ? content->IsCalendar() : IsIcsName(base);
    QByteArray bytes;
    QString uid;
    if (ics) {
      content->icalendar = ical::Synced(*content, true, &uid);
      bytes = content->icalendar;
    } else {
      if (content->IsCalendar()) content->icalendar = ical::Synced(*content, false);
      bytes = mime::Write(*content, false);
    }
    QString name = base;
    if (name.isEmpty()) {
      const QString extension = ics ? QStringLiteral(".ics") : QStringLiteral(".eml");
      // khal and vdirsyncer name an event's file after its UID; do the same
      // when the UID makes a plain file name that is free.
      static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9@_-][A-Za-z0-9@._-]{0,199}$"));
      name = ics && plain.match(uid).hasMatch() ? uid + extension : QString();
      while (name.isEmpty() || QFileInfo::exists(directory_ + u'/' + name))
        name = NewUuidText() + extension;
    } else if (Locate(name).isEmpty()) {
      Gone(*this, name);
    }
    files::WriteAtomically(directory_ + QStringLiteral("/.") + name + QStringLiteral(".vasnik-tmp"),
                           directory_ + u'/' + name, bytes);
    return name;
  }

  if (content->IsCalendar()) content->icalendar = ical::Synced(*content, false);
  const QByteArray bytes = mime::Write(*content, false);
  QString name = base;
  QString old;
  QString target;
  if (name.isEmpty()) {
    name = maildir::NewBaseName();
    target = directory_ + QStringLiteral("/cur/") + name + QStringLiteral(":2,S");
  } else {
    old = Locate(name);
    if (old.isEmpty()) Gone(*this, name);
    // An edit keeps the name and flags; a mail still in new/ moves to cur/.
    target = QFileInfo(old).dir().dirName() == u"cur"
                 ? old
                 : directory_ + QStringLiteral("/cur/") + name + QStringLiteral(":2,");
  }
  files::WriteAtomically(directory_ + QStringLiteral("/tmp/") + name, target, bytes);
  if (!old.isEmpty() && old != target) files::RemoveFile(old);
  return name;
}

QString Folder::MoveItemTo(const QString& base, const std::shared_ptr<Folder>& target) {
  const QString source = Locate(base);
  if (source.isEmpty()) Gone(*this, base);
  target->EnsureDirectories();
  if (!IsCalendarDirectory() && !target->IsCalendarDirectory()) {
    // Maildir to Maildir: the file moves as it is.
    const QString name = maildir::NewBaseName();
    const QString fileName = QFileInfo(source).fileName();
    const bool inCur = QFileInfo(source).dir().dirName() == u"cur";
    files::MoveFile(source, target->directory_ + QStringLiteral("/cur/") + name +
                                QStringLiteral(":2,") + (inCur ? maildir::FlagsOf(fileName) : QString()));
    return name;
  }
  ItemContent content = ReadContent(source);
  const QString name = target->WriteItem(QString(), &content);
  files::RemoveFile(source);
  files::NoteMoved(source, target->Locate(name));
  return name;
}

void Folder::RemoveItem(const QString& base) {
  const QString source = Locate(base);
  if (source.isEmpty()) Gone(*this, base);
  files::RemoveFile(source);
}

void Folder::SoftRemoveItem(const QString& base) {
  std::shared_ptr<Store> store = GetStore();
  const QString source = Locate(base);
  if (source.isEmpty()) Gone(*this, base);
  const QString directory = store->RecoverableDirectory();
  files::EnsureDirectory(directory);
  files::MoveFile(source, QStringLiteral("%1/%2.%3.%4")
                              .arg(directory)
                              .arg(QDateTime::currentSecsSinceEpoch())
                              .arg(uid_, QFileInfo(source).fileName()));
}

const std::vector<Folder::Entry>& ItemCollection::Entries() const {
  if (!entries_) entries_ = folder_->ListItems();
  return *entries_;
}

std::shared_ptr<Item> ItemCollection::At(int index) const {
  if (index < 1 || index > Count())
    throw StoreError(QStringLiteral("there is no item %1 (the collection holds %2)").arg(index).arg(Count()));
  return folder_->LoadItem(Entries()[index - 1].base);
}

ItemCollection ItemCollection::Restrict(const QString& filter) const {
  const Restriction restriction = Restriction::Parse(filter);
  ItemCollection restricted;
  restricted.folder_ = folder_;
  restricted.entries_.emplace();
  for (const Folder::Entry& entry : Entries())
    if (restriction.Matches(entry.subject)) restricted.entries_->push_back(entry);
  return restricted;
}

std::shared_ptr<Item> ItemCollection::Add(const QString& messageClass) const {
  return folder_->AddItem(messageClass);
}

}  // namespace vasnik
