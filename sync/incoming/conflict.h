#pragma once
// Conflicts: an incoming version of an item that the local user changed too,
// before the change could have reached the sender (doc/conflicts.md).
//
// Every side decides from what every side has — the versions' own stamps
// (iCalendar SEQUENCE, then LAST-MODIFIED or else DTSTAMP) and their authors'
// addresses — so all of them keep the same winner. The side whose own
// version lost keeps it as a copy marked "(conflict)", which travels like any
// new item; the winner's side does nothing, so there is one copy per loser
// and nothing is echoed.
//
// The pure rule (Stamps, Version, Compare, Decide) is separate from
// ConflictResolver, which reads the item's state and the records beside the
// mapping rows in "user.uxm":
//   CONFLICT\Synced\ + folder EntryID + "\" + item EntryID
//       = milliseconds since 1970 ";" 1 (exported here) or 0 (imported)
//         ";" the version's author address
//   CONFLICT\Gone\ + folder EntryID + "\" + item key = milliseconds since 1970
// REQUIRES: UI thread only.

#include <QByteArray>
#include <QString>

#include <optional>

#include "outlook/messaging.h"

class EchoGuard;
class FolderIdentity;
class SyncHost;
class XmlStorage;
struct SyncState;

namespace conflict {

// An item's own modification stamps. A missing SEQUENCE ranks below an
// explicit 0: khal writes 0 at the first edit of an event that had none.
struct Stamps {
  int sequence = -1;
  QString modified;  // LAST-MODIFIED, else DTSTAMP, as "yyyyMMddTHHmmss" in UTC; empty when absent
  friend bool operator==(const Stamps&, const Stamps&) = default;
};

struct Version {
  Stamps stamps;
  QString author;       // the address the version was sent under
  QByteArray calendar;  // the item's iCalendar text, empty for other items
};

// The iCalendar text carried by a message file (the "text/calendar" part);
// empty when there is none or the file is not in the mail form.
QByteArray CalendarText(const QByteArray& messageFile);
// The stamps of the first VEVENT, VTODO or VJOURNAL of an iCalendar text.
Stamps ReadStamps(const QByteArray& calendar);
Version ReadVersion(const QByteArray& messageFile, const QString& author);

// The total order every side applies: SEQUENCE, then the modification
// stamp, then the author's address (letter case ignored), then the text
// itself, so that two different versions are never equal. <0, 0, >0.
int Compare(const Version& a, const Version& b);

// What the local copy of the item carries when a version of it comes in.
struct Local {
  Version version;
  bool unsent = false;  // a change of the user's waits to be sent: the sender cannot have seen it
  bool own = false;     // the version is this side's own, sent within kRecentMs
  bool recent = false;  // changed (exported or imported) within kRecentMs
};

enum class Decision {
  kReplace,          // the incoming version is taken, as without a conflict
  kReplaceKeepCopy,  // taken; the local version lost and is kept as a copy
  kKeep,             // the local version wins; the incoming one is not applied
  kKeepCopyIncoming, // the local version wins; the incoming one is kept as a copy
};

// How long after a change a version of another side may still have been
// made without it: the packing delay, the mail and the intake, with a wide
// margin for slow mail.
constexpr qint64 kRecentMs = 10 * 60 * 1000;

Decision Decide(const Local& local, const Version& incoming);

}  // namespace conflict

// Applies the rule to the store during an import, and keeps the records it
// needs. Everything it holds is borrowed from the controller.
class ConflictResolver {
 public:
  ConflictResolver(SyncState& state, FolderIdentity& identity, SyncHost& host)
      : state_(state), identity_(identity), host_(host) {}

  // Before the import replaces item (in folder f under folder key k) with
  // the message file at path from sender: false when the local version wins.
  // When the local version loses, its copy "(conflict)" is added to the
  // folder first, and the user's unsent file of the item is withdrawn.
  bool ReplaceAllowed(const QString& path, const outlook::RdoMail& item, const QString& itemKey, const QString& k,
                      const QString& sender);
  // Before the import deletes item: false while the user's change of it
  // waits to be sent (the modification wins; it goes out as it is).
  bool DeletionAllowed(const outlook::RdoMail& item, const QString& itemKey, const QString& k);
  // Whether an item key without a local copy names an item the user deleted
  // here: its version from elsewhere was made without that deletion, is
  // added again and must be sent again.
  bool DeletedHere(const QString& f, const QString& itemKey) const;

  // The records: what the export wrote (own) or the import wrote, and a
  // deletion sent from here.
  static void NoteExported(XmlStorage& userData, const QString& f, const QString& e, const QString& author);
  static void NoteImported(XmlStorage& userData, const QString& f, const QString& e, const QString& author);
  static void NoteDeleted(XmlStorage& userData, const QString& f, const QString& e, const QString& itemKey);

 private:
  // A new item in folder from the message file at path, its subject (or
  // the file's) marked "(conflict)".
  static void AddCopy(const outlook::RdoFolder& folder, const QString& messageClass, const QString& path,
                      QString subject);
  // The local copy's version when an incoming one of sender may conflict
  // with it (written to scratch to be read); nothing when the incoming
  // version simply replaces it: no change of the user's waits, and nothing
  // changed it recently but sender's own versions, which follow each other.
  std::optional<conflict::Local> LocalOf(const outlook::RdoMail& item, const QString& itemKey, const QString& k,
                                         const QString& sender, const QString& scratch);
  QString PendingFile(const QString& k, const QString& itemKey) const;

  SyncState& state_;
  FolderIdentity& identity_;
  SyncHost& host_;
};
