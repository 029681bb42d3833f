#pragma once
// StoreWatcher: the store events of one store, from inotify.
//
// Every folder directory of the store is watched (a Maildir's own directory,
// cur/ and new/; a vdir's directory), folders that appear later included.
// A snapshot per folder — item base name -> file, device, inode, size and
// modification time — tells what a change did. Whoever made the change (the
// library itself, khal, a mail server, a user's mv) the rules are the same
// (doc/vasnik_store.md, "Store events"):
//
// - A file that appears is MessageCreated; one whose file was rewritten or
//   replaced is MessageModified; one that goes is MessageDeleted.
// - An item that leaves one folder and enters another is MessageMoved, with
//   its new and old identifiers. Moves are paired by the inotify cookie of a
//   rename, by the library's own word (files::NoteMoved), or by the file
//   itself (same device, inode, size and time: a link and unlink, or a move
//   that the queue lost).
// - A new item whose bytes equal those of an item the store already holds is
//   MessageCopied, unless the library wrote it.
// - Temporary files (Maildir tmp/, dot-files, khal's "tmp..." files) and
//   files that are not well-formed items raise nothing. A Maildir file that
//   moves from new/ to cur/ or changes its flags is the same item.
// - A file still being written waits until it is closed (at most
//   kWriteHoldMs after its last event); changes to one item within one
//   batch are reported once.
// - When the kernel's queue overflows, every folder is read again and
//   compared with the snapshot, and what differs is raised.
// - Folders: FolderCreated, FolderDeleted (after the deletion of every item
//   it still held) and FolderMoved (another parent).
//
// Delivery. Events are raised from the event loop only — a timer, after a
// short settling time — never from inside a call into the store, and never
// while a library call is in progress (LibraryCallScope), which matters
// when a call runs a nested event loop (the folder picker). Listeners are
// called in the order of the changes.
//
// Lifetime: made by Store::Events() and kept by the store until the session
// logs off (Stop). A listener may log off, remove itself or add others.
//
// REQUIRES: the UI thread, with a Qt event loop.

#include "standin/store/file_ops.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>

class QSocketNotifier;
class QTimer;
struct inotify_event;

namespace vasnik {

class Folder;
class Store;

struct StoreEvent {
  enum class Kind {
    MessageCreated,
    MessageModified,
    MessageDeleted,
    MessageMoved,
    MessageCopied,
    FolderCreated,
    FolderDeleted,
    FolderMoved,
  };
  Kind kind;
  // Entry identifiers, in the order the event declares them:
  //   MessageCreated, MessageModified, MessageDeleted: the item, its folder
  //   MessageMoved: the item at its new place, the folder left, the folder
  //                 entered, the item's identifier before the move
  //   MessageCopied: the new copy
  //   FolderCreated, FolderDeleted: the folder, its parent
  //   FolderMoved: the folder, the parent left, the parent entered
  QStringList args;
};

// A library call in progress. The COM layer opens one for every call it
// serves; while any is open, events wait for the call to return.
class LibraryCallScope {
 public:
  LibraryCallScope();
  ~LibraryCallScope();
  LibraryCallScope(const LibraryCallScope&) = delete;
  LibraryCallScope& operator=(const LibraryCallScope&) = delete;
  static bool Active();
};

class StoreWatcher : public std::enable_shared_from_this<StoreWatcher> {
 public:
  using Listener = std::function<void(const StoreEvent& event)>;

  // Settling time before a batch of changes is looked at.
  static constexpr int kSettleMs = 50;
  // How long an unpaired rename-away waits for its other half.
  static constexpr int kPairWaitMs = 20;
  // How long a file that is still open for writing may hold its events back.
  static constexpr int kWriteHoldMs = 2000;

  ~StoreWatcher();
  StoreWatcher(const StoreWatcher&) = delete;
  StoreWatcher& operator=(const StoreWatcher&) = delete;

  // Returns a handle for RemoveListener. Listeners must not throw; what
  // they throw is logged and dropped.
  int AddListener(Listener listener);
  void RemoveListener(int handle);
  bool Running() const { return fd_ >= 0; }

 private:
  friend class Store;

  enum class Role { Directory, Cur, New };
  enum class Writing { None, Created, Written };

  struct FileState {
    QString name;  // relative to the folder: "cur/<base>:2,S", "new/<base>", "<base>"
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    QByteArray digest;  // of the bytes, computed when first needed
    bool SameFile(const FileState& other) const {
      return device == other.device && inode == other.inode && size == other.size &&
             modifiedNs == other.modifiedNs;
    }
  };

  // What the events since the last look said about one item base name.
  struct Touch {
    quint64 seq = 0;     // the first such event
    qint64 lastMs = 0;   // the latest
    Writing writing = Writing::None;
    QSet<QString> names;  // relative file names the events named
  };

  struct WatchedFolder {
    QString uid;
    QString parent;  // empty for the root folder
    QString directory;
    bool calendar = false;
    int wds[3] = {-1, -1, -1};  // by Role
    QHash<QString, FileState> items;  // base name -> the item's file
    QHash<QString, Touch> touched;
    bool rescan = false;  // look at every file, not only the touched ones
    quint64 rescanSeq = 0;
    bool gone = false;
    quint64 goneSeq = 0;
  };

  struct WatchRef {
    QString folder;
    Role role;
  };

  struct PendingFrom {
    QString folder;
    QString base;
    qint64 ms = 0;
  };

  struct MoveRecord {
    QString fromFolder, fromBase, toFolder, toBase;
  };

  struct DirectoryChange {
    QString parent;
    QString name;
    quint64 seq = 0;
  };

  struct Announced {
    QString from, to;
    qint64 ms = 0;
  };

  struct Outcome {
    enum Kind { Created, Modified, Deleted, Moved, Copied } kind;
    QString folder, base;
    FileState before, after;
    quint64 seq = 0;
    bool own = false;  // written by the library
    QString fromFolder, fromBase;  // Moved
    bool dropped = false;  // the deletion half of a move
  };

  struct Raised {
    StoreEvent event;
    quint64 seq;
  };

  explicit StoreWatcher(std::weak_ptr<Store> store);
  // Watches and snapshots every folder. Throws StoreError.
  void Start();
  void Stop();

  void OnReadable();
  void Drain();
  void Handle(const inotify_event& event, const QString& name);
  void ScheduleIfPending();
  bool Pending() const;
  void Pass();
  void Emit(std::vector<Raised>& raised);

  // The library's own writes, told by file_ops to every running watcher.
  static void ObserveAll(files::Change change, const QString& path, const QString& from);
  void Observed(files::Change change, const QString& path, const QString& from);

  std::shared_ptr<Store> LockStore() const;
  QString ItemId(const QString& folder, const QString& base) const;
  QString FolderId(const QString& uid) const;
  WatchedFolder* FindFolder(const QString& uid);
  WatchedFolder* FolderAt(const QString& directory);
  // The folder and base name a path of an item file stands for.
  std::optional<std::pair<QString, QString>> ItemOfPath(const QString& path);

  void AddWatch(WatchedFolder& folder, Role role);
  void RemoveWatches(WatchedFolder& folder);
  // A new folder and its subfolders: watched, announced, and every item in
  // them found at the next look.
  void AddFolderTree(const std::shared_ptr<Folder>& folder, const QString& parent, quint64 seq,
                     bool announce, std::vector<Raised>& raised);
  void MoveFolder(WatchedFolder& folder, const QString& parent, const QString& directory, quint64 seq,
                  std::vector<Raised>& raised);
  void MarkGone(WatchedFolder& folder, quint64 seq);
  void ApplyDirectoryChanges(std::vector<Raised>& raised);
  void Rescan(std::vector<Raised>& raised);
  // One look at the items touched or due for a rescan: the events of what
  // happened to them, in the order it happened. Its steps follow.
  void ReconcileItems(qint64 now, std::vector<Raised>& raised);
  void TakeAnnouncedMoves();
  // Items not to look at yet, as ItemKeyText: a rename's other half may
  // still come, a file is still being written, or the other end of a move
  // must wait.
  QSet<QString> DeferredItems(qint64 now);
  // The recorded moves whose ends can be looked at now (the rest stay).
  std::vector<MoveRecord> TakeReadyMoves(const QSet<QString>& deferred);
  std::vector<Outcome> LookAtItems(const QSet<QString>& deferred);
  static void JoinMoves(std::vector<Outcome>& outcomes, const std::vector<MoveRecord>& ready);
  void MarkCopies(std::vector<Outcome>& outcomes);
  void RaiseOutcomes(const std::vector<Outcome>& outcomes, std::vector<Raised>& raised) const;
  void RemoveGoneFolders(std::vector<Raised>& raised);

  // Files of the folder that may be items, by base name.
  QHash<QString, QStringList> ListItemFiles(const WatchedFolder& folder) const;
  // The item's file as it is now, when it is a well-formed item.
  // The identity and times of a file as stat reports them; no name.
  static FileState StateOf(const struct stat& info);
  std::optional<FileState> CurrentFile(const WatchedFolder& folder, const QString& base,
                                       const QStringList& names) const;
  QByteArray Digest(const WatchedFolder& folder, FileState& state) const;
  bool IsCopy(const Outcome& created, const QHash<QString, quint64>& createdNow);

  std::weak_ptr<Store> store_;
  QString storeUid_;
  QString root_;  // the store's directory
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timer_ = nullptr;
  QElapsedTimer clock_;
  quint64 seq_ = 0;
  bool overflow_ = false;
  quint64 overflowSeq_ = 0;
  bool inPass_ = false;
  bool stopped_ = false;

  std::map<QString, WatchedFolder> folders_;  // by uid
  QHash<int, WatchRef> wds_;
  QHash<quint32, PendingFrom> pendingFrom_;  // by cookie
  std::vector<MoveRecord> moves_;
  std::vector<DirectoryChange> arrived_;
  std::vector<DirectoryChange> left_;
  QHash<QString, qint64> ownWrites_;  // path -> when the library wrote it
  // path -> the file as the library left it: whole, so not read again to
  // see whether it is well formed while it stays so
  QHash<QString, FileState> ownFiles_;
  std::vector<Announced> announced_;

  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
};

}  // namespace vasnik
