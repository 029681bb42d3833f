#include "standin/store/store.h"

#include "standin/store/constants.h"
#include "standin/store/entry_id.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder.h"
#include "standin/store/maildir.h"
#include "standin/store/session.h"
#include "standin/store/store_error.h"
#include "standin/store/store_watcher.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace vasnik {

namespace {

const QString kStoreFile = QStringLiteral(".vasnik-store");
const QString kFolderFile = QStringLiteral(".vasnik-folder");
const QString kRecoverable = QStringLiteral(".vasnik-recoverable");
constexpr qint64 kRecoverableSeconds = 14 * 24 * 3600;

struct DefaultFolderSpec {
  int kind;
  const char* name;
  int itemType;
};
constexpr DefaultFolderSpec kDefaultFolders[] = {
    {kFolderInbox, "Inbox", kItemMail},          {kFolderDrafts, "Drafts", kItemMail},
    {kFolderSentItems, "Sent Items", kItemMail}, {kFolderDeletedItems, "Deleted Items", kItemMail},
    {kFolderOutbox, "Outbox", kItemMail},        {kFolderCalendar, "Calendar", kItemAppointment},
    {kFolderContacts, "Contacts", kItemContact}, {kFolderTasks, "Tasks", kItemTask},
};

struct FolderMeta {
  bool present = false;
  QString uid;  // empty when missing or not a uid
  QString name;
  QString directoryName;  // the directory's name when the file was written
  int itemType = kItemMail;
  bool typeKnown = false;
};

FolderMeta ReadFolderMeta(const QString& directory) {
  FolderMeta meta;
  const QString path = directory + u'/' + kFolderFile;
  if (!QFileInfo(path).isFile()) return meta;
  meta.present = true;
  QSettings ini(path, QSettings::IniFormat);
  const QString uid = ini.value(QStringLiteral("Folder/Uid")).toString().trimmed().toUpper();
  if (IsUid(uid)) meta.uid = uid;
  // A hand-edited name with a comma reads as a list; it means the text.
  const QVariant name = ini.value(QStringLiteral("Folder/Name"));
  meta.name = name.typeId() == QMetaType::QStringList ? name.toStringList().join(QStringLiteral(", "))
                                                      : name.toString();
  meta.directoryName = ini.value(QStringLiteral("Folder/Directory")).toString();
  bool ok = false;
  const int type = ini.value(QStringLiteral("Folder/DefaultItemType")).toString().toInt(&ok);
  if (ok && type >= kItemMail && type <= kItemDistributionList) {
    meta.itemType = type;
    meta.typeKnown = true;
  }
  return meta;
}

void WriteFolderMeta(const QString& directory, const QString& uid, const QString& name, int itemType) {
  files::WriteSettings(directory + u'/' + kFolderFile, [&](QSettings& ini) {
    ini.setValue(QStringLiteral("Folder/Uid"), uid);
    ini.setValue(QStringLiteral("Folder/Name"), name);
    ini.setValue(QStringLiteral("Folder/DefaultItemType"), itemType);
    ini.setValue(QStringLiteral("Folder/Directory"), QFileInfo(directory).fileName());
  });
}

// A directory that another program made: a Maildir is a mail folder, a
// directory with .ics files a calendar.
int GuessItemType(const QString& directory) {
  if (maildir::IsMaildir(directory)) return kItemMail;
  const QStringList ics = QDir(directory).entryList({QStringLiteral("*.ics")}, QDir::Files);
  return ics.isEmpty() ? kItemMail : kItemAppointment;
}

// The directory name for a display name: no "/" or NUL, no leading dot, not
// one of the Maildir subdirectories, not taken.
QString DirectoryNameFor(const QString& parentDirectory, const QString& name) {
  QString base = name;
  base.replace(u'/', u'_').remove(QChar(0));
  if (base.startsWith(u'.')) base[0] = u'_';
  if (base == u"cur" || base == u"new" || base == u"tmp") base += u'_';
  QString candidate = base;
  for (int n = 2; QFileInfo::exists(parentDirectory + u'/' + candidate); ++n)
    candidate = QStringLiteral("%1 (%2)").arg(base).arg(n);
  return candidate;
}

}  // namespace

Store::Store(std::weak_ptr<Session> session, StoreSettings settings)
    : session_(std::move(session)), settings_(std::move(settings)) {}

Store::~Store() { StopEvents(); }

QString Store::EntryID() const { return StoreEntryId(uid_); }
QString Store::Name() const { return settings_.name; }
int Store::StoreKind() const { return settings_.kind; }

std::optional<StoreAccount> Store::Account() const {
  if (!settings_.accountType) return std::nullopt;
  return StoreAccount{*settings_.accountType, settings_.accountAddress};
}

QString Store::OwnerSmtpAddress() const { return settings_.ownerAddress; }

QString Store::SenderAddress() const {
  return settings_.accountType ? settings_.accountAddress : settings_.ownerAddress;
}

QString Store::Directory() const { return settings_.directory; }

std::shared_ptr<Session> Store::GetSession() const {
  std::shared_ptr<Session> session = session_.lock();
  if (!session || closed_)
    throw StoreError(QStringLiteral("the session has logged off"));
  return session;
}

std::shared_ptr<StoreWatcher> Store::Events() {
  GetSession();
  if (!watcher_) {
    std::shared_ptr<StoreWatcher> watcher(new StoreWatcher(weak_from_this()));
    watcher->Start();
    watcher_ = std::move(watcher);
  }
  return watcher_;
}

void Store::StopEvents() {
  if (watcher_) watcher_->Stop();
  watcher_.reset();
}

std::shared_ptr<Folder> Store::RootFolder() const {
  GetSession();
  return root_;
}

std::shared_ptr<Folder> Store::GetDefaultFolder(int kind) {
  GetSession();
  const auto it = defaultFolders_.find(kind);
  std::shared_ptr<Folder> folder =
      it == defaultFolders_.end() ? nullptr : FolderByUid(it->second);
  if (!folder)
    throw StoreError(QStringLiteral("the store \"%1\" has no default folder of kind %2")
                         .arg(settings_.name)
                         .arg(kind));
  return folder;
}

void Store::Open() {
  const QString& directory = settings_.directory;
  if (QFileInfo(directory).exists() && !QFileInfo(directory).isDir())
    throw StoreError(QStringLiteral("the directory %1 of store \"%2\" is not a directory")
                         .arg(directory, settings_.name));
  files::EnsureDirectory(directory);
  const QString metaPath = directory + u'/' + kStoreFile;
  const bool fresh = !QFileInfo::exists(metaPath);
  if (fresh) {
    uid_ = NewUid();
  } else {
    QSettings ini(metaPath, QSettings::IniFormat);
    uid_ = ini.value(QStringLiteral("Store/Uid")).toString().trimmed().toUpper();
    if (ini.status() != QSettings::NoError || !IsUid(uid_))
      throw StoreError(QStringLiteral("the store file %1 cannot be used: it holds no valid Uid")
                           .arg(metaPath));
    ini.beginGroup(QStringLiteral("DefaultFolders"));
    for (const QString& key : ini.childKeys()) {
      bool ok = false;
      const int kind = key.toInt(&ok);
      const QString uid = ini.value(key).toString().trimmed().toUpper();
      if (ok && IsUid(uid)) defaultFolders_[kind] = uid;
    }
    ini.endGroup();
  }
  root_ = Adopt(directory, nullptr);
  root_->root_ = true;
  root_->name_ = settings_.name;
  if (fresh) {
    if (settings_.kind != kStorePublicFolders) {
      for (const DefaultFolderSpec& spec : kDefaultFolders) {
        const QString name = QString::fromLatin1(spec.name);
        const QString path = directory + u'/' + name;
        std::shared_ptr<Folder> folder =
            QFileInfo(path).isDir() ? Adopt(path, root_) : NewFolder(root_, name, spec.itemType);
        defaultFolders_[spec.kind] = folder->uid_;
      }
    }
    WriteMetadata();
  }
  Scan(root_);
}

void Store::WriteMetadata() {
  files::WriteSettings(settings_.directory + u'/' + kStoreFile, [&](QSettings& ini) {
    ini.setValue(QStringLiteral("Store/Uid"), uid_);
    ini.setValue(QStringLiteral("Store/Name"), settings_.name);
    for (const auto& [kind, uid] : defaultFolders_)
      ini.setValue(QStringLiteral("DefaultFolders/%1").arg(kind), uid);
  });
}

std::shared_ptr<Folder> Store::Adopt(const QString& directory, const std::shared_ptr<Folder>& parent) {
  const QString path = QDir::cleanPath(directory);
  const QString dirName = QFileInfo(path).fileName();
  FolderMeta meta = ReadFolderMeta(path);
  if (meta.uid.isEmpty()) return NewIdentity(path, parent, meta.name, meta.typeKnown, meta.itemType);
  const auto it = folders_.find(meta.uid);
  if (it == folders_.end()) {
    std::shared_ptr<Folder> folder(new Folder(weak_from_this(), uid_, meta.uid, path));
    folder->name_ = meta.name.isEmpty() ? dirName : meta.name;
    folder->itemType_ = meta.typeKnown ? meta.itemType : GuessItemType(path);
    folder->parent_ = parent;
    folders_[meta.uid] = folder;
    return folder;
  }
  std::shared_ptr<Folder> known = it->second;
  auto update = [&](const std::shared_ptr<Folder>& folder) {
    folder->directory_ = path;
    if (!meta.name.isEmpty() && !folder->root_) folder->name_ = meta.name;
    if (meta.typeKnown) folder->itemType_ = meta.itemType;
    folder->parent_ = parent;
  };
  if (known->directory_ == path) {
    update(known);
    return known;
  }
  const FolderMeta knownMeta = ReadFolderMeta(known->directory_);
  if (!QFileInfo(known->directory_).isDir() || knownMeta.uid != meta.uid) {
    // Another program renamed or moved the folder: same folder, new place.
    update(known);
    WriteFolderMeta(path, meta.uid, known->name_, known->itemType_);
    return known;
  }
  // Two directories claim one identifier: one is a copy of the other. The
  // original is the one still under the name its metadata was written for;
  // the copy becomes a folder of its own.
  const QString knownName = QFileInfo(known->directory_).fileName();
  if (meta.directoryName == dirName && knownMeta.directoryName != knownName) {
    const QString copyPath = known->directory_;
    const std::shared_ptr<Folder> copyParent = known->parent_.lock();
    update(known);
    NewIdentity(copyPath, copyParent, knownMeta.name, knownMeta.typeKnown, knownMeta.itemType);
    return known;
  }
  return NewIdentity(path, parent, meta.name, meta.typeKnown, meta.itemType);
}

std::shared_ptr<Folder> Store::NewIdentity(const QString& path, const std::shared_ptr<Folder>& parent,
                                           const QString& name, bool typeKnown, int itemType) {
  const QString uid = NewUid();
  std::shared_ptr<Folder> folder(new Folder(weak_from_this(), uid_, uid, path));
  folder->name_ = name.isEmpty() ? QFileInfo(path).fileName() : name;
  folder->itemType_ = typeKnown ? itemType : GuessItemType(path);
  folder->parent_ = parent;
  WriteFolderMeta(path, uid, folder->name_, folder->itemType_);
  folders_[uid] = folder;
  return folder;
}

void Store::Scan(const std::shared_ptr<Folder>& folder) {
  for (const std::shared_ptr<Folder>& sub : folder->Folders()) Scan(sub);
}

std::shared_ptr<Folder> Store::FolderByUid(const QString& uid) {
  const QString key = uid.toUpper();
  auto usable = [&]() -> std::shared_ptr<Folder> {
    const auto it = folders_.find(key);
    if (it == folders_.end() || !QFileInfo(it->second->directory_).isDir()) return nullptr;
    return it->second;
  };
  if (auto folder = usable()) return folder;
  Scan(root_);
  if (auto folder = usable()) return folder;
  folders_.erase(key);  // its directory is gone
  return nullptr;
}

std::shared_ptr<Folder> Store::NewFolder(const std::shared_ptr<Folder>& parent, const QString& name,
                                         int itemType) {
  const QString path = parent->directory_ + u'/' + DirectoryNameFor(parent->directory_, name);
  files::EnsureDirectory(path);
  if (itemType != kItemAppointment) maildir::Create(path);
  WriteFolderMeta(path, NewUid(), name, itemType);
  return Adopt(path, parent);
}

QString Store::RecoverableDirectory() const { return settings_.directory + u'/' + kRecoverable; }

void Store::PurgeRecoverable() {
  const QDir dir(RecoverableDirectory());
  if (!dir.exists()) return;
  const qint64 limit = QDateTime::currentSecsSinceEpoch() - kRecoverableSeconds;
  for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden)) {
    bool ok = false;
    const qint64 deletedAt = name.section(u'.', 0, 0).toLongLong(&ok);
    if (!ok || deletedAt >= limit) continue;
    try {
      files::RemoveFile(dir.filePath(name));
    } catch (const StoreError& error) {
      LogLine(error.Message());
    }
  }
}

}  // namespace vasnik
