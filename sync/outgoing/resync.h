#pragma once
// Resync: sends a whole shared folder again. Every item is saved under its
// item key into the folder's exchange directory (an item that came from
// another computer keeps the key it arrived with, so the other side
// replaces it instead of adding a copy), with its mapping rows and its
// recorded state; then the folder rows, the directory's description and the
// send timer. No item is passed over: the import's own writes, "Dummy"
// placeholders and update mails lying in the folder go too.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QString>

class FolderIdentity;
class QTimer;
class SyncHost;
struct SyncState;

class Resync {
 public:
  // What the resync shows while it runs; Cancel is polled before each item.
  class Progress {
   public:
    virtual ~Progress() = default;
    virtual void Show(int maximum, const QString& text) = 0;
    virtual void StepIt() = 0;
    virtual bool Canceled() const = 0;
    virtual void Hide() = 0;
  };

  Resync(SyncState& state, FolderIdentity& identity, QTimer* sendTimer, SyncHost& host)
      : state_(state), identity_(identity), sendTimer_(sendTimer), host_(host) {}

  // Resyncs folder F of store S. Lets the message loop run once before each
  // item; an item that cannot be fetched or saved is skipped. When no item
  // was fetched last (an empty folder, Cancel before the first, or the last
  // fetch failed) it ends after the folder rows: the files written wait for
  // the next pass. Throws when the folder cannot be opened or the
  // description cannot be written; what was written stays.
  void Run(const QString& folderEntryId, const QString& storeId, Progress& progress);
  // One resync at a time: "Resync All" pressed again while one runs (it
  // yields to the message loop) does nothing.
  bool Running() const { return running_; }

 private:
  bool running_ = false;
  SyncState& state_;
  FolderIdentity& identity_;
  QTimer* sendTimer_;
  SyncHost& host_;
};
