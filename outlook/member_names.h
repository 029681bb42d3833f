#pragma once
// Every automation member name the program uses, in one place, with the
// spelling of the published object models: the messaging library's (RDO
// objects) and Outlook's ("Outlook.Application"). A check against the real
// libraries on Windows maps these constants and nothing else.
//
// Conventions the wrappers rely on (and the stand-in library implements):
//  - members are invoked with DISPATCH_METHOD | DISPATCH_PROPERTYGET for
//    reads and calls, DISPATCH_PROPERTYPUT for writes (see DispatchRef);
//  - collections are 1-based: Item(1) is the first element;
//  - a named text property is the parameterised property Fields(name),
//    where name is the property's DASL name (NamedPropertyDasl below); read
//    it with Fields(name), write it with Fields(name) = value. A property
//    that was never set reads as empty.

namespace outlook::names {

// ---- Messaging library: RDOSession ------------------------------------------------
inline constexpr char16_t kLogon[] = u"Logon";
inline constexpr char16_t kLoggedOn[] = u"LoggedOn";
inline constexpr char16_t kLogoff[] = u"Logoff";
inline constexpr char16_t kOutlookVersion[] = u"OutlookVersion";
inline constexpr char16_t kStores[] = u"Stores";
inline constexpr char16_t kGetDefaultFolder[] = u"GetDefaultFolder";
inline constexpr char16_t kGetFolderFromID[] = u"GetFolderFromID";
inline constexpr char16_t kGetMessageFromID[] = u"GetMessageFromID";
inline constexpr char16_t kGetStoreFromID[] = u"GetStoreFromID";
inline constexpr char16_t kGetMessageFromMsgFile[] = u"GetMessageFromMsgFile";
inline constexpr char16_t kCurrentUser[] = u"CurrentUser";
inline constexpr char16_t kPickFolder[] = u"PickFolder";
// The stand-in's own: a batch of writes made durable once, at its end.
inline constexpr char16_t kBeginBatch[] = u"BeginBatch";
inline constexpr char16_t kEndBatch[] = u"EndBatch";

// ---- Collections (RDOStores, RDOFolders, RDOItems, RDOAttachments, RDORecipients)
inline constexpr char16_t kCount[] = u"Count";
inline constexpr char16_t kItem[] = u"Item";
inline constexpr char16_t kGetFirst[] = u"GetFirst";
inline constexpr char16_t kGetNext[] = u"GetNext";
inline constexpr char16_t kRestrict[] = u"Restrict";
inline constexpr char16_t kAdd[] = u"Add";
inline constexpr char16_t kResolveAll[] = u"ResolveAll";

// ---- RDOStore -----------------------------------------------------------------------
inline constexpr char16_t kEntryID[] = u"EntryID";
inline constexpr char16_t kName[] = u"Name";
inline constexpr char16_t kStoreKind[] = u"StoreKind";
inline constexpr char16_t kStoreAccount[] = u"StoreAccount";
inline constexpr char16_t kOwner[] = u"Owner";
inline constexpr char16_t kIPMRootFolder[] = u"IPMRootFolder";
inline constexpr char16_t kRootFolder[] = u"RootFolder";

// ---- RDOAccount, RDOAddressEntry --------------------------------------------------
inline constexpr char16_t kAccountType[] = u"AccountType";
inline constexpr char16_t kSMTPAddress[] = u"SMTPAddress";

// ---- RDOFolder, RDOFolder2 ------------------------------------------------------------
inline constexpr char16_t kStoreID[] = u"StoreID";
inline constexpr char16_t kDefaultItemType[] = u"DefaultItemType";
inline constexpr char16_t kFolders[] = u"Folders";
inline constexpr char16_t kItems[] = u"Items";
inline constexpr char16_t kFolderPath[] = u"FolderPath";  // RDOFolder2 only

// ---- RDOMail ---------------------------------------------------------------------------
inline constexpr char16_t kSubject[] = u"Subject";
inline constexpr char16_t kMessageClass[] = u"MessageClass";
inline constexpr char16_t kLastModificationTime[] = u"LastModificationTime";
inline constexpr char16_t kSize[] = u"Size";
inline constexpr char16_t kSenderEmailAddress[] = u"SenderEmailAddress";
inline constexpr char16_t kSentOn[] = u"SentOn";
inline constexpr char16_t kBody[] = u"Body";
inline constexpr char16_t kParent[] = u"Parent";
inline constexpr char16_t kStore[] = u"Store";
inline constexpr char16_t kSave[] = u"Save";
inline constexpr char16_t kDelete[] = u"Delete";
inline constexpr char16_t kSaveAs[] = u"SaveAs";
inline constexpr char16_t kImport[] = u"Import";
inline constexpr char16_t kAttachments[] = u"Attachments";
inline constexpr char16_t kRecipients[] = u"Recipients";
inline constexpr char16_t kFields[] = u"Fields";
inline constexpr char16_t kUnRead[] = u"UnRead";
inline constexpr char16_t kSend[] = u"Send";

// ---- RDOAttachment -----------------------------------------------------------------------
inline constexpr char16_t kFileName[] = u"FileName";
inline constexpr char16_t kSaveAsFile[] = u"SaveAsFile";

// ---- Outlook automation ------------------------------------------------------------------
inline constexpr char16_t kOutlookProgID[] = u"Outlook.Application";
inline constexpr char16_t kGetNameSpace[] = u"GetNameSpace";
inline constexpr char16_t kOffline[] = u"Offline";
inline constexpr char16_t kApplication[] = u"Application";
inline constexpr char16_t kVersion[] = u"Version";
inline constexpr char16_t kSendAndReceive[] = u"SendAndReceive";
inline constexpr char16_t kActiveExplorer[] = u"ActiveExplorer";
inline constexpr char16_t kCommandBars[] = u"CommandBars";
inline constexpr char16_t kFindControl[] = u"FindControl";
inline constexpr char16_t kExecute[] = u"Execute";

// ---- Named properties ----------------------------------------------------------------------
// DASL name of a named string property in the public-strings property set
// (PS_PUBLIC_STRINGS): this prefix followed by the property's name.
inline constexpr char16_t kPublicStringsDaslPrefix[] =
    u"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/";
// DASL name of a header field of a received mail (PS_INTERNET_HEADERS): this
// prefix followed by the field's name in lower case ("return-path").
inline constexpr char16_t kInternetHeadersDaslPrefix[] =
    u"http://schemas.microsoft.com/mapi/string/{00020386-0000-0000-C000-000000000046}/";
// The date-time Outlook reports for a date that is not set: 1 January 4501.
inline constexpr double kNoDate = 949998.0;

}  // namespace outlook::names
