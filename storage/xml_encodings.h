#pragma once
// Encodings of the storage's files: the code-page names of a declaration, the
// byte-order marks and the decoding of a file into text, and the character
// references that keep every written byte ASCII. Internal to
// storage/xml_*.cpp.

#include "storage/xml_document.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

class QFile;

namespace xml {

bool IsUtf8Name(QStringView name);
bool IsUtf16Name(QStringView name);
// The ANSI code page under any of the names we write or accept for it.
bool IsAnsiName(QStringView name);

// Appends "&#x" + the code in upper-case hex of at least minDigits + ";".
void AppendHex(QByteArray& out, char32_t code, int minDigits);
// The value encoding: the output is ASCII whatever the text holds.
void AppendEscaped(QByteArray& out, QStringView text);

// Decodes the reference that starts with "&" at text[at] into out. Returns
// its length, or 0 when it is not one we know (it then stays as written).
qsizetype DecodeReference(QStringView text, qsizetype at, QString& out);
// The text with every known reference decoded.
QString DecodeText(QStringView raw);

struct DecodedFile {
  QString text;
  QString encoding;  // the name to declare when the file declares none
  bool utf16 = false;
  bool bigEndian = false;
  // The declaration names a code page we cannot read: the file was read as
  // ANSI, and it is written back declaring what it was read as, so that our
  // own output always loads again.
  bool unknownEncoding = false;
  QString error;
};

// Reads and decodes the whole file. A byte-order mark selects UTF-8 or
// UTF-16; otherwise the declaration's encoding is used, and the ANSI code page
// when there is none.
DecodedFile DecodeFile(QFile& in);

// The ASCII text of a serialised document in the encoding its declaration
// names: a single-byte code page as it is, UTF-8 and UTF-16 with their
// byte-order marks. A UTF-16 file is written in the byte order it was read in.
QByteArray EncodeOutput(QByteArray ascii, QStringView encoding, bool loadedUtf16, bool loadedBigEndian);

}  // namespace xml
