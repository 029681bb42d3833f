#pragma once
// MailIntake: update mails found in the Inbox by the intake tick, or announced
// by a store event, have their package files saved into InboxDir and are
// deleted; a package whose volumes are all there is unpacked and imported.
// The mailbox is the queue: a mail that is not finished is found again later.
//
// Everything a mail brings is hostile until checked: attachment names, the
// folder key taken from them, the names in the list file and the archive's
// entries must all be plain names that stay inside InboxDir.
//
// One package at a time: a mail handed over while an import runs is
// remembered and taken right after that import.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

#include "outlook/messaging.h"

class EchoGuard;
class Importer;
struct SyncState;

class MailIntake {
 public:
  MailIntake(SyncState& state, Importer& importer, EchoGuard& guard)
      : state_(state), importer_(importer), guard_(guard) {}

  // zTimerSup's tick: every update mail in the default Inbox, until the
  // first failure. While an import runs it does nothing. Never throws.
  void zTimerSupTimer();
  // Takes one update mail. The program's own outgoing mails and mails in
  // Deleted Items are left alone. Throws only when the guards, or reading
  // the identifiers of a mail to remember, fail.
  void ProcessUpdateMail(const outlook::RdoMail& message);

 private:
  // A package's files as this mail saves them.
  struct SavedFiles {
    QString key;        // the folder key, from the first named attachment
    QStringList names;  // what was saved into InboxDir
    bool any = false;   // the mail had a named attachment at all
  };
  // Saves the list file and the volumes of the mail's package; refuses the
  // whole mail when a name is not a plain file name (after deleting it).
  SavedFiles SaveAttachments(const outlook::RdoMail& message);
  // The volumes the list file names, or nothing while one is missing.
  // Throws for a list file that is missing, unreadable or refused.
  std::optional<QStringList> CompletePackage(const SavedFiles& saved);
  // Unpacks the complete package of key and imports it.
  void UnpackAndImport(const QString& key, const QStringList& packageFiles);
  // The mails handed over during an import, taken one by one by the
  // outermost call (a nested one returns at once).
  void ProcessDeferredMails();

  SyncState& state_;
  Importer& importer_;
  EchoGuard& guard_;
  // Entry and store identifiers of mails that arrived during an import.
  std::vector<std::pair<QString, QString>> deferredMails_;
  bool takingDeferred_ = false;
};
