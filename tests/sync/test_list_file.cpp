// The list file of a package: line endings and blank lines, and every name
// that is not a volume of its own package refused.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "sync/incoming/list_file.h"

using incoming::IsPackageVolumeName;
using incoming::kMaxListFileBytes;
using incoming::ListFileError;
using incoming::ParseListFile;
using incoming::ReadListFile;

namespace {

// Expects text refused, the message naming `mention`.
void ExpectRefused(const QByteArray& text, const QString& mention) {
  try {
    const QStringList names = ParseListFile(text, "K");
    ADD_FAILURE() << "accepted: " << names.join(',').toStdString();
  } catch (const ListFileError& e) {
    EXPECT_TRUE(QString::fromUtf8(e.what()).contains(mention)) << e.what();
  }
}

TEST(ListFileTest, CrLfAndLfLinesBlankLinesAndTrailingBlanks) {
  EXPECT_EQ(ParseListFile("K.z01\r\nK.z02\r\nK.zip\r\n", "K"), (QStringList{"K.z01", "K.z02", "K.zip"}));
  EXPECT_EQ(ParseListFile("K.z01\nK.zip", "K"), (QStringList{"K.z01", "K.zip"}));
  EXPECT_EQ(ParseListFile("\r\n\nK.z01  \r\n \t\r\n\nK.zip\t\n\n", "K"), (QStringList{"K.z01", "K.zip"}));
  // The last volume may come anywhere in the list.
  EXPECT_EQ(ParseListFile("K.zip\r\nK.z01\r\n", "K"), (QStringList{"K.zip", "K.z01"}));
}

// The last volume holds the archive's directory: a list without it would
// count as complete with whatever K.zip lies in the directory.
TEST(ListFileTest, AListWithoutTheLastVolumeRefused) {
  ExpectRefused("", "does not name \"K.zip\"");
  ExpectRefused("\r\n\r\n \t\n", "does not name \"K.zip\"");
  ExpectRefused("K.z01\r\n", "does not name \"K.zip\"");
  ExpectRefused("K.z01\r\nK.z02\r\n", "does not name \"K.zip\"");
  ExpectRefused("K.z01\r\nK.zip.z02\r\n", "K.zip.z02");
}

TEST(ListFileTest, VolumeNameRule) {
  for (const char* name : {"K.zip", "K.z01", "K.z99", "K.z100", "K.z001"}) EXPECT_TRUE(IsPackageVolumeName(name, "K")) << name;
  for (const char* name : {"K.z1", "K.z", "K.z0a", "K.z٠١", "K.Zip", "K.ZIP", "k.zip", "K.zipx", "K", "K.", "K.zi",
                           "K.zip.z01", "KK.zip", "K2.z01", "L.zip", ".zip", "K.z01/x", "K.z01 "})
    EXPECT_FALSE(IsPackageVolumeName(QString::fromUtf8(name), "K")) << name;
  EXPECT_FALSE(IsPackageVolumeName(".zip", ""));
  EXPECT_FALSE(IsPackageVolumeName(".z01", ""));
}

TEST(ListFileTest, NamesOutsideThePackageRefused) {
  ExpectRefused("K.zip\r\n../x\r\n", "../x");
  ExpectRefused("K.zip/../x\r\n", "K.zip/../x");
  ExpectRefused("../K.zip\r\n", "../K.zip");
  ExpectRefused("K.z01\r\nL.z02\r\nL.zip\r\n", "L.z02");  // another package's volume
  ExpectRefused("C:x\r\n", "C:x");
  ExpectRefused("C:K.zip\r\n", "C:K.zip");
  ExpectRefused("/tmp/K.zip\n", "/tmp/K.zip");
  ExpectRefused("K.z1\r\nK.zip\r\n", "K.z1");
  ExpectRefused(QByteArray("K.zip\0x\n", 8), "K.zip");
  EXPECT_EQ(ParseListFile("K.z001\r\nK.zip\r\n", "K"), (QStringList{"K.z001", "K.zip"}));
}

TEST(ListFileTest, OversizedTextRefused) {
  QByteArray text = "K.zip\r\n";
  while (text.size() + 7 <= kMaxListFileBytes) text += "K.z01\r\n";
  EXPECT_NO_THROW(ParseListFile(text, "K"));
  text += QByteArray(kMaxListFileBytes + 1 - text.size(), '\n');
  ExpectRefused(text, "bytes long");

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("K.txt");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("K.zip\r\n" + QByteArray(4 * kMaxListFileBytes, '\n'));
  }
  // Too long is a verdict on the text; missing says nothing about it.
  try {
    ReadListFile(path, "K");
    ADD_FAILURE() << "an oversized list file was read";
  } catch (const incoming::ListFileReadError&) {
    ADD_FAILURE() << "an oversized list file taken for an unreadable one";
  } catch (const ListFileError&) {
  }
  EXPECT_THROW(ReadListFile(dir.filePath("missing.txt"), "K"), incoming::ListFileReadError);
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("K.z01\r\nK.zip\r\n");
  }
  EXPECT_EQ(ReadListFile(path, "K"), (QStringList{"K.z01", "K.zip"}));
}

}  // namespace
