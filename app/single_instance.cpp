#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <unistd.h>

#include "platform/system.h"

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kReplyTimeoutMs = 5000;

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

AppInstances::AppInstances(QObject* parent, QString key) : QObject(parent) {
  const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  const QString base = RuntimeDir() + QStringLiteral("/lintrove-") + QString::fromLatin1(hash);
  serverName_ = base + QStringLiteral(".sock");
  lockPath_ = base + QStringLiteral(".lock");
}

AppInstances::~AppInstances() {
  if (server_) server_->close();
}

bool AppInstances::Register(const QStringList& arguments) {
  QLockFile lock(lockPath_);
  lock.setStaleLockTime(0);
  lock.lock();
  if (NotifyRunningCopy(arguments)) return false;
  // Nobody answered: a socket file left by a crashed copy is ours to replace.
  QLocalServer::removeServer(serverName_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &AppInstances::AcceptConnections);
  server_->listen(serverName_);
  return true;
}

bool AppInstances::NotifyRunningCopy(const QStringList& arguments) {
  QLocalSocket socket;
  socket.connectToServer(serverName_);
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
