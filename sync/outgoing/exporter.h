#pragma once
// Exporter: change capture. A created or changed item of a shared folder
// becomes item key + ".msg" in the folder's exchange directory
// (OutboxDir + folder key + "/") with the directory's description and the
// mapping rows; a deleted item that another computer knows becomes a key in
// the description's "DeletedItems". Either arms the send timer.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QString>

#include "outlook/messaging.h"

class EchoGuard;
struct ItemState;
class FolderIdentity;
class QTimer;
class SyncHost;
struct SyncState;

class Exporter {
 public:
  Exporter(SyncState& state, FolderIdentity& identity, EchoGuard& guard, QTimer* sendTimer, SyncHost& host)
      : state_(state), identity_(identity), guard_(guard), sendTimer_(sendTimer), host_(host) {}

  // Update mails, "Dummy" placeholders and the import's own writes are
  // skipped. Past the guards a failure ends the export (the exception hook
  // has logged it); whatever was written stays. Throws only from the guards.
  void ExportItem(const outlook::RdoMail& message);
  // The deletion of an item of a shared folder under the store owner's
  // address. Never throws past the guards.
  void RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user);
  // While held, nothing is exported or recorded.
  void SetHeld(bool held) { held_ = held; }

 private:
  SyncState& state_;
  FolderIdentity& identity_;
  EchoGuard& guard_;
  QTimer* sendTimer_;
  SyncHost& host_;
  bool held_ = false;
};

// The address a store's changes are sent under ("User" of "info.xml"): the
// account's address for account types below 3, the owner's for a type-3
// account on a delegate or public store (kinds 3 and 4), else the session
// user's. Throws when the store does not answer.
QString StoreOwnerAddress(const outlook::RdoSession& session, const outlook::RdoStore& store);

// The item as the library has it now, for the echo guard.
ItemState CurrentState(const outlook::RdoMail& item);
