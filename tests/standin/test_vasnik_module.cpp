// The stand-in library's module as the program uses it: loaded by the
// program's own loader, driven through the typed wrappers and late-bound
// dispatch, against a temporary profile. The engine behind it has its own
// tests; these are about the COM mapping — argument order, omitted
// arguments, errors, and object lifetimes.

#include <dlfcn.h>
#include <objbase.h>
#include <oleauto.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "outlook/member_names.h"
#include "outlook/messaging.h"
#include "outlook/redemption_ids.h"
#include "outlook/redemption_loader.h"
#include "tests/support/test_main.h"

namespace {

using outlook::ComError;
using outlook::DispatchRef;
using outlook::Omitted;
using outlook::RdoFolder;
using outlook::RdoMail;
using outlook::RdoSession;
using outlook::RdoStore;
using outlook::Variant;
namespace ids = outlook::ids;
namespace n = outlook::names;

const QString kModule = QStringLiteral(VASNIK_MODULE);

std::string S(const QString& text) { return text.toStdString(); }

// The module's entry points, read through a handle of our own. Loading the
// same path again gives the module the loader already holds.
struct ModuleEntries {
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
};

const ModuleEntries& Entries() {
  static const ModuleEntries entries = [] {
    ModuleEntries e;
    void* handle = dlopen(kModule.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
      e.getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
      e.canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    }
    return e;
  }();
  return entries;
}

// A status and message of what a call raised; status 0 when it raised nothing.
struct Raised {
  HRESULT status = S_OK;
  QString message;
};

template <class F>
Raised RaisedBy(F&& call) {
  try {
    call();
  } catch (const ComError& e) {
    return {e.Status(), e.Message()};
  }
  return {};
}

class VasnikModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    ASSERT_TRUE(QFileInfo::exists(kModule)) << S(kModule);
    qputenv("VASNIK_PROFILE", ProfileDir().toUtf8());
    // The process's loader, as the program has it: the module is loaded once
    // and unloaded after main.
    outlook::LoaderInstance().SetDllLocation32Bit(kModule);
    session_ = RdoSession(outlook::LoaderInstance().new_RDOSession());
  }

  void TearDown() override {
    if (!session_.IsNull() && session_.LoggedOn()) session_.Logoff();
    session_ = RdoSession();
    qunsetenv("VASNIK_PROFILE");
    // Every object a test made has been released by now: none may be left.
    ASSERT_TRUE(Entries().canUnloadNow);
    EXPECT_EQ(Entries().canUnloadNow(), S_OK) << "objects of the module are still alive";
  }

  QString ProfileDir() const { return temp_.path() + QStringLiteral("/profile"); }
  QString TempPath(const QString& name) const { return temp_.path() + u'/' + name; }

  void Logon(const QByteArray& profileIni = {}) {
    if (!profileIni.isEmpty()) WriteBytes(ProfileDir() + QStringLiteral("/profile.ini"), profileIni);
    session_.Logon();
  }

  static void WriteBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << S(path);
    file.write(bytes);
  }
  static QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  RdoMail NewMail(const RdoFolder& folder, const QString& subject) {
    RdoMail mail = folder.Items().Add(QStringLiteral("IPM.Note"));
    mail.SetSubject(subject);
    mail.Save();
    return mail;
  }

  QTemporaryDir temp_;
  RdoSession session_;
};

// ---- the module and its class factory -------------------------------------------------

TEST_F(VasnikModule, ExportsOnlyTheEntryPointsAndServesTheSessionClass) {
  ASSERT_TRUE(Entries().getClassObject);
  void* handle = dlopen(kModule.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(handle);
  EXPECT_FALSE(dlsym(handle, "_ZN6vasnik10StoreErrorC1ERK7QString")) << "engine symbols are exported";
  dlclose(handle);

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(Entries().getClassObject(ids::CLSID_SafeMailItem, IID_IClassFactory, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(Entries().getClassObject(ids::CLSID_RDOSession, IID_IDispatch, &object), E_NOINTERFACE);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(Entries().getClassObject(ids::CLSID_RDOSession, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(Entries().canUnloadNow(), S_FALSE) << "a factory is alive";
  IUnknown* session = nullptr;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown,
                                    reinterpret_cast<void**>(&session)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, ids::IID_ISafeMailItem, reinterpret_cast<void**>(&session)),
            E_NOINTERFACE);
  EXPECT_EQ(session, nullptr);
  ASSERT_EQ(factory->CreateInstance(nullptr, ids::IID_IRDOSession, reinterpret_cast<void**>(&session)), S_OK);
  factory->Release();
  EXPECT_EQ(Entries().canUnloadNow(), S_FALSE) << "a session is alive";
  session->Release();
}

// ---- session --------------------------------------------------------------------------

TEST_F(VasnikModule, LogonCreatesTheDefaultProfileAndLogoffEndsIt) {
  EXPECT_FALSE(session_.LoggedOn());
  const Raised early = RaisedBy([&] { session_.Stores(); });
  EXPECT_EQ(early.message, "the session is not logged on");

  session_.Logon();  // six omitted arguments
  EXPECT_TRUE(session_.LoggedOn());
  EXPECT_TRUE(QFileInfo(ProfileDir() + "/profile.ini").isFile());
  EXPECT_EQ(session_.OutlookVersion(), "16.0.0.0");
  EXPECT_TRUE(session_.CurrentUser().SMTPAddress().endsWith("@localhost")) << S(session_.CurrentUser().SMTPAddress());
  ASSERT_EQ(session_.Stores().Count(), 1);
  EXPECT_EQ(session_.Stores().Item(1).Name(), "Personal Folders");

  session_.Logoff();
  EXPECT_FALSE(session_.LoggedOn());
  EXPECT_EQ(RaisedBy([&] { session_.GetDefaultFolder(ids::olFolderInbox); }).message,
            "the session is not logged on");
}

TEST_F(VasnikModule, UnreadableProfileFailsLogonWithTheEnginesMessage) {
  QDir().mkpath(ProfileDir() + "/profile.ini");  // a directory where the file belongs
  const Raised raised = RaisedBy([&] { session_.Logon(); });
  EXPECT_EQ(raised.status, E_FAIL);
  EXPECT_TRUE(raised.message.contains("profile.ini")) << S(raised.message);
  EXPECT_FALSE(session_.LoggedOn());

  WriteBytes(ProfileDir() + "/other/profile.ini", "[Store1]\nKind=9\n");
  qputenv("VASNIK_PROFILE", (ProfileDir() + "/other").toUtf8());
  const Raised badKind = RaisedBy([&] { session_.Logon(); });
  EXPECT_TRUE(badKind.message.contains("Kind=9")) << S(badKind.message);
  EXPECT_FALSE(session_.LoggedOn());
}

TEST_F(VasnikModule, StoresKindsAccountsAndOwners) {
  Logon("[Profile]\nUserAddress=me@home.test\n"
        "[Store1]\nName=Personal\nKind=2\nAccountAddress=pop@mail.test\n"
        "[Store2]\nName=Mailbox\nKind=3\nAccountAddress=me@corp.test\n"
        "[Store3]\nName=Delegate\nKind=4\nAccountType=none\nOwnerAddress=boss@corp.test\n");
  const outlook::RdoStores stores = session_.Stores();
  ASSERT_EQ(stores.Count(), 3);
  const RdoStore personal = stores.Item(1), mailbox = stores.Item(2), delegate = stores.Item(3);
  EXPECT_EQ(personal.StoreKind(), 2);
  EXPECT_EQ(mailbox.StoreKind(), 3);
  EXPECT_EQ(delegate.StoreKind(), 4);
  EXPECT_EQ(personal.StoreAccount().AccountType(), 0);
  EXPECT_EQ(personal.StoreAccount().SMTPAddress(), "pop@mail.test");
  EXPECT_EQ(mailbox.StoreAccount().AccountType(), 3);
  EXPECT_EQ(mailbox.Owner().SMTPAddress(), "me@corp.test");
  EXPECT_TRUE(delegate.StoreAccount().IsNull()) << "a store without an account answers Nothing";
  EXPECT_EQ(delegate.Owner().SMTPAddress(), "boss@corp.test");

  EXPECT_EQ(session_.GetStoreFromID(mailbox.EntryID()).Name(), "Mailbox");
  EXPECT_EQ(RdoStore(stores.Dispatch().Get(n::kItem, "delegate").ToDispatch()).EntryID(), delegate.EntryID());
  EXPECT_EQ(RaisedBy([&] { stores.Item(4); }).message, "there is no store 4 (the profile has 3)");
  EXPECT_TRUE(RaisedBy([&] { session_.GetStoreFromID(personal.IPMRootFolder().EntryID()); })
                  .message.startsWith("no store with entry identifier"));
}

// ---- folders --------------------------------------------------------------------------

TEST_F(VasnikModule, DefaultFoldersAndTheFolderTree) {
  Logon();
  const RdoStore store = session_.Stores().Item(1);
  EXPECT_EQ(session_.GetDefaultFolder(ids::olFolderInbox).Name(), "Inbox");
  EXPECT_EQ(session_.GetDefaultFolder(ids::olFolderDrafts).Name(), "Drafts");
  const RdoFolder deleted = store.GetDefaultFolder(ids::olFolderDeletedItems);
  EXPECT_EQ(deleted.Name(), "Deleted Items");
  EXPECT_EQ(deleted.StoreID(), store.EntryID());
  EXPECT_EQ(deleted.FolderPath(), "\\\\Personal Folders\\Deleted Items");

  const RdoFolder root = store.IPMRootFolder();
  EXPECT_EQ(root.EntryID(), store.RootFolder().EntryID());
  const outlook::RdoFolders folders = root.Folders();
  QStringList walked;
  for (RdoFolder f = folders.GetFirst(); f; f = folders.GetNext()) walked << f.Name();
  EXPECT_EQ(walked, QStringList({"Calendar", "Contacts", "Deleted Items", "Drafts", "Inbox", "Outbox",
                                 "Sent Items", "Tasks"}));
  EXPECT_TRUE(folders.GetNext().IsNull()) << "past the end stays Nothing";
  ASSERT_EQ(folders.Count(), 8);
  for (int i = 1; i <= folders.Count(); ++i) EXPECT_EQ(folders.Item(i).Name(), walked[i - 1]);
  EXPECT_EQ(folders.Item(1).DefaultItemType(), ids::olAppointmentItem);
  EXPECT_EQ(folders.Item(5).DefaultItemType(), 0);

  // Each Folders object keeps its own cursor.
  const outlook::RdoFolders other = root.Folders();
  EXPECT_EQ(folders.GetFirst().Name(), "Calendar");
  EXPECT_EQ(other.GetFirst().Name(), "Calendar");
  EXPECT_EQ(folders.GetNext().Name(), "Contacts");
  EXPECT_EQ(other.GetNext().Name(), "Contacts");
  EXPECT_EQ(folders.GetNext().Name(), "Deleted Items");

  // Parent: the folder above, Nothing above the root.
  const DispatchRef inbox = session_.GetDefaultFolder(ids::olFolderInbox).Dispatch();
  EXPECT_EQ(RdoFolder(inbox.Get(n::kParent).ToDispatch()).EntryID(), root.EntryID());
  EXPECT_TRUE(root.Dispatch().Get(n::kParent).ToDispatch().IsNull());
  EXPECT_EQ(RdoStore(inbox.Get(n::kStore).ToDispatch()).EntryID(), store.EntryID());
  EXPECT_EQ(RdoFolder(folders.Dispatch().Get(n::kItem, "INBOX").ToDispatch()).Name(), "Inbox");
}

TEST_F(VasnikModule, ObjectsByIdentifierAndTheErrorWhenNotFound) {
  Logon();
  const RdoFolder inbox = session_.GetDefaultFolder(ids::olFolderInbox);
  const RdoMail mail = NewMail(inbox, "By id");
  EXPECT_EQ(session_.GetFolderFromID(inbox.EntryID(), inbox.StoreID()).Name(), "Inbox");
  EXPECT_EQ(session_.GetFolderFromID(inbox.EntryID().toLower(), QString()).Name(), "Inbox");
  EXPECT_EQ(session_.GetMessageFromID(mail.EntryID(), inbox.StoreID()).Subject(), "By id");

  QString missingFolder = inbox.EntryID();
  missingFolder[missingFolder.size() - 1] = missingFolder.endsWith(u'0') ? u'1' : u'0';
  const Raised folderError = RaisedBy([&] { session_.GetFolderFromID(missingFolder, inbox.StoreID()); });
  EXPECT_EQ(folderError.status, E_FAIL);
  EXPECT_EQ(folderError.message, QStringLiteral("no folder with entry identifier \"%1\"").arg(missingFolder));

  const QString missingMessage = inbox.EntryID() + "4E6F6E65";
  EXPECT_EQ(RaisedBy([&] { session_.GetMessageFromID(missingMessage, inbox.StoreID()); }).message,
            QStringLiteral("no message with entry identifier \"%1\"").arg(missingMessage));

  // The flags argument may also be given.
  EXPECT_EQ(RdoFolder(session_.Dispatch().Call(n::kGetFolderFromID, inbox.EntryID(), inbox.StoreID(), 0).ToDispatch())
                .Name(),
            "Inbox");
}

// ---- items and messages -----------------------------------------------------------------

TEST_F(VasnikModule, ItemsAddSaveAndRestrict) {
  Logon();
  const RdoFolder drafts = session_.GetDefaultFolder(ids::olFolderDrafts);
  RdoMail update = drafts.Items().Add("IPM.Note");
  EXPECT_TRUE(update.EntryID().isEmpty()) << "not saved yet";
  update.SetSubject("Pendrix Update Email");
  update.SetBody("line 1\r\nline 2");
  update.Save();
  EXPECT_FALSE(update.EntryID().isEmpty());
  NewMail(drafts, "Something else");

  const outlook::RdoItems items = drafts.Items();
  EXPECT_EQ(items.Count(), 2);
  const outlook::RdoItems found = items.Restrict("Subject = 'Pendrix Update Email'");
  ASSERT_EQ(found.Count(), 1);
  const RdoMail again = found.Item(1);
  EXPECT_EQ(again.EntryID(), update.EntryID());
  EXPECT_EQ(again.Body(), "line 1\r\nline 2");
  EXPECT_EQ(again.MessageClass(), "IPM.Note");
  EXPECT_EQ(again.Parent().EntryID(), drafts.EntryID());
  EXPECT_EQ(again.Store().EntryID(), drafts.StoreID());
  again.SetUnRead(true);
  EXPECT_TRUE(again.Dispatch().Get(n::kUnRead).ToBool());

  EXPECT_TRUE(RaisedBy([&] { items.Restrict("Body = 'x'"); }).message.contains("unsupported filter"));
  EXPECT_TRUE(RaisedBy([&] { items.Item(3); }).status < 0);

  // Add with the class omitted, or an item type, gives the folder's or the type's class.
  const RdoFolder calendar = session_.GetDefaultFolder(9);
  EXPECT_EQ(RdoMail(calendar.Items().Dispatch().Call(n::kAdd, Omitted()).ToDispatch()).MessageClass(),
            "IPM.Appointment");
  EXPECT_EQ(RdoMail(drafts.Items().Dispatch().Call(n::kAdd, 6).ToDispatch()).MessageClass(), "IPM.Post");
}

TEST_F(VasnikModule, MessageFileRoundTripThroughSaveAsOpenAndImport) {
  Logon();
  const RdoFolder drafts = session_.GetDefaultFolder(ids::olFolderDrafts);
  const QString attachmentPath = TempPath("list.txt");
  WriteBytes(attachmentPath, "folder list\n");
  RdoMail mail = drafts.Items().Add("IPM.Note");
  mail.SetSubject("  exact subject ");
  mail.SetBody("body\n");
  mail.SetNamedProperty("Varnel", "Outgoing");
  mail.Attachments().Add(attachmentPath, ids::olByValue, 1, "list.txt");
  const QString file = TempPath("saved.msg");
  mail.SaveAs(file, ids::olMSG);

  const RdoMail opened = session_.GetMessageFromMsgFile(file, false);
  EXPECT_EQ(opened.Subject(), "  exact subject ");
  EXPECT_EQ(opened.Body(), "body\n");
  EXPECT_TRUE(opened.EntryID().isEmpty());
  EXPECT_TRUE(opened.Parent().IsNull());
  EXPECT_TRUE(opened.Store().IsNull());

  const RdoFolder inbox = session_.GetDefaultFolder(ids::olFolderInbox);
  RdoMail target = inbox.Items().Add("IPM.Post");
  target.Import(file, ids::olMSG);
  target.Save();
  const RdoMail stored = session_.GetMessageFromID(target.EntryID(), inbox.StoreID());
  EXPECT_EQ(stored.Subject(), "  exact subject ");
  EXPECT_EQ(stored.MessageClass(), "IPM.Post") << "import keeps the target's class";
  EXPECT_EQ(stored.NamedProperty("Varnel"), "Outgoing");
  EXPECT_EQ(stored.Attachments().Count(), 1);

  EXPECT_TRUE(RaisedBy([&] { mail.SaveAs(TempPath("other"), 5); }).message.contains("format 5"));
  EXPECT_TRUE(RaisedBy([&] { session_.GetMessageFromMsgFile(TempPath("missing.msg"), false); })
                  .message.contains("missing.msg"));
}

TEST_F(VasnikModule, AttachmentsKeepBytesAndNames) {
  Logon();
  const RdoFolder drafts = session_.GetDefaultFolder(ids::olFolderDrafts);
  QByteArray bytes;
  for (int i = 0; i < 1000; ++i) bytes.append(char(i * 7));
  const QString source = TempPath("package.zip");
  WriteBytes(source, bytes);

  RdoMail mail = drafts.Items().Add("IPM.Note");
  const outlook::RdoAttachment added = mail.Attachments().Add(source, ids::olByValue, 1, "Shown name");
  EXPECT_EQ(added.FileName(), "package.zip");
  EXPECT_EQ(added.Dispatch().Get(u"DisplayName").ToString(), "Shown name");
  // Type, position and display name omitted: by value, the file's own name.
  const DispatchRef plain = mail.Attachments().Dispatch().Call(n::kAdd, source, Omitted(), Omitted(), Omitted()).ToDispatch();
  EXPECT_EQ(plain.Get(u"DisplayName").ToString(), "package.zip");
  mail.Save();

  const RdoMail stored = session_.GetMessageFromID(mail.EntryID(), drafts.StoreID());
  const outlook::RdoAttachments attachments = stored.Attachments();
  ASSERT_EQ(attachments.Count(), 2);
  attachments.Item(1).SaveAsFile(TempPath("out.zip"));
  EXPECT_EQ(ReadBytes(TempPath("out.zip")), bytes);
  EXPECT_EQ(attachments.Item(2).FileName(), "package.zip");

  EXPECT_TRUE(RaisedBy([&] { attachments.Item(3); }).message.contains("no attachment 3"));
  EXPECT_TRUE(RaisedBy([&] { mail.Attachments().Add(source, 5, 1, "x"); }).message.contains("type 5"));
  EXPECT_TRUE(RaisedBy([&] { mail.Attachments().Add(TempPath("absent"), 1, 1, "x"); }).status < 0);
}

TEST_F(VasnikModule, RecipientsAddAndResolve) {
  Logon();
  RdoMail mail = session_.GetDefaultFolder(ids::olFolderDrafts).Items().Add("IPM.Note");
  const outlook::RdoRecipients recipients = mail.Recipients();
  recipients.Add("peer@example.org");
  const DispatchRef named = recipients.Dispatch().Call(n::kAdd, "Pat Peer <pat@example.org>").ToDispatch();
  EXPECT_EQ(named.Get(u"Name").ToString(), "Pat Peer");
  EXPECT_EQ(named.Get(u"Address").ToString(), "pat@example.org");
  EXPECT_EQ(recipients.Count(), 2);
  EXPECT_EQ(mail.Recipients().Count(), 2) << "a new collection object sees the same item";
  EXPECT_TRUE(recipients.ResolveAll());
  recipients.Add("nobody");
  EXPECT_FALSE(recipients.ResolveAll());
  EXPECT_EQ(recipients.Dispatch().Get(n::kItem, 1).ToDispatch().Get(u"Address").ToString(), "peer@example.org");
}

TEST_F(VasnikModule, NamedPropertiesThroughFieldsAreLocalOnly) {
  Logon();
  const RdoFolder drafts = session_.GetDefaultFolder(ids::olFolderDrafts);
  RdoMail mail = NewMail(drafts, "marked");
  EXPECT_EQ(mail.NamedProperty("Varnel"), QString()) << "never set reads as empty";
  mail.SetNamedProperty("Varnel", "Outgoing");
  EXPECT_EQ(mail.NamedProperty("Varnel"), "Outgoing");
  mail.Save();
  EXPECT_EQ(session_.GetMessageFromID(mail.EntryID(), drafts.StoreID()).NamedProperty("Varnel"), "Outgoing");

  // On disk it is a local-only property, which the transport never sends.
  QByteArray stored;
  for (const QString& sub : {QStringLiteral("cur"), QStringLiteral("new")}) {
    const QDir dir(ProfileDir() + "/stores/personal/Drafts/" + sub);
    for (const QString& name : dir.entryList(QDir::Files)) stored += ReadBytes(dir.filePath(name));
  }
  EXPECT_TRUE(stored.contains("X-Vasnik-Local-Property: Varnel=Outgoing")) << stored.toStdString();

  const QString subjectTag = QStringLiteral("http://schemas.microsoft.com/mapi/proptag/0x0037001F");
  EXPECT_TRUE(RaisedBy([&] { mail.Dispatch().Get(n::kFields, subjectTag); }).message.contains("not supported"));
}

TEST_F(VasnikModule, DeleteFlagsAndSend) {
  Logon();
  const RdoStore store = session_.Stores().Item(1);
  const RdoFolder inbox = session_.GetDefaultFolder(ids::olFolderInbox);
  const RdoFolder deleted = store.GetDefaultFolder(ids::olFolderDeletedItems);
  RdoMail soft = NewMail(inbox, "soft"), moved = NewMail(inbox, "moved"), hard = NewMail(inbox, "hard");
  RdoMail omitted = NewMail(inbox, "omitted");
  ASSERT_EQ(inbox.Items().Count(), 4);
  soft.Delete(0);
  moved.Delete(ids::dfMoveToDeletedItems);
  hard.Delete(2);
  omitted.Dispatch().Call(n::kDelete);  // flags omitted: as 0
  EXPECT_EQ(inbox.Items().Count(), 0);
  ASSERT_EQ(deleted.Items().Count(), 1);
  EXPECT_EQ(deleted.Items().Item(1).Subject(), "moved");
  EXPECT_EQ(soft.Subject(), "soft") << "a deleted item still answers from memory";

  const RdoMail kept = NewMail(inbox, "kept");
  EXPECT_EQ(RaisedBy([&] { kept.Delete(7); }).message, "7 is not a delete flag (0, 1 or 2)");

  // Send queues in the Outbox and takes the draft away.
  const RdoFolder drafts = session_.GetDefaultFolder(ids::olFolderDrafts);
  RdoMail mail = NewMail(drafts, "Pendrix Update Email");
  EXPECT_TRUE(RaisedBy([&] { mail.Send(); }).message.contains("has no recipients"));
  mail.Recipients().Add("peer@example.org");
  mail.SetNamedProperty("Varnel", "Outgoing");
  mail.Send();
  EXPECT_EQ(drafts.Items().Count(), 0);
  const outlook::RdoItems outbox = store.GetDefaultFolder(4).Items();
  ASSERT_EQ(outbox.Count(), 1);
  EXPECT_EQ(outbox.Item(1).Subject(), "Pendrix Update Email");
  EXPECT_EQ(outbox.Item(1).NamedProperty("Varnel"), "Outgoing");
}

// ---- the folder picker ------------------------------------------------------------------

TEST_F(VasnikModule, PickFolderReturnsTheChoiceOrNothing) {
  Logon();
  QTimer::singleShot(0, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
  EXPECT_TRUE(session_.PickFolder(ids::olAppointmentItem).IsNull());

  // The default item type preselects its folder.
  QTimer::singleShot(0, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->accept();
  });
  EXPECT_EQ(session_.PickFolder(ids::olAppointmentItem).Name(), "Calendar");

  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    auto* tree = dialog->findChild<QTreeWidget*>();
    const auto found = tree->findItems("Sent Items", Qt::MatchExactly | Qt::MatchRecursive);
    if (!found.isEmpty()) tree->setCurrentItem(found.first());
    dialog->accept();
  });
  EXPECT_EQ(session_.PickFolder(0).Name(), "Sent Items");
}

// ---- how members are called ---------------------------------------------------------------

// Invokes a member with raw arguments (given last first, as COM passes them).
HRESULT RawInvoke(const DispatchRef& object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                  EXCEPINFO* exception = nullptr, UINT* argErr = nullptr) {
  DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, UINT(args.size()), 0};
  return object.Interface()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, argErr);
}

TEST_F(VasnikModule, MembersByNameArgumentsAndStatuses) {
  Logon();
  const DispatchRef session = session_.Dispatch();
  EXPECT_EQ(session.IdOfName(u"loggedon"), session.IdOfName(n::kLoggedOn));
  EXPECT_EQ(RaisedBy([&] { session.IdOfName(u"NoSuchMember"); }).status, DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(session.Invoke(n::kLoggedOn, DISPATCH_PROPERTYGET, {}).ToBool());
  EXPECT_TRUE(session.Invoke(n::kLoggedOn, DISPATCH_METHOD, {}).ToBool());

  // Arguments: required, too many, mistyped, numbers from text and reals.
  EXPECT_EQ(RaisedBy([&] { session.Call(n::kGetDefaultFolder); }).status, DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(RaisedBy([&] { session.Call(n::kGetDefaultFolder, 6, 1); }).status, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(RaisedBy([&] { session.Call(n::kGetDefaultFolder, "six"); }).status, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(RdoFolder(session.Call(n::kGetDefaultFolder, "6").ToDispatch()).Name(), "Inbox");
  EXPECT_EQ(RdoFolder(session.Call(n::kGetDefaultFolder, 16.0).ToDispatch()).Name(), "Drafts");

  // Arguments by reference, and the position of a mistyped one.
  VARIANT result;
  VariantInit(&result);
  LONG kind = 6;
  VARIANT byRef;
  byRef.vt = VT_BYREF | VT_I4;
  byRef.plVal = &kind;
  const DISPID getDefaultFolder = session.IdOfName(n::kGetDefaultFolder);
  ASSERT_EQ(RawInvoke(session, getDefaultFolder, DISPATCH_METHOD, {byRef}, &result), S_OK);
  EXPECT_EQ(RdoFolder(Variant::Adopt(result).ToDispatch()).Name(), "Inbox");
  VARIANT inner;
  inner.vt = VT_I4;
  inner.lVal = 16;
  VARIANT variantRef;
  variantRef.vt = VT_BYREF | VT_VARIANT;
  variantRef.pvarVal = &inner;
  ASSERT_EQ(RawInvoke(session, getDefaultFolder, DISPATCH_METHOD, {variantRef}, &result), S_OK);
  EXPECT_EQ(RdoFolder(Variant::Adopt(result).ToDispatch()).Name(), "Drafts");
  const Variant path("x"), notBool("maybe");
  UINT argErr = 99;
  EXPECT_EQ(RawInvoke(session, session.IdOfName(n::kGetMessageFromMsgFile), DISPATCH_METHOD,
                      {notBool.Raw(), path.Raw()}, &result, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u) << "createNew is rgvarg[0]";

  // A failure carries the library's name and the engine's text.
  EXCEPINFO info{};
  const Variant badId("00000000");
  EXPECT_EQ(RawInvoke(session, session.IdOfName(n::kGetFolderFromID), DISPATCH_METHOD, {badId.Raw()}, &result, &info),
            DISP_E_EXCEPTION);
  EXPECT_EQ(outlook::BstrToQString(info.bstrSource), "vasnik");
  EXPECT_EQ(outlook::BstrToQString(info.bstrDescription), "\"00000000\" is not a folder entry identifier");
  EXPECT_EQ(info.scode, E_FAIL);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);

  // A collection's Item is its default member.
  const DispatchRef stores = session_.Stores().Dispatch();
  const Variant one(1);
  ASSERT_EQ(RawInvoke(stores, DISPID_VALUE, DISPATCH_PROPERTYGET, {one.Raw()}, &result), S_OK);
  EXPECT_EQ(RdoStore(Variant::Adopt(result).ToDispatch()).Name(), "Personal Folders");

  // Writing a property that cannot be written; writing with an index.
  RdoMail mail = session_.GetDefaultFolder(ids::olFolderDrafts).Items().Add("IPM.Note");
  EXPECT_EQ(RaisedBy([&] { mail.Dispatch().Put(n::kMessageClass, "IPM.Post"); }).status, DISP_E_MEMBERNOTFOUND);
  mail.Dispatch().PutIndexed(n::kFields, {Variant(u"Plain")}, Variant(42));
  EXPECT_EQ(mail.Dispatch().Get(n::kFields, "Plain").ToString(), "42");
}

TEST_F(VasnikModule, InterfacesAndTypeInformation) {
  Logon();
  UINT count = 9;
  EXPECT_EQ(session_.Dispatch().Interface()->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(session_.Dispatch().QueryInterface(ids::IID_IRDOSession).IsNull());
  const RdoFolder inbox = session_.GetDefaultFolder(ids::olFolderInbox);
  EXPECT_EQ(inbox.Dispatch().QueryInterface(ids::IID_IRDOFolder), inbox.Dispatch());
  EXPECT_EQ(inbox.Dispatch().QueryInterface(ids::IID_IRDOFolder2), inbox.Dispatch());
  EXPECT_THROW(session_.Stores().Item(1).Dispatch().QueryInterface(ids::IID_IRDOFolder), outlook::InterfaceCastError);
  EXPECT_THROW(inbox.Dispatch().QueryInterface(ids::IID_IRDOSession), outlook::InterfaceCastError);
}

// ---- lifetimes --------------------------------------------------------------------------

TEST_F(VasnikModule, ObjectsOutliveTheSessionObjectAndAnswerAfterLogoff) {
  Logon();
  RdoFolder inbox = session_.GetDefaultFolder(ids::olFolderInbox);
  const RdoMail mail = NewMail(inbox, "kept alive");
  const QString entryId = inbox.EntryID();

  // Released while logged on: what the program still holds keeps working.
  session_ = RdoSession();
  EXPECT_EQ(inbox.Items().Count(), 1);
  EXPECT_EQ(mail.Parent().Name(), "Inbox");

  // Logged off through a new session object of the same profile: objects
  // of the old one are untouched; the new one's answer from memory only.
  session_ = RdoSession(outlook::LoaderInstance().new_RDOSession());
  session_.Logon();
  const RdoFolder other = session_.GetDefaultFolder(ids::olFolderInbox);
  EXPECT_EQ(other.EntryID(), entryId);
  session_.Logoff();
  EXPECT_EQ(other.EntryID(), entryId);
  EXPECT_EQ(other.Name(), "Inbox");
  EXPECT_EQ(RaisedBy([&] { other.Dispatch().Get(n::kStore); }).message, "the session has logged off");
  EXPECT_EQ(inbox.Items().Count(), 1);
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv); }
