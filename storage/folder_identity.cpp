#include "storage/folder_identity.h"

#include <stdexcept>

#include "storage/md5.h"
#include "storage/xml_storage.h"

namespace {

const QString kFolderKeys = QStringLiteral("END\\Folders\\");
const QString kKeyFolders = QStringLiteral("DEN\\Folders\\");
const QString kKeyStores = QStringLiteral("DEN\\FoldersSID\\");

const QString kStates = QStringLiteral("STATES\\");
const QString kBaselines = QStringLiteral("STATES\\Folders\\");
const QString kStamps = QStringLiteral("SENT\\");

QString ItemRow(const QString& folderEntryId, const QString& name) { return folderEntryId + u'\\' + name; }

}  // namespace

QString FolderIdentity::FolderKey(const QString& folderEntryId) const {
  return data_.ReadString(kFolderKeys + folderEntryId, GetMD5(folderEntryId));
}

QString FolderIdentity::ItemKey(const QString& folderEntryId, const QString& itemEntryId) const {
  return data_.ReadString(ItemRow(folderEntryId, itemEntryId), GetMD5(itemEntryId));
}

QString FolderIdentity::MappedItemKey(const QString& folderEntryId, const QString& itemEntryId) const {
  return data_.ReadString(ItemRow(folderEntryId, itemEntryId), QString());
}

QString FolderIdentity::ItemOfKey(const QString& folderEntryId, const QString& itemKey) const {
  return data_.ReadString(ItemRow(folderEntryId, itemKey), QString());
}

void FolderIdentity::MapItem(const QString& folderEntryId, const QString& itemKey, const QString& itemEntryId) {
  data_.WriteString(ItemRow(folderEntryId, itemKey), itemEntryId);
  data_.WriteString(ItemRow(folderEntryId, itemEntryId), itemKey);
}

void FolderIdentity::UnmapItem(const QString& folderEntryId, const QString& itemKey, const QString& itemEntryId) {
  data_.DeleteValue(ItemRow(folderEntryId, itemKey));
  data_.DeleteValue(ItemRow(folderEntryId, itemEntryId));
}

void FolderIdentity::MapFolder(const QString& folderKey, const QString& folderEntryId, const QString& storeId) {
  data_.WriteString(kKeyFolders + folderKey, folderEntryId);
  data_.WriteString(kKeyStores + folderKey, storeId);
  data_.WriteString(kFolderKeys + folderEntryId, folderKey);
}

FolderIdentity::Target FolderIdentity::FolderOfKey(const QString& folderKey) const {
  return {data_.ReadString(kKeyFolders + folderKey, QString()), data_.ReadString(kKeyStores + folderKey, QString())};
}

QString FolderIdentity::StateOf(const QString& folderEntryId, const QString& itemEntryId) const {
  return data_.ReadString(kStates + ItemRow(folderEntryId, itemEntryId), QString());
}

void FolderIdentity::RecordState(const QString& folderEntryId, const QString& itemEntryId, const QString& state) {
  data_.WriteString(kStates + ItemRow(folderEntryId, itemEntryId), state);
}

void FolderIdentity::ForgetState(const QString& folderEntryId, const QString& itemEntryId) {
  data_.DeleteValue(kStates + ItemRow(folderEntryId, itemEntryId));
}

QStringList FolderIdentity::ItemsWithState(const QString& folderEntryId) const {
  return data_.ReadKeys(kStates + folderEntryId);
}

bool FolderIdentity::HasBaseline(const QString& folderEntryId) const {
  return !data_.ReadString(kBaselines + folderEntryId, QString()).isEmpty();
}

void FolderIdentity::MarkBaseline(const QString& folderEntryId) {
  data_.WriteString(kBaselines + folderEntryId, QStringLiteral("True"));
}

static QString StampRow(const QString& folderEntryId, const QString& itemKey, const QString& sender) {
  // The address goes through GetMD5: it comes from a mail and may hold
  // anything, and its letter case does not matter.
  return kStamps + ItemRow(folderEntryId, itemKey) + u'\\' + GetMD5(sender.toLower());
}

QDateTime FolderIdentity::PackageStamp(const QString& folderEntryId, const QString& itemKey,
                                       const QString& sender) const {
  const QString text = data_.ReadString(StampRow(folderEntryId, itemKey, sender), QString());
  return text.isEmpty() ? QDateTime() : QDateTime::fromString(text, Qt::ISODateWithMs);
}

void FolderIdentity::RecordPackageStamp(const QString& folderEntryId, const QString& itemKey, const QString& sender,
                                        const QDateTime& sent) {
  data_.WriteString(StampRow(folderEntryId, itemKey, sender), sent.toUTC().toString(Qt::ISODateWithMs));
}

void RequirePlainKey(const QString& key) {
  if (!IsPlainKey(key))
    throw std::runtime_error(("Refusing the key \"" + key + "\": not a plain file name").toStdString());
}
