#pragma once
// Entry identifiers of stores, folders and items.
//
// Every identifier is upper-case hexadecimal and begins with "00000000", like
// a long-term MAPI identifier:
//
//   store:  "00000000" + store uid                       (24 digits)
//   folder: "00000000" + store uid + folder uid          (40 digits)
//   item:   "00000000" + store uid + folder uid + hex of the UTF-8 bytes of
//           the item's stable base name                  (more than 40)
//
// Store and folder uids are 16 random hexadecimal digits, kept in the
// metadata files of their directories and never changed. An item's base name
// is the part of its file name that no edit changes (doc/vasnik_store.md), so
// an item keeps its identifier across edits and gets a new one when it moves
// to another folder; the identifier names the file without any search.
// Parsing accepts lower-case digits too.

#include <QString>

#include <optional>

namespace vasnik {

struct ParsedEntryId {
  QString storeUid;
  QString folderUid;  // empty for a store identifier
  QString baseName;   // empty for a store or folder identifier
};

// A fresh random uid of 16 upper-case hexadecimal digits.
QString NewUid();
// True for 16 hexadecimal digits.
bool IsUid(const QString& text);

QString StoreEntryId(const QString& storeUid);
QString FolderEntryId(const QString& storeUid, const QString& folderUid);
QString ItemEntryId(const QString& storeUid, const QString& folderUid,
                    const QString& baseName);

// Splits an identifier of any of the three forms; nullopt for text that is
// not one (wrong prefix or length, a digit that is not hexadecimal, a base
// name that is not UTF-8 or contains "/" or a NUL).
std::optional<ParsedEntryId> ParseEntryId(const QString& entryId);

}  // namespace vasnik
