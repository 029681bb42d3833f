#include "platform/system.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include <sys/stat.h>

#ifndef LINTROVE_INSTALL_LIBDIR
#define LINTROVE_INSTALL_LIBDIR "/usr/local/lib"
#endif

namespace platform {

QString AppDataDir() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  while (dir.endsWith(u'/') && dir.size() > 1) dir.chop(1);
  return dir;
}

QString CommonFilesDir() {
  // Tests and side-by-side installs point this elsewhere.
  const QByteArray overridden = qgetenv("LINTROVE_COMMON_FILES_DIR");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  return QStringLiteral(LINTROVE_INSTALL_LIBDIR);
}

QString ProductName() { return QSysInfo::prettyProductName(); }

QString ExecutablePath() {
  const QString fromApp = QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
  if (!fromApp.isEmpty()) return fromApp;
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString ModuleSuffix() { return QStringLiteral(".so"); }
QString ExecutableSuffix() { return QString(); }

bool ShellOpen(const QString& target) {
  const QUrl url(target);
  if (url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1)
    return QDesktopServices::openUrl(url);
  // A bare program name is looked up on PATH, as the shell would.
  const QString program = QStandardPaths::findExecutable(target);
  if (program.isEmpty()) return false;
  return QProcess::startDetached(program, {});
}

QByteArray FileVersion(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
  const qint64 fields[] = {qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec),
                           qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
  return QByteArray(reinterpret_cast<const char*>(fields), sizeof fields);
}

void SilentDelete(const QString& path) {
  QFileInfo info(path);
  if (info.isDir() && !info.isSymLink())
    QDir(path).removeRecursively();
  else
    QFile::remove(path);
}

}  // namespace platform
