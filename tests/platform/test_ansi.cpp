#include "platform/ansi.h"

#include <gtest/gtest.h>

namespace {

TEST(Ansi, AsciiAndLatin1PassThrough) {
  const QString text = QStringLiteral("abc <>&\t\r\n") + QChar(0xE9) + QChar(0xFF);
  const QByteArray bytes = platform::ToAnsi(text);
  EXPECT_EQ(bytes, QByteArray("abc <>&\t\r\n\xE9\xFF"));
  EXPECT_EQ(platform::FromAnsi(bytes), text);
}

TEST(Ansi, Windows1252UpperHalfRoundTrips) {
  const QString euro(QChar(0x20AC));
  EXPECT_EQ(platform::ToAnsi(euro), QByteArray("\x80"));
  EXPECT_EQ(platform::FromAnsi("\x80\x99"), euro + QChar(0x2122));
}

TEST(Ansi, UnmappableUnitsBecomeOneQuestionMarkEach) {
  // A surrogate pair is two units and so two characters of the log's length.
  const QString text = QStringLiteral("a") + QChar(0x4E2D) + QString::fromUcs4(U"\U0001F600");
  const QByteArray bytes = platform::ToAnsi(text);
  EXPECT_EQ(bytes, QByteArray("a???"));
  EXPECT_EQ(bytes.size(), text.size());
}

}  // namespace
