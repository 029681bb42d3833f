// The split archive writer: every rule of doc/split_zip_format.md, checked by
// a reader of our own that also verifies no header straddles two segments,
// and by 7-Zip and Info-ZIP as outside readers.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

#include "sync/outgoing/split_zip_writer.h"
#include "tests/support/files.h"
#include "tests/support/random_bytes.h"

using outgoing::SplitZipError;
using outgoing::SplitZipOptions;
using outgoing::WriteSplitZip;

namespace {

constexpr qint64 kVolume = 1048576;

quint32 Get16(const QByteArray& b, qint64 at) {
  return quint32(uchar(b[at])) | quint32(uchar(b[at + 1])) << 8;
}
quint32 Get32(const QByteArray& b, qint64 at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

QByteArray Text(qint64 n) {
  QByteArray line = "Subject: weekly meeting, room 4, bring the minutes of the last one.\r\n";
  QByteArray b;
  while (b.size() < n) b += line;
  return b.left(n);
}

QByteArray Inflate(const QByteArray& in, qint64 size) {
  QByteArray out(size, '\0');
  z_stream z{};
  inflateInit2(&z, -MAX_WBITS);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
  z.avail_in = uInt(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(size);
  const int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : QByteArray("<inflate failed>");
}

struct Entry {
  QString name;
  quint16 flags, method, time, date;
  quint32 crc;
  qint64 compressedSize, size;
  int disk;
  qint64 offset;
  QByteArray content;
};

// Reads a written set through the end record and the central directory the
// way a reader that gets all segments does, failing the test on any record
// that does not lie within one segment or disagrees with its twin.
std::vector<Entry> ReadSet(const QString& dir, const QStringList& names) {
  std::vector<QByteArray> seg;
  for (const QString& n : names) seg.push_back(ReadAll(dir + "/" + n));
  std::vector<Entry> entries;
  const QByteArray& last = seg.back();
  EXPECT_GE(last.size(), 22);
  if (last.size() < 22) return entries;
  const qint64 endAt = last.size() - 22;
  EXPECT_EQ(Get32(last, endAt), 0x06054b50u);
  EXPECT_EQ(int(Get16(last, endAt + 4)), int(seg.size()) - 1) << "number of this disk";
  int disk = int(Get16(last, endAt + 6));
  const int onThisDisk = int(Get16(last, endAt + 8));
  const int total = int(Get16(last, endAt + 10));
  const qint64 cdSize = Get32(last, endAt + 12);
  qint64 at = Get32(last, endAt + 16);
  qint64 cdBytes = 0;
  int lastDiskCount = 0;
  for (int i = 0; i < total; ++i) {
    if (at == seg[disk].size()) {
      ++disk;
      at = 0;
    }
    const QByteArray& s = seg[disk];
    EXPECT_LE(at + 46, s.size()) << "central record " << i << " split";
    if (at + 46 > s.size()) return entries;
    EXPECT_EQ(Get32(s, at), 0x02014b50u);
    Entry e;
    const qint64 nameLen = Get16(s, at + 28);
    EXPECT_LE(at + 46 + nameLen + Get16(s, at + 30) + Get16(s, at + 32), s.size()) << "central record split";
    e.flags = Get16(s, at + 8);
    e.method = Get16(s, at + 10);
    e.time = Get16(s, at + 12);
    e.date = Get16(s, at + 14);
    e.crc = Get32(s, at + 16);
    e.compressedSize = Get32(s, at + 20);
    e.size = Get32(s, at + 24);
    e.disk = int(Get16(s, at + 34));
    e.offset = Get32(s, at + 42);
    e.name = QString::fromUtf8(s.mid(at + 46, nameLen));
    const qint64 recordSize = 46 + nameLen + Get16(s, at + 30) + Get16(s, at + 32);
    at += recordSize;
    cdBytes += recordSize;
    if (disk == int(seg.size()) - 1) ++lastDiskCount;

    // Its local header, whole in the segment it names.
    const QByteArray& ls = seg[e.disk];
    const qint64 lo = e.offset;
    EXPECT_LE(lo + 30 + nameLen, ls.size()) << "local header of " << e.name.toStdString() << " split";
    if (lo + 30 + nameLen > ls.size()) return entries;
    EXPECT_EQ(Get32(ls, lo), 0x04034b50u);
    EXPECT_EQ(Get16(ls, lo + 4), 20u);
    EXPECT_EQ(Get16(ls, lo + 6), e.flags);
    EXPECT_EQ(Get16(ls, lo + 8), e.method);
    EXPECT_EQ(Get32(ls, lo + 14), e.crc);
    EXPECT_EQ(Get32(ls, lo + 18), quint32(e.compressedSize));
    EXPECT_EQ(Get32(ls, lo + 22), quint32(e.size));
    EXPECT_EQ(ls.mid(lo + 30, nameLen), e.name.toUtf8());
    // The data, which may go on into the following segments.
    QByteArray data;
    int d = e.disk;
    qint64 p = lo + 30 + nameLen + Get16(ls, lo + 28);
    while (data.size() < e.compressedSize) {
      if (p == seg[d].size()) {
        ++d;
        p = 0;
        if (d >= int(seg.size())) break;
      }
      const qint64 n = std::min(e.compressedSize - data.size(), seg[d].size() - p);
      data += seg[d].mid(p, n);
      p += n;
    }
    e.content = e.method == 8 ? Inflate(data, e.size) : data;
    EXPECT_EQ(quint32(crc32(0, reinterpret_cast<const Bytef*>(e.content.constData()), uInt(e.content.size()))),
              e.crc)
        << e.name.toStdString();
    entries.push_back(e);
  }
  EXPECT_EQ(cdBytes, cdSize);
  EXPECT_EQ(onThisDisk, lastDiskCount) << "entries on the last disk";
  return entries;
}

bool Run(const QString& program, const QStringList& args, const QString& workDir, QString* output = nullptr) {
  QProcess p;
  p.setWorkingDirectory(workDir);
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  if (!p.waitForFinished(120000)) return false;
  const QString out = QString::fromLocal8Bit(p.readAll());
  if (output) *output = out;
  if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    ADD_FAILURE() << program.toStdString() << " " << args.join(' ').toStdString() << ":\n" << out.toStdString();
    return false;
  }
  return true;
}

// 7-Zip tests and extracts the set byte for byte; Info-ZIP joins it into one
// archive that unzip tests without a warning.
enum class Join { kWithZip, kSkip };
void CheckWithOutsideTools(const QString& outDir, const QString& sourceDir, const QString& key,
                           Join join = Join::kWithZip) {
  ASSERT_FALSE(QStandardPaths::findExecutable("7z").isEmpty()) << "7z missing (p7zip-full)";
  ASSERT_FALSE(QStandardPaths::findExecutable("zip").isEmpty()) << "zip missing";
  ASSERT_FALSE(QStandardPaths::findExecutable("unzip").isEmpty()) << "unzip missing";
  ASSERT_TRUE(Run("7z", {"t", key + ".zip"}, outDir));
  const QString extracted = outDir + "/x";
  ASSERT_TRUE(Run("7z", {"x", "-o" + extracted, key + ".zip"}, outDir));
  const QStringList files = QDir(sourceDir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  EXPECT_EQ(QDir(extracted + "/" + key).entryList(QDir::Files | QDir::Hidden, QDir::Name), files);
  for (const QString& f : files)
    EXPECT_TRUE(ReadAll(sourceDir + "/" + f) == ReadAll(extracted + "/" + key + "/" + f)) << f.toStdString();

  if (join == Join::kSkip) return;
  ASSERT_TRUE(Run("zip", {"-s", "0", key + ".zip", "--out", "joined.zip"}, outDir));
  QString out;
  ASSERT_TRUE(Run("unzip", {"-t", "joined.zip"}, outDir, &out));
  EXPECT_TRUE(out.contains("No errors detected")) << out.toStdString();
  EXPECT_FALSE(out.contains("warning")) << out.toStdString();
}

class SplitZip : public ::testing::Test {
 protected:
  QString Src() const { return tmp_.path() + "/K"; }
  QString Out() const { return tmp_.path() + "/out"; }
  QString Base() const { return Out() + "/K"; }
  void SetUp() override {
    ASSERT_TRUE(QDir().mkpath(Src()));
    ASSERT_TRUE(QDir().mkpath(Out()));
  }
  QStringList OutFiles() const { return QDir(Out()).entryList(QDir::Files, QDir::Name); }

  QTemporaryDir tmp_;
};

// Rule 1, 2, 4, 7: a small set is one segment K.zip starting with "PK00",
// entries "K/<file name>" in listing order, offsets counting the marker.
TEST_F(SplitZip, SingleSegmentStartsWithPK00) {
  WriteAll(Src() + "/info.xml", Text(3000));
  WriteAll(Src() + "/a1.msg", Text(12000));
  WriteAll(Src() + "/.hidden", "x");
  QDir().mkpath(Src() + "/subdir");
  std::vector<int> volumes;
  const QStringList names =
      WriteSplitZip(Src(), "K", Base(), {}, [&](int n, const QString&) { volumes.push_back(n); });
  EXPECT_EQ(names, QStringList{"K.zip"});
  EXPECT_TRUE(volumes.empty());
  EXPECT_EQ(OutFiles(), QStringList{"K.zip"});
  EXPECT_EQ(ReadAll(Base() + ".zip").left(4), QByteArray("PK00"));
  const auto entries = ReadSet(Out(), names);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "K/.hidden");
  EXPECT_EQ(entries[1].name, "K/a1.msg");
  EXPECT_EQ(entries[2].name, "K/info.xml");
  EXPECT_EQ(entries[0].offset, 4) << "the first local header follows the marker";
  for (const Entry& e : entries) EXPECT_EQ(e.disk, 0);
  CheckWithOutsideTools(Out(), Src(), "K");
}

// Rule 3: deflated when smaller, stored otherwise; an empty file is stored.
TEST_F(SplitZip, MethodDeflateOrStored) {
  WriteAll(Src() + "/compressible.msg", Text(50000));
  WriteAll(Src() + "/empty.msg", "");
  WriteAll(Src() + "/random.msg", RandomBytes(20000, 7));
  WriteAll(Src() + "/tiny.msg", "a");
  // Judged by their first 8 KiB: a text head is deflated whole, a random
  // head is stored whole.
  WriteAll(Src() + "/x_text_head.msg", Text(9000) + RandomBytes(20000, 8));
  WriteAll(Src() + "/y_random_head.msg", RandomBytes(9000, 9) + Text(20000));
  const auto entries = ReadSet(Out(), WriteSplitZip(Src(), "K", Base()));
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].method, 8);
  EXPECT_LT(entries[0].compressedSize, 50000 / 10);
  EXPECT_EQ(entries[0].content, Text(50000));
  EXPECT_EQ(entries[1].method, 0);
  EXPECT_EQ(entries[1].size, 0);
  EXPECT_EQ(entries[1].compressedSize, 0);
  EXPECT_EQ(entries[2].method, 0);
  EXPECT_EQ(entries[2].compressedSize, 20000);
  EXPECT_EQ(entries[2].content, RandomBytes(20000, 7));
  EXPECT_EQ(entries[3].method, 0) << "deflating one byte makes it larger";
  EXPECT_EQ(entries[4].method, 8);
  EXPECT_LT(entries[4].compressedSize, 29000);
  EXPECT_EQ(entries[5].method, 0);
  CheckWithOutsideTools(Out(), Src(), "K");
}

// Rule 5, 6, 7, 8, 9: about 2.5 MB of incompressible data gives K.z01, K.z02,
// K.zip; the volumes are full to within one header; the first begins with the
// split signature; volumes are reported in order under their final names.
TEST_F(SplitZip, TwoAndAHalfMegabytesGiveThreeSegments) {
  for (int i = 0; i < 10; ++i) WriteAll(Src() + QString("/m%1.msg").arg(i), RandomBytes(250000, i));
  WriteAll(Src() + "/info.xml", Text(4000));
  std::vector<std::pair<int, QString>> reported;
  const QStringList names = WriteSplitZip(Src(), "K", Base(), {}, [&](int n, const QString& path) {
    reported.emplace_back(n, path);
    // Already complete under its final name; the next segment not yet begun.
    EXPECT_EQ(QFileInfo(path).size(), kVolume);
    EXPECT_FALSE(QFile::exists(Base() + ".zip"));
  });
  EXPECT_EQ(names, (QStringList{"K.z01", "K.z02", "K.zip"}));
  EXPECT_EQ(OutFiles(), (QStringList{"K.z01", "K.z02", "K.zip"}));
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0], std::make_pair(1, Base() + ".z01"));
  EXPECT_EQ(reported[1], std::make_pair(2, Base() + ".z02"));
  EXPECT_EQ(QFileInfo(Base() + ".z01").size(), kVolume);
  EXPECT_EQ(QFileInfo(Base() + ".z02").size(), kVolume);
  EXPECT_LE(QFileInfo(Base() + ".zip").size(), kVolume);
  EXPECT_EQ(ReadAll(Base() + ".z01").left(4), QByteArray("PK\x07\x08", 4));
  const auto entries = ReadSet(Out(), names);
  ASSERT_EQ(entries.size(), 11u);
  EXPECT_EQ(entries[0].name, "K/info.xml");
  EXPECT_EQ(entries[0].offset, 4);
  EXPECT_EQ(entries.back().disk, 2) << "disks count from 0";
  CheckWithOutsideTools(Out(), Src(), "K");
}

// Rule 6: many files and small volumes put headers at every position near a
// boundary; none is split, data is, and volumes past 99 are named .z100.
TEST_F(SplitZip, NoHeaderSplitAcrossManyVolumes) {
  QRandomGenerator g(42);
  qint64 incompressible = 0;
  for (int i = 0; incompressible < 450000; ++i) {
    const int n = int(g.bounded(0, 9000));
    WriteAll(Src() + QString("/f%1.msg").arg(i, 4, 10, QChar('0')), i % 3 ? RandomBytes(n, i) : Text(n));
    if (i % 3) incompressible += n;
  }
  SplitZipOptions small;
  small.volumeSize = 4096;
  int reported = 0;
  const QStringList names = WriteSplitZip(Src(), "K", Base(), small, [&](int n, const QString&) {
    EXPECT_EQ(n, ++reported);
  });
  ASSERT_GT(names.size(), 101);
  EXPECT_EQ(names[8], "K.z09");
  EXPECT_EQ(names[9], "K.z10");
  EXPECT_EQ(names[99], "K.z100");
  EXPECT_EQ(names.back(), "K.zip");
  EXPECT_EQ(reported, names.size() - 1);
  for (const QString& n : names) EXPECT_LE(QFileInfo(Out() + "/" + n).size(), 4096) << n.toStdString();
  const auto entries = ReadSet(Out(), names);
  EXPECT_EQ(entries.size(), size_t(QDir(Src()).entryList(QDir::Files).size()));
  CheckWithOutsideTools(Out(), Src(), "K");
}

// Rule 10: names outside ASCII are UTF-8 with general purpose bit 11; the
// time and date are the file's modification time in DOS form.
TEST_F(SplitZip, Utf8NameAndDosTime) {
  const QString name = QString::fromUtf8("Besprechung \xc3\xbc" "ber M\xc3\xa4rz.msg");
  WriteAll(Src() + "/" + name, Text(100));
  WriteAll(Src() + "/plain.msg", Text(100));
  QFile f(Src() + "/plain.msg");
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2024, 3, 15), QTime(13, 45, 30)), QFileDevice::FileModificationTime));
  f.close();
  const auto entries = ReadSet(Out(), WriteSplitZip(Src(), "K", Base()));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "K/" + name);
  EXPECT_EQ(entries[0].flags, 1u << 11);
  EXPECT_EQ(entries[1].flags, 0u);
  EXPECT_EQ(entries[1].date, ((2024 - 1980) << 9) | (3 << 5) | 15);
  EXPECT_EQ(entries[1].time, (13 << 11) | (45 << 5) | 15);
  CheckWithOutsideTools(Out(), Src(), "K");
}

// A file above the in-memory limit is streamed twice and comes out the same.
TEST_F(SplitZip, LargeFilesAreStreamed) {
  WriteAll(Src() + "/big_text.msg", Text(17 * 1024 * 1024 + 5));
  WriteAll(Src() + "/big_random.msg", RandomBytes(17 * 1024 * 1024 + 3, 9));
  const QStringList names = WriteSplitZip(Src(), "K", Base());
  EXPECT_EQ(names.size(), 18);  // 17 MiB of random data plus the deflated text
  const auto entries = ReadSet(Out(), names);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].method, 0);
  EXPECT_EQ(entries[1].method, 8);
  EXPECT_TRUE(entries[1].content == Text(17 * 1024 * 1024 + 5));
  // zip 3.0 cannot join an entry that spans more than a few volumes (it
  // fails the same way on a set it wrote itself with -s 1m), so 7-Zip only.
  CheckWithOutsideTools(Out(), Src(), "K", Join::kSkip);
}

// Rule 11: the segments of an earlier set are removed and the set is written
// anew; other files beside it are left alone.
TEST_F(SplitZip, EarlierSetIsReplaced) {
  WriteAll(Base() + ".z01", "old");
  WriteAll(Base() + ".z05", "old");
  WriteAll(Base() + ".zip", "old");
  WriteAll(Out() + "/K.txt", "kept by the caller\r\n");
  WriteAll(Out() + "/KK.z01", "another key");
  WriteAll(Src() + "/a.msg", Text(10));
  EXPECT_EQ(WriteSplitZip(Src(), "K", Base()), QStringList{"K.zip"});
  EXPECT_EQ(OutFiles(), (QStringList{"K.txt", "K.zip", "KK.z01"}));
  EXPECT_EQ(ReadSet(Out(), {"K.zip"}).size(), 1u);
}

// Rule 12: a failure throws and leaves no segment, also after volumes were
// completed and renamed.
TEST_F(SplitZip, FailureLeavesNothing) {
  WriteAll(Src() + "/a.msg", RandomBytes(300000, 1));
  WriteAll(tmp_.path() + "/notadir", "");
  EXPECT_THROW(WriteSplitZip(Src(), "K", tmp_.path() + "/notadir/K"), SplitZipError);
  EXPECT_EQ(QDir(tmp_.path() + "/notadir").exists(), false);

  SplitZipOptions small;
  small.volumeSize = 100000;
  EXPECT_THROW(WriteSplitZip(Src(), "K", Base(), small,
                             [](int n, const QString&) {
                               if (n == 2) throw SplitZipError("mail failed");
                             }),
               SplitZipError);
  EXPECT_TRUE(OutFiles().isEmpty()) << OutFiles().join(' ').toStdString();

  EXPECT_THROW(WriteSplitZip(tmp_.path() + "/missing", "K", Base()), SplitZipError);
  small.volumeSize = 40;  // smaller than the first local header
  EXPECT_THROW(WriteSplitZip(Src(), "K", Base(), small), SplitZipError);
  EXPECT_TRUE(OutFiles().isEmpty());
}

// An empty directory still gives a valid (empty) archive.
TEST_F(SplitZip, EmptyDirectory) {
  EXPECT_EQ(WriteSplitZip(Src(), "K", Base()), QStringList{"K.zip"});
  EXPECT_EQ(ReadAll(Base() + ".zip").size(), 4 + 22);
  EXPECT_TRUE(ReadSet(Out(), {"K.zip"}).empty());
}

}  // namespace
