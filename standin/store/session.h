#pragma once
// Session: the log-on to one profile and the entry to everything in it.
//
// Object model. A session owns its stores; a store owns the folder objects
// of its directory tree; items are made on request and keep their folder
// alive. Upward links are weak: after Logoff every store, folder and item
// object still held by a caller answers its identifiers and what it holds in
// memory, but every operation that needs the store throws StoreError ("the
// session has logged off"). Identity: one folder object per folder as long as
// the session is logged on; two item objects of one item are independent
// copies (each Save writes its own state, as with MAPI).
//
// Operations map 1:1 onto the messaging interface the program uses; the COM
// layer wraps them. Names follow that interface (GetDefaultFolder,
// GetFolderFromID, ...).
//
// REQUIRES: one thread, the UI thread. Nothing here locks or starts threads.

#include "standin/store/profile.h"

#include <QString>

#include <memory>
#include <vector>

namespace vasnik {

class Folder;
class Item;
class Store;

class Session : public std::enable_shared_from_this<Session> {
 public:
  static std::shared_ptr<Session> Create();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Logs on to the profile in profileDirectory, or with an empty text to
  // DefaultProfileDirectory() ($VASNIK_PROFILE or the default location).
  // Creates a default profile on first use. Opening a store whose directory
  // is missing creates it with the default folders. Throws StoreError when
  // the profile cannot be read (the session then stays logged off). Logging
  // on again while logged on does nothing.
  void Logon(const QString& profileDirectory = {});
  bool LoggedOn() const;
  // Drops every store. Does nothing when logged off.
  void Logoff();

  // The profile's values. REQUIRES (these and all below): logged on; they
  // throw StoreError otherwise.
  const ProfileSettings& Profile() const;
  QString OutlookVersion() const;
  QString CurrentUserSmtpAddress() const;
  QString CurrentUserName() const;
  bool Offline() const;

  // The store collection, in the order of the profile; index is 1-based.
  int StoreCount() const;
  std::shared_ptr<Store> StoreAt(int index) const;
  std::shared_ptr<Store> DefaultStore() const;
  std::shared_ptr<Store> GetStoreFromID(const QString& storeId) const;

  // A default folder (constants.h DefaultFolderKind) of the default store.
  std::shared_ptr<Folder> GetDefaultFolder(int kind) const;

  // storeId may be empty; when given, the object must lie in that store.
  // Never scans items: the identifier names the folder and the file. Throws
  // StoreError when there is no such object.
  std::shared_ptr<Folder> GetFolderFromID(const QString& entryId, const QString& storeId = {}) const;
  std::shared_ptr<Item> GetMessageFromID(const QString& entryId, const QString& storeId = {}) const;

  // A message file (save format 3) as an item outside any folder: Save
  // writes the file back, Parent and GetStore are null. With createNew a new
  // empty "IPM.Note" is written to path at once. Throws StoreError when the
  // file cannot be read or is not a message file.
  std::shared_ptr<Item> GetMessageFromMsgFile(const QString& path, bool createNew = false) const;

 private:
  Session() = default;
  void RequireLoggedOn() const;
  std::shared_ptr<Store> StoreByUid(const QString& uid) const;

  bool loggedOn_ = false;
  ProfileSettings profile_;
  std::vector<std::shared_ptr<Store>> stores_;
};

}  // namespace vasnik
