#include "standin/store/entry_id.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QStringDecoder>

namespace vasnik {

namespace {
constexpr int kUidLength = 16;
const QString kPrefix = QStringLiteral("00000000");

bool IsHex(const QString& text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    const bool digit = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') ||
                       (u >= 'a' && u <= 'f');
    if (!digit) return false;
  }
  return true;
}
}  // namespace

QString NewUid() {
  const quint64 value = QRandomGenerator::system()->generate64();
  return QStringLiteral("%1").arg(value, kUidLength, 16, QLatin1Char('0')).toUpper();
}

bool IsUid(const QString& text) { return text.size() == kUidLength && IsHex(text); }

QString StoreEntryId(const QString& storeUid) { return kPrefix + storeUid.toUpper(); }

QString FolderEntryId(const QString& storeUid, const QString& folderUid) {
  return kPrefix + storeUid.toUpper() + folderUid.toUpper();
}

QString ItemEntryId(const QString& storeUid, const QString& folderUid,
                    const QString& baseName) {
  return FolderEntryId(storeUid, folderUid) +
         QString::fromLatin1(baseName.toUtf8().toHex().toUpper());
}

std::optional<ParsedEntryId> ParseEntryId(const QString& entryId) {
  const QString id = entryId.trimmed();
  if (!id.startsWith(kPrefix) || !IsHex(id)) return std::nullopt;
  const int storeEnd = kPrefix.size() + kUidLength;
  const int folderEnd = storeEnd + kUidLength;
  ParsedEntryId parsed;
  if (id.size() == storeEnd) {
    parsed.storeUid = id.mid(kPrefix.size()).toUpper();
    return parsed;
  }
  if (id.size() < folderEnd) return std::nullopt;
  parsed.storeUid = id.mid(kPrefix.size(), kUidLength).toUpper();
  parsed.folderUid = id.mid(storeEnd, kUidLength).toUpper();
  if (id.size() == folderEnd) return parsed;
  const QString hex = id.mid(folderEnd);
  if (hex.size() % 2 != 0) return std::nullopt;
  const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
  if (bytes.contains('\0') || bytes.contains('/')) return std::nullopt;
  QStringDecoder decoder(QStringDecoder::Utf8);
  const QString base = decoder(bytes);
  if (decoder.hasError() || base.isEmpty() || base == u"." || base == u"..")
    return std::nullopt;
  parsed.baseName = base;
  return parsed;
}

}  // namespace vasnik
