#include "sync/incoming/split_zip_reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>
#include <QStringDecoder>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>
#include <zlib.h>

namespace incoming {
namespace {

constexpr quint32 kLocalSig = 0x04034b50;
constexpr quint32 kCentralSig = 0x02014b50;
constexpr quint32 kEndSig = 0x06054b50;
constexpr qint64 kEndSize = 22;
constexpr qint64 kLocalSize = 30;
constexpr qint64 kCentralSize = 46;
constexpr qint64 kChunk = 65536;

quint32 Get16(const QByteArray& b, qint64 at) {
  return quint32(uchar(b[at])) | quint32(uchar(b[at + 1])) << 8;
}
quint32 Get32(const QByteArray& b, qint64 at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

[[noreturn]] void Fail(const QString& message) { throw SplitZipReadError(message.toStdString()); }

// The segments of one archive seen as a single byte sequence: disk d, offset o
// is position start[d] + o. Data and (in Info-ZIP sets) records may run on
// from one volume into the next, which this view makes seamless.
class VolumeSet {
 public:
  VolumeSet(QString archive, QStringList paths) : archive_(std::move(archive)), paths_(std::move(paths)) {
    for (const QString& p : paths_) {
      QFileInfo info(p);
      if (!info.isFile())
        Fail(QStringLiteral("%1: volume %2 is missing").arg(archive_, info.fileName()));
      starts_.push_back(total_);
      total_ += info.size();
      files_.push_back(nullptr);
    }
  }

  qint64 Total() const { return total_; }
  int Disks() const { return int(paths_.size()); }

  // Position of (disk, offset); refuses one that lies outside that disk.
  qint64 Position(quint32 disk, qint64 offset, const QString& what) const {
    if (disk >= quint32(paths_.size()))
      Fail(QStringLiteral("%1: %2 names disk %3 of %4").arg(archive_, what).arg(disk).arg(paths_.size()));
    const qint64 end = disk + 1 < quint32(paths_.size()) ? starts_[disk + 1] : total_;
    if (offset >= end - starts_[disk])
      Fail(QStringLiteral("%1: %2 lies beyond the end of disk %3").arg(archive_, what).arg(disk));
    return starts_[disk] + offset;
  }

  QByteArray Read(qint64 pos, qint64 n, const QString& what) {
    if (pos < 0 || n < 0 || pos + n > total_)
      Fail(QStringLiteral("%1: %2 is cut short (archive truncated or damaged)").arg(archive_, what));
    QByteArray out;
    out.reserve(n);
    while (n > 0) {
      const int d = int(std::upper_bound(starts_.begin(), starts_.end(), pos) - starts_.begin()) - 1;
      QFile& f = Open(d);
      const qint64 end = d + 1 < int(starts_.size()) ? starts_[d + 1] : total_;
      const qint64 take = std::min(n, end - pos);
      if (!f.seek(pos - starts_[d])) Fail(QStringLiteral("%1: cannot seek: %2").arg(f.fileName(), f.errorString()));
      const QByteArray part = f.read(take);
      if (part.size() != take)
        Fail(QStringLiteral("%1: cannot read %2: %3").arg(f.fileName(), what, f.errorString()));
      out += part;
      pos += take;
      n -= take;
    }
    return out;
  }

 private:
  QFile& Open(int d) {
    if (!files_[d]) {
      auto f = std::make_unique<QFile>(paths_[d]);
      if (!f->open(QIODevice::ReadOnly)) Fail(QStringLiteral("%1: cannot open: %2").arg(paths_[d], f->errorString()));
      files_[d] = std::move(f);
    }
    return *files_[d];
  }

  QString archive_;
  QStringList paths_;
  std::vector<qint64> starts_;
  std::vector<std::unique_ptr<QFile>> files_;
  qint64 total_ = 0;
};

struct Entry {
  QByteArray rawName;
  QString name;      // as stored, "K/..."
  bool directory = false;
  quint32 flags = 0, method = 0, crc = 0, disk = 0;
  qint64 compressedSize = 0, size = 0, localOffset = 0;
};

QString DecodeName(const QByteArray& raw, quint32 flags) {
  // Bit 11 marks UTF-8; Info-ZIP on Unix stores UTF-8 without it. Other bytes
  // are taken as Latin-1 rather than guessed further.
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString name = utf8.decode(raw);
  if ((flags & 0x800) || !utf8.hasError()) return name;
  return QString::fromLatin1(raw);
}

// Why `name` may not be unpacked, or an empty string when it may.
QString NameFault(const QString& name, const QString& topDir) {
  if (name.isEmpty()) return QStringLiteral("empty name");
  for (QChar c : name)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) return QStringLiteral("control character in name");
  if (name.startsWith('/') || name.startsWith('\\')) return QStringLiteral("absolute path");
  if (name.contains('\\')) return QStringLiteral("backslash in name");
  if (name.contains(':')) return QStringLiteral("drive letter or colon in name");
  QString body = name.endsWith('/') ? name.chopped(1) : name;
  const QStringList parts = body.split('/');
  for (const QString& p : parts)
    if (p.isEmpty() || p == "." || p == "..") return QStringLiteral("empty, \".\" or \"..\" path component");
  if (!name.startsWith(topDir + '/')) return QStringLiteral("not under %1/").arg(topDir);
  return {};
}

// Everything this call created, undone in reverse on failure.
class Rollback {
 public:
  ~Rollback() {
    if (done_) return;
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) QFile::remove(*it);
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) QDir().rmdir(*it);
  }
  void File(const QString& path) { files_.push_back(path); }
  void Dir(const QString& path) { dirs_.push_back(path); }
  void Commit() { done_ = true; }

 private:
  std::vector<QString> files_, dirs_;
  bool done_ = false;
};

// Creates `dir` (absolute, below `root`) and its missing parents, recording
// each one created; refuses when an existing part resolves outside `root`
// (a link planted in the destination).
void MakeDirs(const QString& root, const QString& canonicalRoot, const QString& relative, Rollback& rollback) {
  QString path = root;
  for (const QString& part : relative.split('/', Qt::SkipEmptyParts)) {
    path += '/' + part;
    QFileInfo info(path);
    if (!info.exists()) {
      if (!QDir().mkdir(path)) Fail(QStringLiteral("%1: cannot create directory").arg(path));
      rollback.Dir(path);
    } else if (!info.isDir()) {
      Fail(QStringLiteral("%1: exists and is not a directory").arg(path));
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical != canonicalRoot && !canonical.startsWith(canonicalRoot + '/'))
      Fail(QStringLiteral("%1: resolves outside %2").arg(path, root));
  }
}

std::vector<Entry> ReadCentralDirectory(VolumeSet& set, const QByteArray& end, const QString& archive) {
  const quint32 cdDisk = Get16(end, 6);
  const quint32 count = Get16(end, 10);
  const qint64 cdSize = Get32(end, 12);
  const qint64 cdOffset = Get32(end, 16);
  if (count == 0xffff || cdSize == 0xffffffff || cdOffset == 0xffffffff)
    Fail(QStringLiteral("%1: ZIP64 archives are not supported").arg(archive));
  std::vector<Entry> entries;
  if (count == 0) return entries;
  const QByteArray cd = set.Read(set.Position(cdDisk, cdOffset, "central directory"), cdSize, "central directory");
  qint64 at = 0;
  for (quint32 i = 0; i < count; ++i) {
    if (at + kCentralSize > cd.size() || Get32(cd, at) != kCentralSig)
      Fail(QStringLiteral("%1: central directory record %2 is damaged").arg(archive).arg(i + 1));
    Entry e;
    e.flags = Get16(cd, at + 8);
    e.method = Get16(cd, at + 10);
    e.crc = Get32(cd, at + 16);
    e.compressedSize = Get32(cd, at + 20);
    e.size = Get32(cd, at + 24);
    const qint64 nameLen = Get16(cd, at + 28), extraLen = Get16(cd, at + 30), commentLen = Get16(cd, at + 32);
    e.disk = Get16(cd, at + 34);
    e.localOffset = Get32(cd, at + 42);
    if (at + kCentralSize + nameLen + extraLen + commentLen > cd.size())
      Fail(QStringLiteral("%1: central directory record %2 is damaged").arg(archive).arg(i + 1));
    e.rawName = cd.mid(at + kCentralSize, nameLen);
    e.name = DecodeName(e.rawName, e.flags);
    e.directory = e.name.endsWith('/');
    at += kCentralSize + nameLen + extraLen + commentLen;
    entries.push_back(std::move(e));
  }
  return entries;
}

void Validate(const std::vector<Entry>& entries, const QString& archive, const QString& topDir, qint64 bound,
              const QString& boundReason) {
  QSet<QString> seen;  // a list made this quadratic: seconds for 65 534 entries
  seen.reserve(qsizetype(entries.size()));
  qint64 total = 0;
  for (const Entry& e : entries) {
    const QString fault = NameFault(e.name, topDir);
    if (!fault.isEmpty()) Fail(QStringLiteral("%1: entry \"%2\" refused: %3").arg(archive, e.name, fault));
    const QString key = e.directory ? e.name.chopped(1) : e.name;
    if (seen.contains(key)) Fail(QStringLiteral("%1: entry \"%2\" appears twice").arg(archive, e.name));
    seen.insert(key);
    if (e.flags & 0x41) Fail(QStringLiteral("%1: entry \"%2\" is encrypted").arg(archive, e.name));
    if (e.method != 0 && e.method != 8)
      Fail(QStringLiteral("%1: entry \"%2\" uses unsupported method %3").arg(archive, e.name).arg(e.method));
    if (e.compressedSize == 0xffffffff || e.size == 0xffffffff || e.localOffset == 0xffffffff)
      Fail(QStringLiteral("%1: entry \"%2\" needs ZIP64, not supported").arg(archive, e.name));
    if (e.method == 0 && e.compressedSize != e.size)
      Fail(QStringLiteral("%1: stored entry \"%2\" has differing sizes").arg(archive, e.name));
    if (e.directory && e.size != 0)
      Fail(QStringLiteral("%1: directory entry \"%2\" has data").arg(archive, e.name));
    total += e.size;
    if (total > bound)
      Fail(QStringLiteral("%1: entry \"%2\" refused: archive would expand beyond %3 bytes (%4)")
               .arg(archive, e.name)
               .arg(bound)
               .arg(boundReason));
  }
  // A file that is also the directory of another entry could only fail at
  // its rename, after earlier renames had replaced files of the destination.
  QSet<QString> files;
  for (const Entry& e : entries)
    if (!e.directory) files.insert(e.name);
  for (const Entry& e : entries) {
    const QString key = e.directory ? e.name.chopped(1) : e.name;
    for (qsizetype slash = key.indexOf('/'); slash >= 0; slash = key.indexOf('/', slash + 1))
      if (files.contains(key.left(slash)))
        Fail(QStringLiteral("%1: entry \"%2\" is both a file and a directory").arg(archive, key.left(slash)));
  }
}

// Copies or inflates the data of `e` into `out`, checking size and CRC.
void Unpack(VolumeSet& set, const Entry& e, const QString& archive, QFile& out) {
  const QString what = QStringLiteral("entry \"%1\"").arg(e.name);
  const qint64 local = set.Position(e.disk, e.localOffset, what);
  const QByteArray header = set.Read(local, kLocalSize, what + " local header");
  if (Get32(header, 0) != kLocalSig) Fail(QStringLiteral("%1: local header of %2 is damaged").arg(archive, what));
  const qint64 nameLen = Get16(header, 26), extraLen = Get16(header, 28);
  if (set.Read(local + kLocalSize, nameLen, what + " local header") != e.rawName)
    Fail(QStringLiteral("%1: local header of %2 names another entry").arg(archive, what));
  qint64 pos = local + kLocalSize + nameLen + extraLen;
  qint64 left = e.compressedSize;
  qint64 written = 0;
  uLong crc = crc32(0, nullptr, 0);
  auto produce = [&](const char* data, qint64 n) {
    written += n;
    if (written > e.size) Fail(QStringLiteral("%1: %2 expands beyond its declared size").arg(archive, what));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), uInt(n));
    if (out.write(data, n) != n) Fail(QStringLiteral("%1: cannot write: %2").arg(out.fileName(), out.errorString()));
  };
  if (e.method == 0) {
    while (left > 0) {
      const QByteArray chunk = set.Read(pos, std::min(left, kChunk), what);
      produce(chunk.constData(), chunk.size());
      pos += chunk.size();
      left -= chunk.size();
    }
  } else {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) Fail(QStringLiteral("%1: zlib init failed").arg(archive));
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&z, inflateEnd);
    QByteArray buffer(kChunk, Qt::Uninitialized);
    QByteArray chunk;  // must outlive its use as z.next_in
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
      if (z.avail_in == 0) {
        if (left == 0) Fail(QStringLiteral("%1: deflated data of %2 ends early").arg(archive, what));
        chunk = set.Read(pos, std::min(left, kChunk), what);
        pos += chunk.size();
        left -= chunk.size();
        z.next_in = reinterpret_cast<Bytef*>(chunk.data());
        z.avail_in = uInt(chunk.size());
      }
      z.next_out = reinterpret_cast<Bytef*>(buffer.data());
      z.avail_out = uInt(buffer.size());
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
        Fail(QStringLiteral("%1: deflated data of %2 is damaged").arg(archive, what));
      produce(buffer.constData(), buffer.size() - z.avail_out);
    }
    if (z.avail_in != 0 || left != 0)
      Fail(QStringLiteral("%1: deflated data of %2 does not match its size").arg(archive, what));
  }
  if (written != e.size) Fail(QStringLiteral("%1: %2 is shorter than declared").arg(archive, what));
  if (crc != e.crc) Fail(QStringLiteral("%1: CRC-32 of %2 does not match").arg(archive, what));
}

}  // namespace

QStringList ExtractSplitZip(const QString& lastSegment, const QString& destinationDir, const QString& requiredTopDir,
                            const ExtractLimits& limits) {
  const QString archive = QFileInfo(lastSegment).fileName();
  QFile last(lastSegment);
  if (!last.open(QIODevice::ReadOnly)) Fail(QStringLiteral("%1: cannot open: %2").arg(lastSegment, last.errorString()));
  // The end record is the last thing in the file, followed by a comment of
  // at most 65535 bytes.
  const qint64 lastSize = last.size();
  const qint64 tailSize = std::min(lastSize, kEndSize + 65535);
  last.seek(lastSize - tailSize);
  const QByteArray tail = last.read(tailSize);
  last.close();
  qint64 endAt = -1;
  for (qint64 i = tail.size() - kEndSize; i >= 0; --i)
    if (Get32(tail, i) == kEndSig && i + kEndSize + Get16(tail, i + 20) == tail.size()) {
      endAt = i;
      break;
    }
  if (endAt < 0) Fail(QStringLiteral("%1: no end record (not a ZIP archive, or truncated)").arg(archive));
  const QByteArray end = tail.mid(endAt, kEndSize);
  const int disks = int(Get16(end, 4)) + 1;
  if (disks == 0x10000) Fail(QStringLiteral("%1: ZIP64 archives are not supported").arg(archive));

  QString base = lastSegment;
  if (base.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive)) base.chop(4);
  QStringList paths;
  for (int n = 1; n < disks; ++n) paths << base + QStringLiteral(".z%1").arg(n, 2, 10, QLatin1Char('0'));
  paths << lastSegment;
  VolumeSet set(archive, paths);

  std::vector<Entry> entries = ReadCentralDirectory(set, end, archive);
  const QString root = QDir::cleanPath(QFileInfo(destinationDir).absoluteFilePath());
  // The free space is asked of the destination, or of its nearest existing
  // parent when it is still to be created: the same file system.
  QString existing = root;
  while (!QFileInfo(existing).isDir() && existing != QFileInfo(existing).path()) existing = QFileInfo(existing).path();
  const qint64 available = limits.bytesAvailable ? limits.bytesAvailable(existing)
                                                 : QStorageInfo(existing).bytesAvailable();
  // A file system that cannot tell (-1) is left to the write errors.
  if (available >= 0 && available < limits.maxTotalBytes)
    Validate(entries, archive, requiredTopDir, available, QStringLiteral("free space on the destination's disk"));
  else
    Validate(entries, archive, requiredTopDir, limits.maxTotalBytes, QStringLiteral("limit for one package"));

  Rollback rollback;
  {
    // Missing parts of the destination itself count as created by this call.
    QStringList missing;
    for (QString d = root; !QFileInfo::exists(d) && d != QFileInfo(d).path(); d = QFileInfo(d).path())
      missing.prepend(d);
    for (const QString& d : missing) {
      if (!QDir().mkdir(d)) Fail(QStringLiteral("%1: cannot create directory").arg(d));
      rollback.Dir(d);
    }
  }
  const QString canonicalRoot = QFileInfo(root).canonicalFilePath();

  QSet<QString> names;
  for (const Entry& e : entries) names.insert(root + '/' + (e.directory ? e.name.chopped(1) : e.name));

  struct Pending {
    QString temp, final, relative;
  };
  std::vector<Pending> pending;
  for (const Entry& e : entries) {
    const QString relative = e.directory ? e.name.chopped(1) : e.name;
    const QString parent = e.directory ? relative : relative.section('/', 0, -2);
    MakeDirs(root, canonicalRoot, parent, rollback);
    if (e.directory) continue;
    const QString final = root + '/' + relative;
    if (QFileInfo(final).isDir()) Fail(QStringLiteral("%1: exists and is a directory").arg(final));
    // The temporary name may neither be an entry of this archive nor an
    // existing file, or a later rename would overwrite it.
    QString temp = final + QStringLiteral(".unzip-part");
    while (names.contains(temp) || QFileInfo::exists(temp) || QFileInfo(temp).isSymLink()) temp += '~';
    QFile out(temp);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
      Fail(QStringLiteral("%1: cannot create: %2").arg(temp, out.errorString()));
    rollback.File(temp);
    Unpack(set, e, archive, out);
    if (!out.flush()) Fail(QStringLiteral("%1: cannot write: %2").arg(temp, out.errorString()));
    out.close();
    pending.push_back({temp, final, relative});
  }
  QStringList written;
  for (const Pending& p : pending) {
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(p.temp.toStdU16String()),
                            std::filesystem::path(p.final.toStdU16String()), ec);
    if (ec) Fail(QStringLiteral("%1: cannot rename to %2: %3").arg(p.temp, p.final, QString::fromStdString(ec.message())));
    rollback.File(p.final);
    written << p.relative;
  }
  rollback.Commit();
  return written;
}

}  // namespace incoming
