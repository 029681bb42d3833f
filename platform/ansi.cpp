#include "platform/ansi.h"

#include <array>

namespace platform {
namespace {

// Windows-1252 bytes 0x80-0x9F; 0 marks the five bytes the code page leaves
// undefined (they decode to the C1 control of the same value).
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char EncodeUnit(char16_t u) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == u && u != 0) return static_cast<char>(0x80 + i);
  if (u >= 0x80 && u < 0xA0 && kHigh[u - 0x80] == 0) return static_cast<char>(u);
  return '?';
}

}  // namespace

QByteArray ToAnsi(QStringView text) {
  QByteArray out(text.size(), Qt::Uninitialized);
  char* p = out.data();
  for (QChar c : text) *p++ = EncodeUnit(c.unicode());
  return out;
}

QString FromAnsi(QByteArrayView bytes) {
  QString out(bytes.size(), Qt::Uninitialized);
  QChar* p = out.data();
  for (char b : bytes) {
    const auto u = static_cast<unsigned char>(b);
    if (u >= 0x80 && u < 0xA0 && kHigh[u - 0x80] != 0)
      *p++ = QChar(kHigh[u - 0x80]);
    else
      *p++ = QChar(u);
  }
  return out;
}

}  // namespace platform
