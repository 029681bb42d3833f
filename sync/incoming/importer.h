#pragma once
// Importer: one unpacked package applied to the local folder mapped to its
// folder key, under the rights the local user granted the sender there —
// Write adds new items, Modify replaces existing ones and applies deletions.
// A key no folder is mapped to is an invitation, answered by the host.
//
// Every local item the import is about to change goes on the echo guard
// first, so the store events the import causes are not exported back.
//
// The import lets the message loop run once per item, so store events,
// timer ticks and further update mails come in the middle of it; Importing()
// tells the intake to hold packages back until it is over.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QDateTime>
#include <QHash>
#include <QString>

#include "outlook/messaging.h"
#include "sync/incoming/conflict.h"

class EchoGuard;
class FolderIdentity;
class SyncHost;
struct SyncState;

class Importer {
 public:
  Importer(SyncState& state, FolderIdentity& identity, EchoGuard& guard, SyncHost& host)
      : state_(state), identity_(identity), guard_(guard), host_(host), conflicts_(state, identity, host) {}

  // Applies the package directory D (InboxDir + folder key), then removes D
  // and its recorded origin. A package whose update mails (the origin the
  // intake recorded, package_origin.h) did not come from the address it
  // declares is refused whole, with one log line. Never throws.
  void ImportPackage(const QString& packageDir);
  bool Importing() const { return importing_; }

  // A new local item in folder for the received message file at path,
  // mapped to itemKey: saved once with the file's content and the item key
  // in a named property, then put on the guard before anything yields.
  // Throws when anything fails.
  void AddItems(const QString& path, const outlook::RdoFolder& folder, const QString& itemKey);

 private:
  // The package's files and deletions into the target folder.
  // sent: the Date of its update mails (invalid: not known), which decides
  // what an older package of the sender may still change.
  void ApplyPackage(const QString& packageDir, const outlook::RdoFolder& target, const QString& sender,
                    const QDateTime& sent, const QStringList& deletedItems);

  // The content of the file at path into item, on the guard.
  void CompleteItem(const QString& path, const outlook::RdoMail& item, const QString& itemKey,
                    const QString& folderEntryId);
  // Item key -> entry id of the folder's items that carry their key.
  static QHash<QString, QString> ItemsByOwnKey(const outlook::RdoFolder& folder);

  SyncState& state_;
  FolderIdentity& identity_;
  EchoGuard& guard_;
  SyncHost& host_;
  ConflictResolver conflicts_;
  bool importing_ = false;
};
