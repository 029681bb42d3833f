#pragma once
// Thin typed wrappers over the late-bound objects of the messaging library
// (RDO objects) and of Outlook's automation server. Each wrapper holds one
// DispatchRef and only marshals: every member raises ComError when the call
// fails, exactly where the call is made. Member names are in member_names.h.
//
// A wrapper may be null (a picker that was cancelled, an object that was not
// there); IsNull() tells. Any member of a null wrapper raises ComError
// (E_POINTER).
//
// REQUIRES: used on the thread that created the session (the UI thread).

#include <QString>

#include "outlook/dispatch_ref.h"

namespace outlook {

class RdoFolder;
class RdoFolders;
class RdoItems;
class RdoMail;
class RdoStore;

// Common base: the object and access to it for anything not wrapped here.
class RdoObject {
 public:
  RdoObject() = default;
  explicit RdoObject(DispatchRef object) : d_(std::move(object)) {}
  const DispatchRef& Dispatch() const { return d_; }
  bool IsNull() const { return d_.IsNull(); }
  explicit operator bool() const { return !d_.IsNull(); }

 protected:
  DispatchRef d_;
};

// RDOAddressEntry (CurrentUser, Owner).
class RdoAddressEntry : public RdoObject {
 public:
  using RdoObject::RdoObject;
  QString SMTPAddress() const;
};

// RDOAccount (StoreAccount).
class RdoAccount : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int AccountType() const;
  QString SMTPAddress() const;
};

// RDOStores.
class RdoStores : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int Count() const;
  RdoStore Item(int index) const;  // 1-based
};

// RDOStore.
class RdoStore : public RdoObject {
 public:
  using RdoObject::RdoObject;
  QString EntryID() const;
  QString Name() const;
  int StoreKind() const;
  RdoAccount StoreAccount() const;
  RdoAddressEntry Owner() const;
  RdoFolder GetDefaultFolder(int kind) const;  // e.g. ids::olFolderDeletedItems
  RdoFolder IPMRootFolder() const;             // the top of the folders the user sees
  RdoFolder RootFolder() const;
};

// RDOFolders: subfolders, by index or by walking GetFirst/GetNext.
class RdoFolders : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int Count() const;
  RdoFolder Item(int index) const;  // 1-based
  RdoFolder GetFirst() const;       // null when there is none
  RdoFolder GetNext() const;        // null after the last
};

// RDOItems.
class RdoItems : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int Count() const;
  RdoMail Item(int index) const;                  // 1-based
  RdoItems Restrict(const QString& filter) const; // e.g. "Subject = 'x'"
  RdoMail Add(const QString& messageClass) const; // e.g. "IPM.Note"
};

// RDOFolder (and RDOFolder2 for FolderPath).
class RdoFolder : public RdoObject {
 public:
  using RdoObject::RdoObject;
  QString EntryID() const;
  QString StoreID() const;
  QString Name() const;
  int DefaultItemType() const;
  RdoFolders Folders() const;
  RdoItems Items() const;
  // Through the RDOFolder2 interface (ids::IID_IRDOFolder2); raises
  // InterfaceCastError when the folder does not offer it.
  QString FolderPath() const;
};

// RDOAttachment.
class RdoAttachment : public RdoObject {
 public:
  using RdoObject::RdoObject;
  QString FileName() const;
  void SaveAsFile(const QString& path) const;
};

// RDOAttachments.
class RdoAttachments : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int Count() const;
  RdoAttachment Item(int index) const;  // 1-based
  // Adds the file at source, by value unless type says otherwise; position
  // and display name as the object model defines them.
  RdoAttachment Add(const QString& source, int type, int position, const QString& displayName) const;
};

// RDORecipients.
class RdoRecipients : public RdoObject {
 public:
  using RdoObject::RdoObject;
  int Count() const;
  void Add(const QString& address) const;
  bool ResolveAll() const;  // true when every recipient resolved
};

// RDOMail: any item (mail, appointment, contact, ...).
class RdoMail : public RdoObject {
 public:
  using RdoObject::RdoObject;
  QString EntryID() const;
  QString Subject() const;
  void SetSubject(const QString& subject) const;
  QString MessageClass() const;
  // When the item was last saved, as an OLE date (days since 30 December
  // 1899, fractions for the time), and its size in bytes: together they
  // tell whether an item is still as someone left it.
  double LastModificationTime() const;
  int Size() const;
  // The sender's address as the message carries it ("" for an item never sent).
  QString SenderEmailAddress() const;
  void SetSenderEmailAddress(const QString& address) const;
  // When the message was sent (its Date), as an OLE date; names::kNoDate
  // for a message that does not say.
  double SentOn() const;
  void SetSentOn(double oleDate) const;
  // A header field of a received mail ("return-path"), "" when the mail has
  // none or the library does not keep it.
  QString HeaderField(const QString& name) const;
  void SetHeaderField(const QString& name, const QString& value) const;
  QString Body() const;
  void SetBody(const QString& body) const;
  void SetUnRead(bool unread) const;
  // The parent viewed through the folder interface (ids::IID_IRDOFolder).
  RdoFolder Parent() const;
  RdoStore Store() const;
  void Save() const;
  void Delete(int flags) const;                     // e.g. ids::dfMoveToDeletedItems
  void SaveAs(const QString& path, int type) const; // type ids::olMSG
  void Import(const QString& path, int type) const; // type ids::olMSG
  RdoAttachments Attachments() const;
  RdoRecipients Recipients() const;
  // A named text property (Fields with the public-strings DASL name); a
  // property that was never set reads as "".
  QString NamedProperty(const QString& name) const;
  void SetNamedProperty(const QString& name, const QString& value) const;
  void Send() const;
};

// RDOSession: the logged-on messaging session.
class RdoSession : public RdoObject {
 public:
  using RdoObject::RdoObject;
  // Logs on to the default profile: all six optional arguments omitted.
  void Logon() const;
  bool LoggedOn() const;
  void Logoff() const;
  QString OutlookVersion() const;
  RdoStores Stores() const;
  RdoFolder GetDefaultFolder(int kind) const;  // ids::olFolderInbox, ids::olFolderDrafts
  // The optional flags argument is omitted; an unknown id raises ComError.
  RdoFolder GetFolderFromID(const QString& entryId, const QString& storeId) const;
  RdoMail GetMessageFromID(const QString& entryId, const QString& storeId) const;
  RdoStore GetStoreFromID(const QString& storeId) const;
  RdoMail GetMessageFromMsgFile(const QString& path, bool createNew) const;
  RdoAddressEntry CurrentUser() const;
  // Four optional arguments omitted, then the default item type; null when
  // the user cancels.
  RdoFolder PickFolder(int defaultItemType) const;
  // A batch of item writes that the library makes durable once, at
  // EndBatch, instead of after each item. Only the stand-in library has it:
  // elsewhere BeginBatch does nothing and answers false, and each write is
  // durable on its own as before. EndBatch raises when the flush failed.
  bool BeginBatch() const;
  void EndBatch() const;
  // Ends a batch but leaves its flush to the next EndBatch (the writes of
  // a writer that must not hold a batch open across the message loop).
  void EndBatchUnflushed() const;
};

// The DASL name that Fields() takes for a named text property.
QString NamedPropertyDasl(const QString& name);

// ---- Outlook's automation server ----------------------------------------------------

class OutlookNameSpace;

// CommandBarControl.
class OutlookCommandBarControl : public RdoObject {
 public:
  using RdoObject::RdoObject;
  void Execute() const;
};

// CommandBars.
class OutlookCommandBars : public RdoObject {
 public:
  using RdoObject::RdoObject;
  // FindControl(type, id) with Tag and Visible omitted; null when not found.
  OutlookCommandBarControl FindControl(int type, int id) const;
};

// Explorer.
class OutlookExplorer : public RdoObject {
 public:
  using RdoObject::RdoObject;
  OutlookCommandBars CommandBars() const;
};

// Application.
class OutlookApplication : public RdoObject {
 public:
  using RdoObject::RdoObject;
  // The running "Outlook.Application". Outlook runs once per session, so
  // creating its automation object yields the running instance; this asks
  // the running-object table for it. Raises ComError (MK_E_UNAVAILABLE)
  // when it is not running.
  static OutlookApplication Connect();
  OutlookNameSpace GetNameSpace(const QString& type) const;  // "MAPI"
  QString Version() const;
  OutlookExplorer ActiveExplorer() const;
};

// NameSpace.
class OutlookNameSpace : public RdoObject {
 public:
  using RdoObject::RdoObject;
  void Logon(const QString& profile, const QString& password, bool showDialog, bool newSession) const;
  void Logoff() const;
  bool Offline() const;
  OutlookApplication Application() const;
  void SendAndReceive(bool showProgressDialog) const;
};

// Whether an object of the ProgID's class is registered as running
// (CLSIDFromProgID + GetActiveObject). Never raises.
bool IsObjectActive(const QString& progId);

}  // namespace outlook
