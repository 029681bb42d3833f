// libFuzzer target: the split archive reader on any set of volumes (input
// format in split_zip_input.h). Whatever the archive holds, nothing may appear
// outside the destination, the volumes stay as they were, a refusal leaves the
// destination exactly as it was, and an unpacked archive leaves only the files
// it reports, all under K/.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

#include "sync/incoming/split_zip_reader.h"
#include "sync/outgoing/split_zip_writer.h"
#include "tests/fuzz/split_zip_input.h"

namespace {

// The destination sits a few levels down, so that a name climbing out of it
// still lands inside the tree that is checked.
const QString& Base() {
  static const QString base = QDir::tempPath() + QStringLiteral("/lintrove-fuzz-zip-%1").arg(getpid());
  return base;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

void WriteFile(const QString& path, const QByteArray& data) {
  QFile f(path);
  Check(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  Check(f.write(data) == data.size());
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QByteArrayLiteral("<unreadable>");
  return f.readAll();
}

// Everything below dir, relative; directories end in "/". Links are listed,
// never followed.
QSet<QString> Tree(const QString& dir) {
  QSet<QString> out;
  QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString p = it.next();
    const QFileInfo info(p);
    out.insert(QDir(dir).relativeFilePath(p) + (info.isDir() && !info.isSymLink() ? "/" : ""));
  }
  return out;
}

bool IsSafeRelative(const QString& path) {
  if (!path.startsWith(QLatin1String("K/")) || path.contains(u'\\') || path.contains(u':')) return false;
  for (const QString& part : path.split(u'/'))
    if (part.isEmpty() || part == u"." || part == u"..") return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::SplitZipInput input = fuzz::DecodeSplitZipInput(data, size);
  const QString base = Base();
  QDir(base).removeRecursively();
  Check(QDir().mkpath(base + "/in") && QDir().mkpath(base + "/x/y"));

  QSet<QString> before = {"in/", "x/", "x/y/"};
  QStringList volumeNames;
  for (size_t i = 0; i + 1 < input.volumes.size(); ++i)
    volumeNames << QFileInfo(outgoing::SplitZipVolumeName(base + "/in/K", int(i + 1))).fileName();
  volumeNames << QStringLiteral("K.zip");
  for (size_t i = 0; i < input.volumes.size(); ++i) {
    WriteFile(base + "/in/" + volumeNames[qsizetype(i)], input.volumes[i]);
    before.insert("in/" + volumeNames[qsizetype(i)]);
  }
  const QString destRel = input.missingDestination ? QStringLiteral("x/y/new/dest") : QStringLiteral("x/y/dest");
  const QString dest = base + '/' + destRel;
  if (!input.missingDestination) {
    Check(QDir().mkpath(dest));
    before.insert(destRel + '/');
    if (input.earlierFile) {
      Check(QDir().mkpath(dest + "/K"));
      WriteFile(dest + "/K/earlier.msg", "kept");
      before.insert(destRel + "/K/");
      before.insert(destRel + "/K/earlier.msg");
    }
  }

  bool refused = false;
  QStringList written;
  try {
    written = incoming::ExtractSplitZip(base + "/in/K.zip", dest, QStringLiteral("K"));
  } catch (const incoming::SplitZipReadError&) {
    refused = true;
  }

  // The volumes are read, never changed.
  for (size_t i = 0; i < input.volumes.size(); ++i)
    Check(ReadFile(base + "/in/" + volumeNames[qsizetype(i)]) == input.volumes[i]);

  const QSet<QString> after = Tree(base);
  if (refused) {
    // Everything created was removed, everything there before is untouched.
    Check(after == before);
    if (input.earlierFile && !input.missingDestination) Check(ReadFile(dest + "/K/earlier.msg") == "kept");
  } else {
    const QSet<QString> reported(written.begin(), written.end());
    Check(reported.size() == written.size());
    for (const QString& path : written) {
      Check(IsSafeRelative(path));
      const QFileInfo info(dest + '/' + path);
      Check(info.isFile() && !info.isSymLink());
    }
    QSet<QString> allowed = before;
    allowed.insert(destRel + '/');
    if (input.missingDestination) allowed.insert(QStringLiteral("x/y/new/"));
    for (const QString& entry : after) {
      if (allowed.contains(entry)) continue;
      Check(entry.startsWith(destRel + '/'));
      const QString inner = entry.mid(destRel.size() + 1);
      if (inner.endsWith(u'/')) {
        Check(inner == u"K/" || IsSafeRelative(inner.chopped(1)));
      } else {
        Check(reported.contains(inner));
      }
    }
    for (const QString& entry : before) Check(after.contains(entry));
    if (input.earlierFile && !input.missingDestination && !reported.contains(QStringLiteral("K/earlier.msg")))
      Check(ReadFile(dest + "/K/earlier.msg") == "kept");
  }

  QDir(base).removeRecursively();
  return 0;
}
