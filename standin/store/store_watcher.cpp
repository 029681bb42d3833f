#include "standin/store/store_watcher.h"

#include "standin/store/entry_id.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder.h"
#include "standin/store/ical_codec.h"
#include "standin/store/maildir.h"
#include "standin/store/mime_codec.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QAbstractEventDispatcher>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vasnik {

namespace {

// Everything that changes which files a directory holds or what is in
// them. Opening and reading are left out on purpose: the watcher's own
// reads (and any rescan) then cause no events, so a rescan can never
// overflow the queue that it is repairing.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR | IN_EXCL_UNLINK;
// Announcements and own writes whose files never showed up are forgotten.
constexpr qint64 kForgetMs = 10000;
// What a listing reads of a mail to see that it is one (as Folder does).
constexpr qint64 kHeaderReadLimit = 256 * 1024;

int g_libraryCalls = 0;

bool IsIcsName(const QString& name) { return name.endsWith(u".ics", Qt::CaseInsensitive); }
bool IsEmlName(const QString& name) { return name.endsWith(u".eml", Qt::CaseInsensitive); }

// The base name of an item file, empty for a file that is no item: a
// temporary file, a dot-file, a vdir file that is neither .ics nor .eml.
QString BaseOfFile(bool calendar, const QString& fileName) {
  if (fileName.startsWith(u'.')) return {};
  if (calendar) return IsIcsName(fileName) || IsEmlName(fileName) ? fileName : QString();
  return maildir::IsItemFileName(fileName) ? maildir::BaseOf(fileName) : QString();
}

bool IsSubfolderName(const QString& name) {
  return !name.startsWith(u'.') && name != u"cur" && name != u"new" && name != u"tmp";
}

// Whether the file is an item the store lists (Folder::ListItems' rule).
bool IsWellFormed(const QString& path, bool ics) {
  try {
    if (ics) return ical::ReadSummary(files::ReadFile(path)).has_value();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return mime::ReadSubject(mime::HeaderBlock(file.read(kHeaderReadLimit))).has_value();
  } catch (const StoreError&) {
    return false;
  }
}

std::optional<struct stat> StatFile(const QString& path) {
  struct stat info;
  if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return info;
}

std::vector<StoreWatcher*>& LiveWatchers() {
  static std::vector<StoreWatcher*> live;
  return live;
}

}  // namespace

// ---- LibraryCallScope ------------------------------------------------------------------------

LibraryCallScope::LibraryCallScope() { ++g_libraryCalls; }
LibraryCallScope::~LibraryCallScope() { --g_libraryCalls; }
bool LibraryCallScope::Active() { return g_libraryCalls > 0; }

// ---- life --------------------------------------------------------------------------------------

StoreWatcher::StoreWatcher(std::weak_ptr<Store> store) : store_(std::move(store)) {}

StoreWatcher::~StoreWatcher() { Stop(); }

void StoreWatcher::ObserveAll(files::Change change, const QString& path, const QString& from) {
  const std::vector<StoreWatcher*> live = LiveWatchers();
  for (StoreWatcher* watcher : live) watcher->Observed(change, path, from);
}

void StoreWatcher::Start() {
  std::shared_ptr<Store> store = LockStore();
  store->GetSession();
  if (!QAbstractEventDispatcher::instance())
    throw StoreError(QStringLiteral("store events need the program's event loop on this thread"));
  storeUid_ = store->Uid();
  root_ = QDir::cleanPath(store->Directory());
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0)
    throw StoreError(QStringLiteral("cannot watch the store \"%1\": %2")
                         .arg(store->Name(), QString::fromLocal8Bit(std::strerror(errno))));
  clock_.start();
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_, &QSocketNotifier::activated, [this] { OnReadable(); });
  timer_ = new QTimer();
  timer_->setSingleShot(true);
  QObject::connect(timer_, &QTimer::timeout, [this] { Pass(); });

  static const bool observing = [] {
    files::SetObserver(&StoreWatcher::ObserveAll);
    return true;
  }();
  (void)observing;
  LiveWatchers().push_back(this);

  // Watches first, then the snapshot: a change in between is both seen and
  // reported, never missed.
  std::vector<Raised> none;
  try {
    AddFolderTree(store->RootFolder(), QString(), 0, false, none);
  } catch (...) {
    Stop();
    throw;
  }
  for (auto& [uid, folder] : folders_) {
    const QHash<QString, QStringList> files = ListItemFiles(folder);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
      if (std::optional<FileState> state = CurrentFile(folder, it.key(), it.value()))
        folder.items.insert(it.key(), *state);
    folder.rescan = false;
  }
}

void StoreWatcher::Stop() {
  if (stopped_) return;
  stopped_ = true;
  listeners_.clear();
  std::erase(LiveWatchers(), this);
  // Inside a pass the timer is the sender of the running slot: it goes later.
  if (notifier_) {
    notifier_->setEnabled(false);
    if (inPass_) notifier_->deleteLater(); else delete notifier_;
    notifier_ = nullptr;
  }
  if (timer_) {
    timer_->stop();
    if (inPass_) timer_->deleteLater(); else delete timer_;
    timer_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int StoreWatcher::AddListener(Listener listener) {
  const int handle = nextListener_++;
  listeners_.emplace(handle, std::move(listener));
  return handle;
}

void StoreWatcher::RemoveListener(int handle) { listeners_.erase(handle); }

std::shared_ptr<Store> StoreWatcher::LockStore() const {
  std::shared_ptr<Store> store = store_.lock();
  if (!store) throw StoreError(QStringLiteral("the session has logged off"));
  return store;
}

// ---- identifiers and lookups ---------------------------------------------------------------------

QString StoreWatcher::ItemId(const QString& folder, const QString& base) const {
  return ItemEntryId(storeUid_, folder, base);
}

QString StoreWatcher::FolderId(const QString& uid) const {
  return uid.isEmpty() ? QString() : FolderEntryId(storeUid_, uid);
}

StoreWatcher::WatchedFolder* StoreWatcher::FindFolder(const QString& uid) {
  const auto it = folders_.find(uid);
  return it == folders_.end() ? nullptr : &it->second;
}

StoreWatcher::WatchedFolder* StoreWatcher::FolderAt(const QString& directory) {
  for (auto& [uid, folder] : folders_)
    if (!folder.gone && folder.directory == directory) return &folder;
  return nullptr;
}

std::optional<std::pair<QString, QString>> StoreWatcher::ItemOfPath(const QString& path) {
  const QFileInfo info(path);
  const QString directory = info.path();
  const QString name = info.fileName();
  if (WatchedFolder* folder = FolderAt(directory); folder && folder->calendar) {
    const QString base = BaseOfFile(true, name);
    if (!base.isEmpty()) return std::make_pair(folder->uid, base);
    return std::nullopt;
  }
  const QString sub = QFileInfo(directory).fileName();
  if (sub != u"cur" && sub != u"new") return std::nullopt;
  WatchedFolder* folder = FolderAt(QFileInfo(directory).path());
  if (!folder || folder->calendar) return std::nullopt;
  const QString base = BaseOfFile(false, name);
  if (base.isEmpty()) return std::nullopt;
  return std::make_pair(folder->uid, base);
}

// ---- watches and folders -------------------------------------------------------------------------

void StoreWatcher::AddWatch(WatchedFolder& folder, Role role) {
  if (fd_ < 0 || folder.wds[int(role)] >= 0) return;
  const QString path = role == Role::Directory ? folder.directory
                       : role == Role::Cur     ? folder.directory + QStringLiteral("/cur")
                                               : folder.directory + QStringLiteral("/new");
  const int wd = ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), kWatchMask);
  if (wd < 0) {
    // A Maildir without cur/ or new/ yet is watched when they appear.
    if (errno != ENOENT && errno != ENOTDIR)
      LogLine(QStringLiteral("cannot watch %1 (%2): changes there raise no store events")
                  .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return;
  }
  folder.wds[int(role)] = wd;
  wds_.insert(wd, WatchRef{folder.uid, role});
}

void StoreWatcher::RemoveWatches(WatchedFolder& folder) {
  for (int& wd : folder.wds) {
    if (wd < 0) continue;
    const auto it = wds_.constFind(wd);
    if (it != wds_.constEnd() && it->folder == folder.uid) {
      ::inotify_rm_watch(fd_, wd);
      wds_.remove(wd);
    }
    wd = -1;
  }
}

void StoreWatcher::AddFolderTree(const std::shared_ptr<Folder>& folder, const QString& parent, quint64 seq,
                                 bool announce, std::vector<Raised>& raised) {
  WatchedFolder& watched = folders_[folder->uid_];
  watched.uid = folder->uid_;
  watched.parent = parent;
  watched.directory = QDir::cleanPath(folder->directory_);
  watched.calendar = folder->IsCalendarDirectory();
  watched.rescan = true;
  watched.rescanSeq = seq;
  AddWatch(watched, Role::Directory);
  if (!watched.calendar) {
    AddWatch(watched, Role::Cur);
    AddWatch(watched, Role::New);
  }
  if (announce)
    raised.push_back({{StoreEvent::Kind::FolderCreated, {FolderId(watched.uid), FolderId(parent)}}, seq});
  std::vector<std::shared_ptr<Folder>> subfolders;
  try {
    subfolders = folder->Folders();
  } catch (const StoreError& error) {
    // At the start (seq 0) nothing may be missed: watching fails. Later
    // the other folders go on.
    if (seq == 0) throw;
    LogLine(QStringLiteral("store events: %1").arg(error.Message()));
  }
  for (const std::shared_ptr<Folder>& sub : subfolders) {
    if (WatchedFolder* known = FindFolder(sub->uid_)) {
      const QString directory = QDir::cleanPath(sub->directory_);
      if (known->directory != directory || known->parent != folder->uid_)
        MoveFolder(*known, folder->uid_, directory, seq, raised);
      continue;
    }
    AddFolderTree(sub, folder->uid_, seq, announce, raised);
  }
}

void StoreWatcher::MoveFolder(WatchedFolder& folder, const QString& parent, const QString& directory, quint64 seq,
                              std::vector<Raised>& raised) {
  const QString oldDirectory = folder.directory;
  const QString oldParent = folder.parent;
  for (auto& [uid, other] : folders_) {
    if (other.gone) continue;
    if (other.directory == oldDirectory || other.directory.startsWith(oldDirectory + u'/'))
      other.directory = directory + other.directory.mid(oldDirectory.size());
  }
  folder.parent = parent;
  if (oldParent != parent)
    raised.push_back(
        {{StoreEvent::Kind::FolderMoved, {FolderId(folder.uid), FolderId(oldParent), FolderId(parent)}}, seq});
}

void StoreWatcher::MarkGone(WatchedFolder& folder, quint64 seq) {
  if (folder.gone) return;
  folder.gone = true;
  folder.goneSeq = seq;
  folder.rescan = true;
  folder.rescanSeq = seq;
  for (auto& [uid, child] : folders_)
    if (child.parent == folder.uid) MarkGone(child, seq);
}

// ---- events in -------------------------------------------------------------------------------------

void StoreWatcher::OnReadable() {
  Drain();
  ScheduleIfPending();
}

void StoreWatcher::Drain() {
  if (fd_ < 0) return;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (const char* p = buffer; p < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(p);
      Handle(*event, event->len ? QFile::decodeName(event->name) : QString());
      p += sizeof(inotify_event) + event->len;
    }
  }
}

void StoreWatcher::Handle(const inotify_event& event, const QString& name) {
  const quint64 seq = ++seq_;
  if (event.mask & IN_Q_OVERFLOW) {
    if (!overflow_) overflowSeq_ = seq;
    overflow_ = true;
    return;
  }
  const auto it = wds_.constFind(event.wd);
  if (it == wds_.constEnd()) return;
  const WatchRef ref = *it;
  WatchedFolder* folder = FindFolder(ref.folder);
  if (event.mask & IN_IGNORED) {
    wds_.remove(event.wd);
    if (folder && folder->wds[int(ref.role)] == event.wd) folder->wds[int(ref.role)] = -1;
    return;
  }
  if (!folder || folder->gone || name.isEmpty()) return;

  if (event.mask & IN_ISDIR) {
    if (ref.role != Role::Directory) return;
    if (name == u"cur" || name == u"new") {
      if (folder->calendar) return;
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) AddWatch(*folder, name == u"cur" ? Role::Cur : Role::New);
      if (!folder->rescan) folder->rescanSeq = seq;
      folder->rescan = true;
      return;
    }
    if (!IsSubfolderName(name)) return;
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) arrived_.push_back({folder->uid, name, seq});
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) left_.push_back({folder->uid, name, seq});
    return;
  }

  QString relative;
  switch (ref.role) {
    case Role::Directory:
      if (!folder->calendar) return;  // files beside a Maildir's cur/ and new/ are no items
      relative = name;
      break;
    case Role::Cur:
      relative = QStringLiteral("cur/") + name;
      break;
    case Role::New:
      relative = QStringLiteral("new/") + name;
      break;
  }
  const QString base = BaseOfFile(folder->calendar, name);
  if (base.isEmpty()) return;

  const qint64 now = clock_.elapsed();
  Touch& touch = folder->touched[base];
  if (touch.seq == 0) touch.seq = seq;
  touch.lastMs = now;
  touch.names.insert(relative);
  if (event.mask & IN_MODIFY) touch.writing = Writing::Written;
  else if ((event.mask & IN_CREATE) && touch.writing == Writing::None) touch.writing = Writing::Created;
  if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) touch.writing = Writing::None;

  if (event.mask & IN_MOVED_FROM) pendingFrom_.insert(event.cookie, PendingFrom{folder->uid, base, now});
  if (event.mask & IN_MOVED_TO) {
    const auto from = pendingFrom_.constFind(event.cookie);
    if (from != pendingFrom_.constEnd()) {
      moves_.push_back({from->folder, from->base, folder->uid, base});
      pendingFrom_.erase(from);
    }
  }
}

void StoreWatcher::Observed(files::Change change, const QString& path, const QString& from) {
  if (stopped_) return;
  const QString clean = QDir::cleanPath(path);
  if (!clean.startsWith(root_ + u'/')) return;
  const qint64 now = clock_.elapsed();
  if (change == files::Change::Written || change == files::Change::Moved) {
    ownWrites_.insert(clean, now);
    if (const std::optional<struct stat> info = StatFile(clean)) ownFiles_.insert(clean, StateOf(*info));
  }
  if (change == files::Change::Moved) announced_.push_back({QDir::cleanPath(from), clean, now});
}

bool StoreWatcher::Pending() const {
  if (overflow_ || !arrived_.empty() || !left_.empty() || !pendingFrom_.isEmpty()) return true;
  for (const auto& [uid, folder] : folders_)
    if (folder.rescan || folder.gone || !folder.touched.isEmpty()) return true;
  return false;
}

void StoreWatcher::ScheduleIfPending() {
  if (!stopped_ && timer_ && !timer_->isActive() && Pending()) timer_->start(kSettleMs);
}

// ---- one look at what changed ----------------------------------------------------------------------

void StoreWatcher::Pass() {
  if (stopped_) return;
  if (inPass_ || LibraryCallScope::Active()) {
    timer_->start(kSettleMs);
    return;
  }
  const std::shared_ptr<StoreWatcher> self = shared_from_this();
  inPass_ = true;
  std::vector<Raised> raised;
  try {
    Drain();
    if (overflow_) Rescan(raised);
    ApplyDirectoryChanges(raised);
    ReconcileItems(clock_.elapsed(), raised);
    RemoveGoneFolders(raised);
  } catch (const std::exception& error) {
    // The store has gone (log-off) or a folder could not be read; what
    // remains pending is looked at again.
    LogLine(QStringLiteral("store events: %1").arg(QString::fromUtf8(error.what())));
  }
  const qint64 now = clock_.elapsed();
  ownWrites_.removeIf([now](const auto& entry) { return now - entry.value() > kForgetMs; });
  ownFiles_.removeIf([this](const auto& entry) { return !ownWrites_.contains(entry.key()); });
  std::erase_if(announced_, [now](const Announced& a) { return now - a.ms > kForgetMs; });
  std::stable_sort(raised.begin(), raised.end(), [](const Raised& a, const Raised& b) { return a.seq < b.seq; });
  Emit(raised);
  inPass_ = false;
  ScheduleIfPending();
}

void StoreWatcher::Emit(std::vector<Raised>& raised) {
  for (const Raised& one : raised) {
    std::vector<int> handles;
    for (const auto& [handle, listener] : listeners_) handles.push_back(handle);
    for (int handle : handles) {
      if (stopped_) return;
      const auto it = listeners_.find(handle);
      if (it == listeners_.end()) continue;
      const Listener listener = it->second;
      try {
        listener(one.event);
      } catch (const std::exception& error) {
        LogLine(QStringLiteral("a store event listener failed: %1").arg(QString::fromUtf8(error.what())));
      } catch (...) {
        LogLine(QStringLiteral("a store event listener failed"));
      }
    }
  }
}

void StoreWatcher::Rescan(std::vector<Raised>& raised) {
  overflow_ = false;
  const quint64 seq = overflowSeq_;
  LogLine(QStringLiteral("the event queue of %1 overflowed: reading every folder again").arg(root_));
  // Every subfolder is offered as arrived and every folder as left: both
  // lists compare the directories with what was known.
  for (auto& [uid, folder] : folders_) {
    if (folder.gone) continue;
    if (!folder.rescan) folder.rescanSeq = seq;
    folder.rescan = true;
    AddWatch(folder, Role::Directory);
    if (!folder.calendar) {
      AddWatch(folder, Role::Cur);
      AddWatch(folder, Role::New);
    }
    for (const QString& name : QDir(folder.directory).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
      if (IsSubfolderName(name)) arrived_.push_back({uid, name, seq});
    if (!folder.parent.isEmpty()) left_.push_back({folder.parent, QFileInfo(folder.directory).fileName(), seq});
  }
}

void StoreWatcher::ApplyDirectoryChanges(std::vector<Raised>& raised) {
  if (arrived_.empty() && left_.empty()) return;
  std::shared_ptr<Store> store = LockStore();
  const std::vector<DirectoryChange> arrived = std::move(arrived_);
  const std::vector<DirectoryChange> left = std::move(left_);
  arrived_.clear();
  left_.clear();

  auto adopt = [&](const DirectoryChange& change) -> std::shared_ptr<Folder> {
    WatchedFolder* parent = FindFolder(change.parent);
    if (!parent || parent->gone) return nullptr;
    const QString path = parent->directory + u'/' + change.name;
    if (!QFileInfo(path).isDir()) return nullptr;
    std::shared_ptr<Folder> parentFolder = store->FolderByUid(change.parent);
    return parentFolder ? store->Adopt(path, parentFolder) : nullptr;
  };

  // Arrivals first: a folder that moved is found at its new place before
  // its old place is taken for gone.
  for (const DirectoryChange& change : arrived) {
    std::shared_ptr<Folder> folder;
    try {
      folder = adopt(change);
    } catch (const StoreError& error) {
      LogLine(error.Message());
    }
    if (!folder) continue;
    const QString directory = QDir::cleanPath(folder->directory_);
    if (WatchedFolder* known = FindFolder(folder->uid_); known && !known->gone) {
      if (known->directory != directory || known->parent != change.parent)
        MoveFolder(*known, change.parent, directory, change.seq, raised);
      continue;
    }
    AddFolderTree(folder, change.parent, change.seq, true, raised);
  }
  for (const DirectoryChange& change : left) {
    WatchedFolder* parent = FindFolder(change.parent);
    if (!parent) continue;
    WatchedFolder* folder = FolderAt(parent->directory + u'/' + change.name);
    if (!folder) continue;
    std::shared_ptr<Folder> still;
    try {
      still = adopt(change);
    } catch (const StoreError& error) {
      LogLine(error.Message());
    }
    if (still && still->uid_ == folder->uid) continue;  // went and came back
    MarkGone(*folder, change.seq);
  }
}

QHash<QString, QStringList> StoreWatcher::ListItemFiles(const WatchedFolder& folder) const {
  QHash<QString, QStringList> files;
  if (folder.gone) return files;
  const QDir::Filters filter = QDir::Files;
  if (folder.calendar) {
    for (const QString& name : QDir(folder.directory).entryList(filter, QDir::Unsorted)) {
      const QString base = BaseOfFile(true, name);
      if (!base.isEmpty()) files[base].append(name);
    }
    return files;
  }
  for (const char* sub : {"cur", "new"}) {
    const QString prefix = QLatin1String(sub) + u'/';
    for (const QString& name : QDir(folder.directory + u'/' + QLatin1String(sub)).entryList(filter, QDir::Unsorted)) {
      const QString base = BaseOfFile(false, name);
      if (!base.isEmpty()) files[base].append(prefix + name);
    }
  }
  return files;
}

StoreWatcher::FileState StoreWatcher::StateOf(const struct stat& info) {
  FileState state;
  state.device = quint64(info.st_dev);
  state.inode = quint64(info.st_ino);
  state.size = qint64(info.st_size);
  state.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return state;
}

std::optional<StoreWatcher::FileState> StoreWatcher::CurrentFile(const WatchedFolder& folder, const QString& base,
                                                                  const QStringList& names) const {
  if (folder.gone) return std::nullopt;
  // A Maildir item is its file in cur/ when it has one: that is where it
  // goes from new/, and the library's edits write it there.
  QStringList ordered = names;
  ordered.removeDuplicates();
  std::stable_sort(ordered.begin(), ordered.end(), [](const QString& a, const QString& b) {
    return a.startsWith(u"cur/") && !b.startsWith(u"cur/");
  });
  const auto known = folder.items.constFind(base);
  for (const QString& name : ordered) {
    if (BaseOfFile(folder.calendar, QFileInfo(name).fileName()) != base) continue;
    const QString path = folder.directory + u'/' + name;
    const std::optional<struct stat> info = StatFile(path);
    if (!info) continue;
    FileState state = StateOf(*info);
    state.name = name;
    if (known != folder.items.constEnd() && known->SameFile(state)) {
      state.digest = known->digest;
      return state;
    }
    const auto own = ownFiles_.constFind(path);
    const bool whole = own != ownFiles_.constEnd() && own->SameFile(state);
    if (!whole && !IsWellFormed(path, folder.calendar && IsIcsName(name))) return std::nullopt;
    return state;
  }
  return std::nullopt;
}

QByteArray StoreWatcher::Digest(const WatchedFolder& folder, FileState& state) const {
  if (state.digest.isEmpty()) {
    QFile file(folder.directory + u'/' + state.name);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) return {};
    state.digest = hash.result();
  }
  return state.digest;
}

bool StoreWatcher::IsCopy(const Outcome& created, const QHash<QString, quint64>& createdNow) {
  WatchedFolder* folder = FindFolder(created.folder);
  if (!folder) return false;
  const auto mine = folder->items.find(created.base);
  if (mine == folder->items.end()) return false;
  const quint64 myOrder = createdNow.value(created.folder + u'/' + created.base);
  QByteArray digest;
  for (auto& [uid, other] : folders_) {
    if (other.gone) continue;
    for (auto it = other.items.begin(); it != other.items.end(); ++it) {
      if (it->size != mine->size || (uid == created.folder && it.key() == created.base)) continue;
      // The original is an item that was there before, or came earlier.
      const auto order = createdNow.constFind(uid + u'/' + it.key());
      if (order != createdNow.constEnd() && *order > myOrder) continue;
      if (digest.isEmpty()) digest = Digest(*folder, *mine);
      if (digest.isEmpty()) return false;
      if (Digest(other, *it) == digest) return true;
    }
  }
  return false;
}

namespace {

// An item of a watched folder as one text: folder uid, "/", base name.
QString ItemKeyText(const QString& folder, const QString& base) { return folder + u'/' + base; }

}  // namespace

void StoreWatcher::ReconcileItems(qint64 now, std::vector<Raised>& raised) {
  TakeAnnouncedMoves();
  const QSet<QString> deferred = DeferredItems(now);
  const std::vector<MoveRecord> ready = TakeReadyMoves(deferred);
  std::vector<Outcome> outcomes = LookAtItems(deferred);
  JoinMoves(outcomes, ready);
  MarkCopies(outcomes);
  RaiseOutcomes(outcomes, raised);
}

void StoreWatcher::TakeAnnouncedMoves() {
  // The library's word on its own moves.
  for (const Announced& announced : announced_) {
    const auto from = ItemOfPath(announced.from);
    const auto to = ItemOfPath(announced.to);
    if (from && to) moves_.push_back({from->first, from->second, to->first, to->second});
  }
  announced_.clear();
}

QSet<QString> StoreWatcher::DeferredItems(qint64 now) {
  // What must wait: a rename-away whose other half may still come, a file
  // still being written (until it is closed or kWriteHoldMs passed).
  QSet<QString> deferred;
  for (auto it = pendingFrom_.begin(); it != pendingFrom_.end();) {
    if (now - it->ms < kPairWaitMs) {
      deferred.insert(ItemKeyText(it->folder, it->base));
      ++it;
    } else {
      it = pendingFrom_.erase(it);
    }
  }
  for (auto& [uid, folder] : folders_) {
    for (auto it = folder.touched.constBegin(); it != folder.touched.constEnd(); ++it) {
      const Touch& touch = it.value();
      if (touch.writing == Writing::None || now - touch.lastMs >= kWriteHoldMs) continue;
      bool hold = touch.writing == Writing::Written;
      if (touch.writing == Writing::Created) {
        // Created and not written since: a link (khal, qmail-style
        // delivery) brings its bytes along; an empty file is still to come.
        hold = true;
        for (const QString& name : touch.names)
          if (const auto info = StatFile(folder.directory + u'/' + name); info && info->st_size > 0) hold = false;
      }
      if (hold) deferred.insert(ItemKeyText(uid, it.key()));
    }
  }
  // Both ends of a move are looked at in the same pass.
  for (bool grew = true; grew;) {
    grew = false;
    for (const MoveRecord& move : moves_) {
      const QString from = ItemKeyText(move.fromFolder, move.fromBase);
      const QString to = ItemKeyText(move.toFolder, move.toBase);
      if (deferred.contains(from) != deferred.contains(to)) {
        deferred.insert(from);
        deferred.insert(to);
        grew = true;
      }
    }
  }
  return deferred;
}

std::vector<StoreWatcher::MoveRecord> StoreWatcher::TakeReadyMoves(const QSet<QString>& deferred) {
  std::vector<MoveRecord> ready;
  std::vector<MoveRecord> waiting;
  for (MoveRecord& move : moves_)
    (deferred.contains(ItemKeyText(move.fromFolder, move.fromBase)) ? waiting : ready).push_back(std::move(move));
  moves_ = std::move(waiting);
  return ready;
}

std::vector<StoreWatcher::Outcome> StoreWatcher::LookAtItems(const QSet<QString>& deferred) {
  // What happened to each item looked at, in the order it happened.
  std::vector<Outcome> outcomes;
  for (auto& [uid, folder] : folders_) {
    QHash<QString, QStringList> candidates;
    quint64 folderSeq = 0;
    if (folder.rescan) {
      candidates = ListItemFiles(folder);
      for (auto it = folder.items.constBegin(); it != folder.items.constEnd(); ++it) candidates[it.key()];
      folderSeq = folder.rescanSeq;
      folder.rescan = false;
    }
    for (auto it = folder.touched.constBegin(); it != folder.touched.constEnd(); ++it)
      candidates[it.key()].append(QStringList(it->names.cbegin(), it->names.cend()));
    for (auto it = candidates.begin(); it != candidates.end(); ++it) {
      const QString& base = it.key();
      if (!folder.gone && deferred.contains(ItemKeyText(uid, base))) continue;
      const Touch touch = folder.touched.take(base);
      const quint64 seq = touch.seq ? (folderSeq ? std::min(touch.seq, folderSeq) : touch.seq) : folderSeq;
      QStringList names = it.value();
      const auto before = folder.items.constFind(base);
      if (before != folder.items.constEnd()) names.append(before->name);
      std::optional<FileState> after = CurrentFile(folder, base, names);
      Outcome outcome;
      outcome.folder = uid;
      outcome.base = base;
      outcome.seq = seq;
      if (before == folder.items.constEnd()) {
        if (!after) continue;
        outcome.kind = Outcome::Created;
      } else if (!after) {
        outcome.kind = Outcome::Deleted;
        outcome.before = *before;
      } else if (before->SameFile(*after)) {
        folder.items[base].name = after->name;  // new/ -> cur/, flags: the same item
        continue;
      } else {
        outcome.kind = Outcome::Modified;
        outcome.before = *before;
      }
      if (after) {
        outcome.after = *after;
        const QString path = folder.directory + u'/' + after->name;
        outcome.own = ownWrites_.contains(path);
        ownWrites_.remove(path);
        folder.items.insert(base, *after);
      } else {
        folder.items.remove(base);
      }
      outcomes.push_back(std::move(outcome));
    }
  }
  std::stable_sort(outcomes.begin(), outcomes.end(), [](const Outcome& a, const Outcome& b) { return a.seq < b.seq; });
  return outcomes;
}

void StoreWatcher::JoinMoves(std::vector<Outcome>& outcomes, const std::vector<MoveRecord>& ready) {
  // A deletion in one folder and a new file in another are one item when a
  // rename's cookie, the library or the file itself says so. (Within one
  // folder a new name is a new identifier: deleted and created.)
  auto find = [&](const QString& folder, const QString& base, bool gone) -> Outcome* {
    for (Outcome& outcome : outcomes) {
      if (outcome.dropped || outcome.folder != folder || outcome.base != base) continue;
      const bool isGone = outcome.kind == Outcome::Deleted;
      const bool isNew = outcome.kind == Outcome::Created || outcome.kind == Outcome::Modified;
      if (gone ? isGone : isNew) return &outcome;
    }
    return nullptr;
  };
  auto join = [](Outcome& gone, Outcome& arrived) {
    arrived.kind = Outcome::Moved;
    arrived.fromFolder = gone.folder;
    arrived.fromBase = gone.base;
    gone.dropped = true;
  };
  for (const MoveRecord& move : ready) {
    if (move.fromFolder == move.toFolder) continue;
    Outcome* gone = find(move.fromFolder, move.fromBase, true);
    Outcome* arrived = find(move.toFolder, move.toBase, false);
    if (gone && arrived) join(*gone, *arrived);
  }
  for (Outcome& gone : outcomes) {
    if (gone.dropped || gone.kind != Outcome::Deleted) continue;
    for (Outcome& arrived : outcomes) {
      if (arrived.kind == Outcome::Created && arrived.folder != gone.folder && arrived.after.SameFile(gone.before)) {
        join(gone, arrived);
        break;
      }
    }
  }
}

void StoreWatcher::MarkCopies(std::vector<Outcome>& outcomes) {
  // A new file with the bytes of an item that was there before it.
  QHash<QString, quint64> createdNow;
  quint64 order = 0;
  for (const Outcome& outcome : outcomes)
    if (!outcome.dropped && outcome.kind == Outcome::Created)
      createdNow.insert(ItemKeyText(outcome.folder, outcome.base), ++order);
  for (Outcome& outcome : outcomes)
    if (!outcome.dropped && outcome.kind == Outcome::Created && !outcome.own && IsCopy(outcome, createdNow))
      outcome.kind = Outcome::Copied;
}

void StoreWatcher::RaiseOutcomes(const std::vector<Outcome>& outcomes, std::vector<Raised>& raised) const {
  for (const Outcome& outcome : outcomes) {
    if (outcome.dropped) continue;
    const QString item = ItemId(outcome.folder, outcome.base);
    const QString folder = FolderId(outcome.folder);
    StoreEvent event;
    switch (outcome.kind) {
      case Outcome::Created:
        event = {StoreEvent::Kind::MessageCreated, {item, folder}};
        break;
      case Outcome::Modified:
        event = {StoreEvent::Kind::MessageModified, {item, folder}};
        break;
      case Outcome::Deleted:
        event = {StoreEvent::Kind::MessageDeleted, {item, folder}};
        break;
      case Outcome::Copied:
        event = {StoreEvent::Kind::MessageCopied, {item}};
        break;
      case Outcome::Moved:
        event = {StoreEvent::Kind::MessageMoved,
                 {item, FolderId(outcome.fromFolder), folder, ItemId(outcome.fromFolder, outcome.fromBase)}};
        break;
    }
    raised.push_back({std::move(event), outcome.seq});
  }
}

void StoreWatcher::RemoveGoneFolders(std::vector<Raised>& raised) {
  std::vector<WatchedFolder*> gone;
  for (auto& [uid, folder] : folders_)
    if (folder.gone) gone.push_back(&folder);
  // Deepest first: a folder goes after its subfolders.
  std::stable_sort(gone.begin(), gone.end(), [](const WatchedFolder* a, const WatchedFolder* b) {
    return a->directory.count(u'/') > b->directory.count(u'/');
  });
  std::vector<QString> uids;
  for (WatchedFolder* folder : gone) {
    raised.push_back({{StoreEvent::Kind::FolderDeleted, {FolderId(folder->uid), FolderId(folder->parent)}},
                      folder->goneSeq});
    RemoveWatches(*folder);
    uids.push_back(folder->uid);
  }
  for (const QString& uid : uids) folders_.erase(uid);
}

}  // namespace vasnik
