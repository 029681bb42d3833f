#pragma once
// The description file "info.xml" of an exchange directory: who sent the
// package, from which folder, and which items it deletes.
//
//   "User"             the sending store's owner address (last writer wins)
//   "FolderName"       the sender folder's display name
//   "DefaultItemType"  its default item type, a decimal integer
//   "DeletedItems"     item keys deleted on the sender, one comma text,
//                      ascending and without duplicates
//
// Writers bind the given storage (the controller's zOXML) for the length of
// one call and leave it unbound whatever happens, so nothing holds the file
// across a yield. The reader uses a storage of its own and never writes.

#include <QString>
#include <QStringList>
#include <stdexcept>

class XmlStorage;

struct PackageInfo {
  QString user;
  QString folderName;
  int defaultItemType = 0;
  QStringList deletedItems;
};

// Raised by ReadPackageInfo for a description that cannot be attributed to
// anyone: missing, not a plain file, larger than any real one, or not parsing.
class PackageInfoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline const QString kPackageInfoFile = QStringLiteral("info.xml");

// An exported item: "User", "FolderName" and "DefaultItemType" of the
// directory's description. Throws XmlStorageError when the file cannot be read.
void WritePackageItemInfo(XmlStorage& info, const QString& exchangeDir, const QString& user,
                          const QString& folderName, int defaultItemType);

// A deleted item: "User" and the key appended to "DeletedItems".
void WritePackageDeletion(XmlStorage& info, const QString& exchangeDir, const QString& user, const QString& itemKey);

// An item exported again after its deletion was recorded (added back by a
// change from elsewhere that wins over the deletion): its key leaves
// "DeletedItems" of the waiting description, if it is there.
void WithdrawPackageDeletion(XmlStorage& info, const QString& exchangeDir, const QString& itemKey);

// The description of the unpacked package directory.
PackageInfo ReadPackageInfo(const QString& packageDir);
