#include "sync/incoming/replay_guard.h"

#include "storage/folder_identity.h"

bool ReplayGuard::Take(const QString& itemKey) {
  const QDateTime newest = identity_.PackageStamp(folder_, itemKey, sender_);
  if (newest.isValid() && (!sent_.isValid() || sent_ < newest)) {
    ++passed_;
    return false;
  }
  if (sent_.isValid() && newest != sent_) identity_.RecordPackageStamp(folder_, itemKey, sender_, sent_);
  return true;
}
