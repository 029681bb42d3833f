#pragma once
// Folder: one directory of a store.
//
// A folder of default item type 1 (calendar) is a vdir: one iCalendar .ics
// file per calendar item, readable and writable by khal and vdirsyncer;
// items of other classes in it are RFC 5322 .eml files. Every other folder
// is a Maildir (cur/, new/, tmp/): mail that a server delivers into new/ is
// an item of the folder like any other. Subfolders are the subdirectories
// other than cur, new, tmp and dot-directories.
//
// Reading is forgiving: a file that cannot be read or parsed is left out of
// the folder's items with one log line (store_error.h) and hides nothing
// else. Temporary files (Maildir tmp/, dot-files) and metadata never count.
//
// REQUIRES: the UI thread; see session.h for lifetimes.

#include "standin/store/item_content.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace vasnik {

class Item;
class ItemCollection;
class Store;

class Folder : public std::enable_shared_from_this<Folder> {
 public:
  QString EntryID() const;
  QString StoreID() const;
  QString Name() const;
  int DefaultItemType() const;
  // "\\<store name>\<folder>\<subfolder>", the root folder "\\<store name>".
  QString FolderPath() const;
  QString Directory() const;
  // True for a vdir (calendar folder), false for a Maildir.
  bool IsCalendarDirectory() const;

  // Throws StoreError after Logoff.
  std::shared_ptr<Store> GetStore() const;
  // Null for the store's root folder.
  std::shared_ptr<Folder> Parent() const;

  // The subfolders, by name (letter case ignored), read from disk each time.
  std::vector<std::shared_ptr<Folder>> Folders() const;
  // Throws StoreError when a subfolder of that name (letter case ignored)
  // exists or the name is empty.
  std::shared_ptr<Folder> CreateFolder(const QString& name, int defaultItemType);

  // A snapshot of the items as they are now.
  ItemCollection Items() const;
  // A new, unsaved item: it gets its file and entry identifier at the first
  // Save. An empty class means the folder's default class ("IPM.Note" in a
  // mail folder, "IPM.Appointment" in a calendar). An appointment starts as
  // a one-hour event at the next full hour.
  std::shared_ptr<Item> AddItem(const QString& messageClass);

  // One item file as a listing found it. path: the file, base: the stable
  // base name the entry identifier holds.
  struct Entry {
    QString base;
    QString path;
    QString subject;
  };

 private:
  friend class Store;
  friend class Item;
  friend class ItemCollection;
  friend class Session;
  friend class StoreWatcher;

  Folder(std::weak_ptr<Store> store, QString storeUid, QString uid, QString directory);

  QString ItemEntryId(const QString& base) const;
  // The item files, sorted by base name; malformed ones are logged and left
  // out (once per version of the file).
  std::vector<Entry> ListItems() const;
  // The current path of an item file, empty when it is gone. Looks only at
  // the names the base name can have, not at the other items.
  QString Locate(const QString& base) const;
  // Throws StoreError when the item is gone or cannot be read.
  std::shared_ptr<Item> LoadItem(const QString& base);
  ItemContent ReadContent(const QString& path) const;
  // Writes an item (base empty: a new file) and returns its base name.
  // content->icalendar is brought in line with the other fields.
  QString WriteItem(const QString& base, ItemContent* content);
  // Moves a stored item into another folder; returns its base name there.
  QString MoveItemTo(const QString& base, const std::shared_ptr<Folder>& target);
  void RemoveItem(const QString& base);
  // Moves the file to the store's recoverable-items directory.
  void SoftRemoveItem(const QString& base);
  void EnsureDirectories() const;

  // What a listing read from one file, valid while the file's inode, size
  // and modification time (nanoseconds) stay the same.
  struct Cached {
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = -1;
    bool valid = false;
    QString subject;
  };

  std::weak_ptr<Store> store_;
  std::weak_ptr<Folder> parent_;
  QString storeUid_;
  QString uid_;
  QString directory_;
  QString name_;
  int itemType_ = 0;
  bool root_ = false;
  mutable QHash<QString, Cached> cache_;  // path -> what the last listing read
};

// Items of a folder: a snapshot, so positions stay put while the caller
// deletes items it walks. A folder's collection lists the folder when it is
// first counted, indexed or restricted — not when it is made, so that adding
// items through it (an import of thousands) costs no listing; Restrict's
// result is a snapshot from the start. An item that left the folder since
// the snapshot makes At throw.
class ItemCollection {
 public:
  int Count() const { return int(Entries().size()); }
  // index: 1-based. Throws StoreError out of range or when the item is gone.
  std::shared_ptr<Item> At(int index) const;
  // The items whose subject matches (restriction.h). Throws StoreError for
  // a filter the store does not understand.
  ItemCollection Restrict(const QString& filter) const;
  // Folder::AddItem of the collection's folder.
  std::shared_ptr<Item> Add(const QString& messageClass) const;
  std::shared_ptr<Folder> GetFolder() const { return folder_; }

 private:
  friend class Folder;
  const std::vector<Folder::Entry>& Entries() const;
  std::shared_ptr<Folder> folder_;
  mutable std::optional<std::vector<Folder::Entry>> entries_;
};

}  // namespace vasnik
