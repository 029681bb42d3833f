// The split archive reader: round trips through our writer and Info-ZIP, and
// hostile or damaged archives, each refused with nothing left behind.
#include <QDir>
#include <QElapsedTimer>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "sync/incoming/split_zip_reader.h"
#include "sync/outgoing/split_zip_writer.h"
#include "tests/support/files.h"
#include "tests/support/random_bytes.h"
#include "tests/support/zip_builder.h"

using incoming::ExtractLimits;
using incoming::ExtractSplitZip;
using incoming::SplitZipReadError;

namespace {

// Every file and directory below `dir`, relative, sorted; directories end in "/".
QStringList Tree(const QString& dir) {
  QStringList out;
  QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString p = it.next();
    out << QDir(dir).relativeFilePath(p) + (QFileInfo(p).isDir() ? "/" : "");
  }
  out.sort();
  return out;
}

void MakeZip(const QString& path, const std::vector<ZipEntry>& entries) { WriteAll(path, Zip(entries)); }

class SplitZipReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    src_ = tmp_.filePath("src");
    out_ = tmp_.filePath("out");
    dest_ = tmp_.filePath("inbox");
    QDir().mkpath(src_), QDir().mkpath(out_), QDir().mkpath(dest_);
  }

  // Expects the archive refused, naming `mention`, with the destination as it
  // was (holding only a file of an earlier package) and nothing beside it.
  void ExpectRefused(const QString& zip, const QString& mention, const ExtractLimits& limits = {}) {
    WriteAll(dest_ + "/earlier.txt", "kept");
    try {
      ExtractSplitZip(zip, dest_, "K", limits);
      ADD_FAILURE() << "accepted " << zip.toStdString();
    } catch (const SplitZipReadError& e) {
      EXPECT_TRUE(QString::fromUtf8(e.what()).contains(mention)) << e.what();
    }
    EXPECT_EQ(Tree(dest_), QStringList{"earlier.txt"});
    EXPECT_EQ(ReadAll(dest_ + "/earlier.txt"), "kept");
    EXPECT_EQ(QDir(tmp_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"inbox", "out", "src"}));
  }

  void ExpectSameTree(const QString& extracted, const QString& original) {
    const QStringList files = Tree(original);
    EXPECT_EQ(Tree(extracted), files);
    for (const QString& f : files) {
      if (!f.endsWith('/')) {
        EXPECT_EQ(ReadAll(extracted + "/" + f), ReadAll(original + "/" + f)) << f.toStdString();
      }
    }
  }

  QTemporaryDir tmp_;
  QString src_, out_, dest_;
};

TEST_F(SplitZipReaderTest, RoundTripSingleSegment) {
  WriteAll(src_ + "/K/info.xml", "<info/>");
  WriteAll(src_ + "/K/a.msg", QByteArray(5000, 'm'));
  WriteAll(src_ + "/K/empty.msg", "");
  const QStringList segments = outgoing::WriteSplitZip(src_ + "/K", "K", out_ + "/K");
  ASSERT_EQ(segments, QStringList{"K.zip"});
  const QStringList written = ExtractSplitZip(out_ + "/K.zip", dest_, "K");
  EXPECT_EQ(written, (QStringList{"K/a.msg", "K/empty.msg", "K/info.xml"}));
  ExpectSameTree(dest_, src_);
}

TEST_F(SplitZipReaderTest, RoundTripThreeVolumesWithStraddlingFile) {
  WriteAll(src_ + "/K/a.txt", "first");
  WriteAll(src_ + "/K/big.msg", RandomBytes(2500000, 7));  // stored, runs across all three volumes
  WriteAll(src_ + "/K/empty.msg", "");
  WriteAll(src_ + "/K/info.xml", QByteArray(300000, 'x'));
  const QStringList segments = outgoing::WriteSplitZip(src_ + "/K", "K", out_ + "/K");
  ASSERT_EQ(segments, (QStringList{"K.z01", "K.z02", "K.zip"}));
  EXPECT_EQ(ExtractSplitZip(out_ + "/K.zip", dest_, "K").size(), 4);
  ExpectSameTree(dest_, src_);
  // A second unpacking replaces the files in place.
  EXPECT_EQ(ExtractSplitZip(out_ + "/K.zip", dest_, "K").size(), 4);
  ExpectSameTree(dest_, src_);
}

TEST_F(SplitZipReaderTest, InfoZipSplitAndPlainArchives) {
  const QString zip = QStandardPaths::findExecutable("zip");
  if (zip.isEmpty()) GTEST_SKIP() << "Info-ZIP zip not installed";
  WriteAll(src_ + "/K/big.msg", RandomBytes(2500000, 11));
  WriteAll(src_ + "/K/info.xml", QByteArray(200000, 'i'));
  WriteAll(src_ + "/K/sub/deep/x.msg", "nested");
  WriteAll(src_ + "/K/empty", "");
  for (const QStringList& args : {QStringList{"-q", "-r", "-s", "1m", out_ + "/K.zip", "K"},
                                  QStringList{"-q", "-r", out_ + "/P.zip", "K"}}) {
    QProcess p;
    p.setWorkingDirectory(src_);
    p.start(zip, args);
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  }
  ASSERT_TRUE(QFile::exists(out_ + "/K.z02"));
  ExtractSplitZip(out_ + "/K.zip", dest_, "K");
  ExpectSameTree(dest_, src_);
  const QString plain = tmp_.filePath("plain");
  ExtractSplitZip(out_ + "/P.zip", plain, "K");
  ExpectSameTree(plain, src_);
  QDir(plain).removeRecursively();
}

TEST_F(SplitZipReaderTest, HostileNamesRefusedBeforeWriting) {
  const std::vector<std::pair<QByteArray, QString>> cases = {
      {"../x", "../x"},       {"/etc/x", "/etc/x"},     {"K/../x", "K/../x"},     {"L/x", "not under K/"},
      {"K\\..\\x", "backslash"}, {"C:/x", "C:/x"},     {"\\x", "absolute"},     {"K/a\x01", "control"},
      {"K/./x", "K/./x"},     {"Kx/y", "not under K/"}, {"K//x", "K//x"}};
  for (const auto& [name, mention] : cases) {
    SCOPED_TRACE(name.toStdString());
    MakeZip(out_ + "/K.zip", {{"K/ok.msg", "good"}, {name, "evil"}});
    ExpectRefused(out_ + "/K.zip", mention);
  }
  EXPECT_FALSE(QFile::exists(tmp_.filePath("x")));
  MakeZip(out_ + "/K.zip", {{"K/ok.msg", "one"}, {"K/ok.msg", "two"}});
  ExpectRefused(out_ + "/K.zip", "twice");
}

// A pasted log of one letter deflates near deflate's own limit of about
// 1 032 to 1; a bound on the ratio refused such a package whole.
TEST_F(SplitZipReaderTest, OneLetterRepeatedUnpacksWhole) {
  WriteAll(src_ + "/K/long.msg", QByteArray(4 << 20, 'a'));
  WriteAll(src_ + "/K/info.xml", "<info/>");
  ASSERT_EQ(outgoing::WriteSplitZip(src_ + "/K", "K", out_ + "/K"), QStringList{"K.zip"});
  ASSERT_GT((4 << 20) / QFileInfo(out_ + "/K.zip").size(), 500);
  EXPECT_EQ(ExtractSplitZip(out_ + "/K.zip", dest_, "K"), (QStringList{"K/info.xml", "K/long.msg"}));
  ExpectSameTree(dest_, src_);
}

// What an archive declares must fit under the bound for one package and into
// the destination's free space; the check comes before anything is written.
TEST_F(SplitZipReaderTest, ExpansionBeyondTheLimitOrTheFreeSpaceRefusedBeforeWriting) {
  MakeZip(out_ + "/K.zip", {{"K/ok.msg", "fine"}, {"K/zeros", QByteArray(1 << 20, '\0'), true, -1, 0, 2048}});
  ASSERT_LT(QFileInfo(out_ + "/K.zip").size(), 4 << 20) << "2 GiB of zeros";
  ExpectRefused(out_ + "/K.zip", "limit for one package");

  MakeZip(out_ + "/K.zip", {{"K/a", RandomBytes(4000, 1)}});
  ExpectRefused(out_ + "/K.zip", "limit for one package", ExtractLimits{1000, {}});
  QString asked;
  ExtractLimits disk;
  disk.bytesAvailable = [&](const QString& dir) {
    asked = dir;
    return qint64(3999);
  };
  ExpectRefused(out_ + "/K.zip", "free space", disk);
  EXPECT_EQ(asked, dest_);
  // A destination still to be created is measured on its nearest parent.
  disk.bytesAvailable = [&](const QString& dir) {
    asked = dir;
    return qint64(4000);
  };
  EXPECT_EQ(ExtractSplitZip(out_ + "/K.zip", tmp_.filePath("new/inbox"), "K", disk), QStringList{"K/a"});
  EXPECT_EQ(asked, tmp_.path());
}

TEST_F(SplitZipReaderTest, StreamInflatingPastDeclaredSizeRefused) {
  ZipEntry liar{"K/liar", QByteArray(1 << 20, '\0'), true, 1000};
  MakeZip(out_ + "/K.zip", {{"K/ok.msg", "fine"}, liar});
  ExpectRefused(out_ + "/K.zip", "declared size");
}

TEST_F(SplitZipReaderTest, CrcMismatchRefused) {
  ZipEntry bad{"K/b.msg", "payload", false, -1, 1};
  MakeZip(out_ + "/K.zip", {{"K/ok.msg", "fine"}, bad});
  ExpectRefused(out_ + "/K.zip", "CRC");
  bad.deflate = true;
  bad.data = QByteArray(10000, 'd');
  MakeZip(out_ + "/K.zip", {{"K/ok.msg", "fine"}, bad});
  ExpectRefused(out_ + "/K.zip", "CRC");
  // A destination this call had to create goes too.
  EXPECT_THROW(ExtractSplitZip(out_ + "/K.zip", tmp_.filePath("new/inbox"), "K"), SplitZipReadError);
  EXPECT_FALSE(QFileInfo::exists(tmp_.filePath("new")));
}

TEST_F(SplitZipReaderTest, MissingOrTruncatedVolumeRefused) {
  WriteAll(src_ + "/K/big.msg", RandomBytes(2500000, 3));
  WriteAll(src_ + "/K/info.xml", "<info/>");
  ASSERT_EQ(outgoing::WriteSplitZip(src_ + "/K", "K", out_ + "/K").size(), 3);
  const QByteArray z02 = ReadAll(out_ + "/K.z02");
  QFile::remove(out_ + "/K.z02");
  ExpectRefused(out_ + "/K.zip", "K.z02 is missing");
  WriteAll(out_ + "/K.z02", z02.left(z02.size() - 100));
  ExpectRefused(out_ + "/K.zip", "K.zip");
  WriteAll(out_ + "/K.zip", ReadAll(out_ + "/K.zip").chopped(10));  // end record cut
  ExpectRefused(out_ + "/K.zip", "no end record");
}

// An entry that is a file and also the directory of another entry can never
// be unpacked. Refused only when its rename failed, after earlier renames had
// replaced files of the destination, it cost those files: the rollback
// removed the new ones and the old ones were gone.
TEST_F(SplitZipReaderTest, FileThatIsAlsoADirectoryRefusedBeforeReplacingAnything) {
  const std::vector<std::vector<ZipEntry>> cases = {
      {{"K/a.msg", "new"}, {"K/x", "file"}, {"K/x/y", "inside"}},
      {{"K/a.msg", "new"}, {"K/x", "file"}, {"K/x/z/", ""}},
      {{"K/x/y/z", "inside"}, {"K/a.msg", "new"}, {"K/x/y", "file"}}};
  for (const std::vector<ZipEntry>& items : cases) {
    SCOPED_TRACE(items.back().name.toStdString());
    WriteAll(dest_ + "/K/a.msg", "kept");
    MakeZip(out_ + "/K.zip", items);
    try {
      ExtractSplitZip(out_ + "/K.zip", dest_, "K");
      ADD_FAILURE() << "accepted";
    } catch (const SplitZipReadError& e) {
      EXPECT_TRUE(QString::fromUtf8(e.what()).contains("a file and a directory")) << e.what();
    }
    EXPECT_EQ(Tree(dest_), (QStringList{"K/", "K/a.msg"}));
    EXPECT_EQ(ReadAll(dest_ + "/K/a.msg"), "kept");
  }
}

// The duplicate check compared each name with every earlier one: an archive of
// 65 534 tiny entries held the intake for seconds before it was refused.
TEST_F(SplitZipReaderTest, DuplicateAmongManyEntriesRefusedQuickly) {
  std::vector<ZipEntry> items;
  for (int i = 0; i < 65533; ++i) items.push_back({"K/entry-" + QByteArray::number(i), ""});
  items.push_back({"K/entry-0", ""});
  MakeZip(out_ + "/K.zip", items);
  QElapsedTimer timer;
  timer.start();
  ExpectRefused(out_ + "/K.zip", "appears twice");
  EXPECT_LT(timer.elapsed(), 1500);
}

}  // namespace
