#pragma once
// AppInstances: at most one running copy per executable file and user session,
// and at most one per data directory.
//
// The first copy listens on a local socket whose name is derived from the
// executable's full path (letter case ignored), the user and the desktop
// session. A later copy connects, hands over its command line and learns that
// it is not the first; the first copy then emits InstanceCreated. A lock file
// serialises two copies that start at the same moment, and a socket left
// behind by a crashed copy is taken over.
//
// Copies of different sessions (or one started without a session, by the
// service manager) get different sockets, yet must not both write one data
// directory. So the first copy also holds an exclusive lock on
// "<data directory>/instance.lock" for its whole life (flock: the kernel drops
// it when the process ends, however it ends, so a killed copy never blocks
// the next start) and writes its socket's name into that file. A copy that
// finds the data directory locked is a second copy as well: it hands its
// command line to the holder's socket, when it can reach it, and must end.
//
// REQUIRES: a QCoreApplication exists; used from the main thread only.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

class AppInstances : public QObject {
  Q_OBJECT
 public:
  // `key` identifies the group of copies; by default DefaultKey(). `dataDir`
  // is the data directory this copy will use (DefaultDataDir()); empty: no
  // lock on a data directory.
  explicit AppInstances(QObject* parent = nullptr, QString key = DefaultKey(), QString dataDir = DefaultDataDir());
  ~AppInstances() override;

  // Registers this copy. Returns true when it is the first of its session and
  // of its data directory (the data directory is then locked until this
  // object is destroyed); otherwise the running copy has been told (with
  // `arguments`) where it could be reached, and this copy must end.
  bool Register(const QStringList& arguments);

  static QString DefaultKey();
  // The program's data directory: platform::AppDataDir() + "/Varnel/" + the
  // program's name.
  static QString DefaultDataDir();
  QString ServerName() const { return serverName_; }

 signals:
  // Another copy started; `processId` is its process id, `arguments` its
  // command line (which the program ignores).
  void InstanceCreated(qint64 processId, const QStringList& arguments);

 private:
  static bool NotifyRunningCopy(const QString& serverName, const QStringList& arguments);
  void AcceptConnections();
  // Takes the data directory's lock. Returns false when another copy holds
  // it; *holder is then the server name that copy wrote into the lock file.
  bool LockDataDir(QString* holder);
  void PublishServerName();

  QString serverName_;
  QString lockPath_;
  QString dataDir_;
  int dataLockFd_ = -1;  // open while this copy holds the data directory
  QLocalServer* server_ = nullptr;
};
