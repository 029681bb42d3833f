#pragma once
// Runs one handler of the lists that Qt calls directly (a signal, a model
// callback): whatever it raises has been logged by the exception hook and
// ends only this handler, never unwinds through Qt.

#include <utility>

template <class F>
void Guarded(F&& handler) {
  try {
    std::forward<F>(handler)();
  } catch (...) {
    // Already logged where it was raised.
  }
}
