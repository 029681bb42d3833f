// The update-mail intake: update mails found in the Inbox, or announced by a
// store event, have their attachments saved into InboxDir and are deleted;
// a package whose volumes are all there is unpacked and imported. The
// mailbox is the queue: a mail that is not finished is found again later.
//
// Everything a mail brings is hostile until checked: attachment names, the
// folder key taken from them, the names in the list file and the archive's
// entries must all be plain names that stay inside InboxDir.
#include <QDir>
#include <QFile>
#include <QTimer>

#include "app/main_form.h"
#include "outlook/redemption_ids.h"
#include "platform/system.h"
#include "storage/md5.h"
#include "sync/incoming/list_file.h"
#include "sync/incoming/split_zip_reader.h"

namespace {

const QString kUpdateSubject = QStringLiteral("Pendrix Update Email");
const QString kMarkerProperty = QStringLiteral("Varnel");
const QString kOutgoing = QStringLiteral("Outgoing");

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

void TMainForm::zTimerSupTimer() {
  // An import in progress yields to the message loop; the mails stay in the
  // Inbox for the tick after it.
  if (importing_) return;
  try {
    const outlook::RdoItems mails = RSession.GetDefaultFolder(outlook::ids::olFolderInbox)
                                        .Items()
                                        .Restrict(QStringLiteral("Subject = '") + kUpdateSubject + u'\'');
    const int n = mails.Count();
    for (int i = 1; i <= n; ++i) ProcessUpdateMail(mails.Item(i));
  } catch (...) {
    // Logged by the exception hook; the mails not reached are found again
    // on the next tick.
  }
}

void TMainForm::ProcessUpdateMail(const outlook::RdoMail& message) {
  if (message.NamedProperty(kMarkerProperty) == kOutgoing) return;  // our own draft or sent copy
  const QString parent = message.Parent().EntryID();
  if (parent == message.Store().GetDefaultFolder(outlook::ids::olFolderDeletedItems).EntryID()) return;
  // One package at a time: a second one unpacked while the first is being
  // imported could land in the directory being imported. The mail is taken
  // when the import is over; a mail outside the Inbox is announced only
  // once, so it is remembered rather than left for the tick.
  if (importing_) {
    deferredMails_.push_back({message.EntryID(), message.Store().EntryID()});
    return;
  }

  try {
    const outlook::RdoAttachments attachments = message.Attachments();
    const int count = attachments.Count();
    // Parts without a file name (a relay's addition) are not ours and are
    // not saved.
    QList<std::pair<int, QString>> named;
    for (int i = 1; i <= count; ++i) {
      const QString name = attachments.Item(i).FileName();
      if (!name.isEmpty()) named.append({i, name});
    }

    // A mail with a name that is not a plain file name is not ours: nothing
    // of it is saved, and it is deleted like a finished one so that it does
    // not come back on every tick.
    QString refused;
    for (const auto& [index, name] : named)
      if (!IsPlainFileName(name)) refused = name;

    // Only the list file and the volumes of its package are saved: anything
    // else a mail carries would lie in InboxDir for ever.
    const QString key = named.isEmpty() ? QString() : PackageKey(named.first().second);
    QStringList saved;
    if (refused.isEmpty()) {
      for (const auto& [index, name] : named)
        if (name == key + QStringLiteral(".txt") || incoming::IsPackageVolumeName(name, key)) {
          attachments.Item(index).SaveAsFile(InboxDir + name);
          saved.append(name);
        }
    }
    message.SetNamedProperty(kMarkerProperty, kOutgoing);
    message.Delete(outlook::ids::dfSoftDelete);

    if (!refused.isEmpty())
      Refuse(QStringLiteral("Refusing the update mail with the attachment \"%1\": not a plain file name").arg(refused));
    if (named.isEmpty()) return;

    const QString base = InboxDir + key;
    QStringList listed;
    try {
      listed = incoming::ReadListFile(base + QStringLiteral(".txt"), key);
    } catch (const incoming::ListFileReadError&) {
      throw;  // missing or unreadable: the saved files wait for the next mail
    } catch (const incoming::ListFileError&) {
      // A list that names anything but this package's volumes never
      // completes it: it goes with what this mail brought, so that nothing
      // of it mixes with the next package of this key.
      platform::SilentDelete(base + QStringLiteral(".txt"));
      for (const QString& name : saved) platform::SilentDelete(InboxDir + name);
      throw;
    }
    ZipFileList.Clear();
    for (const QString& name : listed) ZipFileList.Add(name);
    QStringList deletions{base + QStringLiteral(".txt")};
    bool complete = true;
    for (int i = 0; i < ZipFileList.Count(); ++i) {
      const QString path = InboxDir + ZipFileList[i];
      if (QFile::exists(path))
        deletions.append(path);
      else
        complete = false;
    }
    if (!complete) return;  // the files wait in InboxDir for the mail that completes the package

    // When unpacking fails the files stay: a volume left from a lost mail of
    // an earlier package of this key is overwritten by the mail of the new
    // package that brings it, and that mail completes the package again.
    // A tick of zTimer2 left from an earlier import must not empty the
    // guard list while this import's own store events are still to come.
    zTimer2->stop();
    // A directory of this key can only be left by an import the program
    // never finished (it stopped in the middle). Packages of one key come
    // from every peer of the folder, each with rights of its own, so the
    // rest of it is imported under its own description first, never merged
    // into the new package.
    const QFileInfo leftover(base);
    if (leftover.isDir() && !leftover.isSymLink()) ImportPackage(base);

    incoming::ExtractSplitZip(base + QStringLiteral(".zip"), InboxDir, key);
    for (const QString& path : deletions) platform::SilentDelete(path);
    ImportPackage(base);
    zTimer2->start();
  } catch (...) {
    // Logged by the exception hook. A mail that was not deleted is found
    // again by the tick when it lies in the Inbox.
  }
  ProcessDeferredMails();
}

void TMainForm::ProcessDeferredMails() {
  // Each mail taken here ends in this call again: only the outermost one
  // walks the list, so a long backlog does not deepen the stack.
  if (takingDeferred_) return;
  takingDeferred_ = true;
  while (!importing_ && !deferredMails_.empty()) {
    const auto [entryId, storeId] = deferredMails_.front();
    deferredMails_.erase(deferredMails_.begin());
    try {
      ProcessUpdateMail(RSession.GetMessageFromID(entryId, storeId));
    } catch (...) {
      // Gone meanwhile (deleted or moved by the user): logged by the hook,
      // nothing to do.
    }
  }
  takingDeferred_ = false;
}
