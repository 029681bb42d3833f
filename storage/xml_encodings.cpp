#include "storage/xml_encodings.h"

#include "platform/ansi.h"
#include "storage/xml_format_reader.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <initializer_list>

namespace xml {

// ---------------------------------------------------------------------------
// Code pages

bool IsUtf8Name(QStringView name) {
  return name.compare(u"UTF-8", Qt::CaseInsensitive) == 0 ||
         name.compare(u"UTF8", Qt::CaseInsensitive) == 0;
}

bool IsUtf16Name(QStringView name) {
  return name.startsWith(u"UTF-16", Qt::CaseInsensitive) || name.startsWith(u"UTF16", Qt::CaseInsensitive);
}

bool IsAnsiName(QStringView name) {
  return name.compare(QLatin1StringView(platform::kAnsiCharsetName), Qt::CaseInsensitive) == 0 ||
         name.compare(u"windows-1252", Qt::CaseInsensitive) == 0 ||
         name.compare(u"cp1252", Qt::CaseInsensitive) == 0;
}

// ---------------------------------------------------------------------------
// Character references

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(QByteArray& out, char32_t code, int minDigits) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[code & 0xF];
    code >>= 4;
  } while (code != 0 || n < minDigits);
  out.append("&#x");
  while (n > 0) out.append(digits[--n]);
  out.append(';');
}

void AppendEscaped(QByteArray& out, QStringView text) {
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = text[i].unicode();
    switch (c) {
      case u'&': out.append("&amp;"); continue;
      case u'<': out.append("&lt;"); continue;
      case u'>': out.append("&gt;"); continue;
      case u'"': out.append("&quot;"); continue;
      case u'\'': out.append("&apos;"); continue;
      default: break;
    }
    if (c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 127)) {
      out.append(static_cast<char>(c));
    } else if (c < 256) {
      AppendHex(out, c, 2);
    } else {
      // One reference per UTF-16 unit: a character above U+FFFF is written
      // as its two surrogates, as peers that read these files expect.
      AppendHex(out, c, 4);
    }
  }
}

qsizetype DecodeReference(QStringView text, qsizetype at, QString& out) {
  // The longest reference we accept is short; bounding the search for ";"
  // keeps decoding linear on text full of stray ampersands.
  constexpr qsizetype kMaxLength = 32;
  const qsizetype end = std::min(text.size(), at + kMaxLength);
  qsizetype semicolon = at + 1;
  while (semicolon < end && text[semicolon] != u';') ++semicolon;
  if (semicolon >= end) return 0;
  const QStringView body = text.sliced(at + 1, semicolon - at - 1);
  const qsizetype length = semicolon - at + 1;
  static constexpr struct {
    const char16_t* name;
    char16_t character;
  } kNamed[] = {{u"amp", u'&'}, {u"lt", u'<'}, {u"gt", u'>'}, {u"quot", u'"'}, {u"apos", u'\''}};
  for (const auto& entity : kNamed) {
    if (body == QStringView(entity.name)) {
      out.append(QChar(entity.character));
      return length;
    }
  }
  if (body.size() < 2 || body[0] != u'#') return 0;
  const bool hex = body[1] == u'x';
  const QStringView digits = body.sliced(hex ? 2 : 1);
  if (digits.isEmpty()) return 0;
  char32_t code = 0;
  for (QChar d : digits) {
    const char16_t c = d.unicode();
    int v;
    if (c >= u'0' && c <= u'9')
      v = c - u'0';
    else if (hex && c >= u'a' && c <= u'f')
      v = c - u'a' + 10;
    else if (hex && c >= u'A' && c <= u'F')
      v = c - u'A' + 10;
    else
      return 0;
    code = code * (hex ? 16 : 10) + v;
    if (code > 0x10FFFF) return 0;
  }
  // Surrogate codes are taken as single units: the writer emits one for an
  // unpaired surrogate, and a pair of them rebuilds the character.
  if (code < 0x10000) {
    out.append(QChar(static_cast<char16_t>(code)));
  } else {
    out.append(QChar(QChar::highSurrogate(code)));
    out.append(QChar(QChar::lowSurrogate(code)));
  }
  return length;
}

QString DecodeText(QStringView raw) {
  const qsizetype amp = raw.indexOf(u'&');
  if (amp < 0) return raw.toString();
  QString out;
  out.reserve(raw.size());
  out.append(raw.left(amp));
  for (qsizetype i = amp; i < raw.size();) {
    if (raw[i] == u'&') {
      const qsizetype used = DecodeReference(raw, i, out);
      if (used > 0) {
        i += used;
        continue;
      }
    }
    out.append(raw[i++]);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files

// Reads and decodes the whole file chunk by chunk, so that a large file is
// never held twice (bytes and text) in memory. A byte-order mark selects
// UTF-8 or UTF-16; otherwise the declaration's encoding is used, and the ANSI
// code page when there is none.
DecodedFile DecodeFile(QFile& in) {
  constexpr qint64 kChunk = 1 << 14;
  QByteArray buffer(kChunk, Qt::Uninitialized);
  const auto readChunk = [&]() -> QByteArrayView {
    const qint64 n = in.read(buffer.data(), kChunk);
    return QByteArrayView(buffer.constData(), std::max<qint64>(n, 0));
  };
  const QByteArrayView head = readChunk();
  const auto starts = [&](std::initializer_list<unsigned char> prefix) {
    if (head.size() < qsizetype(prefix.size())) return false;
    qsizetype i = 0;
    for (unsigned char b : prefix)
      if (static_cast<unsigned char>(head[i++]) != b) return false;
    return true;
  };

  DecodedFile file;
  QStringDecoder decoder;  // invalid: the ANSI code page
  qsizetype skip = 0;
  if (starts({0xEF, 0xBB, 0xBF})) {
    decoder = QStringDecoder(QStringConverter::Utf8);
    file.encoding = QStringLiteral("UTF-8");
    skip = 3;
  } else if (starts({0xFF, 0xFE}) || starts({0xFE, 0xFF}) || starts({0x3C, 0x00}) || starts({0x00, 0x3C})) {
    // UTF-16 with a mark, or without one but beginning with "<".
    file.bigEndian = starts({0xFE, 0xFF}) || starts({0x00, 0x3C});
    decoder = QStringDecoder(file.bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE);
    file.encoding = QStringLiteral("UTF-16");
    file.utf16 = true;
    skip = head[0] == '<' || head[1] == '<' ? 0 : 2;
  } else {
    // The declaration is ASCII in every code page we read.
    const QString declared = DeclaredEncoding(QString::fromLatin1(head.first(std::min<qsizetype>(head.size(), 1024))));
    if (declared.isEmpty() || IsAnsiName(declared)) {
      file.encoding = QLatin1StringView(platform::kAnsiCharsetName);
    } else {
      file.encoding = declared;
      decoder = QStringDecoder(declared.toLatin1().constData());
      // An unknown code page is read as the ANSI one so that its ASCII part
      // survives; the caller still learns of the fault.
      if (!decoder.isValid()) {
        file.error = QStringLiteral("unknown encoding %1").arg(declared);
        file.encoding = QLatin1StringView(platform::kAnsiCharsetName);
        file.unknownEncoding = true;
      }
    }
  }

  file.text.reserve(file.utf16 ? in.size() / 2 : in.size());
  const auto decode = [&](QByteArrayView bytes) {
    if (decoder.isValid())
      file.text += QString(decoder(bytes));
    else
      file.text += platform::FromAnsi(bytes);
  };
  decode(head.sliced(skip));
  for (QByteArrayView chunk = readChunk(); !chunk.isEmpty(); chunk = readChunk()) decode(chunk);
  if (in.error() != QFileDevice::NoError)
    file.error = QStringLiteral("cannot be read: %1").arg(in.errorString());
  else if (file.error.isEmpty() && decoder.isValid() && decoder.hasError())
    file.error = QStringLiteral("byte sequence invalid in %1").arg(file.encoding);
  return file;
}

QByteArray EncodeOutput(QByteArray out, QStringView encoding, bool loadedUtf16, bool loadedBigEndian) {
  // The text is ASCII, so a single-byte code page needs no conversion; UTF-8
  // only adds its mark.
  if (IsUtf8Name(encoding)) return QByteArray("\xEF\xBB\xBF") + out;
  if (!IsUtf16Name(encoding)) return out;
  const bool be = loadedUtf16 ? loadedBigEndian : encoding.endsWith(u"BE", Qt::CaseInsensitive);
  QByteArray wide(2 * (out.size() + 1), '\0');
  char* w = wide.data();
  *w++ = be ? '\xFE' : '\xFF';
  *w++ = be ? '\xFF' : '\xFE';
  for (char c : out) {
    *w++ = be ? '\0' : c;
    *w++ = be ? c : '\0';
  }
  return wide;
}

}  // namespace xml
