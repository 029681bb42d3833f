#include "standin/store/file_ops.h"

#include "standin/store/store_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vasnik::files {

namespace {
Observer& TheObserver() {
  static Observer observer;
  return observer;
}

void Notify(Change change, const QString& path, const QString& from = {}) {
  if (TheObserver()) TheObserver()(change, path, from);
}

QString SystemReason() { return QString::fromLocal8Bit(std::strerror(errno)); }
}  // namespace

void SetObserver(Observer observer) { TheObserver() = std::move(observer); }

void WriteAtomically(const QString& tempPath, const QString& finalPath, const QByteArray& data) {
  QFile file(tempPath);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(tempPath, file.errorString()));
  const bool written = file.write(data) == data.size() && file.flush() &&
                       ::fsync(file.handle()) == 0;
  const QString writeError = file.errorString();
  file.close();
  if (!written) {
    QFile::remove(tempPath);
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(tempPath, writeError));
  }
  if (std::rename(QFile::encodeName(tempPath).constData(),
                  QFile::encodeName(finalPath).constData()) != 0) {
    const QString reason = SystemReason();
    QFile::remove(tempPath);
    throw StoreError(QStringLiteral("cannot rename %1 to %2: %3").arg(tempPath, finalPath, reason));
  }
  Notify(Change::Written, finalPath);
}

void WriteFile(const QString& path, const QByteArray& data) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
  Notify(Change::Written, path);
}

void MoveFile(const QString& from, const QString& to) {
  if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
    if (errno != EXDEV)
      throw StoreError(QStringLiteral("cannot move %1 to %2: %3").arg(from, to, SystemReason()));
    const QString temp = QFileInfo(to).absolutePath() + QStringLiteral("/.") + QFileInfo(to).fileName() + QStringLiteral(".moving");
    WriteAtomically(temp, to, ReadFile(from));
    if (!QFile::remove(from))
      throw StoreError(QStringLiteral("cannot remove %1 after copying it").arg(from));
  }
  Notify(Change::Moved, to, from);
}

void NoteMoved(const QString& from, const QString& to) { Notify(Change::Moved, to, from); }

void RemoveFile(const QString& path) {
  if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
    throw StoreError(QStringLiteral("cannot remove %1: %2").arg(path, SystemReason()));
  Notify(Change::Removed, path);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw StoreError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
  QByteArray data = file.readAll();
  if (file.error() != QFileDevice::NoError)
    throw StoreError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
  return data;
}

void EnsureDirectory(const QString& path) {
  if (QFileInfo(path).isDir()) return;
  if (!QDir().mkpath(path))
    throw StoreError(QStringLiteral("cannot create the directory %1").arg(path));
}

void WriteSettings(const QString& path, const std::function<void(QSettings& settings)>& fill) {
  {
    QSettings settings(path, QSettings::IniFormat);
    settings.clear();
    fill(settings);
    settings.sync();
    if (settings.status() != QSettings::NoError)
      throw StoreError(QStringLiteral("cannot write %1").arg(path));
  }
  Notify(Change::Written, path);
}

}  // namespace vasnik::files
