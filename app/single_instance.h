#pragma once
// AppInstances: at most one running copy per executable file and user session.
//
// The first copy listens on a local socket whose name is derived from the
// executable's full path (letter case ignored), the user and the desktop
// session. A later copy connects, hands over its command line and learns that
// it is not the first; the first copy then emits InstanceCreated. A lock file
// serialises two copies that start at the same moment, and a socket left
// behind by a crashed copy is taken over.
//
// REQUIRES: a QCoreApplication exists; used from the main thread only.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

class AppInstances : public QObject {
  Q_OBJECT
 public:
  // `key` identifies the group of copies; by default DefaultKey().
  explicit AppInstances(QObject* parent = nullptr, QString key = DefaultKey());
  ~AppInstances() override;

  // Registers this copy. Returns true when it is the first; otherwise the
  // running copy has been told (with `arguments`) and this copy must end.
  bool Register(const QStringList& arguments);

  static QString DefaultKey();
  QString ServerName() const { return serverName_; }

 signals:
  // Another copy started; `processId` is its process id, `arguments` its
  // command line (which the program ignores).
  void InstanceCreated(qint64 processId, const QStringList& arguments);

 private:
  bool NotifyRunningCopy(const QStringList& arguments);
  void AcceptConnections();

  QString serverName_;
  QString lockPath_;
  QLocalServer* server_ = nullptr;
};
