#include "standin/store/maildir.h"

#include "standin/store/file_ops.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSysInfo>

#include <unistd.h>

namespace vasnik::maildir {

QString NewBaseName() {
  static quint64 counter = 0;
  const qint64 micros = QDateTime::currentMSecsSinceEpoch() * 1000;
  QString host = QSysInfo::machineHostName();
  if (host.isEmpty()) host = QStringLiteral("localhost");
  host.replace(u'/', QStringLiteral("\\057")).replace(u':', QStringLiteral("\\072"));
  return QStringLiteral("%1.M%2P%3Q%4R%5.%6")
      .arg(micros / 1000000)
      .arg(micros % 1000000)
      .arg(::getpid())
      .arg(++counter)
      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
      .arg(host);
}

QString BaseOf(const QString& fileName) {
  const qsizetype colon = fileName.indexOf(u':');
  return colon < 0 ? fileName : fileName.left(colon);
}

QString FlagsOf(const QString& fileName) {
  const qsizetype info = fileName.indexOf(u":2,");
  return info < 0 ? QString() : fileName.mid(info + 3);
}

bool IsItemFileName(const QString& fileName) {
  return !fileName.isEmpty() && !fileName.startsWith(u'.') && !BaseOf(fileName).isEmpty();
}

void Create(const QString& directory) {
  for (const char* sub : {"cur", "new", "tmp"})
    files::EnsureDirectory(directory + u'/' + QLatin1String(sub));
}

bool IsMaildir(const QString& directory) {
  return QFileInfo(directory + QStringLiteral("/cur")).isDir() || QFileInfo(directory + QStringLiteral("/new")).isDir();
}

}  // namespace vasnik::maildir
