// Split ZIP writer: classic (non-ZIP64) headers, sizes and CRC known before
// each local header, segments rolled over at a fixed size.
#include "sync/outgoing/split_zip_writer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <libdeflate.h>
#include <memory>
#include <mutex>
#include <optional>

namespace outgoing {

namespace {

// Files up to this size are read and deflated in memory; larger ones are
// streamed twice (once to learn CRC and deflated size, once to write), so the
// memory per file stays bounded.
constexpr qint64 kInMemoryLimit = 16 * 1024 * 1024;
// Files are prepared on other threads in batches of about this much input
// (one thread and one deflate state per batch), at most kBatchesAhead
// batches ahead of the one being written.
constexpr qint64 kBatchBytes = 1024 * 1024;
constexpr int kBatchFiles = 64;
constexpr int kBatchesAhead = 3;
constexpr qint64 kChunk = 256 * 1024;
// A file whose first this many bytes do not shrink at all under the fastest
// deflate is stored without deflating the rest: a full deflate of
// incompressible data costs about ten times this look, and gains nothing.
constexpr qint64 kProbe = 8 * 1024;

constexpr quint32 kLocalHeaderSig = 0x04034b50;
constexpr quint32 kCentralHeaderSig = 0x02014b50;
constexpr quint32 kEndSig = 0x06054b50;
constexpr char kSplitMarker[4] = {'P', 'K', 0x07, 0x08};
constexpr char kSingleMarker[4] = {'P', 'K', '0', '0'};
constexpr quint16 kVersion = 20;
constexpr qint64 kEndRecordSize = 22;
constexpr quint16 kFlagUtf8 = 1u << 11;
constexpr quint16 kStored = 0;
constexpr quint16 kDeflated = 8;
// Values at or above these would have to be written as ZIP64 fields.
constexpr qint64 kMax32 = 0xFFFFFFFE;
constexpr int kMax16 = 0xFFFE;

void Put16(QByteArray& b, quint32 v) {
  b.append(char(v & 0xFF));
  b.append(char((v >> 8) & 0xFF));
}
void Put32(QByteArray& b, quint32 v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

[[noreturn]] void Fail(const QString& message) { throw SplitZipError(message.toStdString()); }

// DOS date and time in local time; DOS dates cannot go before 1980.
std::pair<quint16, quint16> DosDateTime(const QDateTime& modified) {
  QDateTime t = modified.toLocalTime();
  if (!t.isValid() || t.date().year() < 1980) t = QDateTime(QDate(1980, 1, 1), QTime(0, 0));
  if (t.date().year() > 2107) t = QDateTime(QDate(2107, 12, 31), QTime(23, 59, 58));
  const quint16 time = quint16((t.time().hour() << 11) | (t.time().minute() << 5) | (t.time().second() / 2));
  const quint16 date = quint16(((t.date().year() - 1980) << 9) | (t.date().month() << 5) | t.date().day());
  return {date, time};
}

// Raw deflate (no zlib header) as the ZIP method 8 requires.
class Deflater {
 public:
  explicit Deflater(int level) {
    std::memset(&z_, 0, sizeof z_);
    if (deflateInit2(&z_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      Fail(QStringLiteral("zlib: cannot initialise deflate at level %1").arg(level));
  }
  ~Deflater() { deflateEnd(&z_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Feeds `in` and passes every produced piece of output to `out`.
  template <typename Out>
  void Feed(const char* in, qint64 n, bool last, Out&& out) {
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    z_.avail_in = uInt(n);
    char buf[64 * 1024];
    int rc;
    do {
      z_.next_out = reinterpret_cast<Bytef*>(buf);
      z_.avail_out = sizeof buf;
      rc = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) Fail(QStringLiteral("zlib: deflate failed"));
      const qint64 produced = qint64(sizeof buf) - z_.avail_out;
      if (produced > 0) out(buf, produced);
    } while (z_.avail_out == 0 || (last && rc != Z_STREAM_END));
  }

 private:
  z_stream z_;
};

// zlib's level numbers: Z_DEFAULT_COMPRESSION is level 6.
int Level(int level) { return level == Z_DEFAULT_COMPRESSION ? 6 : std::clamp(level, 0, 9); }

// Whole-buffer deflate (libdeflate: the same format as zlib's, at a smaller
// size and a fraction of the time), one per thread.
class BufferDeflater {
 public:
  explicit BufferDeflater(int level) : level_(Level(level)) {
    if (level_ > 0 && (!probe_ || !full_)) Fail(QStringLiteral("libdeflate: cannot allocate a compressor"));
  }
  BufferDeflater(const BufferDeflater&) = delete;
  BufferDeflater& operator=(const BufferDeflater&) = delete;

  // False when the first kProbe bytes of `data` do not shrink at the fastest
  // level. A shorter file is deflated whole instead of looked at.
  bool LooksCompressible(const char* data, qint64 n) {
    if (level_ == 0) return false;
    if (n <= kProbe) return true;
    char out[kProbe];
    return libdeflate_deflate_compress(probe_.get(), data, size_t(kProbe), out, size_t(kProbe - 1)) != 0;
  }

  // Writes the raw deflate stream of the n bytes at `in` to `out` (room
  // for n - 1 bytes) and returns its length when it is smaller than n, else 0.
  qint64 Compress(const char* in, qint64 n, char* out) {
    if (level_ == 0 || n < 2) return 0;
    return qint64(libdeflate_deflate_compress(full_.get(), in, size_t(n), out, size_t(n - 1)));
  }

 private:
  struct Free {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
  };
  const int level_;
  std::unique_ptr<libdeflate_compressor, Free> probe_{libdeflate_alloc_compressor(1)};
  std::unique_ptr<libdeflate_compressor, Free> full_{libdeflate_alloc_compressor(level_ > 0 ? level_ : 1)};
};

quint32 Crc32(quint32 crc, const char* data, qint64 n) { return libdeflate_crc32(crc, data, size_t(n)); }

// A byte buffer that keeps its memory when emptied. Fresh memory for every
// file cost more in page faults than deflating the text did; kept in a pool,
// each buffer's pages are touched once per run.
class Bytes {
 public:
  char* data() { return p_.get(); }
  qint64 size() const { return size_; }
  qint64 capacity() const { return capacity_; }
  void Clear() { size_ = 0; }
  void Truncate(qint64 n) { size_ = n; }
  // Room for n more bytes after size(); returns where they go. Commit(k)
  // then adds the first k of them.
  char* Grow(qint64 n) {
    if (size_ + n > capacity_) {
      const qint64 capacity = std::max(size_ + n, capacity_ * 2);
      auto p = std::make_unique_for_overwrite<char[]>(size_t(capacity));
      if (size_ > 0) std::memcpy(p.get(), p_.get(), size_t(size_));
      p_ = std::move(p);
      capacity_ = capacity;
    }
    return p_.get() + size_;
  }
  void Commit(qint64 n) { size_ += n; }

 private:
  std::unique_ptr<char[]> p_;
  qint64 size_ = 0, capacity_ = 0;
};

// Buffers handed back by the writing thread for the next batches.
class BytesPool {
 public:
  Bytes Take() {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return {};
    Bytes b = std::move(free_.back());
    free_.pop_back();
    b.Clear();
    return b;
  }
  // A buffer grown for a large file is let go, so memory stays bounded.
  void Give(Bytes&& b) {
    std::lock_guard lock(mutex_);
    if (b.capacity() <= kKeep && free_.size() < 2 * (kBatchesAhead + 1)) free_.push_back(std::move(b));
  }

 private:
  static constexpr qint64 kKeep = 4 * kBatchBytes;
  std::mutex mutex_;
  std::vector<Bytes> free_;
};

// One file, ready to be written: header fields known, and for a file that fit
// in memory the bytes to write.
struct PreparedEntry {
  QString path;
  QByteArray name;  // entry name, UTF-8
  quint16 flags = 0;
  quint16 method = kStored;
  quint16 dosDate = 0, dosTime = 0;
  quint32 crc = 0;
  qint64 compressedSize = 0;
  qint64 size = 0;
  bool inMemory = false;
  qint64 dataOffset = 0;  // where the entry's data starts in its batch's bytes, when inMemory
};

void CheckLimits(const PreparedEntry& e) {
  if (e.size > kMax32 || e.compressedSize > kMax32)
    Fail(QStringLiteral("%1: too large for an archive without ZIP64").arg(e.path));
}

// Reads the file and works out its entry. A file that fits in memory leaves
// the bytes to write at the end of `out`; `scratch` is room for the deflate.
PreparedEntry Prepare(const QString& path, const QByteArray& name, const QDateTime& modified,
                      BufferDeflater& buffers, int level, Bytes& out, Bytes& scratch) {
  PreparedEntry e;
  e.path = path;
  e.name = name;
  for (char c : name)
    if (uchar(c) >= 0x80) e.flags |= kFlagUtf8;
  std::tie(e.dosDate, e.dosTime) = DosDateTime(modified);
  QFile f(path);
  // Unbuffered: the reads go straight into the batch's bytes.
  if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) Fail(QStringLiteral("%1: cannot open: %2").arg(path, f.errorString()));

  if (f.size() <= kInMemoryLimit) {
    // Straight into the batch's bytes; a file that has grown since its size
    // was read is read on to its end.
    e.inMemory = true;
    e.dataOffset = out.size();
    for (qint64 want = f.size() + 1;; want = std::max(want, kChunk)) {
      const qint64 got = f.read(out.Grow(want), want);
      if (got < 0) Fail(QStringLiteral("%1: cannot read: %2").arg(path, f.errorString()));
      out.Commit(got);
      if (got < want) break;
    }
    e.size = out.size() - e.dataOffset;
    const char* raw = out.data() + e.dataOffset;
    e.crc = Crc32(0, raw, e.size);
    if (e.size > 0 && buffers.LooksCompressible(raw, e.size)) {
      scratch.Clear();
      const qint64 packed = buffers.Compress(raw, e.size, scratch.Grow(e.size));
      if (packed > 0) {
        std::memcpy(out.data() + e.dataOffset, scratch.data(), size_t(packed));
        out.Truncate(e.dataOffset + packed);
        e.method = kDeflated;
      }
    }
    e.compressedSize = out.size() - e.dataOffset;
  } else {
    // First pass: CRC and deflated size only; the deflate is skipped when the
    // first block shows the data does not compress.
    Deflater d(level);
    quint32 crc = 0;
    qint64 packed = 0, total = 0;
    bool deflate = true;
    QByteArray buf(kChunk, Qt::Uninitialized);
    for (;;) {
      const qint64 n = f.read(buf.data(), kChunk);
      if (n < 0) Fail(QStringLiteral("%1: cannot read: %2").arg(path, f.errorString()));
      if (total == 0 && n > 0) deflate = buffers.LooksCompressible(buf.constData(), n);
      crc = Crc32(crc, buf.constData(), n);
      total += n;
      if (deflate) d.Feed(buf.constData(), n, n == 0, [&](const char*, qint64 m) { packed += m; });
      if (n == 0) break;
    }
    e.size = total;
    e.crc = crc;
    e.method = deflate && packed < total ? kDeflated : kStored;
    e.compressedSize = e.method == kDeflated ? packed : total;
  }
  CheckLimits(e);
  return e;
}

// The segments on disk: <base>.zip being written, completed volumes renamed.
// Keeps the position within the current segment for the header offsets.
class SegmentWriter {
 public:
  SegmentWriter(QString base, qint64 volumeSize, const std::function<void(int, const QString&)>& onVolume)
      : base_(std::move(base)), volumeSize_(volumeSize), onVolume_(onVolume), file_(base_ + ".zip") {
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate))
      Fail(QStringLiteral("%1: cannot create: %2").arg(file_.fileName(), file_.errorString()));
    written_.push_back(file_.fileName());
    // Replaced by the split signature when the first volume is completed.
    Write(kSingleMarker, 4);
  }

  ~SegmentWriter() {
    if (!finished_) {
      file_.close();
      for (const QString& p : written_) QFile::remove(p);
    }
  }

  int disk() const { return disk_; }
  qint64 offset() const { return pos_; }

  // Ends the volume unless `n` more bytes fit into it.
  void Reserve(qint64 n) {
    const qint64 room = volumeSize_ - (disk_ == 0 ? 4 : 0);
    if (n > room)
      Fail(QStringLiteral("%1: a %2-byte header does not fit into a volume of %3 bytes")
               .arg(file_.fileName()).arg(n).arg(volumeSize_));
    if (n > volumeSize_ - pos_) Roll();
  }

  // A header: never split, so the volume ends before it when it does not fit.
  void WriteRecord(const QByteArray& record) {
    Reserve(record.size());
    Write(record.constData(), record.size());
  }

  // Entry data: may go on in the next volume.
  void WriteData(const char* p, qint64 n) {
    while (n > 0) {
      if (pos_ == volumeSize_) Roll();
      const qint64 chunk = std::min(n, volumeSize_ - pos_);
      Write(p, chunk);
      p += chunk;
      n -= chunk;
    }
  }

  QStringList Finish() {
    if (!file_.flush() || (file_.close(), file_.error() != QFileDevice::NoError))
      Fail(QStringLiteral("%1: cannot write: %2").arg(file_.fileName(), file_.errorString()));
    QStringList names;
    for (const QString& p : written_) names << QFileInfo(p).fileName();
    // The .zip was created first but is the last segment.
    names.append(names.takeFirst());
    finished_ = true;
    return names;
  }

 private:
  void Write(const char* p, qint64 n) {
    if (file_.write(p, n) != n)
      Fail(QStringLiteral("%1: cannot write: %2").arg(file_.fileName(), file_.errorString()));
    pos_ += n;
  }

  void Roll() {
    if (disk_ + 1 > kMax16) Fail(QStringLiteral("%1: too many volumes").arg(base_));
    if (disk_ == 0) {
      if (!file_.seek(0) || file_.write(kSplitMarker, 4) != 4)
        Fail(QStringLiteral("%1: cannot write: %2").arg(file_.fileName(), file_.errorString()));
    }
    file_.close();
    if (file_.error() != QFileDevice::NoError)
      Fail(QStringLiteral("%1: cannot write: %2").arg(file_.fileName(), file_.errorString()));
    const int n = disk_ + 1;
    const QString volume = SplitZipVolumeName(base_, n);
    QFile::remove(volume);
    if (!file_.rename(volume))
      Fail(QStringLiteral("%1: cannot rename to %2: %3").arg(file_.fileName(), volume, file_.errorString()));
    written_.push_back(volume);
    if (onVolume_) onVolume_(n, volume);
    file_.setFileName(base_ + ".zip");
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate))
      Fail(QStringLiteral("%1: cannot create: %2").arg(file_.fileName(), file_.errorString()));
    ++disk_;
    pos_ = 0;
  }

  const QString base_;
  const qint64 volumeSize_;
  const std::function<void(int, const QString&)>& onVolume_;
  QFile file_;
  // Every segment created, .zip first, for the names and for clean-up.
  QStringList written_;
  int disk_ = 0;
  qint64 pos_ = 0;
  bool finished_ = false;
};

// Streams a large entry's data the second time; the file must not have
// changed since Prepare read it.
void WriteStreamed(const PreparedEntry& e, SegmentWriter& out, int level) {
  QFile f(e.path);
  if (!f.open(QIODevice::ReadOnly)) Fail(QStringLiteral("%1: cannot open: %2").arg(e.path, f.errorString()));
  Deflater d(level);
  quint32 crc = 0;
  qint64 total = 0, packed = 0;
  QByteArray buf(kChunk, Qt::Uninitialized);
  for (;;) {
    const qint64 n = f.read(buf.data(), kChunk);
    if (n < 0) Fail(QStringLiteral("%1: cannot read: %2").arg(e.path, f.errorString()));
    crc = Crc32(crc, buf.constData(), n);
    total += n;
    if (e.method == kDeflated) {
      d.Feed(buf.constData(), n, n == 0, [&](const char* p, qint64 m) {
        packed += m;
        if (packed <= e.compressedSize) out.WriteData(p, m);
      });
    } else if (total <= e.size) {
      out.WriteData(buf.constData(), n);
      packed = total;
    }
    if (n == 0) break;
  }
  if (total != e.size || crc != e.crc || packed != e.compressedSize)
    Fail(QStringLiteral("%1: changed while it was packed").arg(e.path));
}

// The fields the local header and the central record share, from "version
// needed" to the extra field's length.
void PutEntryFields(QByteArray& h, const PreparedEntry& e) {
  Put16(h, kVersion);
  Put16(h, e.flags);
  Put16(h, e.method);
  Put16(h, e.dosTime);
  Put16(h, e.dosDate);
  Put32(h, e.crc);
  Put32(h, quint32(e.compressedSize));
  Put32(h, quint32(e.size));
  Put16(h, quint16(e.name.size()));
  Put16(h, 0);  // extra field
}

QByteArray LocalHeader(const PreparedEntry& e) {
  QByteArray h;
  Put32(h, kLocalHeaderSig);
  PutEntryFields(h, e);
  h.append(e.name);
  return h;
}

QByteArray CentralRecord(const PreparedEntry& e, int disk, qint64 offset) {
  QByteArray h;
  Put32(h, kCentralHeaderSig);
  Put16(h, kVersion);  // made by: MS-DOS host, version 2.0
  PutEntryFields(h, e);
  Put16(h, 0);  // comment
  Put16(h, quint16(disk));
  Put16(h, 0);  // internal attributes
  Put32(h, 0);  // external attributes
  Put32(h, quint32(offset));
  h.append(e.name);
  return h;
}

void RemoveOldSet(const QString& outputBase) {
  const QFileInfo base(outputBase);
  QDir dir = base.absoluteDir();
  if (!dir.exists()) return;
  const QRegularExpression volume(
      QStringLiteral("^%1\\.z(\\d{2,}|ip)$").arg(QRegularExpression::escape(base.fileName())),
      QRegularExpression::CaseInsensitiveOption);
  for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
    if (volume.match(name).hasMatch() && !dir.remove(name))
      Fail(QStringLiteral("%1: cannot remove the segment of an earlier archive").arg(dir.filePath(name)));
  }
}

}  // namespace

QString SplitZipVolumeName(const QString& outputBase, int n) {
  return outputBase + QStringLiteral(".z%1").arg(n, 2, 10, QLatin1Char('0'));
}

QStringList WriteSplitZip(const QString& sourceDir, const QString& entryDir, const QString& outputBase,
                          const SplitZipOptions& options,
                          const std::function<void(int, const QString&)>& onVolume) {
  const QDir source(sourceDir);
  if (!source.exists()) Fail(QStringLiteral("%1: no such directory").arg(sourceDir));
  const QFileInfoList files =
      source.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  if (files.size() > kMax16) Fail(QStringLiteral("%1: too many files for an archive without ZIP64").arg(sourceDir));

  QString prefix = QDir::fromNativeSeparators(entryDir);
  while (prefix.startsWith(u'/')) prefix.remove(0, 1);
  if (!prefix.isEmpty() && !prefix.endsWith(u'/')) prefix += u'/';

  RemoveOldSet(outputBase);
  SegmentWriter out(outputBase, options.volumeSize, onVolume);

  // Batches of files are deflated on other threads and written strictly in
  // listing order.
  struct Job {
    QString path;
    QByteArray name;
    QDateTime modified;
  };
  struct Batch {
    std::vector<PreparedEntry> entries;
    Bytes bytes;
  };
  BytesPool pool;
  auto prepareBatch = [level = options.level, &pool](std::vector<Job> jobs) {
    BufferDeflater buffers(level);
    Batch done;
    done.entries.reserve(jobs.size());
    done.bytes = pool.Take();
    Bytes scratch = pool.Take();
    for (const Job& j : jobs)
      done.entries.push_back(Prepare(j.path, j.name, j.modified, buffers, level, done.bytes, scratch));
    pool.Give(std::move(scratch));
    return done;
  };
  std::deque<std::future<Batch>> pending;
  qsizetype next = 0;
  auto launch = [&] {
    while (next < files.size() && int(pending.size()) < kBatchesAhead) {
      std::vector<Job> jobs;
      qint64 bytes = 0;
      while (next < files.size() && int(jobs.size()) < kBatchFiles && bytes < kBatchBytes) {
        const QFileInfo& fi = files[next++];
        bytes += fi.size();  // the listing's stat, which also holds the time
        jobs.push_back({fi.filePath(), (prefix + fi.fileName()).toUtf8(), fi.lastModified()});
      }
      pending.push_back(std::async(std::launch::async, prepareBatch, std::move(jobs)));
    }
  };

  struct Written {
    PreparedEntry entry;
    int disk;
    qint64 offset;
  };
  std::vector<Written> written;
  written.reserve(files.size());
  try {
    launch();
    while (!pending.empty()) {
      Batch batch = pending.front().get();
      pending.pop_front();
      launch();
      for (PreparedEntry& e : batch.entries) {
        out.WriteRecord(LocalHeader(e));
        // The header is where the entry starts: a roll-over happens before it.
        const qint64 headerSize = 30 + e.name.size();
        const int disk = out.disk();
        const qint64 offset = out.offset() - headerSize;
        if (offset > kMax32) Fail(QStringLiteral("%1: volume too large for an archive without ZIP64").arg(outputBase));
        if (e.inMemory) {
          out.WriteData(batch.bytes.data() + e.dataOffset, e.compressedSize);
        } else {
          WriteStreamed(e, out, options.level);
        }
        written.push_back({std::move(e), disk, offset});
      }
      pool.Give(std::move(batch.bytes));
    }
  } catch (...) {
    // Let the threads still deflating finish before their results are dropped.
    for (auto& f : pending) f.wait();
    throw;
  }

  int cdDisk = -1;
  qint64 cdOffset = 0, cdSize = 0;
  int onLastDisk = 0;
  for (const Written& w : written) {
    const QByteArray record = CentralRecord(w.entry, w.disk, w.offset);
    const int before = out.disk();
    out.WriteRecord(record);
    if (cdDisk < 0) {
      cdDisk = out.disk();
      cdOffset = out.offset() - record.size();
    }
    if (out.disk() != before) onLastDisk = 0;
    ++onLastDisk;
    cdSize += record.size();
  }
  // The end record's disk numbers must be final before it is composed.
  const int beforeEnd = out.disk();
  out.Reserve(kEndRecordSize);
  if (out.disk() != beforeEnd) onLastDisk = 0;
  if (cdDisk < 0) {
    // No entries: the empty directory starts where the end record is.
    cdDisk = out.disk();
    cdOffset = out.offset();
  }
  if (cdOffset > kMax32 || cdSize > kMax32) Fail(QStringLiteral("%1: central directory too large").arg(outputBase));
  QByteArray end;
  Put32(end, kEndSig);
  Put16(end, quint16(out.disk()));
  Put16(end, quint16(cdDisk));
  Put16(end, quint16(onLastDisk));
  Put16(end, quint16(written.size()));
  Put32(end, quint32(cdSize));
  Put32(end, quint32(cdOffset));
  Put16(end, 0);  // comment length
  out.WriteRecord(end);
  return out.Finish();
}

}  // namespace outgoing
