#pragma once
// Errors and the log line of the stand-in message store.
//
// Every failing operation of the store throws StoreError with a message that
// names the object and the cause ("no folder with entry identifier ..."), so
// the COM layer can turn it into a failing status with that text.
//
// Files that the store skips (an unreadable or malformed mail, .ics or item
// file) are not errors: the store goes on without them and reports each one
// through the log handler. The module's owner installs a handler (the COM
// module forwards it to the program's log); without one the line goes to
// qWarning.
//
// REQUIRES: the handler is set and called on one thread (the UI thread).

#include <QString>

#include <functional>
#include <stdexcept>

namespace vasnik {

class StoreError : public std::runtime_error {
 public:
  explicit StoreError(const QString& message);
  QString Message() const;
};

using LogHandler = std::function<void(const QString& line)>;

// Replaces the handler; an empty function restores the default (qWarning).
void SetLogHandler(LogHandler handler);
// Reports one line through the current handler. Never throws.
void LogLine(const QString& line);

}  // namespace vasnik
