// Store events of the stand-in library as a program's sink receives them:
// the module loaded by the program's loader, a sink of our own that finds
// the event interface through the store's type information (as the
// program's sink does, by either route), and changes made by the library,
// by other processes (a mail server's delivery, mv, cp, khal) and by a
// flood that overflows the kernel's queue.

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "outlook/com_ptr.h"
#include "outlook/messaging.h"
#include "outlook/redemption_ids.h"
#include "outlook/redemption_loader.h"
#include "tests/support/fake_com.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"

namespace {

using outlook::ComPtr;
using outlook::RdoFolder;
using outlook::RdoMail;
using outlook::RdoSession;
using outlook::RdoStore;
namespace ids = outlook::ids;

const QString kModule = QStringLiteral(VASNIK_MODULE);
// The interface the library documents for its store events.
constexpr IID kStoreEventsIid = {0xFCA98E40, 0x05A8, 0x4EF2, {0xA2, 0xBE, 0xF2, 0xA7, 0x9B, 0x6A, 0xF2, 0x10}};

std::string S(const QString& text) { return text.toStdString(); }

// The module's DllCanUnloadNow, through a handle of our own.
HRESULT ModuleCanUnloadNow() {
  static const auto canUnloadNow = []() -> HRESULT (*)() {
    void* handle = dlopen(kModule.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    return handle ? reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow")) : nullptr;
  }();
  return canUnloadNow ? canUnloadNow() : E_FAIL;
}

struct Received {
  QString name;
  QStringList args;
  std::string Text() const { return S(name + u'(' + args.join(u", ") + u')'); }
};

// A sink of our own. It learns the event names and dispatch ids from the
// source's type information and records each call with its arguments in
// declaration order; anything off the contract (another invocation kind, an
// argument that is not text, a count that the type information does not
// give) is recorded as a fault.
class RecordingSink final : public IDispatch {
 public:
  enum class Route { ClassInfo, Enumeration };

  ~RecordingSink() { Disconnect(); }

  // Finds the event interface and connects. Empty on success, else why not.
  QString Connect(IDispatch* source, Route route) {
    auto container = ComPtr<IDispatch>(source).As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    if (!container) return "no connection-point container";
    ComPtr<ITypeInfo> events;
    if (route == Route::ClassInfo) {
      auto provide = ComPtr<IDispatch>(source).As<IProvideClassInfo>(IID_IProvideClassInfo);
      if (!provide) return "no class information";
      ComPtr<ITypeInfo> coclass;
      if (FAILED(provide->GetClassInfo(coclass.Receive())) || !coclass) return "GetClassInfo failed";
      TYPEATTR* attr = nullptr;
      if (FAILED(coclass->GetTypeAttr(&attr))) return "no class attributes";
      const TYPEKIND kind = attr->typekind;
      const WORD implemented = attr->cImplTypes;
      coclass->ReleaseTypeAttr(attr);
      if (kind != TKIND_COCLASS) return "class information is not a coclass";
      for (UINT i = 0; i < implemented && !events; ++i) {
        INT flags = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
        if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
          continue;
        HREFTYPE ref = 0;
        if (FAILED(coclass->GetRefTypeOfImplType(i, &ref))) return "no reference";
        if (FAILED(coclass->GetRefTypeInfo(ref, events.Receive()))) return "no referenced type";
      }
      if (!events) return "no default source interface";
      if (FAILED(events->GetTypeAttr(&attr))) return "no interface attributes";
      iid_ = attr->guid;
      events->ReleaseTypeAttr(attr);
      if (FAILED(container->FindConnectionPoint(iid_, point_.Receive()))) return "FindConnectionPoint failed";
    } else {
      ComPtr<IEnumConnectionPoints> points;
      if (FAILED(container->EnumConnectionPoints(points.Receive())) || !points) return "no enumerator";
      points->Reset();
      IConnectionPoint* fetched[10] = {};
      ULONG count = 0;
      points->Next(10, fetched, &count);
      ComPtr<ITypeInfo> own;
      ComPtr<ITypeLib> library;
      UINT index = 0;
      if (FAILED(source->GetTypeInfo(0, 0x800, own.Receive())) || !own) return "no type information";
      if (FAILED(own->GetContainingTypeLib(library.Receive(), &index))) return "no type library";
      for (ULONG i = 0; i < count; ++i) {
        auto point = ComPtr<IConnectionPoint>::Adopt(fetched[i]);
        IID iid{};
        ComPtr<ITypeInfo> info;
        if (point_ || FAILED(point->GetConnectionInterface(&iid)) ||
            FAILED(library->GetTypeInfoOfGuid(iid, info.Receive())))
          continue;
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr))) continue;
        const bool dispatch = attr->typekind == TKIND_DISPATCH;
        info->ReleaseTypeAttr(attr);
        if (!dispatch) continue;
        point_ = point;
        iid_ = iid;
        events = info;
      }
      if (!point_) return "no dispatch interface among the connection points";
    }

    TYPEATTR* attr = nullptr;
    if (FAILED(events->GetTypeAttr(&attr))) return "no interface attributes";
    const WORD functions = attr->cFuncs;
    events->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < functions; ++i) {
      FUNCDESC* desc = nullptr;
      if (FAILED(events->GetFuncDesc(i, &desc))) continue;
      BSTR name = nullptr;
      if (SUCCEEDED(events->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr))) {
        const QString text = QString::fromUtf16(name, SysStringLen(name));
        names_.push_back(text);
        byId_[desc->memid] = {text, desc->cParams};
        SysFreeString(name);
      }
      events->ReleaseFuncDesc(desc);
    }
    if (FAILED(point_->Advise(static_cast<IDispatch*>(this), &cookie_))) return "Advise failed";
    return {};
  }

  void Disconnect() {
    if (point_ && cookie_) point_->Unadvise(cookie_);
    cookie_ = 0;
    point_.Reset();
  }

  const std::vector<Received>& Events() const { return events_; }
  void Clear() { events_.clear(); }
  const QStringList& Names() const { return names_; }
  DISPID IdOf(const QString& name) const {
    for (const auto& [id, event] : byId_)
      if (event.first == name) return id;
    return DISPID_UNKNOWN;
  }
  const IID& Interface() const { return iid_; }
  IConnectionPoint* Point() const { return point_.Get(); }
  DWORD Cookie() const { return cookie_; }
  ULONG References() const { return refs_; }
  const QStringList& Faults() const { return faults_; }
  // Called after each recorded event.
  std::function<void(const Received&)> onEvent;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return fake_com::Query(riid, ppvObject, {{IID_IDispatch, static_cast<IDispatch*>(this)}}, {iid_});
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) override {
    const auto known = byId_.find(id);
    if (known == byId_.end()) {
      faults_.append(QStringLiteral("unknown dispatch id %1").arg(id));
      return S_OK;
    }
    if (!IsEqualIID(riid, IID_NULL) || flags != DISPATCH_METHOD || result || exception || argumentError ||
        !params || params->cNamedArgs != 0 || int(params->cArgs) != known->second.second)
      faults_.append(known->second.first + QStringLiteral(": not invoked as the contract says"));
    Received received{known->second.first, {}};
    for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
      const VARIANT& argument = params->rgvarg[i];  // rgvarg[0] is the last argument
      if (argument.vt != VT_BSTR) faults_.append(known->second.first + QStringLiteral(": an argument is not text"));
      received.args.append(argument.vt == VT_BSTR ? QString::fromUtf16(argument.bstrVal, SysStringLen(argument.bstrVal))
                                                  : QString());
    }
    events_.push_back(received);
    if (onEvent) onEvent(received);
    return S_OK;
  }

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  IID iid_ = IID_NULL;
  QStringList names_;
  std::map<DISPID, std::pair<QString, int>> byId_;
  std::vector<Received> events_;
  QStringList faults_;
  ULONG refs_ = 0;
};

QByteArray Mail(const QString& subject) {
  return "From: Peer <peer@far.test>\nTo: me@home.test\nSubject: " + subject.toUtf8() +
         "\nMessage-ID: <" + QByteArray::number(qHash(subject)) + "@far.test>\n\nHello.\n";
}

QByteArray Event(const QString& uid, const QString& summary) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid.toUtf8() +
         "\r\nDTSTAMP:20310101T000000Z\r\nDTSTART:20310304T100000Z\r\nDTEND:20310304T110000Z\r\nSUMMARY:" +
         summary.toUtf8() + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << S(path);
  ASSERT_EQ(file.write(bytes), bytes.size());
}

bool Rename(const QString& from, const QString& to) {
  return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The Maildir delivery protocol: written into tmp/, renamed into new/.
void Deliver(const QString& maildir, const QString& name, const QByteArray& bytes) {
  WriteBytes(maildir + "/tmp/" + name, bytes);
  ASSERT_TRUE(Rename(maildir + "/tmp/" + name, maildir + "/new/" + name));
}

// The identifier of the item with that base name in the folder.
QString ItemId(const QString& folderId, const QString& base) {
  return folderId + QString::fromLatin1(base.toUtf8().toHex().toUpper());
}

// Lines the library logged through Qt (its default log).
QStringList g_logged;
void CaptureLog(QtMsgType, const QMessageLogContext&, const QString& message) { g_logged.append(message); }

class StoreEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    ASSERT_TRUE(QFileInfo::exists(kModule)) << S(kModule);
    qputenv("VASNIK_PROFILE", ProfileDir().toUtf8());
    outlook::LoaderInstance().SetDllLocation32Bit(kModule);
    session_ = RdoSession(outlook::LoaderInstance().new_RDOSession());
    session_.Logon();
    store_ = session_.Stores().Item(1);
    inbox_ = store_.GetDefaultFolder(ids::olFolderInbox);
    calendar_ = store_.GetDefaultFolder(9);
    deleted_ = store_.GetDefaultFolder(ids::olFolderDeletedItems);
    ASSERT_EQ(S(sink_.Connect(StoreObject(), RecordingSink::Route::ClassInfo)), "");
  }

  void TearDown() override {
    sink_.Disconnect();
    extra_.Disconnect();
    EXPECT_EQ(sink_.References(), 0u) << "the library kept a reference to the sink";
    EXPECT_TRUE(sink_.Faults().isEmpty()) << S(sink_.Faults().join("; "));
    store_ = RdoStore();
    inbox_ = calendar_ = deleted_ = RdoFolder();
    if (!session_.IsNull() && session_.LoggedOn()) session_.Logoff();
    session_ = RdoSession();
    qunsetenv("VASNIK_PROFILE");
    // Connection points, enumerators and type information were all released.
    EXPECT_EQ(ModuleCanUnloadNow(), S_OK) << "objects of the module are still alive";
  }

  IDispatch* StoreObject() const { return store_.Dispatch().Interface(); }
  QString ProfileDir() const { return temp_.path() + "/profile"; }
  QString StoreDir() const { return ProfileDir() + "/stores/personal"; }
  QString Dir(const QString& folder) const { return StoreDir() + u'/' + folder; }

  // Runs the event loop until the sink holds count events, then a while
  // longer, so that an event too many shows as well.
  void Settle(size_t count, int timeoutMs = 10000) {
    EXPECT_TRUE(WaitFor([&] { return sink_.Events().size() >= count; }, timeoutMs))
        << "got " << sink_.Events().size() << " of " << count << " events" << Listing();
    WaitFor([] { return false; }, 300);
  }
  std::string Listing() const {
    std::string text;
    for (const Received& event : sink_.Events()) text += "\n  " + event.Text();
    return text;
  }
  void ExpectEvents(const std::vector<Received>& expected) {
    ASSERT_EQ(sink_.Events().size(), expected.size()) << Listing();
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(sink_.Events()[i].name, expected[i].name) << i << Listing();
      EXPECT_EQ(sink_.Events()[i].args, expected[i].args) << i << Listing();
    }
  }
  int Count(const QString& name) const {
    return int(std::count_if(sink_.Events().begin(), sink_.Events().end(),
                             [&](const Received& event) { return event.name == name; }));
  }
  // The base name of the only item file of a vdir or a Maildir's cur/+new/.
  static QString OnlyFile(const QString& directory) {
    QStringList files = QDir(directory).entryList({"*.ics"}, QDir::Files);
    if (files.isEmpty())
      files = QDir(directory + "/cur").entryList(QDir::Files) + QDir(directory + "/new").entryList(QDir::Files);
    return files.size() == 1 ? files.first().section(u':', 0, 0) : QString();
  }

  QTemporaryDir temp_;
  RdoSession session_;
  RdoStore store_;
  RdoFolder inbox_, calendar_, deleted_;
  RecordingSink sink_;
  RecordingSink extra_;
};

// ---- how the store publishes its events -------------------------------------------------------

TEST_F(StoreEvents, BothRoutesFindTheEventInterfaceAndItsNames) {
  EXPECT_TRUE(IsEqualIID(sink_.Interface(), kStoreEventsIid));
  const QStringList names = {"OnMessageCreatedEx", "OnMessageModifiedEx", "OnMessageDeletedEx", "OnMessageMoved3",
                             "OnMessageCopied",    "OnFolderCreated",     "OnFolderDeleted",    "OnFolderMoved"};
  EXPECT_EQ(sink_.Names(), names);
  // Dispatch ids come from the type information, not from positions.
  EXPECT_EQ(sink_.IdOf("OnMessageCreatedEx"), 11);
  EXPECT_EQ(sink_.IdOf("OnFolderCreated"), 21);

  ASSERT_EQ(S(extra_.Connect(StoreObject(), RecordingSink::Route::Enumeration)), "");
  EXPECT_TRUE(IsEqualIID(extra_.Interface(), kStoreEventsIid));
  EXPECT_EQ(extra_.Names(), names);
  EXPECT_NE(extra_.Cookie(), sink_.Cookie());

  // The parameter names are there too, and the coclass is the library's.
  auto provide = ComPtr<IDispatch>(StoreObject()).As<IProvideClassInfo>(IID_IProvideClassInfo);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(provide->GetClassInfo(coclass.Receive()), S_OK);
  ComPtr<ITypeLib> library;
  ASSERT_EQ(coclass->GetContainingTypeLib(library.Receive(), nullptr), S_OK);
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(library->GetTypeInfoOfGuid(kStoreEventsIid, events.Receive()), S_OK);
  BSTR moved[5] = {};
  UINT got = 0;
  ASSERT_EQ(events->GetNames(14, moved, 5, &got), S_OK);
  ASSERT_EQ(got, 5u);
  EXPECT_EQ(QString::fromUtf16(moved[0]), "OnMessageMoved3");
  EXPECT_EQ(QString::fromUtf16(moved[4]), "OldEntryID");
  for (BSTR name : moved) SysFreeString(name);
  TYPEKIND kind = TKIND_MAX;
  ASSERT_EQ(library->GetTypeInfoType(2, &kind), S_OK);
  EXPECT_EQ(kind, TKIND_COCLASS);
  EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IDispatch, events.Receive()), TYPE_E_ELEMENTNOTFOUND);

  // Both sinks are connections of the point; each gets every event.
  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(sink_.Point()->EnumConnections(connections.Receive()), S_OK);
  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  for (CONNECTDATA& one : data)
    if (one.pUnk) one.pUnk->Release();
  connections.Reset();
  WriteBytes(Dir("Calendar/a.ics"), Event("a", "A"));
  Settle(1);
  EXPECT_EQ(sink_.Events().size(), 1u);
  EXPECT_EQ(extra_.Events().size(), 1u);
}

TEST_F(StoreEvents, ConnectionPointRefusesWhatItCannotServe) {
  auto container = ComPtr<IDispatch>(StoreObject()).As<IConnectionPointContainer>(IID_IConnectionPointContainer);
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, other.Receive()), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(sink_.Point()->Unadvise(sink_.Cookie() + 100), CONNECT_E_NOCONNECTION);
  // A sink that is no dispatch interface cannot connect.
  struct Plain : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
      return fake_com::Query(riid, out, {{IID_IUnknown, this}});
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } plain;
  DWORD cookie = 7;
  EXPECT_EQ(sink_.Point()->Advise(&plain, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);

  // After Logoff the store has no events: its objects cannot connect and
  // what changes raises nothing.
  session_.Logoff();
  EXPECT_EQ(extra_.Connect(StoreObject(), RecordingSink::Route::ClassInfo), "Advise failed");
  WriteBytes(Dir("Calendar/late.ics"), Event("late", "Late"));
  WaitFor([] { return false; }, 300);
  EXPECT_TRUE(sink_.Events().empty()) << Listing();
}

// ---- the library's own writes ---------------------------------------------------------------------

TEST_F(StoreEvents, LibraryWritesRaiseCreatedModifiedDeletedAndMoved) {
  RdoMail mail = inbox_.Items().Add("IPM.Note");
  mail.SetSubject("First");
  mail.Save();
  EXPECT_TRUE(sink_.Events().empty()) << "an event was raised inside the call";
  Settle(1);
  ExpectEvents({{"OnMessageCreatedEx", {mail.EntryID(), inbox_.EntryID()}}});

  sink_.Clear();
  mail.SetBody("Edited");
  mail.Save();
  Settle(1);
  ExpectEvents({{"OnMessageModifiedEx", {mail.EntryID(), inbox_.EntryID()}}});

  sink_.Clear();
  const QString mailId = mail.EntryID();
  mail.Delete(1);
  Settle(1);
  ASSERT_EQ(sink_.Events().size(), 1u) << Listing();
  const QString movedId = sink_.Events()[0].args.value(0);
  ExpectEvents({{"OnMessageMoved3", {movedId, inbox_.EntryID(), deleted_.EntryID(), mailId}}});
  EXPECT_TRUE(movedId.startsWith(deleted_.EntryID()));
  EXPECT_EQ(session_.GetMessageFromID(movedId, store_.EntryID()).Subject(), "First");

  // An appointment goes to Deleted Items as a mail: still one move.
  sink_.Clear();
  RdoMail meeting = calendar_.Items().Add("IPM.Appointment");
  meeting.SetSubject("Meeting");
  meeting.Save();
  const QString meetingId = meeting.EntryID();
  Settle(1);
  meeting.Delete(1);
  Settle(2);
  ASSERT_EQ(sink_.Events().size(), 2u) << Listing();
  const QString movedMeeting = sink_.Events()[1].args.value(0);
  ExpectEvents({{"OnMessageCreatedEx", {meetingId, calendar_.EntryID()}},
                {"OnMessageMoved3", {movedMeeting, calendar_.EntryID(), deleted_.EntryID(), meetingId}}});
  EXPECT_EQ(session_.GetMessageFromID(movedMeeting, store_.EntryID()).Subject(), "Meeting");

  // Deleted for good (2) and soft-deleted (0): both are deletions.
  sink_.Clear();
  RdoMail second = inbox_.Items().Add("IPM.Note");
  second.Save();
  RdoMail third = inbox_.Items().Add("IPM.Note");
  third.SetSubject("Third");
  third.Save();
  Settle(2);
  const QString secondId = second.EntryID(), thirdId = third.EntryID();
  sink_.Clear();
  second.Delete(2);
  third.Delete(0);
  Settle(2);
  ExpectEvents({{"OnMessageDeletedEx", {secondId, inbox_.EntryID()}},
                {"OnMessageDeletedEx", {thirdId, inbox_.EntryID()}}});
}

// Two items created alike are two items: the library's writes are never
// taken for copies, even byte for byte.
TEST_F(StoreEvents, LibraryWritesAreNeverCopies) {
  inbox_.Items().Add("IPM.Note").Save();
  inbox_.Items().Add("IPM.Note").Save();
  Settle(2);
  EXPECT_EQ(Count("OnMessageCreatedEx"), 2) << Listing();
}

// A call that runs an event loop (the folder picker) still raises nothing
// while it runs; the events follow when it returns.
TEST_F(StoreEvents, EventsWaitUntilALibraryCallReturns) {
  size_t duringCall = 99;
  QTimer::singleShot(0, [&] { Deliver(Dir("Inbox"), "1930000001.M1P1.mx", Mail("During the call")); });
  QTimer::singleShot(600, [&] {
    duringCall = sink_.Events().size();
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
  EXPECT_TRUE(session_.PickFolder(0).IsNull());
  EXPECT_EQ(duringCall, 0u);
  Settle(1);
  ExpectEvents({{"OnMessageCreatedEx", {ItemId(inbox_.EntryID(), "1930000001.M1P1.mx"), inbox_.EntryID()}}});
}

// ---- other programs --------------------------------------------------------------------------------

TEST_F(StoreEvents, MailServerDeliveryIsCreatedAndReadingItIsNothing) {
  // rename(2) from tmp/ (Dovecot, Postfix) and link(2) + unlink(2) (qmail).
  Deliver(Dir("Inbox"), "1930000000.M1P99.mx", Mail("Renamed in"));
  WriteBytes(Dir("Inbox/tmp/1930000000.M2P99.mx"), Mail("Linked in"));
  ASSERT_EQ(::link(QFile::encodeName(Dir("Inbox/tmp/1930000000.M2P99.mx")).constData(),
                   QFile::encodeName(Dir("Inbox/new/1930000000.M2P99.mx")).constData()), 0);
  ASSERT_EQ(::unlink(QFile::encodeName(Dir("Inbox/tmp/1930000000.M2P99.mx")).constData()), 0);
  // Neither the temporary files nor dot-files are items.
  WriteBytes(Dir("Inbox/tmp/1930000000.M3P99.mx"), Mail("Still in tmp"));
  WriteBytes(Dir("Inbox/new/.hidden"), Mail("Dot"));
  WriteBytes(Dir("Calendar/tmpk4f9s2"), Event("khal-temp", "Temp"));
  Settle(2);
  ExpectEvents({{"OnMessageCreatedEx", {ItemId(inbox_.EntryID(), "1930000000.M1P99.mx"), inbox_.EntryID()}},
                {"OnMessageCreatedEx", {ItemId(inbox_.EntryID(), "1930000000.M2P99.mx"), inbox_.EntryID()}}});

  // A mail client reads it (new/ -> cur/) and flags it: the same item.
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Inbox/new/1930000000.M1P99.mx"), Dir("Inbox/cur/1930000000.M1P99.mx:2,S")));
  Settle(0);
  ASSERT_TRUE(Rename(Dir("Inbox/cur/1930000000.M1P99.mx:2,S"), Dir("Inbox/cur/1930000000.M1P99.mx:2,RS")));
  Settle(0);
  EXPECT_TRUE(sink_.Events().empty()) << Listing();
  // Rewritten in place, it is modified.
  WriteBytes(Dir("Inbox/cur/1930000000.M1P99.mx:2,RS"), Mail("Renamed in, edited"));
  Settle(1);
  ExpectEvents({{"OnMessageModifiedEx", {ItemId(inbox_.EntryID(), "1930000000.M1P99.mx"), inbox_.EntryID()}}});
}

// A file written in place is reported once it is complete: not while the
// writer still holds it open.
TEST_F(StoreEvents, FileBeingWrittenWaitsUntilClosed) {
  const QByteArray bytes = Mail("Slow writer");
  const QString path = Dir("Inbox/new/1930000000.M4P99.mx");
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.constData(), 40), 40);
  WaitFor([] { return false; }, 500);
  EXPECT_TRUE(sink_.Events().empty()) << Listing();
  ASSERT_EQ(::write(fd, bytes.constData() + 40, size_t(bytes.size() - 40)), bytes.size() - 40);
  ::close(fd);
  Settle(1);
  ExpectEvents({{"OnMessageCreatedEx", {ItemId(inbox_.EntryID(), "1930000000.M4P99.mx"), inbox_.EntryID()}}});
}

TEST_F(StoreEvents, MovesBetweenFoldersAreOneMoveAndCopiesAreCopies) {
  // A second calendar, as vdirsyncer makes one: a directory with events.
  WriteBytes(Dir("Calendar/Team/team.ics"), Event("team", "Team event"));
  WriteBytes(Dir("Calendar/plan.ics"), Event("plan", "Plan"));
  Settle(3);
  ASSERT_EQ(sink_.Events().size(), 3u) << Listing();
  ASSERT_EQ(sink_.Events()[0].name, "OnFolderCreated") << Listing();
  const QString team = sink_.Events()[0].args.value(0);
  EXPECT_EQ(sink_.Events()[0].args.value(1), calendar_.EntryID());
  EXPECT_EQ(session_.GetFolderFromID(team, store_.EntryID()).DefaultItemType(), 1);
  EXPECT_EQ(Count("OnMessageCreatedEx"), 2) << Listing();

  // mv of a calendar file into the other calendar.
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Calendar/plan.ics"), Dir("Calendar/Team/plan.ics")));
  Settle(1);
  ExpectEvents({{"OnMessageMoved3",
                 {ItemId(team, "plan.ics"), calendar_.EntryID(), team, ItemId(calendar_.EntryID(), "plan.ics")}}});

  // mv of a mail between Maildirs, keeping its name and flags.
  Deliver(Dir("Inbox"), "1930000000.M5P99.mx", Mail("To be filed"));
  Settle(2);
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Inbox/new/1930000000.M5P99.mx"), Dir("Deleted Items/cur/1930000000.M5P99.mx:2,S")));
  Settle(1);
  ExpectEvents({{"OnMessageMoved3",
                 {ItemId(deleted_.EntryID(), "1930000000.M5P99.mx"), inbox_.EntryID(), deleted_.EntryID(),
                  ItemId(inbox_.EntryID(), "1930000000.M5P99.mx")}}});

  // Renamed within one folder: a new identifier, so deleted and created.
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Calendar/Team/plan.ics"), Dir("Calendar/Team/plan-2.ics")));
  Settle(2);
  ExpectEvents({{"OnMessageDeletedEx", {ItemId(team, "plan.ics"), team}},
                {"OnMessageCreatedEx", {ItemId(team, "plan-2.ics"), team}}});

  // cp: the same bytes as an item the store holds.
  sink_.Clear();
  ASSERT_TRUE(QFile::copy(Dir("Calendar/Team/team.ics"), Dir("Calendar/team.ics")));
  Settle(1);
  ExpectEvents({{"OnMessageCopied", {ItemId(calendar_.EntryID(), "team.ics")}}});
  // Moved out of the store: deleted.
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Calendar/team.ics"), temp_.path() + "/team.ics"));
  Settle(1);
  ExpectEvents({{"OnMessageDeletedEx", {ItemId(calendar_.EntryID(), "team.ics"), calendar_.EntryID()}}});
}

TEST_F(StoreEvents, FoldersAreCreatedMovedAndDeletedAfterTheirItems) {
  const QString root = store_.IPMRootFolder().EntryID();
  ASSERT_TRUE(QDir().mkpath(Dir("Projects/cur")));
  ASSERT_TRUE(QDir().mkpath(Dir("Projects/new")));
  ASSERT_TRUE(QDir().mkpath(Dir("Projects/tmp")));
  Deliver(Dir("Projects"), "1930000000.M6P99.mx", Mail("Project mail"));
  Settle(2);
  ASSERT_EQ(sink_.Events().size(), 2u) << Listing();
  const QString projects = sink_.Events()[0].args.value(0);
  ExpectEvents({{"OnFolderCreated", {projects, root}},
                {"OnMessageCreatedEx", {ItemId(projects, "1930000000.M6P99.mx"), projects}}});

  // Moved under the Inbox: the folder keeps its identifier, so do its items.
  sink_.Clear();
  ASSERT_TRUE(Rename(Dir("Projects"), Dir("Inbox/Projects")));
  Settle(1);
  ExpectEvents({{"OnFolderMoved", {projects, root, inbox_.EntryID()}}});
  Deliver(Dir("Inbox/Projects"), "1930000000.M7P99.mx", Mail("Second project mail"));
  Settle(2);
  ASSERT_EQ(sink_.Events().size(), 2u) << Listing();
  EXPECT_EQ(sink_.Events()[1].args, QStringList({ItemId(projects, "1930000000.M7P99.mx"), projects}));

  // Removed with what it holds: every item, then the folder.
  sink_.Clear();
  ASSERT_TRUE(QDir(Dir("Inbox/Projects")).removeRecursively());
  Settle(3);
  ASSERT_EQ(sink_.Events().size(), 3u) << Listing();
  EXPECT_EQ(Count("OnMessageDeletedEx"), 2);
  EXPECT_EQ(sink_.Events()[2].name, "OnFolderDeleted");
  EXPECT_EQ(sink_.Events()[2].args, QStringList({projects, inbox_.EntryID()}));
}

// ---- khal ---------------------------------------------------------------------------------------------

class KhalEvents : public StoreEvents {
 protected:
  void SetUp() override {
    StoreEvents::SetUp();
    khal_ = QStandardPaths::findExecutable("khal");
    ASSERT_FALSE(khal_.isEmpty()) << "khal is not installed (Debian package khal)";
    WriteBytes(temp_.path() + "/khal.conf",
               "[calendars]\n[[cal]]\npath = " + Dir("Calendar").toUtf8() +
                   "\ntype = calendar\n"
                   "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                   "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
                   "local_timezone = UTC\ndefault_timezone = UTC\n"
                   "[sqlite]\npath = " + temp_.path().toUtf8() + "/khal.db\n");
  }

  void Khal(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", temp_.path());
    environment.insert("TZ", "UTC");
    environment.insert("LC_ALL", "C.UTF-8");
    process.setProcessEnvironment(environment);
    process.start(khal_, QStringList{"-c", temp_.path() + "/khal.conf"} + arguments);
    process.write(input);
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
  }

  QString khal_;
};

TEST_F(KhalEvents, KhalNewEditAndDeleteAreCreatedModifiedDeleted) {
  // khal writes a temporary file and links it into place (new) or renames
  // it over the event (edit); it deletes with unlink.
  Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  const QString file = OnlyFile(Dir("Calendar"));
  ASSERT_FALSE(file.isEmpty());
  const QString id = ItemId(calendar_.EntryID(), file);
  Settle(1);
  ExpectEvents({{"OnMessageCreatedEx", {id, calendar_.EntryID()}}});
  EXPECT_EQ(session_.GetMessageFromID(id, store_.EntryID()).Subject(), "Planning meeting");

  sink_.Clear();
  Khal({"edit", "Planning"}, "s\nReview meeting\nn\n");
  Settle(1);
  ExpectEvents({{"OnMessageModifiedEx", {id, calendar_.EntryID()}}});
  EXPECT_EQ(session_.GetMessageFromID(id, store_.EntryID()).Subject(), "Review meeting");

  sink_.Clear();
  Khal({"edit", "Review"}, "D\ny\n");
  Settle(1);
  ExpectEvents({{"OnMessageDeletedEx", {id, calendar_.EntryID()}}});
}

// ---- volume ---------------------------------------------------------------------------------------------

// The changes happen while the kernel's queue is full and their own events
// are lost: the rescan after the overflow finds exactly what changed.
TEST_F(StoreEvents, QueueOverflowIsRepairedByRescan) {
  QFile limitFile("/proc/sys/fs/inotify/max_queued_events");
  ASSERT_TRUE(limitFile.open(QIODevice::ReadOnly));
  const int limit = limitFile.readAll().trimmed().toInt();
  if (limit <= 0 || limit > 1000000) GTEST_SKIP() << "inotify queue of " << limit << " events";

  // What is there before.
  Deliver(Dir("Inbox"), "1930000000.M10P99.mx", Mail("Read later"));
  Deliver(Dir("Inbox"), "1930000000.M11P99.mx", Mail("Doomed"));
  WriteBytes(Dir("Calendar/edited.ics"), Event("edited", "Before"));
  WriteBytes(Dir("Calendar/moving.ics"), Event("moving", "Moving"));
  Settle(4);
  sink_.Clear();
  g_logged.clear();
  const QtMessageHandler previous = qInstallMessageHandler(CaptureLog);

  // Flood: writes that alternate between two dot-files are never merged.
  {
    QFile a(Dir("Calendar/.flood-a")), b(Dir("Calendar/.flood-b"));
    ASSERT_TRUE(a.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    ASSERT_TRUE(b.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (int i = 0; i <= limit / 2 + 100; ++i) {
      ASSERT_EQ(a.write("x", 1), 1);
      ASSERT_EQ(b.write("x", 1), 1);
    }
  }
  for (int i = 0; i < 3; ++i)
    Deliver(Dir("Inbox"), QStringLiteral("1930000000.M2%1P99.mx").arg(i), Mail(QStringLiteral("New %1").arg(i)));
  WriteBytes(Dir("Calendar/.edited.tmp"), Event("edited", "After"));
  ASSERT_TRUE(Rename(Dir("Calendar/.edited.tmp"), Dir("Calendar/edited.ics")));
  ASSERT_TRUE(QFile::remove(Dir("Inbox/new/1930000000.M11P99.mx")));
  ASSERT_TRUE(Rename(Dir("Inbox/new/1930000000.M10P99.mx"), Dir("Inbox/cur/1930000000.M10P99.mx:2,S")));
  ASSERT_TRUE(QDir().mkpath(Dir("Calendar/Later")));
  ASSERT_TRUE(Rename(Dir("Calendar/moving.ics"), Dir("Calendar/Later/moving.ics")));

  Settle(7);
  qInstallMessageHandler(previous);
  EXPECT_TRUE(g_logged.join("\n").contains("overflowed")) << "the queue did not overflow";
  EXPECT_EQ(Count("OnMessageCreatedEx"), 3) << Listing();
  EXPECT_EQ(Count("OnMessageModifiedEx"), 1) << Listing();
  EXPECT_EQ(Count("OnMessageDeletedEx"), 1) << Listing();
  EXPECT_EQ(Count("OnMessageMoved3"), 1) << Listing();
  EXPECT_EQ(Count("OnFolderCreated"), 1) << Listing();
  EXPECT_EQ(sink_.Events().size(), 7u) << Listing();
  for (const Received& event : sink_.Events()) {
    if (event.name == "OnMessageModifiedEx") {
      EXPECT_EQ(event.args.value(0), ItemId(calendar_.EntryID(), "edited.ics"));
    }
    if (event.name == "OnMessageDeletedEx") {
      EXPECT_EQ(event.args.value(0), ItemId(inbox_.EntryID(), "1930000000.M11P99.mx"));
    }
    if (event.name == "OnMessageMoved3") {
      EXPECT_EQ(event.args.value(1), calendar_.EntryID());
      EXPECT_EQ(event.args.value(3), ItemId(calendar_.EntryID(), "moving.ics"));
    }
  }
}

TEST_F(StoreEvents, BurstOfAThousandFilesRaisesAThousandCreated) {
  QSet<QString> expected;
  for (int i = 0; i < 500; ++i) {
    const QString name = QStringLiteral("1930000000.M%1P99.burst").arg(i);
    Deliver(Dir("Inbox"), name, Mail(QStringLiteral("Burst %1").arg(i)));
    expected.insert(ItemId(inbox_.EntryID(), name));
    const QString uid = QStringLiteral("burst-%1").arg(i);
    WriteBytes(Dir("Calendar/") + uid + ".ics", Event(uid, QStringLiteral("Burst event %1").arg(i)));
    expected.insert(ItemId(calendar_.EntryID(), uid + ".ics"));
  }
  Settle(1000, 60000);
  QSet<QString> got;
  for (const Received& event : sink_.Events()) {
    EXPECT_EQ(event.name, "OnMessageCreatedEx");
    got.insert(event.args.value(0));
  }
  EXPECT_EQ(sink_.Events().size(), 1000u);
  EXPECT_EQ(got, expected);
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv); }
