#include "sync/echo_guard.h"

#include <QTimer>

#include "storage/string_list.h"

void EchoGuard::Add(const QString& entryId) { items_.Add(entryId); }

bool EchoGuard::Skips(const QString& entryId) const { return items_.Contains(entryId); }

void EchoGuard::ImportStarted() { timer_->stop(); }

void EchoGuard::ImportFinished() { timer_->start(); }

void EchoGuard::Expire() {
  timer_->stop();
  items_.Clear();
}
