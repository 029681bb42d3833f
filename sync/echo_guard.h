#pragma once
// EchoGuard: keeps the store events that the import itself causes from being
// exported back to the computers the items came from.
//
// The import puts an item's entry identifier on the guard before the library
// changes the item; the export and the deletion record skip identifiers that
// are on it. Once an import is over, the clearing tick (zTimer2) empties the
// guard; while an import runs the tick is held back, so a tick left from an
// earlier import cannot empty it under the running one.
//
// The list and the timer are the controller's and outlive the guard.
// REQUIRES: UI thread only.

#include <QString>

class QTimer;
class StringList;

class EchoGuard {
 public:
  EchoGuard(StringList& updatedItems, QTimer* clearTimer) : items_(updatedItems), timer_(clearTimer) {}

  // The import is about to change (or create, or delete) this item.
  void Add(const QString& entryId);
  // A store event of this item is the import's own.
  bool Skips(const QString& entryId) const;

  // An import starts: no clearing tick until it is over.
  void ImportStarted();
  // An import is over: the guard is emptied one tick later.
  void ImportFinished();
  // zTimer2's tick.
  void Expire();

 private:
  StringList& items_;
  QTimer* timer_;
};
