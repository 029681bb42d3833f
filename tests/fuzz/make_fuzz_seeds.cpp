// Writes seed corpora for fuzz_split_zip_reader and fuzz_list_file:
//
//   make_fuzz_seeds <zip-corpus-dir> <list-corpus-dir>
//
// The archive seeds are real archives in the target's input form
// (split_zip_input.h): single and split sets from our own writer with small
// volumes, and, when Info-ZIP `zip` is installed, a plain archive with
// directories and a `zip -s 64k` set. The list seeds are list files as the
// packing pass writes them and a few variations.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "sync/outgoing/split_zip_writer.h"
#include "tests/fuzz/split_zip_input.h"

namespace {

void Put(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    std::exit(1);
  }
}

QByteArray Get(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
    std::exit(1);
  }
  return f.readAll();
}

// Bytes that do not compress, the same on every run.
QByteArray Noise(int n, quint32 seed) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = char(seed >> 16);
  }
  return b;
}

// The segments (volumes first, K.zip last) of the set at dir/K as one seed.
void AddSeed(const QString& corpus, const QString& name, const QString& dir, const QStringList& segments,
             bool earlierFile = false, bool missingDestination = false) {
  fuzz::SplitZipInput in;
  in.earlierFile = earlierFile;
  in.missingDestination = missingDestination;
  for (const QString& s : segments) in.volumes.push_back(Get(dir + '/' + s));
  Put(corpus + '/' + name, fuzz::EncodeSplitZipInput(in));
}

bool RunZip(const QString& zip, const QString& workDir, const QStringList& args) {
  QProcess p;
  p.setWorkingDirectory(workDir);
  p.start(zip, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <zip-corpus-dir> <list-corpus-dir>\n");
    return 2;
  }
  const QString zipCorpus = QString::fromLocal8Bit(argv[1]);
  const QString listCorpus = QString::fromLocal8Bit(argv[2]);
  QTemporaryDir tmp;
  if (!tmp.isValid()) return 1;
  const QString src = tmp.filePath("src"), out = tmp.filePath("out");
  QDir().mkpath(out);

  // Our writer: one segment, then three small volumes with a file running
  // across them.
  Put(src + "/K/info.xml", "<?xml version=\"1.0\"?><info User=\"a@b\"/>");
  Put(src + "/K/empty.msg", "");
  Put(src + "/K/a.msg", QByteArray("Subject: x\r\n\r\n").repeated(20));
  QStringList segments = outgoing::WriteSplitZip(src + "/K", "K", out + "/K");
  AddSeed(zipCorpus, "writer-single", out, segments);
  AddSeed(zipCorpus, "writer-single-earlier", out, segments, true);
  AddSeed(zipCorpus, "writer-single-new-dest", out, segments, false, true);
  Put(src + "/K/b.msg", Noise(700, 1));
  segments = outgoing::WriteSplitZip(src + "/K", "K", out + "/K", {400, Z_DEFAULT_COMPRESSION});
  if (segments.size() > 8) {
    std::fprintf(stderr, "writer made %d segments, more than a seed may hold\n", int(segments.size()));
    return 1;
  }
  AddSeed(zipCorpus, "writer-split", out, segments);

  const QString zip = QStandardPaths::findExecutable("zip");
  if (zip.isEmpty()) {
    std::fprintf(stderr, "zip not installed: Info-ZIP seeds skipped\n");
  } else {
    // A plain archive with directory entries, and a split set (64 KiB is the
    // smallest volume zip writes).
    QDir(src + "/K").removeRecursively();
    Put(src + "/K/info.xml", "<info/>");
    Put(src + "/K/sub/deep/x.msg", "nested");
    QDir().mkpath(src + "/K/emptydir");
    for (const QString& s : QDir(out).entryList(QDir::Files)) QFile::remove(out + '/' + s);
    if (!RunZip(zip, src, {"-q", "-r", out + "/K.zip", "K"})) return 1;
    AddSeed(zipCorpus, "infozip-plain", out, {"K.zip"});
    QFile::remove(out + "/K.zip");
    Put(src + "/K/big.msg", Noise(70000, 2));
    if (!RunZip(zip, src, {"-q", "-0", "-r", "-s", "64k", out + "/K.zip", "K"})) return 1;
    AddSeed(zipCorpus, "infozip-split", out, {"K.z01", "K.zip"});
  }

  Put(listCorpus + "/crlf", "K.z01\r\nK.z02\r\nK.zip\r\n");
  Put(listCorpus + "/lf", "K.zip\n");
  Put(listCorpus + "/blanks", "\n\r\n  K.z001  \r\n\nK.zip");
  Put(listCorpus + "/other-key", "0123456789abcdef0123456789abcdef\nK.z01\n0123456789abcdef0123456789abcdef.z01\n"
                                 "0123456789abcdef0123456789abcdef.zip\r\n");
  Put(listCorpus + "/refused", "K.zip\r\n../K.zip\r\nK.zip/../x\r\nC:K.zip\r\nK.z1\r\n");
  return 0;
}
