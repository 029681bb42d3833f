// RDOFolders, RDOFolder and RDOItems.

#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"

#include "outlook/member_names.h"
#include "outlook/redemption_ids.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/store_error.h"

#include <vector>

namespace vasnik::com {

namespace n = outlook::names;

namespace {

// The program views folders through both folder interfaces (a message's
// parent through RDOFolder, FolderPath through RDOFolder2).
constexpr IID kFolderInterfaces[] = {outlook::ids::IID_IRDOFolder, outlook::ids::IID_IRDOFolder2};

ComValue FolderOrNothing(const SessionPtr& session, std::shared_ptr<Folder> folder) {
  return folder ? ComValue::Object(NewFolder(session, std::move(folder))) : ComValue::Nothing();
}

// Subfolders. Count and Item read the directory each time (Item takes a
// 1-based position or a name); GetFirst takes a snapshot that GetNext walks,
// so the cursor belongs to this collection object and a walk is not upset by
// folders created meanwhile. Past the end both give Nothing.
class FoldersObject final : public DispatchObject {
 public:
  FoldersObject(SessionPtr session, std::shared_ptr<Folder> parent)
      : DispatchObject(Members()), session_(std::move(session)), parent_(std::move(parent)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<FoldersObject>()
            .Add(n::kCount, 0,
                 [](FoldersObject& self, const Args&) { return ComValue::Int(int(self.parent_->Folders().size())); })
            .AddDefault(n::kItem, 1,
                        [](FoldersObject& self, const Args& args) {
                          return ComValue::Object(NewFolder(self.session_, self.Find(args)));
                        })
            .Add(n::kGetFirst, 0,
                 [](FoldersObject& self, const Args&) {
                   self.walk_ = self.parent_->Folders();
                   self.next_ = 0;
                   return self.Next();
                 })
            .Add(n::kGetNext, 0, [](FoldersObject& self, const Args&) { return self.Next(); })
            .Build();
    return table;
  }

  std::shared_ptr<Folder> Find(const Args& args) const {
    const std::vector<std::shared_ptr<Folder>> folders = parent_->Folders();
    if (args.IsNonNumericText(0)) {
      const QString name = args.Text(0);
      for (const auto& folder : folders)
        if (folder->Name().compare(name, Qt::CaseInsensitive) == 0) return folder;
      throw StoreError(QStringLiteral("the folder \"%1\" has no subfolder \"%2\"").arg(parent_->Name(), name));
    }
    const int index = args.Int(0);
    if (index < 1 || index > int(folders.size()))
      throw StoreError(QStringLiteral("there is no subfolder %1 (the folder \"%2\" has %3)")
                           .arg(index)
                           .arg(parent_->Name())
                           .arg(folders.size()));
    return folders[size_t(index - 1)];
  }

  ComValue Next() {
    if (next_ >= walk_.size()) return ComValue::Nothing();
    return FolderOrNothing(session_, walk_[next_++]);
  }

  SessionPtr session_;
  std::shared_ptr<Folder> parent_;
  std::vector<std::shared_ptr<Folder>> walk_;
  size_t next_ = 0;
};

// Parent is Nothing for a store's root folder.
class FolderObject final : public DispatchObject {
 public:
  FolderObject(SessionPtr session, std::shared_ptr<Folder> folder)
      : DispatchObject(Members(), kFolderInterfaces), session_(std::move(session)), folder_(std::move(folder)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<FolderObject>()
            .Add(n::kEntryID, 0,
                 [](FolderObject& self, const Args&) { return ComValue::Text(self.folder_->EntryID()); })
            .Add(n::kStoreID, 0,
                 [](FolderObject& self, const Args&) { return ComValue::Text(self.folder_->StoreID()); })
            .Add(n::kName, 0, [](FolderObject& self, const Args&) { return ComValue::Text(self.folder_->Name()); })
            .Add(n::kDefaultItemType, 0,
                 [](FolderObject& self, const Args&) { return ComValue::Int(self.folder_->DefaultItemType()); })
            .Add(n::kFolders, 0,
                 [](FolderObject& self, const Args&) {
                   return ComValue::Object(NewFolders(self.session_, self.folder_));
                 })
            .Add(n::kItems, 0,
                 [](FolderObject& self, const Args&) {
                   return ComValue::Object(NewItems(self.session_, self.folder_->Items()));
                 })
            .Add(n::kFolderPath, 0,
                 [](FolderObject& self, const Args&) { return ComValue::Text(self.folder_->FolderPath()); })
            .Add(n::kParent, 0,
                 [](FolderObject& self, const Args&) { return FolderOrNothing(self.session_, self.folder_->Parent()); })
            .Add(n::kStore, 0,
                 [](FolderObject& self, const Args&) {
                   return ComValue::Object(NewStore(self.session_, self.folder_->GetStore()));
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Folder> folder_;
};

// A snapshot of a folder's items (the engine's ItemCollection): positions
// stay put while the caller deletes the items it walks.
class ItemsObject final : public DispatchObject {
 public:
  ItemsObject(SessionPtr session, ItemCollection items)
      : DispatchObject(Members()), session_(std::move(session)), items_(std::move(items)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<ItemsObject>()
            .Add(n::kCount, 0, [](ItemsObject& self, const Args&) { return ComValue::Int(self.items_.Count()); })
            .AddDefault(n::kItem, 1,
                        [](ItemsObject& self, const Args& args) {
                          return ComValue::Object(NewMail(self.session_, self.items_.At(args.Int(0))));
                        })
            .Add(n::kRestrict, 1,
                 [](ItemsObject& self, const Args& args) {
                   return ComValue::Object(NewItems(self.session_, self.items_.Restrict(args.Text(0))));
                 })
            // A message class, or an item type (0 mail, 1 appointment, ...)
            // for that type's class; omitted or empty: the folder's default.
            .Add(n::kAdd, 1,
                 [](ItemsObject& self, const Args& args) {
                   const QString messageClass = args.Given(0) && !args.IsNonNumericText(0)
                                                    ? DefaultMessageClass(args.Int(0))
                                                    : args.Text(0, {});
                   return ComValue::Object(NewMail(self.session_, self.items_.Add(messageClass)));
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  ItemCollection items_;
};

}  // namespace

IDispatch* NewFolders(SessionPtr session, std::shared_ptr<Folder> parent) {
  return new FoldersObject(std::move(session), std::move(parent));
}
IDispatch* NewFolder(SessionPtr session, std::shared_ptr<Folder> folder) {
  return new FolderObject(std::move(session), std::move(folder));
}
IDispatch* NewItems(SessionPtr session, ItemCollection items) {
  return new ItemsObject(std::move(session), std::move(items));
}

}  // namespace vasnik::com
