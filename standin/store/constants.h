#pragma once
// The numbers the messaging interface speaks in: store kinds, account types,
// default folder kinds, folder item types and delete flags. They carry the
// values the program compares against, so they must not be renumbered.

namespace vasnik {

// "StoreKind" of a store.
enum StoreKind {
  kStorePstAnsi = 1,           // personal-folders file (ANSI)
  kStorePstUnicode = 2,        // personal-folders file (Unicode)
  kStorePrimaryExchange = 3,   // primary Exchange mailbox
  kStoreDelegateExchange = 4,  // delegate Exchange mailbox
  kStorePublicFolders = 5,     // public folders
};

// "AccountType" of a store's account.
enum AccountType {
  kAccountPop3 = 0,
  kAccountImap = 1,
  kAccountHttp = 2,
  kAccountExchange = 3,
  kAccountMapi = 4,
  kAccountLdap = 5,
  kAccountOther = 6,
};

// Kinds of default folder (session and store GetDefaultFolder).
enum DefaultFolderKind {
  kFolderDeletedItems = 3,
  kFolderOutbox = 4,
  kFolderSentItems = 5,
  kFolderInbox = 6,
  kFolderCalendar = 9,
  kFolderContacts = 10,
  kFolderTasks = 13,
  kFolderDrafts = 16,
};

// A folder's default item type.
enum ItemType {
  kItemMail = 0,
  kItemAppointment = 1,
  kItemContact = 2,
  kItemTask = 3,
  kItemJournal = 4,
  kItemNote = 5,
  kItemPost = 6,
  kItemDistributionList = 7,
};

// Delete flags of an item.
enum DeleteFlag {
  kDeleteSoft = 0,           // leaves the folder, no copy in Deleted Items
  kDeleteMoveToDeleted = 1,  // moves into the store's Deleted Items
  kDeleteHard = 2,           // gone for good
};

// The only message-file format: the store's own self-describing file
// (doc/vasnik_store.md, "Message file").
inline constexpr int kMessageFileFormat = 3;

}  // namespace vasnik
