#pragma once
// EchoGuard: keeps the store events that the import itself causes from being
// exported back to the computers the items came from, and lets every change
// of the user's through, however soon after the import it comes.
//
// It tells the two apart by content, not by time. The import puts an item's
// entry identifier on the guard before the library changes the item (from
// then on every event of the item is the import's own) and, once the item is
// written, records the state it left it in: its modification time and size,
// or that it deleted it. A change event is skipped only while the item is
// still exactly in that state; a deletion only when the import deleted it.
// Anything else is the user's: the entry goes and the change is exported.
//
// The import's own events may come late (the library delivers them through
// the message loop, after a burst of writes perhaps seconds later); entries
// stay for kKeepMs after their import ended. The clearing tick (zTimer2)
// drops older ones and stops when the guard is empty; it never decides
// whether an event is the user's.
//
// The list and the timer are the controller's and outlive the guard.
// REQUIRES: UI thread only.

#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <functional>

class QTimer;
class StringList;

// What an item looked like when someone left it.
struct ItemState {
  double modified = 0;  // the library's modification time (an OLE date)
  int size = -1;
  friend bool operator==(const ItemState&, const ItemState&) = default;
  // The form kept in "user.uxm".
  QString ToText() const { return QString::number(modified, 'g', 17) + u';' + QString::number(size); }
};

class EchoGuard {
 public:
  // How long after its import an entry waits for the import's own events.
  static constexpr qint64 kKeepMs = 10 * 60 * 1000;

  EchoGuard(StringList& updatedItems, QTimer* clearTimer);

  // The import is about to change, create or delete this item.
  void Add(const QString& entryId);
  // The import has written the item and left it in this state.
  void Left(const QString& entryId, const ItemState& state);
  // The import has deleted the item.
  void LeftDeleted(const QString& entryId);

  // Whether a created or changed item is the import's own write: the item
  // is still being written by the import, or still as the import left it.
  // current is asked only for an item on the guard. A change found otherwise
  // takes the item off the guard.
  bool SkipsChange(const QString& entryId, const std::function<ItemState()>& current);
  // Whether a deletion is the import's own.
  bool SkipsDeletion(const QString& entryId);
  bool Contains(const QString& entryId) const;
  // The import wants the item's store events exported after all (an item it
  // added that must be sent on): the item leaves the guard.
  // The list may hold the identifier more than once (Add and Left each put
  // it there); every copy goes.
  void Release(const QString& entryId);

  // An import starts and ends: its entries wait for their events from the
  // end on. Nested imports nest.
  void ImportStarted();
  void ImportFinished();
  // zTimer2's tick: drops the entries whose wait is over.
  void Expire();

 private:
  enum class Kind { kWriting, kLeft, kDeleted };
  struct Entry {
    Kind kind = Kind::kWriting;
    ItemState state;
    qint64 endedAt = -1;  // when its import ended (clock_), -1 while it runs
  };
  static QString Key(const QString& entryId) { return entryId.toUpper(); }
  void Drop(const QString& entryId);

  StringList& items_;
  QTimer* timer_;
  QHash<QString, Entry> entries_;
  QElapsedTimer clock_;
  int running_ = 0;  // imports in progress
};
