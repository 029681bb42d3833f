#pragma once
// ReplayGuard: what one package of a sender may still change in a folder.
//
// Packages are deltas and mails may arrive out of order, so an older package
// of a sender is still applied — but only to items that no newer package of
// that sender has changed or deleted since. Each item a package changes gets
// the package's Date as its stamp for that sender (FolderIdentity's "SENT"
// rows); a package older than the stamp passes the item by. A package whose
// mail gave no Date changes only items no package of its sender has stamped,
// and stamps nothing.
//
// The identity is borrowed and must outlive the guard.

#include <QDateTime>
#include <QString>
#include <utility>

class FolderIdentity;

class ReplayGuard {
 public:
  ReplayGuard(FolderIdentity& identity, QString folderEntryId, QString sender, QDateTime sent)
      : identity_(identity), folder_(std::move(folderEntryId)), sender_(std::move(sender)), sent_(std::move(sent)) {}

  // Whether the package may change (or delete) the item of itemKey; when it
  // may, the item is stamped with the package's Date first. Call it once per
  // item, before the change: a package imported again after a stop carries
  // the same Date and is let through again.
  bool Take(const QString& itemKey);
  // Items passed by so far.
  int Passed() const { return passed_; }

 private:
  FolderIdentity& identity_;
  QString folder_;
  QString sender_;
  QDateTime sent_;
  int passed_ = 0;
};
