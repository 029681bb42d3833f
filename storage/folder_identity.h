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
//
// A missing folder or item key defaults to GetMD5 of the entry identifier;
// the two item rows are always written and removed together.
//
// The storage is borrowed and must outlive this object.

#include <QString>

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
