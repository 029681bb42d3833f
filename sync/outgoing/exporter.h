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
  // At start-up, for one shared folder: what changed, came or went while the
  // program was not running is exported or recorded as deleted, as its
  // store events would have done. The first time for a folder it only notes
  // what is there. Lets the message loop run now and then. Throws when the
  // folder cannot be opened.
  void CatchUp(const QString& folderEntryId);
  // While held, nothing is exported or recorded.
  void SetHeld(bool held) { held_ = held; }

 private:
  // Notes every item of the folder as it is now, once per folder: from then
  // on an item without a note came while the program was not running.
  void TakeBaseline(const outlook::RdoFolder& folder);

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

// The address the update mails go out from, which every package declares as
// its "User": receivers take a package only from the address it declares.
// The mails are sent from the default store, so it is that store's
// account's address, else its owner's, else the session user's. Throws when
// the library does not answer.
QString UpdateSenderAddress(const outlook::RdoSession& session);

// The item as the library has it now, for the echo guard.
ItemState CurrentState(const outlook::RdoMail& item);
