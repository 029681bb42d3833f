#pragma once
// Packer: the packing pass. Every shared folder whose exchange directory holds
// files is packed into a split archive (key + ".zip", ".z01", ...), and each
// volume is mailed with the list file key + ".txt" to every enabled reader of
// the folder; then the directory and the package files go, except what was
// written into the directory after the pass took it.
//
// The pass lets the message loop run once per mail, so a tick can come while
// a pass runs: it starts another pass once the running one has ended.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QString>

#include "outlook/messaging.h"

class FolderIdentity;
class QTimer;
class SyncHost;
struct SyncState;

class Packer {
 public:
  Packer(SyncState& state, FolderIdentity& identity, QTimer* sendTimer, SyncHost& host, QString mailBody)
      : state_(state), identity_(identity), sendTimer_(sendTimer), host_(host), mailBody_(std::move(mailBody)) {}

  // zTimer's tick: one pass over the monitored folders. A folder that fails
  // keeps its files for a later pass. Never throws.
  void zTimerTimer();
  // The archive writer completed volume n (from 1).
  void zZipRequestImage(int volume, const QString& volumeFileName);
  bool Packing() const { return packing_; }
  // While held, no pass runs: the exchange directories wait.
  void SetHeld(bool held) { held_ = held; }
  // At start-up: a pass that stopped after handing its mails over has its
  // packed files removed (they went out), one that stopped before is done
  // again; an exchange directory with files arms the send timer.
  void FinishLeftovers();

  // Files (not directories, hidden ones included) in the directory matching the mask.
  static int CountFiles(const QString& directory, const QString& mask);
  static bool IsObjectActive(const QString& progId);
  // Outlook's own Send/Receive: the command bar button of versions 10 and
  // 11, the namespace's SendAndReceive for the others; nothing when offline.
  static void ExecuteSendReceiveButton(const outlook::OutlookNameSpace& nameSpace);

 private:
  // Outlook's Send/Receive, when Outlook runs.
  void SendAndReceive();
  // One folder of the pass; throws when anything fails.
  void PackFolder(const QString& folder, const QString& key);

  SyncState& state_;
  FolderIdentity& identity_;
  QTimer* sendTimer_;
  SyncHost& host_;
  QString mailBody_;
  bool packing_ = false;
  bool packAgain_ = false;
  bool held_ = false;
};
