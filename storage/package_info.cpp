#include "storage/package_info.h"

#include <QFileInfo>

#include "storage/string_list.h"
#include "storage/xml_storage.h"

namespace {

const QString kUser = QStringLiteral("User");
const QString kFolderName = QStringLiteral("FolderName");
const QString kDefaultItemType = QStringLiteral("DefaultItemType");
const QString kDeletedItems = QStringLiteral("DeletedItems");

// Far above any real description: 200 000 deleted keys take 7 MB.
constexpr qint64 kMaxInfoBytes = 32 * 1024 * 1024;

// Binds the storage to one description for the length of a scope.
class Bound {
 public:
  // A file that does not parse leaves the storage bound: it is unbound
  // before the error goes on.
  Bound(XmlStorage& storage, const QString& path) : storage_(storage) {
    try {
      storage_.SetFileName(path);
    } catch (...) {
      storage_.SetFileName(QString());
      throw;
    }
  }
  ~Bound() { storage_.SetFileName(QString()); }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;

 private:
  XmlStorage& storage_;
};

QString InfoPath(const QString& dir) {
  return dir.endsWith(u'/') ? dir + kPackageInfoFile : dir + u'/' + kPackageInfoFile;
}

}  // namespace

void WritePackageItemInfo(XmlStorage& info, const QString& exchangeDir, const QString& user,
                          const QString& folderName, int defaultItemType) {
  Bound bound(info, InfoPath(exchangeDir));
  info.WriteString(kUser, user);
  info.WriteString(kFolderName, folderName);
  info.WriteInteger(kDefaultItemType, defaultItemType);
  info.Flush();
}

void WritePackageDeletion(XmlStorage& info, const QString& exchangeDir, const QString& user, const QString& itemKey) {
  Bound bound(info, InfoPath(exchangeDir));
  info.WriteString(kUser, user);
  StringList deleted(true);
  deleted.SetCommaText(info.ReadString(kDeletedItems, QString()));
  deleted.Add(itemKey);
  info.WriteString(kDeletedItems, deleted.CommaText());
  info.Flush();
}

void WithdrawPackageDeletion(XmlStorage& info, const QString& exchangeDir, const QString& itemKey) {
  if (!QFileInfo::exists(InfoPath(exchangeDir))) return;
  Bound bound(info, InfoPath(exchangeDir));
  StringList deleted(true);
  deleted.SetCommaText(info.ReadString(kDeletedItems, QString()));
  if (!deleted.Remove(itemKey)) return;
  if (deleted.Count() == 0)
    info.DeleteValue(kDeletedItems);
  else
    info.WriteString(kDeletedItems, deleted.CommaText());
  info.Flush();
}

PackageInfo ReadPackageInfo(const QString& packageDir) {
  const QString path = InfoPath(packageDir);
  const QFileInfo file(path);
  if (!file.isFile() || file.isSymLink())
    throw PackageInfoError(("The package \"" + packageDir + "\" has no info.xml").toStdString());
  if (file.size() > kMaxInfoBytes)
    throw PackageInfoError(
        ("The info.xml of the package \"" + packageDir + "\" is larger than any description").toStdString());
  XmlStorage info(QStringLiteral("Info"));
  Bound bound(info, path);
  PackageInfo package;
  package.user = info.ReadString(kUser, QString());
  package.folderName = info.ReadString(kFolderName, QString());
  package.defaultItemType = info.ReadInteger(kDefaultItemType, 0);
  const QString deleted = info.ReadString(kDeletedItems, QString());
  if (!deleted.isEmpty()) package.deletedItems = deleted.split(u',');
  return package;
}
