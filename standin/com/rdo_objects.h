#pragma once
// The stand-in library's automation objects (RDOSession, RDOStores,
// RDOStore, RDOAccount, RDOAddressEntry, RDOFolders, RDOFolder, RDOItems,
// RDOMail, RDOAttachments, RDOAttachment, RDORecipients, RDORecipient):
// thin adapters over the engine in standin/store. Which members each
// answers is listed in doc/vasnik_module.md.
//
// Every New* function returns a fresh object holding one reference, which
// the caller owns. Objects made for a property read are new each time; two
// of them may stand for one engine object. Each object keeps the engine
// session alive (as an RDO object keeps its session), so objects the
// program still holds work after it released the session object; after
// Logoff they answer what they hold in memory and fail on the rest, as the
// engine does.
//
// REQUIRES: the UI thread, like the engine.

#include <oaidl.h>

#include <QString>

#include <memory>

#include "standin/store/folder.h"

namespace vasnik {
class Item;
class Session;
class Store;
}  // namespace vasnik

namespace vasnik::com {

using SessionPtr = std::shared_ptr<Session>;

IDispatch* NewSession();  // a fresh engine session, logged off
IDispatch* NewStores(SessionPtr session);
IDispatch* NewStore(SessionPtr session, std::shared_ptr<Store> store);
IDispatch* NewAccount(int accountType, const QString& smtpAddress);
IDispatch* NewAddressEntry(const QString& name, const QString& smtpAddress);
IDispatch* NewFolders(SessionPtr session, std::shared_ptr<Folder> parent);
IDispatch* NewFolder(SessionPtr session, std::shared_ptr<Folder> folder);
IDispatch* NewItems(SessionPtr session, ItemCollection items);
IDispatch* NewMail(SessionPtr session, std::shared_ptr<Item> item);
IDispatch* NewAttachments(SessionPtr session, std::shared_ptr<Item> item);
IDispatch* NewAttachment(SessionPtr session, std::shared_ptr<Item> item, int index);
IDispatch* NewRecipients(SessionPtr session, std::shared_ptr<Item> item);
IDispatch* NewRecipient(SessionPtr session, std::shared_ptr<Item> item, int index);

// The members of RDOStore, which its type information describes.
class MemberTable;
const MemberTable& StoreMemberTable();

// The property name a Fields() DASL name stands for: the part after the
// last "/" (a bare name is taken as it is). Property tags and numeric named
// properties ("/proptag/", "/id/") are not kept by the store: StoreError.
QString NamedPropertyName(const QString& dasl);

}  // namespace vasnik::com
