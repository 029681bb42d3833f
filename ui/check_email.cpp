#include "ui/check_email.h"

bool CheckAllowed(const QString& text) {
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    const bool ok = u == u'-' || u == u'.' || u == u'_' || (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') ||
                    (u >= u'a' && u <= u'z');
    if (!ok) return false;
  }
  return true;
}

bool CheckEmail(const QString& address) {
  const qsizetype at = address.indexOf(u'@');
  if (at < 0) return false;
  if (address.contains(QStringLiteral(".."))) return false;
  const QString local = address.left(at);
  const QString domain = address.mid(at + 1);
  if (local.isEmpty() || domain.size() < 4) return false;
  const qsizetype q = domain.indexOf(u'.') + 1;  // counted from 1; 0 when there is none
  if (q < 2 || q > domain.size() - 2) return false;
  return CheckAllowed(local) && CheckAllowed(domain);
}
