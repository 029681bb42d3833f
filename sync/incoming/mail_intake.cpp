#include "sync/incoming/mail_intake.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "outlook/redemption_ids.h"
#include "platform/system.h"
#include "storage/md5.h"
#include "storage/string_list.h"
#include "sync/incoming/importer.h"
#include "sync/incoming/list_file.h"
#include "sync/incoming/package_origin.h"
#include "sync/incoming/split_zip_reader.h"
#include "sync/stop_point.h"
#include "sync/sync_host.h"
#include "sync/update_mail.h"

namespace {

// Refusals are raised where they are found: the exception hook writes them
// to the log with their text.
[[noreturn]] void Refuse(const QString& what) { throw std::runtime_error(what.toStdString()); }

// The file name of an attachment becomes a path below InboxDir. Ours are a
// folder key and an extension, far below the length limit.
bool IsPlainFileName(const QString& name) {
  return IsPlainKey(name) && !name.startsWith(u'.') && name.size() <= 128;
}

// The folder key of a package: the first attachment's name without its
// extension ("K.txt" -> "K").
QString PackageKey(const QString& firstAttachment) {
  const qsizetype dot = firstAttachment.lastIndexOf(u'.');
  return dot < 0 ? firstAttachment : firstAttachment.left(dot);
}

}  // namespace

void MailIntake::zTimerSupTimer() {
  // An import in progress yields to the message loop; the mails stay in the
  // Inbox for the tick after it.
  if (importer_.Importing() || held_) return;
  try {
    const outlook::RdoItems mails = state_.session.GetDefaultFolder(outlook::ids::olFolderInbox)
                                        .Items()
                                        .Restrict(QStringLiteral("Subject = '") + update_mail::kSubject + u'\'');
    const int n = mails.Count();
    for (int i = 1; i <= n; ++i) ProcessUpdateMail(mails.Item(i));
  } catch (...) {
    // Logged by the exception hook; the mails not reached are found again
    // on the next tick.
  }
}

void MailIntake::ProcessUpdateMail(const outlook::RdoMail& message) {
  if (held_) return;
  if (message.NamedProperty(update_mail::kMarkerProperty) == update_mail::kOutgoing) return;  // our own mail
  const QString parent = message.Parent().EntryID();
  if (parent == message.Store().GetDefaultFolder(outlook::ids::olFolderDeletedItems).EntryID()) return;
  // One package at a time: a second one unpacked while the first is being
  // imported could land in the directory being imported. The mail is taken
  // when the import is over; a mail outside the Inbox is announced only
  // once, so it is remembered rather than left for the tick.
  if (importer_.Importing()) {
    deferredMails_.push_back({message.EntryID(), message.Store().EntryID()});
    return;
  }

  try {
    const SavedFiles saved = SaveAttachments(message, OriginOfMail(message));
    StopPoint("intake-deleted");
    if (!saved.any) return;
    const std::optional<QStringList> package = CompletePackage(saved);
    if (!package) return;  // the files wait in InboxDir for the mail that completes the package
    UnpackAndImport(saved.key, *package, message.SenderEmailAddress());
  } catch (...) {
    // Logged by the exception hook. A mail that was not deleted is found
    // again by the tick when it lies in the Inbox.
  }
  ProcessDeferredMails();
}

MailIntake::SavedFiles MailIntake::SaveAttachments(const outlook::RdoMail& message, const MailOrigin& origin) {
  const outlook::RdoAttachments attachments = message.Attachments();
  const int count = attachments.Count();
  // Parts without a file name (a relay's addition) are not ours and are not
  // saved.
  QList<std::pair<int, QString>> named;
  for (int i = 1; i <= count; ++i) {
    const QString name = attachments.Item(i).FileName();
    if (!name.isEmpty()) named.append({i, name});
  }

  // The first attachment is the list file and names the package. When its
  // name is not a plain file name the mail is not ours: nothing of it is
  // saved, and it is deleted like a finished one so that it does not come
  // back on every tick.
  SavedFiles saved;
  saved.any = !named.isEmpty();
  const QString listName = named.isEmpty() ? QString() : named.first().second;
  const QString refused = !listName.isEmpty() && !IsPlainFileName(listName) ? listName : QString();
  saved.key = PackageKey(listName);

  // Only the list file and the volumes of its package are saved, and only
  // their names become paths: anything else a mail carries (a relay's
  // addition, say) is passed by and would lie in InboxDir for ever.
  if (refused.isEmpty()) {
    // A complete package of the key that waits (its run stopped before the
    // unpack) is taken before this mail's files can replace any of it.
    if (!saved.key.isEmpty() && IsPlainFileName(saved.key + QStringLiteral(".txt"))) TakeWaitingPackage(saved.key);
    QStringList ours;
    for (const auto& [index, name] : named)
      if ((name == saved.key + QStringLiteral(".txt") || incoming::IsPackageVolumeName(name, saved.key)) &&
          IsPlainFileName(name))
        ours << name;
    // Who sent them is recorded before the files are there: a stop in
    // between leaves a record of files still to come, never a file no
    // record speaks for.
    if (!ours.isEmpty()) package_origin::RecordFiles(state_.inboxDir, saved.key, ours, origin);
    for (const auto& [index, name] : named) {
      if (ours.contains(name)) {
        if (name != saved.key + QStringLiteral(".txt") && QFile::exists(state_.inboxDir + name))
          host_.Log(QStringLiteral("The volume \"%1\" of a newer update mail replaces the one that waited for the "
                                   "rest of its package")
                        .arg(name));
        attachments.Item(index).SaveAsFile(state_.inboxDir + name);
        saved.names.append(name);
      } else {
        host_.Log(QStringLiteral("Skipping the attachment \"%1\" of an update mail of the package \"%2\": it is "
                                 "not part of the package")
                      .arg(name, saved.key));
      }
    }
  }
  message.SetNamedProperty(update_mail::kMarkerProperty, update_mail::kOutgoing);
  message.Delete(outlook::ids::dfSoftDelete);

  if (!refused.isEmpty())
    Refuse(QStringLiteral("Refusing the update mail with the attachment \"%1\": not a plain file name").arg(refused));
  return saved;
}

std::optional<QStringList> MailIntake::CompletePackage(const SavedFiles& saved) {
  const QString base = state_.inboxDir + saved.key;
  QStringList listed;
  try {
    listed = incoming::ReadListFile(base + QStringLiteral(".txt"), saved.key);
  } catch (const incoming::ListFileReadError&) {
    throw;  // missing or unreadable: the saved files wait for the next mail
  } catch (const incoming::ListFileError&) {
    // A list that names anything but this package's volumes never completes
    // it: it goes with what this mail brought, so that nothing of it mixes
    // with the next package of this key.
    platform::SilentDelete(base + QStringLiteral(".txt"));
    for (const QString& name : saved.names) platform::SilentDelete(state_.inboxDir + name);
    package_origin::ForgetFiles(state_.inboxDir, saved.key,
                                saved.names + QStringList{saved.key + QStringLiteral(".txt")});
    throw;
  }
  StringList& zipFileList = state_.zipFileList;
  zipFileList.Clear();
  for (const QString& name : listed) zipFileList.Add(name);
  QStringList files{base + QStringLiteral(".txt")};
  for (int i = 0; i < zipFileList.Count(); ++i) {
    const QString path = state_.inboxDir + zipFileList[i];
    if (!QFile::exists(path)) return std::nullopt;
    files.append(path);
  }
  return files;
}

void MailIntake::UnpackAndImport(const QString& key, const QStringList& packageFiles, const QString& sender) {
  const QString base = state_.inboxDir + key;
  // When unpacking fails the files stay: a volume left from a lost mail of
  // an earlier package of this key is overwritten by the mail of the new
  // package that brings it, and that mail completes the package again.
  // A directory of this key can only be left by an import the program never
  // finished (it stopped in the middle). Packages of one key come from every
  // peer of the folder, each with rights of its own, so the rest of it is
  // imported under its own description first, never merged into the new
  // package.
  const QFileInfo leftover(base);
  if (leftover.isDir() && !leftover.isSymLink()) importer_.ImportPackage(base);

  // The package is as trustworthy as the mails that brought its files; the
  // directory is imported under that origin, after a stop too.
  QStringList names;
  for (const QString& path : packageFiles) names << QFileInfo(path).fileName();
  package_origin::RecordUnpacked(base, package_origin::OfFiles(state_.inboxDir, key, names));
  try {
    incoming::ExtractSplitZip(base + QStringLiteral(".zip"), state_.inboxDir, key);
  } catch (const std::exception& e) {
    package_origin::ForgetUnpacked(base);
    host_.Log(QStringLiteral("The package \"%1\" from \"%2\" could not be unpacked (%3); its files wait in the "
                             "Inbox directory for a mail that replaces them")
                  .arg(key, sender, QString::fromStdString(e.what())));
    FailedSet& failed = failedSets_[key];
    failed.sender = sender;
    failed.files.clear();
    for (const QString& path : packageFiles) failed.files.push_back({path, platform::FileVersion(path)});
    throw;
  }
  for (const QString& path : packageFiles) platform::SilentDelete(path);
  package_origin::ForgetFiles(state_.inboxDir, key, names);
  importer_.ImportPackage(base);
  RemoveFailedSet(key);
}

void MailIntake::RemoveFailedSet(const QString& key) {
  const auto it = failedSets_.find(key);
  if (it == failedSets_.end()) return;
  for (const auto& [path, version] : it->second.files) {
    if (version.isEmpty() || platform::FileVersion(path) != version) continue;  // gone, or brought anew
    host_.Log(QStringLiteral("Removing \"%1\" of the package \"%2\" from \"%3\": it never unpacked, and a newer "
                             "package of the folder has been imported")
                  .arg(QFileInfo(path).fileName(), key, it->second.sender));
    platform::SilentDelete(path);
    package_origin::ForgetFiles(state_.inboxDir, key, {QFileInfo(path).fileName()});
  }
  failedSets_.erase(it);
}

bool MailIntake::TakeWaitingPackage(const QString& key) {
  const QString list = state_.inboxDir + key + QStringLiteral(".txt");
  if (!QFileInfo(list).isFile()) return false;
  // A set that failed to unpack, unchanged since, would only fail again.
  if (const auto failed = failedSets_.find(key); failed != failedSets_.end()) {
    bool unchanged = true;
    for (const auto& [path, version] : failed->second.files)
      unchanged = unchanged && platform::FileVersion(path) == version;
    if (unchanged) return false;
  }
  QStringList files{list};
  try {
    for (const QString& name : incoming::ReadListFile(list, key)) {
      if (!QFile::exists(state_.inboxDir + name)) return false;  // still waiting for a mail
      files.append(state_.inboxDir + name);
    }
  } catch (const std::exception&) {
    return false;  // logged by the hook; the next mail of the key brings a new list
  }
  host_.Log(QStringLiteral("Importing the complete package \"%1\" that waited in the Inbox directory").arg(key));
  try {
    UnpackAndImport(key, files, QString());
  } catch (...) {
    // Logged; its files wait as those of any set that failed to unpack.
  }
  return true;
}

void MailIntake::FinishLeftovers() {
  if (held_) return;
  const QDir inbox(state_.inboxDir);
  for (const QFileInfo& dir : inbox.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name)) {
    if (dir.isSymLink() || !IsPlainKey(dir.fileName())) continue;
    host_.Log(QStringLiteral("Importing the package \"%1\" that an earlier run left unfinished").arg(dir.fileName()));
    importer_.ImportPackage(dir.absoluteFilePath());
  }
  for (const QString& list : inbox.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name)) {
    const QString key = list.left(list.size() - 4);
    if (IsPlainFileName(list)) TakeWaitingPackage(key);
  }
  const QDateTime staleBefore = QDateTime::currentDateTime().addDays(-kStaleDays);
  for (const QFileInfo& file : inbox.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
    if (file.lastModified() >= staleBefore) continue;
    host_.Log(QStringLiteral("Removing \"%1\": it waited more than %2 days for the rest of its package")
                  .arg(file.fileName())
                  .arg(kStaleDays));
    platform::SilentDelete(file.absoluteFilePath());
  }
}

void MailIntake::ProcessDeferredMails() {
  // Each mail taken here ends in this call again: only the outermost one
  // walks the list, so a long backlog does not deepen the stack.
  if (takingDeferred_) return;
  takingDeferred_ = true;
  while (!importer_.Importing() && !deferredMails_.empty()) {
    const auto [entryId, storeId] = deferredMails_.front();
    deferredMails_.erase(deferredMails_.begin());
    try {
      ProcessUpdateMail(state_.session.GetMessageFromID(entryId, storeId));
    } catch (...) {
      // Gone meanwhile (deleted or moved by the user): logged by the hook,
      // nothing to do.
    }
  }
  takingDeferred_ = false;
}
