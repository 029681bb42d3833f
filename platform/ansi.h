#pragma once
// The "ANSI code page" of the program's text files.
//
// Files that the program writes in the system's single-byte code page (the
// log, XML documents without a byte-order mark) use Windows-1252 on every
// platform, so a file written on Linux reads the same on Windows. One UTF-16
// unit becomes one byte: a unit that the code page cannot hold becomes "?".
// Because of that, a text's length in characters equals its encoded length in
// bytes, which the log's size limit relies on.

#include <QByteArray>
#include <QString>

namespace platform {

// Charset name written into XML declarations for the ANSI code page.
inline constexpr const char* kAnsiCharsetName = "Windows-1252";

QByteArray ToAnsi(QStringView text);
QString FromAnsi(QByteArrayView bytes);

}  // namespace platform
