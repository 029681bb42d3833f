// The archive reader of the mail intake: unpacks a ZIP archive, plain or split
// into volumes (the format of doc/split_zip_format.md, and what Info-ZIP
// `zip -s` writes), into a directory. An archive arrives by mail, so it is
// treated as hostile: every entry name and the expanded size are checked
// before anything is written, and nothing is ever written outside the
// destination directory.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <stdexcept>

namespace incoming {

// Any refusal or failure of ExtractSplitZip. what() names the archive, and
// the entry or volume concerned, and the cause.
class SplitZipReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bounds against archives that expand far beyond their size ("zip bombs").
// The declared uncompressed total may exceed neither maxTotalBytes nor the
// free space of the destination's file system, and no entry may inflate past
// its declared size. There is no bound on the ratio of expanded to archived
// size: deflate reaches about 1 032 to 1 on real data (a pasted log of one
// repeated character), so any ratio a bomb could use a real package can too.
struct ExtractLimits {
  qint64 maxTotalBytes = qint64(1) << 30;
  // Bytes that may still be written below the given existing directory; by
  // default what the file system reports as available to this user.
  std::function<qint64(const QString& existingDir)> bytesAvailable;
};

// Unpacks the archive whose last segment is `lastSegment` (K.zip). When its end
// record counts n > 1 disks, the volumes K.z01 ... (names as the writer's
// SplitZipVolumeName) are read from beside it; all must be present.
//
// Each entry "<requiredTopDir>/<path>" is written to destinationDir/<path of
// the entry> (stored paths restored, missing directories created); an entry
// ending in "/" only creates its directory. Files are first written under
// temporary names and renamed to their final names once every entry has been
// read and checked (CRC-32 and sizes), so a damaged archive leaves no partial
// file. An existing file of the same name is replaced.
//
// Refused, before anything is written: an entry name that is empty, absolute
// ("/x", "\x", "C:x"), contains a backslash, a colon, a control character or
// an empty, "." or ".." component, does not begin with requiredTopDir + "/",
// or appears twice; a file entry that is also the directory of another entry;
// an encrypted entry or a method other than stored (0) or deflated (8);
// ZIP64 records; limits exceeded (ExtractLimits).
//
// Returns the relative paths (from destinationDir, with "/") of the files
// written, in archive order; directories are not listed.
//
// Throws SplitZipReadError on any refusal or failure (also a missing or
// truncated volume, a damaged record, a CRC or size mismatch); everything this
// call created (files, temporary files, directories) is removed first.
QStringList ExtractSplitZip(const QString& lastSegment, const QString& destinationDir,
                            const QString& requiredTopDir, const ExtractLimits& limits = {});

}  // namespace incoming
