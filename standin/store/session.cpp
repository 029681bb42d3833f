#include "standin/store/session.h"

#include "standin/store/entry_id.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/mime_codec.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QFileInfo>

#include <functional>

namespace vasnik {

std::shared_ptr<Session> Session::Create() { return std::shared_ptr<Session>(new Session()); }

Session::~Session() = default;

void Session::Logon(const QString& profileDirectory) {
  if (loggedOn_) return;
  ProfileSettings profile =
      LoadProfile(profileDirectory.isEmpty() ? DefaultProfileDirectory() : profileDirectory);
  std::vector<std::shared_ptr<Store>> stores;
  for (const StoreSettings& settings : profile.stores) {
    std::shared_ptr<Store> store(new Store(weak_from_this(), settings));
    store->Open();
    for (const auto& other : stores)
      if (other->Uid() == store->Uid())
        throw StoreError(QStringLiteral("the stores %1 and %2 have the same identifier (one is "
                                        "a copy of the other); remove %2/.vasnik-store to give "
                                        "the copy its own")
                             .arg(other->Directory(), store->Directory()));
    store->PurgeRecoverable();
    stores.push_back(std::move(store));
  }
  profile_ = std::move(profile);
  stores_ = std::move(stores);
  loggedOn_ = true;
}

bool Session::LoggedOn() const { return loggedOn_; }

void Session::Logoff() {
  for (const auto& store : stores_) {
    store->closed_ = true;
    store->StopEvents();
  }
  stores_.clear();
  loggedOn_ = false;
}

void Session::RequireLoggedOn() const {
  if (!loggedOn_) throw StoreError(QStringLiteral("the session is not logged on"));
}

const ProfileSettings& Session::Profile() const {
  RequireLoggedOn();
  return profile_;
}

QString Session::OutlookVersion() const { return Profile().outlookVersion; }
QString Session::CurrentUserSmtpAddress() const { return Profile().userAddress; }
QString Session::CurrentUserName() const { return Profile().userName; }
bool Session::Offline() const { return Profile().offline; }

int Session::StoreCount() const {
  RequireLoggedOn();
  return int(stores_.size());
}

std::shared_ptr<Store> Session::StoreAt(int index) const {
  RequireLoggedOn();
  if (index < 1 || index > int(stores_.size()))
    throw StoreError(QStringLiteral("there is no store %1 (the profile has %2)")
                         .arg(index)
                         .arg(stores_.size()));
  return stores_[index - 1];
}

std::shared_ptr<Store> Session::DefaultStore() const {
  RequireLoggedOn();
  return stores_[profile_.defaultStore];
}

std::shared_ptr<Store> Session::StoreByUid(const QString& uid) const {
  for (const auto& store : stores_)
    if (store->Uid() == uid) return store;
  return nullptr;
}

std::shared_ptr<Store> Session::GetStoreFromID(const QString& storeId) const {
  RequireLoggedOn();
  const auto parsed = ParseEntryId(storeId);
  std::shared_ptr<Store> store =
      parsed && parsed->folderUid.isEmpty() ? StoreByUid(parsed->storeUid) : nullptr;
  if (!store) throw StoreError(QStringLiteral("no store with entry identifier \"%1\"").arg(storeId));
  return store;
}

std::shared_ptr<Folder> Session::GetDefaultFolder(int kind) const {
  return DefaultStore()->GetDefaultFolder(kind);
}

namespace {
// The store an identifier points into, checked against the given store id.
std::shared_ptr<Store> CheckStore(const ParsedEntryId& parsed, const QString& entryId,
                                  const QString& storeId,
                                  const std::function<std::shared_ptr<Store>(const QString&)>& byUid) {
  if (!storeId.trimmed().isEmpty()) {
    const auto store = ParseEntryId(storeId);
    if (!store || !store->folderUid.isEmpty())
      throw StoreError(QStringLiteral("\"%1\" is not a store entry identifier").arg(storeId));
    if (store->storeUid != parsed.storeUid)
      throw StoreError(QStringLiteral("the object \"%1\" is not in the store \"%2\"").arg(entryId, storeId));
  }
  return byUid(parsed.storeUid);
}
}  // namespace

std::shared_ptr<Folder> Session::GetFolderFromID(const QString& entryId, const QString& storeId) const {
  RequireLoggedOn();
  const auto parsed = ParseEntryId(entryId);
  if (!parsed || parsed->folderUid.isEmpty() || !parsed->baseName.isEmpty())
    throw StoreError(QStringLiteral("\"%1\" is not a folder entry identifier").arg(entryId));
  auto store = CheckStore(*parsed, entryId, storeId, [this](const QString& uid) { return StoreByUid(uid); });
  std::shared_ptr<Folder> folder = store ? store->FolderByUid(parsed->folderUid) : nullptr;
  if (!folder) throw StoreError(QStringLiteral("no folder with entry identifier \"%1\"").arg(entryId));
  return folder;
}

std::shared_ptr<Item> Session::GetMessageFromID(const QString& entryId, const QString& storeId) const {
  RequireLoggedOn();
  const auto parsed = ParseEntryId(entryId);
  if (!parsed || parsed->baseName.isEmpty())
    throw StoreError(QStringLiteral("\"%1\" is not a message entry identifier").arg(entryId));
  auto store = CheckStore(*parsed, entryId, storeId, [this](const QString& uid) { return StoreByUid(uid); });
  std::shared_ptr<Folder> folder = store ? store->FolderByUid(parsed->folderUid) : nullptr;
  if (!folder || folder->Locate(parsed->baseName).isEmpty())
    throw StoreError(QStringLiteral("no message with entry identifier \"%1\"").arg(entryId));
  return folder->LoadItem(parsed->baseName);
}

std::shared_ptr<Item> Session::GetMessageFromMsgFile(const QString& path, bool createNew) const {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  if (createNew) {
    ItemContent content;
    content.messageClass = QStringLiteral("IPM.Note");
    files::WriteFile(absolute, mime::Write(content, true));
    return Item::OfMessageFile(absolute, std::move(content));
  }
  return Item::OfMessageFile(absolute, ReadMessageFile(absolute));
}

}  // namespace vasnik
