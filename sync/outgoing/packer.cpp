#include "sync/outgoing/packer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include "outlook/redemption_ids.h"
#include "platform/ansi.h"
#include "platform/system.h"
#include "storage/folder_identity.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "storage/string_list.h"
#include "sync/outgoing/split_zip_writer.h"
#include "sync/stop_point.h"
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

// The record of a pass beside the exchange directory: which files it packed,
// as they were. ".packing" while it creates its mails, ".sent" once every
// mail is handed to the library. A run that stops in between leaves the
// record for the next start (Packer::FinishLeftovers).
const QString kPackingSuffix = QStringLiteral(".packing");
const QString kSentSuffix = QStringLiteral(".sent");

void WriteRecord(const QString& path, const std::vector<PackedFile>& files) {
  QSaveFile record(path);
  if (!record.open(QIODevice::WriteOnly))
    throw std::runtime_error(("Cannot write " + path).toStdString());
  for (const PackedFile& file : files)
    record.write(QFileInfo(file.path).fileName().toUtf8() + '\t' + file.version.toHex() + '\n');
  if (!record.commit()) throw std::runtime_error(("Cannot write " + path).toStdString());
}

std::vector<PackedFile> ReadRecord(const QString& path, const QString& dir) {
  std::vector<PackedFile> files;
  QFile record(path);
  if (!record.open(QIODevice::ReadOnly)) return files;
  for (const QByteArray& line : record.readAll().split('\n')) {
    const qsizetype tab = line.indexOf('\t');
    if (tab <= 0) continue;
    const QString name = QString::fromUtf8(line.left(tab));
    if (!IsPlainKey(name)) continue;  // only names of this directory
    files.push_back({dir + name, QByteArray::fromHex(line.mid(tab + 1))});
  }
  return files;
}

// Removes the files that are still exactly as they were packed.
void RemovePacked(const std::vector<PackedFile>& packed) {
  for (const PackedFile& file : packed) {
    const QByteArray now = platform::FileVersion(file.path);
    if (!now.isEmpty() && now == file.version) QFile::remove(file.path);
  }
}

// The list file and the volumes of a folder key's package in the Outbox.
void RemovePackageFiles(const QString& outbox, const QString& key) {
  const QStringList names = QDir(outbox).entryList(QDir::Files | QDir::Hidden | QDir::System);
  for (const QString& name : names)
    if (name == key + QStringLiteral(".txt") || name == key + QStringLiteral(".zip") ||
        (name.startsWith(key + QStringLiteral(".z")) && name.size() > key.size() + 2))
      platform::SilentDelete(outbox + name);
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
  if (held_) return;
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

  // What goes out is on record before the first mail: a run that stops
  // after its mails were handed over never sends these files again.
  const QString record = outbox + key;
  WriteRecord(record + kPackingSuffix, packed);
  // The mapping rows of what goes out reach the disk before it leaves: a
  // stop now must not lose the rows a later deletion or edit is sent by.
  host_.SaveNow();

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
  QFile::remove(record + kSentSuffix);
  if (!QFile::rename(record + kPackingSuffix, record + kSentSuffix))
    throw std::runtime_error(("Cannot write " + record + kSentSuffix).toStdString());
  deletions << record + kSentSuffix;
  StopPoint("packed-sent");

  SendAndReceive();

  // The exchange directory goes, except what was written into it after it
  // was packed: that goes out with the next pass, which the write armed.
  RemovePacked(packed);
  QDir().rmdir(dir);  // only when nothing new is left in it
  for (const QString& path : deletions) platform::SilentDelete(path);
}

void Packer::SendAndReceive() {
  if (!IsObjectActive(QStringLiteral("Outlook.Application"))) return;
  const outlook::OutlookApplication application = outlook::OutlookApplication::Connect();
  const outlook::OutlookNameSpace nameSpace = application.GetNameSpace(QStringLiteral("MAPI"));
  nameSpace.Logon(QString(), QString(), false, false);
  ExecuteSendReceiveButton(nameSpace);
  nameSpace.Logoff();
}

void Packer::FinishLeftovers() {
  if (held_) return;
  const QString& outbox = state_.outboxDir;
  const QDir dir(outbox);
  for (const QString& name : dir.entryList({QStringLiteral("*") + kSentSuffix, QStringLiteral("*") + kPackingSuffix},
                                           QDir::Files | QDir::Hidden)) {
    const bool sent = name.endsWith(kSentSuffix);
    const QString key = name.left(name.lastIndexOf(u'.'));
    if (!IsPlainKey(key)) continue;
    if (sent) {
      // Its mails were handed over: the files they carried are not sent again.
      host_.Log(QStringLiteral("The package \"%1\" was sent before the program stopped; its files are removed")
                    .arg(key));
      RemovePacked(ReadRecord(outbox + name, outbox + key + u'/'));
      QDir().rmdir(outbox + key);
      // The stop may have come before the mails were submitted.
      SendAndReceive();
    }
    // A pass that stopped while it created its mails is done again whole.
    RemovePackageFiles(outbox, key);
    platform::SilentDelete(outbox + name);
  }
  // What waits in an exchange directory goes out with the next pass.
  for (const QString& key : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (CountFiles(outbox + key, QStringLiteral("*.*")) > 0) {
      EnableTimer(sendTimer_);
      break;
    }
}
