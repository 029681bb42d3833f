#pragma once
// Exceptions of the COM layer. Errors are exceptions throughout the program;
// these carry what a handler or the log needs to know about a COM failure.

#include <wtypes.h>

#include <QString>

#include <stdexcept>

namespace outlook {

// An OLE system error: a failing status of a COM call, with a message. The
// message is the server's own description when it gave one (EXCEPINFO),
// otherwise text that names the call and the status in 8 hex digits.
class ComError : public std::runtime_error {
 public:
  ComError(HRESULT status, const QString& message);
  HRESULT Status() const { return status_; }
  QString Message() const { return QString::fromUtf8(what()); }

 private:
  HRESULT status_;
};

// An object does not support the interface it was cast to (status
// E_NOINTERFACE, message "Interface not supported").
class InterfaceCastError : public ComError {
 public:
  InterfaceCastError();
};

// The status as 8 upper-case hexadecimal digits, e.g. "800401FA".
QString HexStatus(HRESULT status);

}  // namespace outlook
