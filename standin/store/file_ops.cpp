#include "standin/store/file_ops.h"

#include "standin/store/store_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
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

struct Batch {
  int depth = 0;
  // One directory per file system written to during the batch.
  QHash<quint64, QString> directories;
};
Batch& TheBatch() {
  static Batch batch;
  return batch;
}

void NoteBatchWrite(const QString& path) {
  const QString directory = QFileInfo(path).absolutePath();
  struct stat info {};
  if (::stat(QFile::encodeName(directory).constData(), &info) == 0)
    TheBatch().directories.insert(quint64(info.st_dev), directory);
}
}  // namespace

void BeginBatch() { ++TheBatch().depth; }

bool InBatch() { return TheBatch().depth > 0; }

void EndBatch(bool flush) {
  Batch& batch = TheBatch();
  if (batch.depth == 0) return;
  if (--batch.depth > 0) return;
  // Left for a later flushing EndBatch, which takes these file systems too.
  if (!flush) return;
  const QHash<quint64, QString> directories = std::exchange(batch.directories, {});
  QStringList failed;
  for (const QString& directory : directories) {
    // One flush of the whole file system: cheaper than one per file, and it
    // takes the renames (the directories) along.
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) failed << QStringLiteral("%1 (%2)").arg(directory, SystemReason());
    if (fd >= 0) ::close(fd);
  }
  if (!failed.isEmpty())
    throw StoreError(QStringLiteral("cannot flush the writes of a batch to disk: %1").arg(failed.join(u", ")));
}

void SetObserver(Observer observer) { TheObserver() = std::move(observer); }

namespace {
// Whether the file holds exactly these bytes.
bool Holds(const QString& path, const QByteArray& data) {
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size != data.size())
    return false;
  QFile file(path);
  return file.open(QIODevice::ReadOnly) && file.readAll() == data;
}
}  // namespace

void WriteAtomically(const QString& tempPath, const QString& finalPath, const QByteArray& data) {
  // A batch rewrites whole sets of items (a package received again): an
  // item that already holds these bytes is left as it is.
  if (InBatch() && Holds(finalPath, data)) return;
  QFile file(tempPath);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(tempPath, file.errorString()));
  const bool batch = InBatch();
  const bool written = file.write(data) == data.size() && file.flush() &&
                       (batch || ::fsync(file.handle()) == 0);
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
  if (batch) NoteBatchWrite(finalPath);
  Notify(Change::Written, finalPath);
}

void WriteFile(const QString& path, const QByteArray& data) {
  if (InBatch()) {
    const QFileInfo info(path);
    WriteAtomically(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".vasnik-tmp"), path,
                    data);
    return;
  }
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
