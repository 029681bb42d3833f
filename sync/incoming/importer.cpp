#include "sync/incoming/importer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "outlook/redemption_ids.h"
#include "platform/system.h"
#include "storage/folder_identity.h"
#include "storage/md5.h"
#include "storage/package_info.h"
#include "storage/sharing.h"
#include "sync/echo_guard.h"
#include "sync/outgoing/exporter.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

void Importer::ImportPackage(const QString& packageDir) {
  const QString k = QFileInfo(packageDir).fileName();
  importing_ = true;
  guard_.ImportStarted();
  try {
    const FolderIdentity::Target mapped = identity_.FolderOfKey(k);
    const PackageInfo package = ReadPackageInfo(packageDir);

    outlook::RdoFolder target;
    if (!mapped.folderEntryId.isEmpty()) {
      try {
        target = state_.session.GetFolderFromID(mapped.folderEntryId, mapped.storeId);
      } catch (...) {
        // The mapped folder is gone: the package has nowhere to go.
      }
    } else {
      target = host_.AcceptShare(package.user, package.folderName, package.defaultItemType, k);
    }

    if (!target.IsNull()) {
      try {
        ApplyPackage(packageDir, target, package.user, package.deletedItems);
      } catch (...) {
        // Unreadable rights or a failed delete end the import of this package.
      }
    }
  } catch (...) {
    // A package whose description cannot be read is dropped below rather
    // than left to merge with the next package of its key.
  }
  // Only a directory: a hostile folder key could name a file waiting in
  // InboxDir.
  const QFileInfo unpacked(packageDir);
  if (unpacked.isDir() && !unpacked.isSymLink()) platform::SilentDelete(packageDir);
  guard_.ImportFinished();
  importing_ = false;
}

void Importer::ApplyPackage(const QString& packageDir, const outlook::RdoFolder& target, const QString& sender,
                            const QStringList& deletedItems) {
  const QString f = target.EntryID();
  const QString storeId = target.StoreID();
  const std::optional<ImportRights> rights = FindImportRights(state_.config, f, sender);
  const bool mayModify = rights && rights->modify;
  const bool mayWrite = rights && rights->write;

  if (mayModify || mayWrite) {
    const QStringList files = QDir(packageDir).entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
      QCoreApplication::processEvents();
      try {
        const QString path = packageDir + u'/' + file;
        const QString itemKey = QFileInfo(file).completeBaseName();
        const QString e = identity_.ItemOfKey(f, itemKey);
        outlook::RdoMail existing;
        if (!e.isEmpty()) {
          try {
            existing = state_.session.GetMessageFromID(e, storeId);
          } catch (...) {
            // Deleted for good: there is no local copy.
          }
        }
        if (!existing.IsNull()) {
          if (mayModify) {
            if (existing.Parent().EntryID() == f) {
              guard_.Add(e);
              existing.Import(path, outlook::ids::olMSG);
              existing.Save();
              guard_.Left(e, CurrentState(existing));
            } else {
              AddItems(path, target, itemKey);  // moved away by the user: a new copy here
            }
          }
        } else if (mayWrite) {
          AddItems(path, target, itemKey);
        }
      } catch (...) {
        // This file is skipped (logged by the hook); the next one goes on.
      }
      host_.SetStatusTextWithTime(QStringLiteral("Items last imported on "));
    }
  }

  if (mayModify) {
    for (const QString& itemKey : deletedItems) {
      if (!IsPlainKey(itemKey)) continue;  // not a key we could ever have mapped
      const QString e = identity_.ItemOfKey(f, itemKey);
      if (e.isEmpty()) continue;
      outlook::RdoMail item;
      try {
        item = state_.session.GetMessageFromID(e, storeId);
      } catch (...) {
        continue;
      }
      guard_.Add(e);
      item.Delete(outlook::ids::dfMoveToDeletedItems);
      guard_.LeftDeleted(e);
    }
  }
}

void Importer::AddItems(const QString& path, const outlook::RdoFolder& folder, const QString& itemKey) {
  QString messageClass = state_.session.GetMessageFromMsgFile(path, false).MessageClass();
  if (messageClass == u"IPM.Note") messageClass = QStringLiteral("IPM.Post");

  // The placeholder's first save yields the entry identifier, which goes on
  // the guard before the item receives its content.
  const outlook::RdoMail item = folder.Items().Add(messageClass);
  item.SetSubject(update_mail::kDummySubject);
  item.Save();
  const QString e = item.EntryID();
  guard_.Add(e);
  item.Import(path, outlook::ids::olMSG);
  item.Save();
  guard_.Left(e, CurrentState(item));

  identity_.MapItem(folder.EntryID(), itemKey, e);
}
