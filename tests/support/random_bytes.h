#pragma once
// Incompressible test data: the same bytes for the same seed, so a test can
// make its input again to compare with what came out.

#include <QByteArray>
#include <QRandomGenerator>

inline QByteArray RandomBytes(qint64 n, quint32 seed) {
  QRandomGenerator g(seed);
  QByteArray b(n, Qt::Uninitialized);
  g.fillRange(reinterpret_cast<quint32*>(b.data()), n / 4);
  for (qint64 i = n / 4 * 4; i < n; ++i) b[i] = char(g.generate());
  return b;
}
