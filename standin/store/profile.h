#pragma once
// The profile: which stores a session opens and who the user is. It lives in
// a directory of its own (several users can run side by side on one machine,
// each with a profile directory):
//
//   $VASNIK_PROFILE, or else <generic data location>/vasnik/profile
//   (~/.local/share/vasnik/profile; XDG_DATA_HOME moves it)
//
// and is described by profile.ini in it (keys in doc/vasnik_store.md,
// "Profile"). The first log-on on a fresh machine creates the directory and
// a default profile.ini: one personal-folders store (kind 2, a POP3 account)
// owned by "<login name>@localhost".

#include <QString>

#include <optional>
#include <vector>

namespace vasnik {

struct StoreSettings {
  QString section;  // "Store1", "Store2", ...: the order of the store collection
  QString name;
  int kind = 2;
  std::optional<int> accountType;  // nullopt: the store has no account
  QString accountAddress;          // "StoreAccount" "SMTPAddress"
  QString ownerAddress;            // "Owner" "SMTPAddress"
  QString directory;               // absolute
};

struct ProfileSettings {
  QString directory;  // absolute
  QString userAddress;
  QString userName;
  bool offline = false;
  QString outlookVersion;
  std::vector<StoreSettings> stores;
  int defaultStore = 0;  // index into stores
};

// The profile directory the environment selects (see above).
QString DefaultProfileDirectory();
// "<login name>@localhost".
QString DefaultUserAddress();

// Reads <directory>/profile.ini. A missing directory or profile.ini is
// created with the default profile first. Throws StoreError with the file
// and the fault when the file cannot be read, is not a valid INI file, lists
// no store, or holds a value out of range.
ProfileSettings LoadProfile(const QString& directory);

}  // namespace vasnik
