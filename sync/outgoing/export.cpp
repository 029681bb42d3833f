// Change capture: a changed item becomes a message file in its folder's
// exchange directory, a deleted one a key in the directory's description.
#include <QDateTime>
#include <QDir>

#include "app/main_form.h"
#include "outlook/redemption_ids.h"
#include "storage/md5.h"

namespace {

const QString kUpdateSubject = QStringLiteral("Pendrix Update Email");
const QString kDummySubject = QStringLiteral("Dummy");

// A key read from user.uxm becomes part of a path: one that is not a plain
// name (written there by a hostile package, say) ends the operation.
void RequirePlainKey(const QString& key) {
  if (!IsPlainKey(key)) throw std::runtime_error(("Refusing the key \"" + key + "\": not a plain file name").toStdString());
}

}  // namespace

void TMainForm::ExportItem(const outlook::RdoMail& message) {
  if (message.Subject() == kUpdateSubject) return;
  if (message.Subject() == kDummySubject) return;
  if (UpdatedItems.Contains(message.EntryID())) return;

  // From here on a failure ends the export silently (the hook has logged
  // it); whatever was written stays.
  try {
    const outlook::RdoFolder folder = message.Parent();
    const QString f = folder.EntryID();
    const QString k = FolderKey(f);
    RequirePlainKey(k);
    const QString dir = OutboxDir + k + u'/';
    QDir().mkpath(dir);
    const QString e = message.EntryID();
    const QString itemKey = ItemKey(f, e);
    RequirePlainKey(itemKey);
    message.SaveAs(dir + itemKey + QStringLiteral(".msg"), outlook::ids::olMSG);

    const outlook::RdoStore store = message.Store();
    const QString user = StoreOwnerAddress(store);
    zOXML.SetFileName(dir + QStringLiteral("info.xml"));
    zOXML.WriteString(QStringLiteral("User"), user);
    zOXML.WriteString(QStringLiteral("FolderName"), folder.Name());
    zOXML.WriteInteger(QStringLiteral("DefaultItemType"), folder.DefaultItemType());
    zOXML.Flush();
    zOXML.SetFileName(QString());

    zEXML.WriteString(f + u'\\' + itemKey, e);
    zEXML.WriteString(f + u'\\' + e, itemKey);
    zEXML.WriteString(QStringLiteral("DEN\\Folders\\") + k, f);
    zEXML.WriteString(QStringLiteral("DEN\\FoldersSID\\") + k, store.EntryID());
    zEXML.WriteString(QStringLiteral("END\\Folders\\") + f, k);

    EnableTimer(zTimer);
    SetStatusText(QStringLiteral("Items last exported on ") + FormatDateTime(QDateTime::currentDateTime()));
  } catch (const std::exception&) {
    zOXML.SetFileName(QString());
  }
}

void TMainForm::RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user) {
  const QString& e = itemEntryId;
  const QString& f = folderEntryId;
  if (zEXML.ReadString(f + u'\\' + e, QString()).isEmpty()) return;  // no other computer knows it
  if (UpdatedItems.Contains(e)) return;

  try {
    const QString k = FolderKey(f);
    RequirePlainKey(k);
    const QString dir = OutboxDir + k + u'/';
    QDir().mkpath(dir);
    const QString itemKey = ItemKey(f, e);
    RequirePlainKey(itemKey);

    // A scratch list of this call alone: an import in progress keeps its own.
    StringList deleted(true);
    zOXML.SetFileName(dir + QStringLiteral("info.xml"));
    zOXML.WriteString(QStringLiteral("User"), user);
    deleted.SetCommaText(zOXML.ReadString(QStringLiteral("DeletedItems"), QString()));
    deleted.Add(itemKey);
    zOXML.WriteString(QStringLiteral("DeletedItems"), deleted.CommaText());
    zOXML.Flush();
    zOXML.SetFileName(QString());

    zEXML.DeleteValue(f + u'\\' + itemKey);
    zEXML.DeleteValue(f + u'\\' + e);
    EnableTimer(zTimer);
  } catch (const std::exception&) {
    zOXML.SetFileName(QString());
  }
}
