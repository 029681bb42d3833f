#include "sync/incoming/list_file.h"

#include <QFile>

#include "platform/ansi.h"

namespace incoming {

bool IsPackageVolumeName(const QString& name, const QString& folderKey) {
  if (folderKey.isEmpty() || !name.startsWith(folderKey) || name.size() < folderKey.size() + 4) return false;
  const QStringView suffix = QStringView(name).mid(folderKey.size());
  if (suffix == u".zip") return true;
  if (!suffix.startsWith(u".z") || suffix.size() < 4) return false;
  for (QChar c : suffix.mid(2))
    if (c < u'0' || c > u'9') return false;
  return true;
}

QStringList ParseListFile(const QByteArray& text, const QString& folderKey) {
  if (text.size() > kMaxListFileBytes)
    throw ListFileError("The list file of \"" + folderKey.toStdString() + "\" is " + std::to_string(text.size()) +
                        " bytes long, more than any package needs");
  QStringList names;
  for (const QByteArray& line : text.split('\n')) {
    const QString name = platform::FromAnsi(line).trimmed();
    if (name.isEmpty()) continue;
    if (!IsPackageVolumeName(name, folderKey))
      throw ListFileError("The list file of \"" + folderKey.toStdString() + "\" names \"" + name.toStdString() +
                          "\", which is not a volume of that package");
    names.append(name);
  }
  // The archive's last volume holds its directory: a list without it could
  // count as complete while naming nothing of this package.
  if (!names.contains(folderKey + QStringLiteral(".zip")))
    throw ListFileError("The list file of \"" + folderKey.toStdString() + "\" does not name \"" +
                        folderKey.toStdString() + ".zip\"");
  return names;
}

QStringList ReadListFile(const QString& path, const QString& folderKey) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw ListFileReadError("Cannot read the list file \"" + path.toStdString() + "\": " + file.errorString().toStdString());
  const QByteArray text = file.read(kMaxListFileBytes + 1);
  if (file.error() != QFileDevice::NoError)
    throw ListFileReadError("Cannot read the list file \"" + path.toStdString() + "\": " + file.errorString().toStdString());
  return ParseListFile(text, folderKey);
}

}  // namespace incoming
