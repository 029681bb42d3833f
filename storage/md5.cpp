#include "storage/md5.h"

#include <QCryptographicHash>

QString GetMD5(const QString& text) {
  QByteArray bytes(text.size(), Qt::Uninitialized);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    bytes[i] = unit < 128 ? static_cast<char>(unit) : '?';
  }
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper());
}

bool IsPlainKey(const QString& key) {
  if (key.isEmpty() || key == QStringLiteral(".") || key.contains(QStringLiteral(".."))) return false;
  for (QChar c : key)
    if (c.unicode() < 32 || c == u'/' || c == u'\\' || c == u':' || c == u',') return false;
  return true;
}
