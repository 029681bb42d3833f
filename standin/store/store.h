#pragma once
// Store: one message store of the profile, a directory tree of folders.
//
// The store's own identity lives in <directory>/.vasnik-store (its uid and
// which folder is which default folder); every folder directory holds a
// .vasnik-folder file (uid, display name, default item type). Identifiers
// are made once and never change. Layout in doc/vasnik_store.md.
//
// Owner-address data ("StoreKind", "StoreAccount", "Owner") come from the
// profile, so that every kind of store can be described on one machine.
//
// REQUIRES: the UI thread; see session.h for lifetimes.

#include "standin/store/profile.h"

#include <QString>

#include <map>
#include <memory>
#include <optional>

namespace vasnik {

class Folder;
class Item;
class Session;
class StoreWatcher;

struct StoreAccount {
  int accountType = 0;  // constants.h AccountType
  QString smtpAddress;
};

class Store : public std::enable_shared_from_this<Store> {
 public:
  ~Store();

  QString EntryID() const;
  QString Name() const;
  int StoreKind() const;
  // nullopt when the profile gives the store no account.
  std::optional<StoreAccount> Account() const;
  QString OwnerSmtpAddress() const;
  // The address mail sent from this store carries: the account's address,
  // else the owner's.
  QString SenderAddress() const;
  QString Directory() const;

  // The folder of that kind (constants.h DefaultFolderKind). Throws
  // StoreError when the store has none (a public-folders store has no
  // Inbox).
  std::shared_ptr<Folder> GetDefaultFolder(int kind);
  // The top of the folder tree; its subfolders are Inbox, Calendar, ...
  std::shared_ptr<Folder> RootFolder() const;
  // Throws StoreError after Logoff.
  std::shared_ptr<Session> GetSession() const;

  // The store's events (store_watcher.h), started at the first call and
  // kept running until the session logs off. REQUIRES: logged on, the
  // thread's Qt event loop. Throws StoreError when watching cannot start.
  std::shared_ptr<StoreWatcher> Events();

 private:
  friend class Session;
  friend class Folder;
  friend class Item;
  friend class StoreWatcher;

  Store(std::weak_ptr<Session> session, StoreSettings settings);
  // Reads or creates the store's directory and metadata, creates the default
  // folders of a new store, and indexes its folder directories.
  void Open();
  const QString& Uid() const { return uid_; }
  // Looks the uid up in the index; on a miss the folder directories are
  // walked once more (folders made by other programs). Null when unknown.
  std::shared_ptr<Folder> FolderByUid(const QString& uid);
  // The folder object of a directory: reads its .vasnik-folder or writes a
  // new one, and registers it.
  std::shared_ptr<Folder> Adopt(const QString& directory, const std::shared_ptr<Folder>& parent);
  // Gives a directory a fresh uid (a folder another program made, or a copy).
  std::shared_ptr<Folder> NewIdentity(const QString& path, const std::shared_ptr<Folder>& parent,
                                      const QString& name, bool typeKnown, int itemType);
  void Scan(const std::shared_ptr<Folder>& folder);
  std::shared_ptr<Folder> NewFolder(const std::shared_ptr<Folder>& parent, const QString& name,
                                    int itemType);
  // Where soft-deleted items wait (a dot-directory, never a folder).
  QString RecoverableDirectory() const;
  void PurgeRecoverable();
  void WriteMetadata();
  void StopEvents();

  std::weak_ptr<Session> session_;
  bool closed_ = false;  // set by Logoff
  StoreSettings settings_;
  QString uid_;
  std::shared_ptr<Folder> root_;
  std::map<int, QString> defaultFolders_;       // kind -> folder uid
  std::map<QString, std::shared_ptr<Folder>> folders_;  // uid -> folder
  std::shared_ptr<StoreWatcher> watcher_;
};

}  // namespace vasnik
