#include "standin/store/store_error.h"

#include <QtGlobal>

namespace vasnik {

StoreError::StoreError(const QString& message)
    : std::runtime_error(message.toStdString()) {}

QString StoreError::Message() const { return QString::fromStdString(what()); }

namespace {
LogHandler& Handler() {
  static LogHandler handler;
  return handler;
}
}  // namespace

void SetLogHandler(LogHandler handler) { Handler() = std::move(handler); }

void LogLine(const QString& line) {
  try {
    if (Handler()) {
      Handler()(line);
      return;
    }
  } catch (...) {
    // A failing handler must not turn a skipped file into a failed call.
  }
  qWarning("vasnik: %s", qUtf8Printable(line));
}

}  // namespace vasnik
