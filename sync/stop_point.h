#pragma once
// StopPoint: lets a test end the process at a named step of the road, as a
// power cut or kill -9 would there, to show that the next start picks up
// where it stopped. The environment variable LINTROVE_STOP_AT names the
// step; unset, a stop point costs one comparison.

#include <QByteArray>
#include <cstdlib>

inline void StopPoint(const char* step) {
  static const QByteArray wanted = qgetenv("LINTROVE_STOP_AT");
  if (!wanted.isEmpty() && wanted == step) std::_Exit(86);
}
