#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "app/product.h"
#include "platform/system.h"

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kReplyTimeoutMs = 5000;
constexpr char kDataLockName[] = "/instance.lock";

QString RuntimeDir() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  return dir;
}

}  // namespace

QString AppInstances::DefaultKey() {
  // One desktop session: the login session if the system names one, else the
  // user. The executable is compared without regard to letter case.
  QString session = qEnvironmentVariable("XDG_SESSION_ID");
  return platform::ExecutablePath().toLower() + u'|' + QString::number(getuid()) + u'|' + session;
}

QString AppInstances::DefaultDataDir() { return platform::AppDataDir() + QStringLiteral("/Varnel/") + product::kAppName; }

AppInstances::AppInstances(QObject* parent, QString key, QString dataDir) : QObject(parent), dataDir_(std::move(dataDir)) {
  const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  const QString base = RuntimeDir() + QStringLiteral("/lintrove-") + QString::fromLatin1(hash);
  serverName_ = base + QStringLiteral(".sock");
  lockPath_ = base + QStringLiteral(".lock");
}

AppInstances::~AppInstances() {
  if (server_) server_->close();
  if (dataLockFd_ >= 0) ::close(dataLockFd_);  // releases the lock
}

bool AppInstances::Register(const QStringList& arguments) {
  QLockFile lock(lockPath_);
  lock.setStaleLockTime(0);
  lock.lock();
  if (NotifyRunningCopy(serverName_, arguments)) return false;
  // The first of this session; a copy of another session may still run on
  // the same data directory.
  QString holder;
  if (!LockDataDir(&holder)) {
    if (!holder.isEmpty()) NotifyRunningCopy(holder, arguments);
    return false;
  }
  // Nobody answered: a socket file left by a crashed copy is ours to replace.
  QLocalServer::removeServer(serverName_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &AppInstances::AcceptConnections);
  server_->listen(serverName_);
  PublishServerName();
  return true;
}

bool AppInstances::LockDataDir(QString* holder) {
  if (dataDir_.isEmpty()) return true;
  QDir().mkpath(dataDir_);
  // Close-on-exec: a program this copy starts must not keep the lock alive
  // after this copy has ended.
  const int fd = ::open(QFile::encodeName(dataDir_ + QLatin1StringView(kDataLockName)).constData(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // A directory we cannot write is no place another copy could write either;
  // the start-up reports what it cannot do there.
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    dataLockFd_ = fd;
    return true;
  }
  const bool held = errno == EWOULDBLOCK;
  if (held) {
    // The holder writes its name once it listens; before that (the two
    // started at the same moment) there is no one to tell yet.
    char buffer[4096];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n > 0) *holder = QString::fromUtf8(buffer, n).trimmed();
  }
  ::close(fd);
  return !held;  // a file system without flock: no guard, as before
}

void AppInstances::PublishServerName() {
  if (dataLockFd_ < 0 || !server_->isListening()) return;
  const QByteArray name = server_->fullServerName().toUtf8() + '\n';
  if (::ftruncate(dataLockFd_, 0) == 0 && ::pwrite(dataLockFd_, name.constData(), name.size(), 0) == name.size())
    return;
  // Without its name a later copy still ends; it only cannot show this one.
  (void)::ftruncate(dataLockFd_, 0);
}

bool AppInstances::NotifyRunningCopy(const QString& serverName, const QStringList& arguments) {
  QLocalSocket socket;
  socket.connectToServer(serverName);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  QByteArray message;
  QDataStream out(&message, QIODevice::WriteOnly);
  out << qint64(getpid()) << arguments;
  socket.write(message);
  socket.waitForBytesWritten(kReplyTimeoutMs);
  // The running copy answers once it has handled the notice, so the caller
  // may end at once without the notice being lost.
  socket.waitForReadyRead(kReplyTimeoutMs);
  socket.disconnectFromServer();
  return true;
}

void AppInstances::AcceptConnections() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      QDataStream in(socket);
      in.startTransaction();
      qint64 pid = 0;
      QStringList args;
      in >> pid >> args;
      if (!in.commitTransaction()) return;  // wait for the rest
      emit InstanceCreated(pid, args);
      socket->write("ok");
      socket->flush();
    });
  }
}
