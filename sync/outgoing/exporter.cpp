#include "sync/outgoing/exporter.h"

#include <QDir>

#include "outlook/redemption_ids.h"
#include "storage/folder_identity.h"
#include "storage/package_info.h"
#include "sync/echo_guard.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

ItemState CurrentState(const outlook::RdoMail& item) { return {item.LastModificationTime(), item.Size()}; }

void Exporter::ExportItem(const outlook::RdoMail& message) {
  if (held_) return;
  if (message.Subject() == update_mail::kSubject) return;
  if (message.Subject() == update_mail::kDummySubject) return;
  if (guard_.SkipsChange(message.EntryID(), [&] { return CurrentState(message); })) return;

  // From here on a failure ends the export silently (the hook has logged
  // it); whatever was written stays.
  try {
    const outlook::RdoFolder folder = message.Parent();
    const QString f = folder.EntryID();
    const QString k = identity_.FolderKey(f);
    RequirePlainKey(k);
    const QString dir = state_.outboxDir + k + u'/';
    QDir().mkpath(dir);
    const QString e = message.EntryID();
    const QString itemKey = identity_.ItemKey(f, e);
    RequirePlainKey(itemKey);
    message.SaveAs(dir + itemKey + QStringLiteral(".msg"), outlook::ids::olMSG);

    const outlook::RdoStore store = message.Store();
    WritePackageItemInfo(state_.packageInfo, dir, StoreOwnerAddress(state_.session, store), folder.Name(),
                         folder.DefaultItemType());

    identity_.MapItem(f, itemKey, e);
    identity_.MapFolder(k, f, store.EntryID());

    EnableTimer(sendTimer_);
    host_.SetStatusTextWithTime(QStringLiteral("Items last exported on "));
  } catch (const std::exception&) {
  }
}

void Exporter::RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user) {
  if (held_) return;
  const QString& e = itemEntryId;
  const QString& f = folderEntryId;
  if (identity_.MappedItemKey(f, e).isEmpty()) return;  // no other computer knows it
  if (guard_.SkipsDeletion(e)) return;

  try {
    const QString k = identity_.FolderKey(f);
    RequirePlainKey(k);
    const QString dir = state_.outboxDir + k + u'/';
    QDir().mkpath(dir);
    const QString itemKey = identity_.ItemKey(f, e);
    RequirePlainKey(itemKey);
    WritePackageDeletion(state_.packageInfo, dir, user, itemKey);
    identity_.UnmapItem(f, itemKey, e);
    EnableTimer(sendTimer_);
  } catch (const std::exception&) {
  }
}

QString StoreOwnerAddress(const outlook::RdoSession& session, const outlook::RdoStore& store) {
  QString address = session.CurrentUser().SMTPAddress();
  const outlook::RdoAccount account = store.StoreAccount();
  const int accountType = account.AccountType();
  if (accountType < 3) return account.SMTPAddress();
  if (accountType == 3) {
    const int kind = store.StoreKind();
    if (kind == 3 || kind == 4) return store.Owner().SMTPAddress();
  }
  return address;
}
