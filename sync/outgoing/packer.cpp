#include "sync/outgoing/packer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include "outlook/redemption_ids.h"
#include "platform/ansi.h"
#include "platform/system.h"
#include "storage/folder_identity.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "storage/string_list.h"
#include "sync/outgoing/split_zip_writer.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

namespace {

// What a file looked like when it was packed; a file that differs later was
// written after the pass took it and must survive the pass. The export
// replaces files by renaming a new one over the old, so the file's identity
// tells a rewrite of the same size within the clock's resolution apart.
struct PackedFile {
  QString path;
  QByteArray version;
};

std::vector<PackedFile> Snapshot(const QString& dir) {
  std::vector<PackedFile> files;
  for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
    files.push_back({info.absoluteFilePath(), platform::FileVersion(info.absoluteFilePath())});
  return files;
}

}  // namespace

int Packer::CountFiles(const QString& directory, const QString& mask) {
  // "*.*" is the match-everything mask of the system this program comes from.
  const QString filter = mask == QStringLiteral("*.*") ? QStringLiteral("*") : mask;
  return static_cast<int>(
      QDir(directory).entryList({filter}, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size());
}

void Packer::zZipRequestImage(int volume, const QString& volumeFileName) {
  const QString base = QFileInfo(volumeFileName).completeBaseName();
  const QString extension = volume <= 9 ? QStringLiteral(".z0%1").arg(volume) : QStringLiteral(".z%1").arg(volume);
  state_.zipFileList.Add(base + extension);
}

bool Packer::IsObjectActive(const QString& progId) { return outlook::IsObjectActive(progId); }

void Packer::ExecuteSendReceiveButton(const outlook::OutlookNameSpace& nameSpace) {
  if (nameSpace.Offline()) return;
  const QString version = nameSpace.Application().Version().left(2);
  const int id = version == QStringLiteral("10") ? 5488 : version == QStringLiteral("11") ? 7095 : 0;
  if (id != 0) {
    try {
      const outlook::OutlookCommandBarControl control =
          nameSpace.Application().ActiveExplorer().CommandBars().FindControl(1, id);
      if (!control.IsNull()) control.Execute();
    } catch (const std::exception&) {
      // An old Outlook without the button: nothing to trigger.
    }
    return;
  }
  nameSpace.SendAndReceive(false);
}

void Packer::zTimerTimer() {
  // One pass at a time: a tick during a pass (the pass lets the message loop
  // run) starts its pass once the running one has ended.
  if (packing_) {
    packAgain_ = true;
    return;
  }
  sendTimer_->stop();
  packing_ = true;
  const QStringList folders = state_.monitoredFolders.Items();  // may change while the pass yields
  for (const QString& folder : folders) {
    const QString key = identity_.FolderKey(folder);
    if (!IsPlainKey(key)) continue;
    const QString dir = state_.outboxDir + key + u'/';
    if (CountFiles(dir, QStringLiteral("*.*")) == 0) continue;
    try {
      PackFolder(folder, key);
    } catch (const std::exception&) {
      // Logged by the hook; the folder's files stay for a later pass.
    }
  }
  packing_ = false;
  if (packAgain_) {
    packAgain_ = false;
    host_.RunLater([this] { zTimerTimer(); });
  }
}

void Packer::PackFolder(const QString& folder, const QString& key) {
  const QString& outbox = state_.outboxDir;
  StringList& zipFileList = state_.zipFileList;
  const QString dir = outbox + key + u'/';
  const QString listFile = outbox + key + QStringLiteral(".txt");
  QStringList deletions;
  zipFileList.Clear();

  // Package files left behind by a failed pass go; the archive is written anew.
  QFile::remove(listFile);
  const std::vector<PackedFile> packed = Snapshot(dir);
  const QStringList segments = outgoing::WriteSplitZip(
      dir, key, outbox + key, {}, [this](int n, const QString& path) { zZipRequestImage(n, path); });
  zipFileList.Add(key + QStringLiteral(".zip"));
  if (segments.size() != zipFileList.Count())
    throw std::runtime_error("The archive writer reported other segments than it wrote");

  QFile list(listFile);
  if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw std::runtime_error(("Cannot write " + listFile).toStdString());
  for (const QString& name : zipFileList.Items()) list.write(platform::ToAnsi(name + QStringLiteral("\r\n")));
  list.close();
  deletions << listFile;

  const QStringList segmentNames = zipFileList.Items();  // the pass's own copy
  for (const QString& segment : segmentNames) {
    QCoreApplication::processEvents();
    const outlook::RdoMail mail = state_.session.GetDefaultFolder(outlook::ids::olFolderDrafts).Items().Add(QStringLiteral("IPM.Note"));
    mail.SetUnRead(true);
    const QStringList recipients = ReadRecipients(state_.config, folder);
    for (const QString& address : recipients) mail.Recipients().Add(address);
    if (mail.Recipients().Count() > 0) {
      mail.Recipients().ResolveAll();
      mail.SetSubject(update_mail::kSubject);
      mail.SetBody(mailBody_);
      mail.Attachments().Add(listFile, outlook::ids::olByValue, 1, key + QStringLiteral(".txt"));
      mail.Attachments().Add(outbox + segment, outlook::ids::olByValue, 2, segment);
      mail.SetNamedProperty(update_mail::kMarkerProperty, update_mail::kOutgoing);
      mail.Send();
    }
    // Without a recipient the new message is left unsaved: nothing remains.
    deletions << outbox + segment;
  }

  if (IsObjectActive(QStringLiteral("Outlook.Application"))) {
    const outlook::OutlookApplication application = outlook::OutlookApplication::Connect();
    const outlook::OutlookNameSpace nameSpace = application.GetNameSpace(QStringLiteral("MAPI"));
    nameSpace.Logon(QString(), QString(), false, false);
    ExecuteSendReceiveButton(nameSpace);
    nameSpace.Logoff();
  }

  // The exchange directory goes, except what was written into it after it
  // was packed: that goes out with the next pass, which the write armed.
  for (const PackedFile& file : packed) {
    const QByteArray now = platform::FileVersion(file.path);
    if (!now.isEmpty() && now == file.version) QFile::remove(file.path);
  }
  QDir().rmdir(dir);  // only when nothing new is left in it
  for (const QString& path : deletions) platform::SilentDelete(path);
}
