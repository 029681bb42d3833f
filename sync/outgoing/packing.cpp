// The packing pass: every shared folder whose exchange directory holds files
// is packed into a split archive, and each segment is mailed with the list
// of all segments to every reader of the folder.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include "app/main_form.h"
#include "app/product.h"
#include "outlook/redemption_ids.h"
#include "platform/ansi.h"
#include "platform/system.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "sync/outgoing/split_zip_writer.h"

namespace {

const QString kUpdateSubject = QStringLiteral("Pendrix Update Email");

QString UpdateMailBody() {
  return QStringLiteral("This is an automatically generated message by Pendrix software (") + product::kWebUrl +
         QStringLiteral("). It carries Outlook data from other computer. To read it install Pendrix on your "
                        "computer. \r\nOnce it is read, it should be deleted automatically. If it does not get "
                        "deleted, make sure that it arrives to your default inbox.");
}

// What a file looked like when it was packed; a file that differs later was
// written after the pass took it and must survive the pass.
struct PackedFile {
  QString path;
  qint64 size;
  QDateTime modified;
};

std::vector<PackedFile> Snapshot(const QString& dir) {
  std::vector<PackedFile> files;
  for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
    files.push_back({info.absoluteFilePath(), info.size(), info.lastModified()});
  return files;
}

}  // namespace

int TMainForm::CountFiles(const QString& directory, const QString& mask) {
  // "*.*" is the match-everything mask of the system this program comes from.
  const QString filter = mask == QStringLiteral("*.*") ? QStringLiteral("*") : mask;
  return static_cast<int>(
      QDir(directory).entryList({filter}, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size());
}

void TMainForm::zZipRequestImage(int volume, const QString& volumeFileName) {
  const QString base = QFileInfo(volumeFileName).completeBaseName();
  const QString extension = volume <= 9 ? QStringLiteral(".z0%1").arg(volume) : QStringLiteral(".z%1").arg(volume);
  ZipFileList.Add(base + extension);
}

bool TMainForm::IsObjectActive(const QString& progId) { return outlook::IsObjectActive(progId); }

void TMainForm::ExecuteSendReceiveButton(const outlook::OutlookNameSpace& nameSpace) {
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

void TMainForm::zTimerTimer() {
  // One pass at a time: a tick during a pass (the pass lets the message loop
  // run) starts its pass once the running one has ended.
  if (packing_) {
    packAgain_ = true;
    return;
  }
  zTimer->stop();
  packing_ = true;
  const QStringList folders = MonitoredFolders.Items();  // may change while the pass yields
  for (const QString& folder : folders) {
    const QString key = FolderKey(folder);
    if (!IsPlainKey(key)) continue;
    const QString dir = OutboxDir + key + u'/';
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
    QTimer::singleShot(0, this, [this] { Trap([this] { zTimerTimer(); }); });
  }
}

void TMainForm::PackFolder(const QString& folder, const QString& key) {
  const QString dir = OutboxDir + key + u'/';
  const QString listFile = OutboxDir + key + QStringLiteral(".txt");
  QStringList deletions;
  ZipFileList.Clear();

  // Package files left behind by a failed pass go; the archive is written anew.
  QFile::remove(listFile);
  const std::vector<PackedFile> packed = Snapshot(dir);
  const QStringList segments = outgoing::WriteSplitZip(
      dir, key, OutboxDir + key, {}, [this](int n, const QString& path) { zZipRequestImage(n, path); });
  ZipFileList.Add(key + QStringLiteral(".zip"));
  if (segments.size() != ZipFileList.Count())
    throw std::runtime_error("The archive writer reported other segments than it wrote");

  QFile list(listFile);
  if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw std::runtime_error(("Cannot write " + listFile).toStdString());
  for (const QString& name : ZipFileList.Items()) list.write(platform::ToAnsi(name + QStringLiteral("\r\n")));
  list.close();
  deletions << listFile;

  const QStringList segmentNames = ZipFileList.Items();  // the pass's own copy
  for (const QString& segment : segmentNames) {
    QCoreApplication::processEvents();
    const outlook::RdoMail mail = RSession.GetDefaultFolder(outlook::ids::olFolderDrafts).Items().Add(QStringLiteral("IPM.Note"));
    mail.SetUnRead(true);
    const QStringList recipients = ReadRecipients(aFormStorage, folder);
    for (const QString& address : recipients) mail.Recipients().Add(address);
    if (mail.Recipients().Count() > 0) {
      mail.Recipients().ResolveAll();
      mail.SetSubject(kUpdateSubject);
      mail.SetBody(UpdateMailBody());
      mail.Attachments().Add(listFile, outlook::ids::olByValue, 1, key + QStringLiteral(".txt"));
      mail.Attachments().Add(OutboxDir + segment, outlook::ids::olByValue, 2, segment);
      mail.SetNamedProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
      mail.Send();
    }
    // Without a recipient the new message is left unsaved: nothing remains.
    deletions << OutboxDir + segment;
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
    const QFileInfo now(file.path);
    if (now.exists() && now.size() == file.size && now.lastModified() == file.modified) QFile::remove(file.path);
  }
  QDir().rmdir(dir);  // only when nothing new is left in it
  for (const QString& path : deletions) platform::SilentDelete(path);
}
