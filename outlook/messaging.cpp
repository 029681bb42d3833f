#include "outlook/messaging.h"

#include <string>

#include <objbase.h>
#include <oleauto.h>

#include "outlook/member_names.h"
#include "outlook/redemption_ids.h"

namespace outlook {

namespace n = names;

QString NamedPropertyDasl(const QString& name) {
  return QString::fromUtf16(n::kPublicStringsDaslPrefix) + name;
}

// ---- small objects -------------------------------------------------------------------

QString RdoAddressEntry::SMTPAddress() const { return d_.Get(n::kSMTPAddress).ToString(); }

int RdoAccount::AccountType() const { return d_.Get(n::kAccountType).ToInt(); }
QString RdoAccount::SMTPAddress() const { return d_.Get(n::kSMTPAddress).ToString(); }

// ---- stores -------------------------------------------------------------------------------

int RdoStores::Count() const { return d_.Get(n::kCount).ToInt(); }
RdoStore RdoStores::Item(int index) const { return RdoStore(d_.Get(n::kItem, index).ToDispatch()); }

QString RdoStore::EntryID() const { return d_.Get(n::kEntryID).ToString(); }
QString RdoStore::Name() const { return d_.Get(n::kName).ToString(); }
int RdoStore::StoreKind() const { return d_.Get(n::kStoreKind).ToInt(); }
RdoAccount RdoStore::StoreAccount() const { return RdoAccount(d_.Get(n::kStoreAccount).ToDispatch()); }
RdoAddressEntry RdoStore::Owner() const { return RdoAddressEntry(d_.Get(n::kOwner).ToDispatch()); }
RdoFolder RdoStore::GetDefaultFolder(int kind) const {
  return RdoFolder(d_.Call(n::kGetDefaultFolder, kind).ToDispatch());
}
RdoFolder RdoStore::IPMRootFolder() const { return RdoFolder(d_.Get(n::kIPMRootFolder).ToDispatch()); }
RdoFolder RdoStore::RootFolder() const { return RdoFolder(d_.Get(n::kRootFolder).ToDispatch()); }

// ---- folders --------------------------------------------------------------------------------

int RdoFolders::Count() const { return d_.Get(n::kCount).ToInt(); }
RdoFolder RdoFolders::Item(int index) const { return RdoFolder(d_.Get(n::kItem, index).ToDispatch()); }
RdoFolder RdoFolders::GetFirst() const { return RdoFolder(d_.Call(n::kGetFirst).ToDispatch()); }
RdoFolder RdoFolders::GetNext() const { return RdoFolder(d_.Call(n::kGetNext).ToDispatch()); }

QString RdoFolder::EntryID() const { return d_.Get(n::kEntryID).ToString(); }
QString RdoFolder::StoreID() const { return d_.Get(n::kStoreID).ToString(); }
QString RdoFolder::Name() const { return d_.Get(n::kName).ToString(); }
int RdoFolder::DefaultItemType() const { return d_.Get(n::kDefaultItemType).ToInt(); }
RdoFolders RdoFolder::Folders() const { return RdoFolders(d_.Get(n::kFolders).ToDispatch()); }
RdoItems RdoFolder::Items() const { return RdoItems(d_.Get(n::kItems).ToDispatch()); }
QString RdoFolder::FolderPath() const {
  return d_.QueryInterface(ids::IID_IRDOFolder2).Get(n::kFolderPath).ToString();
}

// ---- items ------------------------------------------------------------------------------------

int RdoItems::Count() const { return d_.Get(n::kCount).ToInt(); }
RdoMail RdoItems::Item(int index) const { return RdoMail(d_.Get(n::kItem, index).ToDispatch()); }
RdoItems RdoItems::Restrict(const QString& filter) const {
  return RdoItems(d_.Call(n::kRestrict, filter).ToDispatch());
}
RdoMail RdoItems::Add(const QString& messageClass) const {
  return RdoMail(d_.Call(n::kAdd, messageClass).ToDispatch());
}

QString RdoAttachment::FileName() const { return d_.Get(n::kFileName).ToString(); }
void RdoAttachment::SaveAsFile(const QString& path) const { d_.Call(n::kSaveAsFile, path); }

int RdoAttachments::Count() const { return d_.Get(n::kCount).ToInt(); }
RdoAttachment RdoAttachments::Item(int index) const {
  return RdoAttachment(d_.Get(n::kItem, index).ToDispatch());
}
RdoAttachment RdoAttachments::Add(const QString& source, int type, int position, const QString& displayName) const {
  return RdoAttachment(d_.Call(n::kAdd, source, type, position, displayName).ToDispatch());
}

int RdoRecipients::Count() const { return d_.Get(n::kCount).ToInt(); }
void RdoRecipients::Add(const QString& address) const { d_.Call(n::kAdd, address); }
bool RdoRecipients::ResolveAll() const { return d_.Call(n::kResolveAll).ToBool(); }

QString RdoMail::EntryID() const { return d_.Get(n::kEntryID).ToString(); }
QString RdoMail::Subject() const { return d_.Get(n::kSubject).ToString(); }
void RdoMail::SetSubject(const QString& subject) const { d_.Put(n::kSubject, subject); }
QString RdoMail::MessageClass() const { return d_.Get(n::kMessageClass).ToString(); }
double RdoMail::LastModificationTime() const { return d_.Get(n::kLastModificationTime).ToDouble(); }
int RdoMail::Size() const { return d_.Get(n::kSize).ToInt(); }
QString RdoMail::SenderEmailAddress() const { return d_.Get(n::kSenderEmailAddress).ToString(); }
void RdoMail::SetSenderEmailAddress(const QString& address) const { d_.Put(n::kSenderEmailAddress, address); }
double RdoMail::SentOn() const { return d_.Get(n::kSentOn).ToDouble(); }
void RdoMail::SetSentOn(double oleDate) const { d_.Put(n::kSentOn, oleDate); }
QString RdoMail::HeaderField(const QString& name) const {
  return d_.Get(n::kFields, QString::fromUtf16(n::kInternetHeadersDaslPrefix) + name.toLower()).ToString();
}
void RdoMail::SetHeaderField(const QString& name, const QString& value) const {
  d_.PutIndexed(n::kFields, {Variant(QString::fromUtf16(n::kInternetHeadersDaslPrefix) + name.toLower())}, value);
}
QString RdoMail::Body() const { return d_.Get(n::kBody).ToString(); }
void RdoMail::SetBody(const QString& body) const { d_.Put(n::kBody, body); }
void RdoMail::SetUnRead(bool unread) const { d_.Put(n::kUnRead, unread); }
RdoFolder RdoMail::Parent() const {
  const DispatchRef parent = d_.Get(n::kParent).ToDispatch();
  if (parent.IsNull()) return RdoFolder();
  return RdoFolder(parent.QueryInterface(ids::IID_IRDOFolder));
}
RdoStore RdoMail::Store() const { return RdoStore(d_.Get(n::kStore).ToDispatch()); }
void RdoMail::Save() const { d_.Call(n::kSave); }
void RdoMail::Delete(int flags) const { d_.Call(n::kDelete, flags); }
void RdoMail::SaveAs(const QString& path, int type) const { d_.Call(n::kSaveAs, path, type); }
void RdoMail::Import(const QString& path, int type) const { d_.Call(n::kImport, path, type); }
RdoAttachments RdoMail::Attachments() const { return RdoAttachments(d_.Get(n::kAttachments).ToDispatch()); }
RdoRecipients RdoMail::Recipients() const { return RdoRecipients(d_.Get(n::kRecipients).ToDispatch()); }
QString RdoMail::NamedProperty(const QString& name) const {
  return d_.Get(n::kFields, NamedPropertyDasl(name)).ToString();
}
void RdoMail::SetNamedProperty(const QString& name, const QString& value) const {
  d_.PutIndexed(n::kFields, {Variant(NamedPropertyDasl(name))}, value);
}
void RdoMail::Send() const { d_.Call(n::kSend); }

// ---- session ------------------------------------------------------------------------------------

void RdoSession::Logon() const {
  d_.Call(n::kLogon, Omitted(), Omitted(), Omitted(), Omitted(), Omitted(), Omitted());
}
bool RdoSession::LoggedOn() const { return d_.Get(n::kLoggedOn).ToBool(); }
void RdoSession::Logoff() const { d_.Call(n::kLogoff); }
bool RdoSession::BeginBatch() const {
  // Asked of the object first: a library without the member is no failure.
  if (!d_) return false;
  std::u16string text(n::kBeginBatch);
  LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(text.data())};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(d_.Interface()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  d_.Call(n::kBeginBatch);
  return true;
}
void RdoSession::EndBatch() const { d_.Call(n::kEndBatch); }
void RdoSession::EndBatchUnflushed() const { d_.Call(n::kEndBatch, false); }
QString RdoSession::OutlookVersion() const { return d_.Get(n::kOutlookVersion).ToString(); }
RdoStores RdoSession::Stores() const { return RdoStores(d_.Get(n::kStores).ToDispatch()); }
RdoFolder RdoSession::GetDefaultFolder(int kind) const {
  return RdoFolder(d_.Call(n::kGetDefaultFolder, kind).ToDispatch());
}
RdoFolder RdoSession::GetFolderFromID(const QString& entryId, const QString& storeId) const {
  return RdoFolder(d_.Call(n::kGetFolderFromID, entryId, storeId, Omitted()).ToDispatch());
}
RdoMail RdoSession::GetMessageFromID(const QString& entryId, const QString& storeId) const {
  return RdoMail(d_.Call(n::kGetMessageFromID, entryId, storeId, Omitted()).ToDispatch());
}
RdoStore RdoSession::GetStoreFromID(const QString& storeId) const {
  return RdoStore(d_.Call(n::kGetStoreFromID, storeId, Omitted()).ToDispatch());
}
RdoMail RdoSession::GetMessageFromMsgFile(const QString& path, bool createNew) const {
  return RdoMail(d_.Call(n::kGetMessageFromMsgFile, path, createNew).ToDispatch());
}
RdoAddressEntry RdoSession::CurrentUser() const { return RdoAddressEntry(d_.Get(n::kCurrentUser).ToDispatch()); }
RdoFolder RdoSession::PickFolder(int defaultItemType) const {
  return RdoFolder(
      d_.Call(n::kPickFolder, Omitted(), Omitted(), Omitted(), Omitted(), defaultItemType).ToDispatch());
}

// ---- Outlook automation ----------------------------------------------------------------------------

void OutlookCommandBarControl::Execute() const { d_.Call(n::kExecute); }

OutlookCommandBarControl OutlookCommandBars::FindControl(int type, int id) const {
  return OutlookCommandBarControl(d_.Call(n::kFindControl, type, id, Omitted(), Omitted()).ToDispatch());
}

OutlookCommandBars OutlookExplorer::CommandBars() const {
  return OutlookCommandBars(d_.Get(n::kCommandBars).ToDispatch());
}

OutlookApplication OutlookApplication::Connect() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(n::kOutlookProgID, &clsid);
  if (FAILED(hr))
    throw ComError(hr, QStringLiteral("Invalid class string \"Outlook.Application\" (status 0x%1)").arg(HexStatus(hr)));
  ComPtr<IUnknown> running;
  hr = GetActiveObject(clsid, nullptr, running.Receive());
  if (FAILED(hr))
    throw ComError(hr, QStringLiteral("\"Outlook.Application\" is not running (status 0x%1)").arg(HexStatus(hr)));
  ComPtr<IDispatch> app = running.As<IDispatch>(IID_IDispatch, &hr);
  if (!app) throw InterfaceCastError();
  return OutlookApplication(DispatchRef(app.Get()));
}

OutlookNameSpace OutlookApplication::GetNameSpace(const QString& type) const {
  return OutlookNameSpace(d_.Call(n::kGetNameSpace, type).ToDispatch());
}
QString OutlookApplication::Version() const { return d_.Get(n::kVersion).ToString(); }
OutlookExplorer OutlookApplication::ActiveExplorer() const {
  return OutlookExplorer(d_.Call(n::kActiveExplorer).ToDispatch());
}

void OutlookNameSpace::Logon(const QString& profile, const QString& password, bool showDialog,
                             bool newSession) const {
  d_.Call(n::kLogon, profile, password, showDialog, newSession);
}
void OutlookNameSpace::Logoff() const { d_.Call(n::kLogoff); }
bool OutlookNameSpace::Offline() const { return d_.Get(n::kOffline).ToBool(); }
OutlookApplication OutlookNameSpace::Application() const {
  return OutlookApplication(d_.Get(n::kApplication).ToDispatch());
}
void OutlookNameSpace::SendAndReceive(bool showProgressDialog) const {
  d_.Call(n::kSendAndReceive, showProgressDialog);
}

bool IsObjectActive(const QString& progId) {
  CLSID clsid;
  const std::u16string name(reinterpret_cast<const char16_t*>(progId.utf16()), size_t(progId.size()));
  if (FAILED(CLSIDFromProgID(name.c_str(), &clsid))) return false;
  ComPtr<IUnknown> running;
  return SUCCEEDED(GetActiveObject(clsid, nullptr, running.Receive())) && running;
}

}  // namespace outlook
