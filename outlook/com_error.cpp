#include "outlook/com_error.h"

namespace outlook {

ComError::ComError(HRESULT status, const QString& message)
    : std::runtime_error(message.toStdString()), status_(status) {}

InterfaceCastError::InterfaceCastError() : ComError(E_NOINTERFACE, QStringLiteral("Interface not supported")) {}

QString HexStatus(HRESULT status) {
  return QStringLiteral("%1").arg(static_cast<uint32_t>(status), 8, 16, QLatin1Char('0')).toUpper();
}

}  // namespace outlook
