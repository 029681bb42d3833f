// The controller's side of the sharing model and of folder identity.
#include "app/main_form.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "ui/sharing_editor.h"

void TMainForm::SaveFolderSettings(const QString& entryId) {
  SharingList->SaveFolderSettings(entryId);
}

QString TMainForm::FolderKey(const QString& folderEntryId) const {
  return zEXML.ReadString(QStringLiteral("END\\Folders\\") + folderEntryId, GetMD5(folderEntryId));
}

QString TMainForm::ItemKey(const QString& folderEntryId, const QString& itemEntryId) const {
  return zEXML.ReadString(folderEntryId + u'\\' + itemEntryId, GetMD5(itemEntryId));
}

QString TMainForm::StoreOwnerAddress(const outlook::RdoStore& store) const {
  QString address = RSession.CurrentUser().SMTPAddress();
  const outlook::RdoAccount account = store.StoreAccount();
  const int accountType = account.AccountType();
  if (accountType < 3) return account.SMTPAddress();
  if (accountType == 3) {
    const int kind = store.StoreKind();
    if (kind == 3 || kind == 4) return store.Owner().SMTPAddress();
  }
  return address;
}
