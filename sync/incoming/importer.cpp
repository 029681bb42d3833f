#include "sync/incoming/importer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <thread>
#include <vector>

#include "outlook/redemption_ids.h"
#include "platform/system.h"
#include "storage/folder_identity.h"
#include "storage/md5.h"
#include "storage/package_info.h"
#include "storage/sharing.h"
#include "storage/xml_storage.h"
#include "sync/echo_guard.h"
#include "sync/incoming/package_origin.h"
#include "sync/incoming/replay_guard.h"
#include "sync/outgoing/exporter.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

namespace {
// Removing thousands of files takes seconds on file systems that discard
// each freed block, mostly waiting for the disk: the files of a finished
// package directory are removed by a few threads at once, and the call
// returns when the directory is gone.
constexpr int kRemovalThreads = 4;

void RemovePackageDir(const QString& packageDir) {
  const QStringList files = QDir(packageDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
  if (files.size() > 64) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kRemovalThreads; ++t)
      threads.emplace_back([&, t] {
        for (qsizetype i = t; i < files.size(); i += kRemovalThreads) QFile::remove(packageDir + u'/' + files[i]);
      });
    for (std::thread& thread : threads) thread.join();
  }
  platform::SilentDelete(packageDir);
}

// Left in a package directory while its import runs: a directory that
// already holds it was being imported when the program was stopped.
const QString kImportingMarker = QStringLiteral(".importing");

constexpr qint64 kYieldMs = 50;
}  // namespace

void Importer::ImportPackage(const QString& packageDir) {
  const QString k = QFileInfo(packageDir).fileName();
  bool keep = false;
  importing_ = true;
  guard_.ImportStarted();
  try {
    const FolderIdentity::Target mapped = identity_.FolderOfKey(k);
    const PackageInfo package = ReadPackageInfo(packageDir);
    // Only the address its update mails came from may change a folder: the
    // package's own "User" could be anyone's.
    const MailOrigin origin = package_origin::OfUnpacked(packageDir).value_or(MailOrigin());
    const bool trusted = SentBy(origin, package.user);
    if (!trusted)
      host_.Log(QStringLiteral("Refusing the package \"%1\": it declares the sender \"%2\", but its update mail "
                               "came from \"%3\"; nothing of it is imported")
                    .arg(k, package.user, DescribeSender(origin)));

    outlook::RdoFolder target;
    if (!trusted) {
      // Nothing to import into.
    } else if (!mapped.folderEntryId.isEmpty()) {
      try {
        target = state_.session.GetFolderFromID(mapped.folderEntryId, mapped.storeId);
      } catch (...) {
        // The mapped folder is gone: the package has nowhere to go.
      }
    } else {
      target = host_.AcceptShare(package.user, package.folderName, package.defaultItemType, k);
    }

    if (!target.IsNull()) {
      // The library may make the package's writes durable once, at the end,
      // rather than item by item: the package directory stays until then,
      // so what a crash took is written again from it.
      const bool batch = state_.session.BeginBatch();
      try {
        ApplyPackage(packageDir, target, package.user, origin.sent, package.deletedItems);
      } catch (...) {
        // Unreadable rights or a failed delete end the import of this package.
      }
      if (batch) {
        try {
          state_.session.EndBatch();
        } catch (...) {
          keep = true;  // not on disk: imported again at the next start
        }
      }
    }
  } catch (...) {
    // A package whose description cannot be read is dropped below rather
    // than left to merge with the next package of its key.
  }
  // The mapping rows of the new items go to disk before the package does:
  // imported again, a package whose rows were lost would add its items twice.
  if (!state_.userData.Flush()) keep = true;
  // Only a directory: a hostile folder key could name a file waiting in
  // InboxDir.
  const QFileInfo unpacked(packageDir);
  if (keep)
    host_.Log(QStringLiteral("The package \"%1\" stays in the Inbox directory: its import could not be saved").arg(k));
  else if (unpacked.isDir() && !unpacked.isSymLink())
    RemovePackageDir(packageDir);
  if (!keep) package_origin::ForgetUnpacked(packageDir);
  guard_.ImportFinished();
  importing_ = false;
}

void Importer::ApplyPackage(const QString& packageDir, const outlook::RdoFolder& target, const QString& sender,
                            const QDateTime& sent, const QStringList& deletedItems) {
  const QString f = target.EntryID();
  const QString storeId = target.StoreID();
  const std::optional<ImportRights> rights = FindImportRights(state_.config, f, sender);
  const bool mayModify = rights && rights->modify;
  const bool mayWrite = rights && rights->write;
  if (!mayModify && !mayWrite)
    host_.Log(QStringLiteral("The package \"%1\" from \"%2\" is not imported into \"%3\": that address may not "
                             "change the folder")
                  .arg(QFileInfo(packageDir).fileName(), sender, target.Name()));

  ReplayGuard replay(identity_, f, sender, sent);
  if (mayModify || mayWrite) {
    // A package imported before, up to a crash: the items it added then
    // carry their item keys, and their mapping rows may not have reached
    // the disk.
    const QString marker = packageDir + u'/' + kImportingMarker;
    const QHash<QString, QString> earlier = QFileInfo::exists(marker) ? ItemsByOwnKey(target) : QHash<QString, QString>();
    QFile(marker).open(QIODevice::WriteOnly);
    const QStringList files = QDir(packageDir).entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name);
    // The window and the store's events are served before the first item
    // and then a few times a second, not after every item: each turn of the
    // event loop costs as much as importing an item.
    QElapsedTimer sinceYield;
    for (const QString& file : files) {
      if (!sinceYield.isValid() || sinceYield.hasExpired(kYieldMs)) {
        host_.SetStatusTextWithTime(QStringLiteral("Items last imported on "));
        QCoreApplication::processEvents();
        sinceYield.restart();
      }
      try {
        const QString path = packageDir + u'/' + file;
        const QString itemKey = QFileInfo(file).completeBaseName();
        if (!replay.Take(itemKey)) continue;  // a newer package of the sender changed it
        const QString e = identity_.ItemOfKey(f, itemKey);
        outlook::RdoMail existing;
        if (!e.isEmpty()) {
          try {
            existing = state_.session.GetMessageFromID(e, storeId);
          } catch (...) {
            // Deleted for good: there is no local copy.
          }
        }
        const bool here = !existing.IsNull() && existing.Parent().EntryID() == f;
        const QString k = QFileInfo(packageDir).fileName();
        const QString own = earlier.value(itemKey);
        if (!here && !own.isEmpty()) {
          // Added by this package before it was stopped (by a version that
          // saved a placeholder first, perhaps only that): completed and mapped.
          CompleteItem(path, state_.session.GetMessageFromID(own, storeId), itemKey, f);
          identity_.MapItem(f, itemKey, own);
        } else if (!existing.IsNull()) {
          if (mayModify) {
            if (here) {
              if (conflicts_.ReplaceAllowed(path, existing, itemKey, k, sender)) {
                CompleteItem(path, existing, itemKey, f);
                ConflictResolver::NoteImported(state_.userData, f, existing.EntryID(), sender);
              }
            } else {
              AddItems(path, target, itemKey);  // moved away by the user: a new copy here
            }
          }
        } else if (mayWrite) {
          AddItems(path, target, itemKey);
          const QString added = identity_.ItemOfKey(f, itemKey);
          ConflictResolver::NoteImported(state_.userData, f, added, sender);
          // Deleted here while it was changed there: the modification wins,
          // and goes out again to the sides that took the deletion.
          if (conflicts_.DeletedHere(f, itemKey)) guard_.Release(added);
        }
      } catch (...) {
        // This file is skipped (logged by the hook); the next one goes on.
      }
    }
    if (!files.isEmpty()) host_.SetStatusTextWithTime(QStringLiteral("Items last imported on "));
  }

  if (mayModify) {
    for (const QString& itemKey : deletedItems) {
      if (!IsPlainKey(itemKey)) continue;  // not a key we could ever have mapped
      // Stamped even when there is no local copy: an older package that
      // adds the item must not bring it back.
      if (!replay.Take(itemKey)) continue;
      const QString e = identity_.ItemOfKey(f, itemKey);
      if (e.isEmpty()) continue;
      outlook::RdoMail item;
      try {
        item = state_.session.GetMessageFromID(e, storeId);
      } catch (...) {
        continue;
      }
      if (!conflicts_.DeletionAllowed(item, itemKey, QFileInfo(packageDir).fileName())) continue;
      guard_.Add(e);
      item.Delete(outlook::ids::dfMoveToDeletedItems);
      guard_.LeftDeleted(e);
      identity_.ForgetState(f, e);
      ConflictResolver::NoteDeleted(state_.userData, f, e, QString());
    }
  }
  if (replay.Passed() > 0)
    host_.Log(QStringLiteral("%1 items of the package \"%2\" from \"%3\" are left as they are: a newer package of "
                             "that sender changed them")
                  .arg(replay.Passed())
                  .arg(QFileInfo(packageDir).fileName(), sender));
}

void Importer::AddItems(const QString& path, const outlook::RdoFolder& folder, const QString& itemKey) {
  QString messageClass = state_.session.GetMessageFromMsgFile(path, false).MessageClass();
  if (messageClass == u"IPM.Note") messageClass = QStringLiteral("IPM.Post");

  // Saved once, with its content and its item key: an import repeated after
  // a crash finds it by that key even when its mapping rows were lost, and
  // there is never a placeholder to leave behind. The entry identifier goes
  // on the guard before the import yields again: the store's events for the
  // save come through the message loop, so none comes before it.
  const outlook::RdoMail item = folder.Items().Add(messageClass);
  item.Import(path, outlook::ids::olMSG);
  item.SetNamedProperty(update_mail::kItemKeyProperty, itemKey);
  item.Save();
  const QString e = item.EntryID();
  guard_.Add(e);
  const ItemState left = CurrentState(item);
  guard_.Left(e, left);
  const QString f = folder.EntryID();
  identity_.MapItem(f, itemKey, e);
  identity_.RecordState(f, e, left.ToText());
}

void Importer::CompleteItem(const QString& path, const outlook::RdoMail& item, const QString& itemKey,
                            const QString& folderEntryId) {
  const QString e = item.EntryID();
  guard_.Add(e);
  item.Import(path, outlook::ids::olMSG);
  item.SetNamedProperty(update_mail::kItemKeyProperty, itemKey);  // the import took the file's properties
  item.Save();
  const ItemState left = CurrentState(item);
  guard_.Left(e, left);
  identity_.RecordState(folderEntryId, e, left.ToText());
}

QHash<QString, QString> Importer::ItemsByOwnKey(const outlook::RdoFolder& folder) {
  QHash<QString, QString> items;
  const outlook::RdoItems all = folder.Items();
  const int count = all.Count();
  for (int i = 1; i <= count; ++i) {
    try {
      const outlook::RdoMail item = all.Item(i);
      const QString key = item.NamedProperty(update_mail::kItemKeyProperty);
      if (!key.isEmpty()) items.insert(key, item.EntryID());
    } catch (...) {
      // Gone meanwhile: nothing to find.
    }
  }
  return items;
}
