#pragma once
// ShareInvitation: a package arrived for a folder key no local folder is
// mapped to — somebody shares a folder with this user. Asks whether to
// accept, lets the user pick (or create) the folder that receives it, and
// records the share both ways: the key's mapping rows, the sender as a
// sharing user with every right, the folder marked and monitored. Nothing
// is recorded when the user declines or cancels the picker, so the next
// package of the key asks again.
//
// The references given must outlive it.
// REQUIRES: UI thread only. The dialogs are modal: the message loop runs
// while they are open.

#include <QString>

#include "outlook/messaging.h"

class Dialogs;
class FolderIdentity;
class FolderTree;
class FormStorage;
class ListsHost;
class QWidget;
class SharingEditor;
class StringList;

class ShareInvitation {
 public:
  ShareInvitation(const outlook::RdoSession& session, FolderTree& folders, SharingEditor& sharing,
                  FolderIdentity& identity, FormStorage& config, StringList& monitoredFolders, Dialogs& dialogs,
                  ListsHost& host, QWidget* window)
      : session_(session),
        folders_(folders),
        sharing_(sharing),
        identity_(identity),
        config_(config),
        monitoredFolders_(monitoredFolders),
        dialogs_(dialogs),
        host_(host),
        window_(window) {}

  // The chosen local folder, or null when the user declined, cancelled or
  // something failed on the way (logged by the exception hook). Never throws.
  outlook::RdoFolder AcceptShare(const QString& user, const QString& folderName, int defaultItemType,
                                 const QString& folderKey);

 private:
  // Refills the tree, keeping its marks, and opens the nodes of the store.
  void RefillTree(const QString& storeId);

  const outlook::RdoSession& session_;
  FolderTree& folders_;
  SharingEditor& sharing_;
  FolderIdentity& identity_;
  FormStorage& config_;
  StringList& monitoredFolders_;
  Dialogs& dialogs_;
  ListsHost& host_;
  QWidget* window_;
};
