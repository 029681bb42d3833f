#include "sync/echo_guard.h"

#include <QTimer>

#include "storage/string_list.h"

EchoGuard::EchoGuard(StringList& updatedItems, QTimer* clearTimer) : items_(updatedItems), timer_(clearTimer) {
  clock_.start();
}

void EchoGuard::Add(const QString& entryId) {
  items_.Add(entryId);
  Entry& entry = entries_[Key(entryId)];
  entry.kind = Kind::kWriting;
  entry.endedAt = -1;
}

void EchoGuard::Left(const QString& entryId, const ItemState& state) {
  Entry& entry = entries_[Key(entryId)];
  items_.Add(entryId);
  entry.kind = Kind::kLeft;
  entry.state = state;
}

void EchoGuard::LeftDeleted(const QString& entryId) {
  Entry& entry = entries_[Key(entryId)];
  items_.Add(entryId);
  entry.kind = Kind::kDeleted;
}

bool EchoGuard::Contains(const QString& entryId) const { return items_.Contains(entryId); }

bool EchoGuard::SkipsChange(const QString& entryId, const std::function<ItemState()>& current) {
  if (!items_.Contains(entryId)) return false;
  const auto it = entries_.constFind(Key(entryId));
  // On the list without a record: put there by someone who knows no more
  // than the identifier; all its events are skipped until it expires.
  if (it == entries_.constEnd() || it->kind == Kind::kWriting) return true;
  if (it->kind == Kind::kLeft && current() == it->state) return true;
  Drop(entryId);
  return false;
}

bool EchoGuard::SkipsDeletion(const QString& entryId) {
  if (!items_.Contains(entryId)) return false;
  const auto it = entries_.constFind(Key(entryId));
  if (it == entries_.constEnd() || it->kind != Kind::kLeft) return true;
  Drop(entryId);
  return false;
}

void EchoGuard::ImportStarted() {
  ++running_;
  timer_->stop();
}

void EchoGuard::ImportFinished() {
  if (running_ > 0) --running_;
  if (running_ > 0) return;
  const qint64 now = clock_.elapsed();
  for (Entry& entry : entries_)
    if (entry.endedAt < 0) entry.endedAt = now;
  if (!items_.IsEmpty()) timer_->start();
}

void EchoGuard::Expire() {
  if (running_ > 0) return;
  const qint64 now = clock_.elapsed();
  QStringList expired;
  for (const QString& id : items_.Items()) {
    const auto it = entries_.constFind(Key(id));
    const qint64 endedAt = it == entries_.constEnd() ? -1 : it->endedAt;
    // Entries without a record of their import are of the old kind: one tick.
    if (it == entries_.constEnd() || (endedAt >= 0 && now - endedAt >= kKeepMs)) expired.append(id);
  }
  for (const QString& id : expired) Drop(id);
  if (items_.IsEmpty()) timer_->stop();
}

void EchoGuard::Release(const QString& entryId) {
  while (items_.Remove(entryId)) {
  }
  entries_.remove(Key(entryId));
}

void EchoGuard::Drop(const QString& entryId) {
  items_.Remove(entryId);
  entries_.remove(Key(entryId));
}
