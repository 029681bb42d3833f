#pragma once
// FolderIdentity: the mapping tables of "user.uxm" — the names under which a
// shared folder and its items travel between computers, and the local entry
// identifiers they stand for.
//
//   "END\Folders\" + F       folder key of local folder F
//   "DEN\Folders\" + K       local folder that receives packages of key K
//   "DEN\FoldersSID\" + K    that folder's store
//   F + "\" + E              item key of local item E in folder F
//   F + "\" + itemKey        local item that the item key stands for
//   "SENT\" + F + "\" + itemKey + "\" + GetMD5(sender in lower case)
//                            Date of the newest package of that sender that
//                            changed or deleted the item (ISO 8601, UTC)
//
// A missing folder or item key defaults to GetMD5 of the entry identifier;
// the two item rows are always written and removed together.
//
// The storage is borrowed and must outlive this object.

#include <QDateTime>
#include <QString>
#include <QStringList>

class XmlStorage;

class FolderIdentity {
 public:
  explicit FolderIdentity(XmlStorage& userData) : data_(userData) {}

  // The folder key: the stored one, else GetMD5 of the folder's entry id.
  QString FolderKey(const QString& folderEntryId) const;
  // The item key: the stored one, else GetMD5 of the item's entry id.
  QString ItemKey(const QString& folderEntryId, const QString& itemEntryId) const;
  // The stored item key only: empty when no other computer knows the item.
  QString MappedItemKey(const QString& folderEntryId, const QString& itemEntryId) const;
  // The local item an item key stands for, or empty.
  QString ItemOfKey(const QString& folderEntryId, const QString& itemKey) const;

  void MapItem(const QString& folderEntryId, const QString& itemKey, const QString& itemEntryId);
  void UnmapItem(const QString& folderEntryId, const QString& itemKey, const QString& itemEntryId);

  // The three folder rows, written together.
  void MapFolder(const QString& folderKey, const QString& folderEntryId, const QString& storeId);

  // What each item of a shared folder looked like when it was last exported
  // or imported (a text the caller makes of the item's modification time and
  // size), so that changes made while the program was not running can be
  // found at the next start. "STATES\" + F + "\" + E; the folder's baseline
  // mark "STATES\Folders\" + F says every item of F was seen once.
  QString StateOf(const QString& folderEntryId, const QString& itemEntryId) const;
  void RecordState(const QString& folderEntryId, const QString& itemEntryId, const QString& state);
  void ForgetState(const QString& folderEntryId, const QString& itemEntryId);
  QStringList ItemsWithState(const QString& folderEntryId) const;
  bool HasBaseline(const QString& folderEntryId) const;
  void MarkBaseline(const QString& folderEntryId);

  // When the newest package of sender that changed the item of itemKey in
  // F was sent; invalid when none did. The rows stay when the item is
  // deleted: an older package must not bring it back.
  QDateTime PackageStamp(const QString& folderEntryId, const QString& itemKey, const QString& sender) const;
  void RecordPackageStamp(const QString& folderEntryId, const QString& itemKey, const QString& sender,
                          const QDateTime& sent);

  struct Target {
    QString folderEntryId;  // empty: no local folder receives this key
    QString storeId;
  };
  Target FolderOfKey(const QString& folderKey) const;

 private:
  XmlStorage& data_;
};

// A key read from "user.uxm" or a package becomes part of a path: one that is
// not a plain file name (written by a hostile package, say) raises.
void RequirePlainKey(const QString& key);
