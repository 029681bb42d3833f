// The import: one unpacked package applied to the local folder mapped to its
// folder key, under the rights the local user granted the sender there —
// Write adds new items, Modify replaces existing ones and applies deletions.
//
// Every local item the import is about to change goes on UpdatedItems first,
// so the store events the import causes are not exported back.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "app/main_form.h"
#include "outlook/redemption_ids.h"
#include "platform/system.h"
#include "storage/md5.h"
#include "storage/sharing.h"

namespace {

const QString kDummySubject = QStringLiteral("Dummy");

// What the import reads of a package's info.xml.
struct PackageInfo {
  QString user;
  QString folderName;
  int defaultItemType = 0;
  QStringList deletedItems;
};

// Far above any real description: 200 000 deleted keys take 7 MB.
constexpr qint64 kMaxInfoBytes = 32 * 1024 * 1024;

// Reads info.xml through a storage of its own (the export's storage may be
// bound to another file while the import yields). Throws when the file is
// missing, too large or does not parse: such a package cannot be attributed
// to anyone.
PackageInfo ReadPackageInfo(const QString& packageDir) {
  const QString path = packageDir + QStringLiteral("/info.xml");
  const QFileInfo file(path);
  if (!file.isFile() || file.isSymLink())
    throw std::runtime_error(("The package \"" + packageDir + "\" has no info.xml").toStdString());
  if (file.size() > kMaxInfoBytes)
    throw std::runtime_error(
        ("The info.xml of the package \"" + packageDir + "\" is larger than any description").toStdString());
  XmlStorage info(QStringLiteral("Info"));
  // Unbound whatever happens, so that nothing is ever written back.
  struct Unbind {
    XmlStorage& storage;
    ~Unbind() { storage.SetFileName(QString()); }
  } unbind{info};
  info.SetFileName(path);
  PackageInfo package;
  package.user = info.ReadString(QStringLiteral("User"), QString());
  package.folderName = info.ReadString(QStringLiteral("FolderName"), QString());
  package.defaultItemType = info.ReadInteger(QStringLiteral("DefaultItemType"), 0);
  const QString deleted = info.ReadString(QStringLiteral("DeletedItems"), QString());
  if (!deleted.isEmpty()) package.deletedItems = deleted.split(u',');
  return package;
}

}  // namespace

outlook::RdoFolder TMainForm::AcceptShare(const QString& user, const QString& /*folderName*/,
                                          int /*defaultItemType*/, const QString& folderKey) {
  // No folder receives a package of an unknown key: it is treated as a
  // declined invitation.
  aLogFile.Add(QStringLiteral("A package of the folder \"%1\" from \"%2\" has no local folder; it is not imported")
                   .arg(folderKey, user));
  return outlook::RdoFolder();
}

void TMainForm::ImportPackage(const QString& packageDir) {
  const QString k = QFileInfo(packageDir).fileName();
  importing_ = true;
  try {
    const QString mappedFolder = zEXML.ReadString(QStringLiteral("DEN\\Folders\\") + k, QString());
    const QString mappedStore = zEXML.ReadString(QStringLiteral("DEN\\FoldersSID\\") + k, QString());
    const PackageInfo package = ReadPackageInfo(packageDir);

    outlook::RdoFolder target;
    if (!mappedFolder.isEmpty()) {
      try {
        target = RSession.GetFolderFromID(mappedFolder, mappedStore);
      } catch (...) {
        // The mapped folder is gone: the package has nowhere to go.
      }
    } else {
      target = AcceptShare(package.user, package.folderName, package.defaultItemType, k);
    }

    if (!target.IsNull()) {
      try {
        const QString f = target.EntryID();
        const QString storeId = target.StoreID();
        const std::optional<ImportRights> rights = FindImportRights(aFormStorage, f, package.user);
        const bool mayModify = rights && rights->modify;
        const bool mayWrite = rights && rights->write;

        if (mayModify || mayWrite) {
          const QStringList files = QDir(packageDir).entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name);
          for (const QString& file : files) {
            QCoreApplication::processEvents();
            try {
              const QString path = packageDir + u'/' + file;
              const QString itemKey = QFileInfo(file).completeBaseName();
              const QString e = zEXML.ReadString(f + u'\\' + itemKey, QString());
              outlook::RdoMail existing;
              if (!e.isEmpty()) {
                try {
                  existing = RSession.GetMessageFromID(e, storeId);
                } catch (...) {
                  // Deleted for good: there is no local copy.
                }
              }
              if (!existing.IsNull()) {
                if (mayModify) {
                  if (existing.Parent().EntryID() == f) {
                    UpdatedItems.Add(e);
                    existing.Import(path, outlook::ids::olMSG);
                    existing.Save();
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
            SetStatusText(QStringLiteral("Items last imported on ") + FormatDateTime(QDateTime::currentDateTime()));
          }
        }

        if (mayModify) {
          for (const QString& itemKey : package.deletedItems) {
            if (!IsPlainKey(itemKey)) continue;  // not a key we could ever have mapped
            const QString e = zEXML.ReadString(f + u'\\' + itemKey, QString());
            if (e.isEmpty()) continue;
            outlook::RdoMail item;
            try {
              item = RSession.GetMessageFromID(e, storeId);
            } catch (...) {
              continue;
            }
            UpdatedItems.Add(e);
            item.Delete(outlook::ids::dfMoveToDeletedItems);
          }
        }
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
  importing_ = false;
}

void TMainForm::AddItems(const QString& path, const outlook::RdoFolder& folder, const QString& itemKey) {
  QString messageClass = RSession.GetMessageFromMsgFile(path, false).MessageClass();
  if (messageClass == u"IPM.Note") messageClass = QStringLiteral("IPM.Post");

  // The placeholder's first save yields the entry identifier, which goes on
  // the guard list before the item receives its content.
  const outlook::RdoMail item = folder.Items().Add(messageClass);
  item.SetSubject(kDummySubject);
  item.Save();
  const QString e = item.EntryID();
  UpdatedItems.Add(e);
  item.Import(path, outlook::ids::olMSG);
  item.Save();

  const QString f = folder.EntryID();
  zEXML.WriteString(f + u'\\' + itemKey, e);
  zEXML.WriteString(f + u'\\' + e, itemKey);
}
