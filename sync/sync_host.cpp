#include "sync/sync_host.h"

#include <QTimer>

void EnableTimer(QTimer* timer) {
  if (!timer->isActive()) timer->start();
}
