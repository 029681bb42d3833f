#include "ui/outlook_images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

const QColor kInk(60, 60, 60);

void Envelope(QPainter& p, QColor paper) {
  p.setPen(kInk);
  p.setBrush(paper);
  p.drawRect(1, 3, 13, 10);
  p.drawPolyline(QPolygon({QPoint(1, 3), QPoint(8, 9), QPoint(14, 3)}));
}

void Calendar(QPainter& p) {
  p.setPen(kInk);
  p.setBrush(Qt::white);
  p.drawRect(1, 2, 13, 12);
  p.fillRect(2, 3, 12, 3, QColor(200, 50, 50));
  p.setPen(QColor(120, 120, 120));
  for (int y = 8; y <= 12; y += 2)
    for (int x = 3; x <= 12; x += 3) p.drawPoint(x, y);
  p.setPen(kInk);
  p.drawLine(4, 1, 4, 3);
  p.drawLine(11, 1, 11, 3);
}

void Person(QPainter& p, int dx, QColor colour) {
  p.setPen(kInk);
  p.setBrush(colour);
  p.drawEllipse(QRect(dx + 3, 1, 5, 5));
  QPainterPath body;
  body.moveTo(dx + 1, 14);
  body.cubicTo(dx + 1, 7, dx + 10, 7, dx + 10, 14);
  body.closeSubpath();
  p.drawPath(body);
}

void Tasks(QPainter& p) {
  p.setPen(kInk);
  p.setBrush(Qt::white);
  p.drawRect(2, 1, 11, 13);
  QPen tick(QColor(40, 140, 40), 2);
  p.setPen(tick);
  p.drawPolyline(QPolygon({QPoint(4, 7), QPoint(7, 10), QPoint(12, 3)}));
}

void Journal(QPainter& p) {
  p.setPen(kInk);
  p.setBrush(QColor(150, 90, 40));
  p.drawRect(2, 1, 11, 13);
  p.fillRect(4, 2, 1, 12, QColor(230, 200, 150));
  p.setPen(QColor(240, 230, 210));
  p.drawLine(7, 5, 11, 5);
  p.drawLine(7, 8, 11, 8);
}

void Note(QPainter& p) {
  p.setPen(kInk);
  p.setBrush(QColor(250, 230, 90));
  p.drawPolygon(QPolygon({QPoint(1, 1), QPoint(14, 1), QPoint(14, 10), QPoint(10, 14), QPoint(1, 14)}));
  p.drawPolyline(QPolygon({QPoint(14, 10), QPoint(10, 10), QPoint(10, 14)}));
}

void Post(QPainter& p) {
  p.setPen(kInk);
  p.setBrush(QColor(255, 225, 140));
  p.drawRect(1, 4, 13, 10);
  p.setBrush(QColor(200, 60, 60));
  p.drawEllipse(QRect(5, 1, 5, 5));
  p.setPen(QColor(120, 120, 120));
  p.drawLine(3, 9, 12, 9);
  p.drawLine(3, 11, 10, 11);
}

QIcon Draw(int type) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing, type == 2 || type == 7);
  switch (type) {
    case 0: Envelope(p, QColor(250, 250, 235)); break;
    case 1: Calendar(p); break;
    case 2: Person(p, 2, QColor(90, 140, 210)); break;
    case 3: Tasks(p); break;
    case 4: Journal(p); break;
    case 5: Note(p); break;
    case 6: Post(p); break;
    case 7:
      Person(p, 4, QColor(150, 180, 230));
      Person(p, 0, QColor(90, 140, 210));
      break;
  }
  p.end();
  return QIcon(pixmap);
}

}  // namespace

std::vector<QIcon> OutlookImages() {
  std::vector<QIcon> images;
  for (int type = 0; type < 8; ++type) images.push_back(Draw(type));
  return images;
}
