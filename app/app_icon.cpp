#include "app/app_icon.h"

#include <QPainter>
#include <QPixmap>

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 16.0;
    // A calendar sheet with two binding rings and an envelope flap.
    p.setPen(QPen(QColor(40, 70, 110), s));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(1.5 * s, 2.5 * s, 13 * s, 12 * s), 1.5 * s, 1.5 * s);
    p.fillRect(QRectF(2 * s, 3 * s, 12 * s, 3 * s), QColor(96, 141, 187));
    p.setPen(QPen(QColor(96, 141, 187), 1.2 * s));
    p.drawLine(QPointF(3 * s, 8 * s), QPointF(8 * s, 11.5 * s));
    p.drawLine(QPointF(13 * s, 8 * s), QPointF(8 * s, 11.5 * s));
    p.setPen(QPen(QColor(40, 70, 110), 1.2 * s));
    p.drawLine(QPointF(5 * s, 1 * s), QPointF(5 * s, 4 * s));
    p.drawLine(QPointF(11 * s, 1 * s), QPointF(11 * s, 4 * s));
    icon.addPixmap(pixmap);
  }
  return icon;
}
