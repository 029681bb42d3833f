#pragma once
// MailIntake: update mails found in the Inbox by the intake tick, or announced
// by a store event, have their package files saved into InboxDir and are
// deleted; a package whose volumes are all there is unpacked and imported.
// The mailbox is the queue: a mail that is not finished is found again later.
//
// Everything a mail brings is hostile until checked: attachment names, the
// folder key taken from them, the names in the list file and the archive's
// entries must all be plain names that stay inside InboxDir. Who sent each
// mail (From, envelope sender, Date) is recorded beside the files it saved,
// so that the import can refuse a package its declared sender did not send
// (package_origin.h).
//
// One package at a time: a mail handed over while an import runs is
// remembered and taken right after that import.
//
// Everything it holds is borrowed from the controller.
// REQUIRES: UI thread only.

#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "outlook/messaging.h"

class Importer;
struct MailOrigin;
class SyncHost;
struct SyncState;

class MailIntake {
 public:
  MailIntake(SyncState& state, Importer& importer, SyncHost& host)
      : state_(state), importer_(importer), host_(host) {}

  // zTimerSup's tick: every update mail in the default Inbox, until the
  // first failure. While an import runs it does nothing. Never throws.
  void zTimerSupTimer();
  // Takes one update mail. The program's own outgoing mails and mails in
  // Deleted Items are left alone. Throws only when the guards, or reading
  // the identifiers of a mail to remember, fail.
  void ProcessUpdateMail(const outlook::RdoMail& message);
  // At start-up, once the session is open: what an earlier run left in
  // InboxDir is finished. Package directories of an import that stopped are
  // imported, each under its own description, and package files that have
  // waited longer than kStaleDays for the rest of their package go.
  void FinishLeftovers();
  // While held, no update mail is taken: they wait in the mailbox.
  void SetHeld(bool held) { held_ = held; }

  static constexpr int kStaleDays = 14;

 private:
  // A package's files as this mail saves them.
  struct SavedFiles {
    QString key;        // the folder key, from the first named attachment
    QStringList names;  // what was saved into InboxDir
    bool any = false;   // the mail had a named attachment at all
  };
  // Saves the list file and the volumes of the mail's package, skipping
  // (and logging) any other attachment; refuses the whole mail, after
  // deleting it, when the list file's name is not a plain file name.
  // The mail's origin is recorded for the files it saves.
  SavedFiles SaveAttachments(const outlook::RdoMail& message, const MailOrigin& origin);
  // The volumes the list file names, or nothing while one is missing.
  // Throws for a list file that is missing, unreadable or refused.
  std::optional<QStringList> CompletePackage(const SavedFiles& saved);
  // Unpacks the complete package of key and imports it; sender names the
  // mail's sender in the log when unpacking fails.
  void UnpackAndImport(const QString& key, const QStringList& packageFiles, const QString& sender);
  // Unpacks and imports the package of key that waits in InboxDir when all
  // its volumes are there; returns whether it did.
  bool TakeWaitingPackage(const QString& key);
  // Once a newer package of key has been imported, the files of a set of
  // that key that failed to unpack go, unless a mail has replaced them since.
  void RemoveFailedSet(const QString& key);
  // The mails handed over during an import, taken one by one by the
  // outermost call (a nested one returns at once).
  void ProcessDeferredMails();

  SyncState& state_;
  Importer& importer_;
  SyncHost& host_;
  // Sets that failed to unpack, by folder key: who sent them and what their
  // files were (path and version).
  struct FailedSet {
    QString sender;
    std::vector<std::pair<QString, QByteArray>> files;
  };
  std::map<QString, FailedSet> failedSets_;
  // Entry and store identifiers of mails that arrived during an import.
  std::vector<std::pair<QString, QString>> deferredMails_;
  bool takingDeferred_ = false;
  bool held_ = false;
};
