// The list file of a package: the names of the archive's volumes, one per
// line, that every update mail of the package carries. It arrives by mail,
// so every name is checked before it is used as a file name.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <stdexcept>

namespace incoming {

// A list file that cannot be read or that names something other than a
// volume of its own package. what() names the file or the line.
class ListFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether name is a volume of the package whose folder key is folderKey:
// folderKey + ".zip" (the last volume) or folderKey + ".z" followed by two or
// more digits. Letter case must match: the names are written by the sender.
bool IsPackageVolumeName(const QString& name, const QString& folderKey);

// The names of a list file's text (Windows-1252, lines ended by CR LF or LF;
// blank lines and trailing blanks ignored), in file order. Throws
// ListFileError for a name that is not a volume of folderKey, for a list
// that does not name folderKey + ".zip", and for text longer than
// kMaxListFileBytes.
QStringList ParseListFile(const QByteArray& text, const QString& folderKey);

// The list file could not be opened or read; what it says is unknown.
class ListFileReadError : public ListFileError {
 public:
  using ListFileError::ListFileError;
};

// Reads and parses the list file at path. Throws ListFileReadError when it
// cannot be read and ListFileError when it does not parse.
QStringList ReadListFile(const QString& path, const QString& folderKey);

// Far above what the largest package needs (a 1 GiB archive has 1 024
// volumes of about 40 bytes of name each).
inline constexpr qint64 kMaxListFileBytes = 256 * 1024;

}  // namespace incoming
