#include "sync/outgoing/exporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>

#include "outlook/com_error.h"
#include "outlook/redemption_ids.h"
#include "storage/folder_identity.h"
#include "storage/package_info.h"
#include "sync/echo_guard.h"
#include "sync/incoming/conflict.h"
#include "sync/sync_host.h"
#include "sync/stop_point.h"
#include "sync/update_mail.h"

ItemState CurrentState(const outlook::RdoMail& item) { return {item.LastModificationTime(), item.Size()}; }

namespace {
// The entry identifiers of the folder's items, upper case, listed at once.
QSet<QString> ItemsNow(const outlook::RdoFolder& folder) {
  QSet<QString> ids;
  const outlook::RdoItems items = folder.Items();
  const int n = items.Count();
  for (int i = 1; i <= n; ++i) {
    try {
      ids.insert(items.Item(i).EntryID().toUpper());
    } catch (const std::exception&) {
      // Gone meanwhile.
    }
  }
  return ids;
}
}  // namespace

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
    if (!identity_.HasBaseline(f)) {
      // The first export from a folder notes every item there. That note is
      // on disk before the file can go: lost to a stop before the debounced
      // save, the next start would note this item as one that was there
      // before the share, and its later deletion would never be sent. The
      // item itself stays without a state until its file is written, so a
      // stop in between has the next start's catch-up export it.
      TakeBaseline(folder);
      identity_.ForgetState(f, e);
      host_.SaveNow();
    }
    StopPoint("export-saving");
    message.SaveAs(dir + itemKey + QStringLiteral(".msg"), outlook::ids::olMSG);

    const outlook::RdoStore store = message.Store();
    const QString author = UpdateSenderAddress(state_.session);
    WritePackageItemInfo(state_.packageInfo, dir, author, folder.Name(), folder.DefaultItemType());
    WithdrawPackageDeletion(state_.packageInfo, dir, itemKey);

    identity_.MapItem(f, itemKey, e);
    identity_.MapFolder(k, f, store.EntryID());
    identity_.RecordState(f, e, CurrentState(message).ToText());
    ConflictResolver::NoteExported(state_.userData, f, e, author);

    EnableTimer(sendTimer_);
    host_.SetStatusTextWithTime(QStringLiteral("Items last exported on "));
  } catch (const std::exception&) {
  }
}

void Exporter::RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user) {
  if (held_) return;
  const QString& e = itemEntryId;
  const QString& f = folderEntryId;
  identity_.ForgetState(f, e);
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
    ConflictResolver::NoteDeleted(state_.userData, f, e, itemKey);
    identity_.UnmapItem(f, itemKey, e);
    EnableTimer(sendTimer_);
  } catch (const std::exception&) {
  }
}

void Exporter::TakeBaseline(const outlook::RdoFolder& folder) {
  const QString f = folder.EntryID();
  const outlook::RdoItems items = folder.Items();
  const int n = items.Count();
  for (int i = 1; i <= n; ++i) {
    const outlook::RdoMail item = items.Item(i);
    const QString e = item.EntryID();
    if (identity_.StateOf(f, e).isEmpty()) identity_.RecordState(f, e, CurrentState(item).ToText());
  }
  identity_.MarkBaseline(f);
}

void Exporter::CatchUp(const QString& folderEntryId) {
  if (held_) return;
  const QString& f = folderEntryId;
  const outlook::RdoFolder folder = state_.session.GetFolderFromID(f, identity_.FolderOfKey(identity_.FolderKey(f)).storeId);
  const QString owner = UpdateSenderAddress(state_.session);
  // Without a baseline an item nothing was recorded for may have been there
  // before the folder was shared: it is noted, not sent.
  const bool baseline = !identity_.HasBaseline(f);
  // Only what was recorded before the walk can have been deleted while the
  // program was stopped: the walk yields, and a store event may export an
  // item added meanwhile.
  const QStringList recorded = identity_.ItemsWithState(f);
  const outlook::RdoItems items = folder.Items();
  const int n = items.Count();
  QSet<QString> present;
  int exported = 0;
  for (int i = 1; i <= n; ++i) {
    if (i % 100 == 0) {
      host_.SetStatusText(QStringLiteral("Looking for changes made while the program was not running: %1 of %2 items "
                                         "of \"%3\"")
                              .arg(i)
                              .arg(n)
                              .arg(folder.Name()));
      QCoreApplication::processEvents();
    }
    try {
      const outlook::RdoMail item = items.Item(i);
      const QString e = item.EntryID();
      present.insert(e.toUpper());
      const QString now = CurrentState(item).ToText();
      const QString recorded = identity_.StateOf(f, e);
      if (recorded.isEmpty() && baseline) {
        identity_.RecordState(f, e, now);
      } else if (recorded != now) {
        ExportItem(item);
        ++exported;
      }
    } catch (const std::exception&) {
      // This item is passed over (logged by the hook); the others go on.
    }
  }
  if (baseline) identity_.MarkBaseline(f);
  // A missing item is looked for once more, in a listing made without
  // yielding: a collection that shifted under a deletion during the walk
  // may have passed over it.
  QStringList missing;
  for (const QString& e : recorded)
    if (!present.contains(e.toUpper()) && !identity_.StateOf(f, e).isEmpty()) missing << e;
  if (!missing.isEmpty()) present = ItemsNow(folder);
  int deleted = 0;
  for (const QString& e : missing)
    if (!present.contains(e.toUpper())) {
      RecordDeletion(e, f, owner);
      ++deleted;
    }
  if (exported + deleted > 0)
    host_.Log(QStringLiteral("\"%1\" changed while the program was not running: %2 items sent again, %3 deletions")
                  .arg(folder.Name())
                  .arg(exported)
                  .arg(deleted));
  host_.SetStatusText(QString());
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

QString UpdateSenderAddress(const outlook::RdoSession& session) {
  const outlook::RdoStore store =
      session.GetStoreFromID(session.GetDefaultFolder(outlook::ids::olFolderDrafts).StoreID());
  const outlook::RdoAccount account = store.StoreAccount();
  QString address = account.IsNull() ? QString() : account.SMTPAddress();
  if (address.isEmpty()) {
    try {
      address = store.Owner().SMTPAddress();
    } catch (const outlook::ComError&) {
      // Only mailbox stores have an owner, and a default store without an
      // account is rare: the hook's log line for it is acceptable.
    }
  }
  if (address.isEmpty()) address = session.CurrentUser().SMTPAddress();
  return address;
}
