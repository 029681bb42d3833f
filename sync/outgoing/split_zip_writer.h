// The archive writer of the packing pass: a folder's exchange directory
// becomes a ZIP archive split into volumes (format in doc/split_zip_format.md).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>
#include <zlib.h>

namespace outgoing {

// Any failure of WriteSplitZip: unreadable source, unwritable output, a
// ZIP limit that would need ZIP64. what() names the file and the cause.
class SplitZipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SplitZipOptions {
  // Largest size of one segment in bytes. Every header must fit into one
  // segment, so this must leave room for the largest record (name included).
  qint64 volumeSize = 1048576;
  // Deflate level as zlib counts it, 0 to 9 (Z_DEFAULT_COMPRESSION = 6);
  // 0 stores every file.
  int level = Z_DEFAULT_COMPRESSION;
};

// Writes the regular files of `sourceDir` (hidden ones included, no
// directories, no recursion; in the order of QDir's name-sorted listing) as
// entries "<entryDir>/<file name>" into the archive <outputBase>.zip. When the
// archive is larger than one volume, completed volumes are renamed to
// <outputBase>.z01, .z02, ..., .z10, ..., .z100 and the last segment stays
// <outputBase>.zip.
//
// The archive is always written anew: segments of an earlier set under
// <outputBase> (.zip and every .zNN) are removed before writing starts.
//
// onVolume(n, path) is called for each completed volume, n from 1, in order,
// after the volume is closed under its final name and before the next one is
// begun. It is not called for the last segment (.zip).
//
// Returns the file names (no directory) of all segments: volumes in ascending
// order, then <outputBase>.zip.
//
// Throws SplitZipError on any failure; every segment written by this call is
// removed first, so no partial set stays behind. A file that changes while
// it is packed is a failure too. An exception thrown by onVolume is
// propagated after the same clean-up.
QStringList WriteSplitZip(const QString& sourceDir, const QString& entryDir, const QString& outputBase,
                          const SplitZipOptions& options = {},
                          const std::function<void(int, const QString&)>& onVolume = {});

// The name of volume n (n from 1) of the set <outputBase>: ".z01" ... ".z09",
// ".z10" ... ".z99", ".z100" ...
QString SplitZipVolumeName(const QString& outputBase, int n);

}  // namespace outgoing
