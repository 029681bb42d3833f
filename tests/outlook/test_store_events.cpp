// Store events through the controller: the routing of each event against the
// stand-in library on a temporary profile and data directory, and the sinks
// that start-up attaches to the stores.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/main_form.h"
#include "fake_dispatch.h"
#include "fake_event_source.h"
#include "outlook/com_ptr.h"
#include "outlook/redemption_ids.h"
#include "platform/com/guid_text.h"
#include "storage/md5.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"

namespace {

using outlook::RdoFolder;
using outlook::RdoMail;
using outlook::RdoStore;
using outlook::TVariantArray;
using outlook::Variant;

constexpr int kCalendar = 9;

class StoreEventsTest : public ControllerTest {
 protected:
  RdoStore Store(int index = 1) { return Form().RSession.Stores().Item(index); }
  QString CalendarDir() const { return home_.path() + "/data/vasnik/profile/stores/personal/Calendar/"; }

  // A second calendar, made the way another program would: a directory in
  // the store's calendar into which an event file is moved at once, which
  // makes it a calendar when the library first sees it.
  RdoFolder NewCalendar(const QString& name, const RdoMail& moving) {
    // An item's identifier is its folder's followed by its file name in hex.
    const QString file = QString::fromUtf8(QByteArray::fromHex(moving.EntryID().mid(Calendar().EntryID().size()).toLatin1()));
    EXPECT_TRUE(QDir(CalendarDir()).mkdir(name));
    EXPECT_TRUE(QFile::rename(CalendarDir() + file, CalendarDir() + name + "/" + file)) << file.toStdString();
    const outlook::RdoFolders folders = Calendar().Folders();
    for (int i = 1; i <= folders.Count(); ++i)
      if (folders.Item(i).Name() == name) return folders.Item(i);
    ADD_FAILURE() << "no folder " << name.toStdString();
    return RdoFolder();
  }

  RdoMail NewEvent(const RdoFolder& folder, const QString& subject) {
    RdoMail item = folder.Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    return item;
  }

  // Exported once, as a change before would have done, with the exchange
  // directory then taken by a packing pass.
  void AlreadyExchanged(const RdoMail& item) {
    Form().ExportItem(item);
    ASSERT_FALSE(Form().zEXML.ReadString(item.Parent().EntryID() + "\\" + item.EntryID(), "").isEmpty());
    QDir(Outbox()).removeRecursively();
    Form().zTimer->stop();
  }

  void Raise(const QString& event, const QStringList& params, int store = 1) {
    TVariantArray args;
    for (const QString& p : params) args.emplace_back(p);
    Form().HandleStoreEvent(Variant(Store(store).Dispatch()), event, 0, args);
  }

  QString FolderDir(const QString& folderId) const { return Outbox() + GetMD5(folderId) + "/"; }
  QStringList Messages(const QString& folderId) const {
    return QDir(FolderDir(folderId)).entryList({"*.msg"}, QDir::Files);
  }
  QString Info(const QString& folderId, const QString& name) const {
    XmlStorage info("Info");
    info.SetFileName(FolderDir(folderId) + "info.xml");
    return info.ReadString(name, "<absent>");
  }
  QStringList OutboxEntries() const { return QDir(Outbox()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); }
};

// ---- Moves ------------------------------------------------------------------------------

TEST_F(StoreEventsTest, MoveBetweenTwoSharedFoldersRecordsOneDeletionAndOneExport) {
  const RdoMail item = NewEvent(Calendar(), "moving");
  const QString a = Calendar().EntryID();
  const QString oldId = item.EntryID();
  AlreadyExchanged(item);
  const RdoFolder team = NewCalendar("Team", item);
  const QString b = team.EntryID();
  ASSERT_EQ(team.Items().Count(), 1);
  const QString newId = team.Items().Item(1).EntryID();
  ASSERT_NE(newId, oldId);
  Form().MonitoredFolders.Add(a);
  Form().MonitoredFolders.Add(b);

  Raise("OnMessageMoved3", {newId, a, b, oldId});

  EXPECT_EQ(Info(a, "DeletedItems"), GetMD5(oldId));
  EXPECT_TRUE(Messages(a).isEmpty());
  EXPECT_EQ(Messages(b), QStringList({GetMD5(newId) + ".msg"}));
  EXPECT_EQ(Info(b, "DeletedItems"), "<absent>");
  EXPECT_EQ(Form().zEXML.ReadString(a + "\\" + oldId, "gone"), "gone");
  EXPECT_EQ(Form().zEXML.ReadString(b + "\\" + newId, ""), GetMD5(newId));
}

TEST_F(StoreEventsTest, MoveRecordsTheDeletionBeforeTheExport) {
  // Left and entered are one shared folder: only the order deletion, then
  // export leaves the item known with its mapping rows; the other order
  // would remove the rows the export had just written. The export of the
  // item withdraws the deletion it follows: the receiver would otherwise
  // apply the file and then delete the item the sender still has.
  const RdoMail item = NewEvent(Calendar(), "in place");
  const QString a = Calendar().EntryID();
  AlreadyExchanged(item);
  Form().MonitoredFolders.Add(a);

  Raise("OnMessageMoved3", {item.EntryID(), a, a, ""});

  const QString key = GetMD5(item.EntryID());
  EXPECT_EQ(Info(a, "DeletedItems"), "<absent>");
  EXPECT_EQ(Messages(a), QStringList({key + ".msg"}));
  EXPECT_EQ(Form().zEXML.ReadString(a + "\\" + item.EntryID(), ""), key);
}

TEST_F(StoreEventsTest, MoveWithoutOldIdentifierRecordsTheDeletionUnderTheCurrentOne) {
  const RdoMail first = NewEvent(Calendar(), "first");
  const RdoMail second = NewEvent(Calendar(), "second");
  const QString a = Calendar().EntryID();
  AlreadyExchanged(first);
  AlreadyExchanged(second);
  Form().MonitoredFolders.Add(a);

  // An empty fourth argument, and one that is not there at all.
  Raise("OnMessageMoved3", {first.EntryID(), a, "00000000NOTSHARED", ""});
  Raise("OnMessageMoved3", {second.EntryID(), a, "00000000NOTSHARED"});

  const QString k1 = GetMD5(first.EntryID()), k2 = GetMD5(second.EntryID());
  EXPECT_EQ(Info(a, "DeletedItems"), k1 < k2 ? k1 + "," + k2 : k2 + "," + k1);
  EXPECT_TRUE(Messages(a).isEmpty());
}

// ---- Copies, creations, changes --------------------------------------------------------

TEST_F(StoreEventsTest, CopyIntoASharedFolderIsExportedAndCopyOutOfOneIsNot) {
  const RdoMail seed = NewEvent(Calendar(), "seed");
  const RdoFolder team = NewCalendar("Team", seed);
  const QString shared = team.EntryID();
  Form().MonitoredFolders.Add(shared);

  // A copy out of the shared folder lands in the calendar, which is not shared.
  const RdoMail out = NewEvent(Calendar(), "copied out");
  Raise("OnMessageCopied", {out.EntryID()});
  EXPECT_TRUE(OutboxEntries().isEmpty());

  const RdoMail in = NewEvent(team, "copied in");
  Raise("OnMessageCopied", {in.EntryID()});
  EXPECT_EQ(Messages(shared), QStringList({GetMD5(in.EntryID()) + ".msg"}));
  EXPECT_EQ(OutboxEntries(), QStringList({GetMD5(shared)}));
}

TEST_F(StoreEventsTest, CreationsAndChangesAreExportedOnlyFromSharedFolders) {
  const QString a = Calendar().EntryID();
  const RdoMail created = NewEvent(Calendar(), "created");
  const RdoMail lowerCase = NewEvent(Calendar(), "pendrix update email");
  const RdoMail changed = NewEvent(Calendar(), "changed");

  Raise("OnMessageCreatedEx", {created.EntryID(), a});
  Raise("OnMessageModifiedEx", {changed.EntryID(), a});
  EXPECT_TRUE(OutboxEntries().isEmpty());

  Form().MonitoredFolders.Add(a);
  Raise("OnMessageCreatedEx", {created.EntryID(), a});
  // Only the exact subject is an update mail.
  Raise("OnMessageCreatedEx", {lowerCase.EntryID(), a});
  Raise("OnMessageModifiedEx", {changed.EntryID(), a});
  QStringList expected = {GetMD5(created.EntryID()) + ".msg", GetMD5(lowerCase.EntryID()) + ".msg",
                          GetMD5(changed.EntryID()) + ".msg"};
  expected.sort();
  EXPECT_EQ(Messages(a), expected);
}

TEST_F(StoreEventsTest, OnlyTheFiveEventsByTheirExactNamesAreRouted) {
  const QString a = Calendar().EntryID();
  const RdoMail item = NewEvent(Calendar(), "item");
  Form().MonitoredFolders.Add(a);
  for (const char* other : {"onmessagemodifiedex", "OnMessageModified", "OnFolderModified", "OnMessageMoved", ""})
    Raise(other, {item.EntryID(), a, a, item.EntryID()});
  EXPECT_TRUE(OutboxEntries().isEmpty());
}

// ---- Failures and what is never opened -------------------------------------------------

TEST_F(StoreEventsTest, AChangeOutsideTheSharedFoldersNeverOpensTheMessage) {
  const QString a = Calendar().EntryID();
  const QString gone = a + "4E4F5448455245";  // names no item: opening it fails
  Form().MonitoredFolders.Add(a);
  const qsizetype logged = Form().aLogFile.Count();

  Raise("OnMessageModifiedEx", {gone, "00000000NOTSHARED"});
  EXPECT_EQ(Form().aLogFile.Count(), logged);

  // A creation is opened wherever it happens (for its subject), and in a
  // shared folder a change is: the failing open is logged, and goes no further.
  Raise("OnMessageCreatedEx", {gone, "00000000NOTSHARED"});
  const qsizetype afterCreated = Form().aLogFile.Count();
  EXPECT_GT(afterCreated, logged);
  EXPECT_NO_THROW(Raise("OnMessageModifiedEx", {gone, a}));
  EXPECT_GT(Form().aLogFile.Count(), afterCreated);
  EXPECT_TRUE(OutboxEntries().isEmpty());
}

TEST_F(StoreEventsTest, ASenderThatIsNoStoreOrArgumentsWithoutTextEndTheEventQuietly) {
  const QString a = Calendar().EntryID();
  Form().MonitoredFolders.Add(a);
  const RdoMail item = NewEvent(Calendar(), "item");
  TVariantArray args{Variant(item.EntryID()), Variant(a)};
  EXPECT_NO_THROW(Form().HandleStoreEvent(Variant("not a store"), "OnMessageModifiedEx", 0, args));
  TVariantArray errors{outlook::Omitted(), Variant(a)};
  EXPECT_NO_THROW(Form().HandleStoreEvent(Variant(Store().Dispatch()), "OnMessageModifiedEx", 0, errors));
  EXPECT_TRUE(OutboxEntries().isEmpty());
}

// ---- Deletions ---------------------------------------------------------------------------

// Whatever store the shared folder lives in, the deletion declares the
// address the update mails go out from (the default store's account):
// receivers take a package only from the address it declares.
TEST(StoreEventsOwner, ADeletionDeclaresTheAddressTheUpdateMailsGoOutFrom) {
  QTemporaryDir home;
  UseHome(home.path());
  QSettings profile(home.path() + "/data/vasnik/profile/profile.ini", QSettings::IniFormat);
  profile.setValue("Profile/UserAddress", "me@home");
  profile.setValue("Store1/Kind", "2");
  profile.setValue("Store1/AccountType", "0");
  profile.setValue("Store1/AccountAddress", "me@pop");
  profile.setValue("Store2/Name", "Mailbox - Boss");
  profile.setValue("Store2/Kind", "3");
  profile.setValue("Store2/AccountType", "3");
  profile.setValue("Store2/AccountAddress", "assistant@corp");
  profile.setValue("Store2/OwnerAddress", "boss@corp");
  profile.sync();

  TMainForm form({"lintrove"});
  ASSERT_FALSE(form.Terminated());
  const QString outbox = home.path() + "/data/Varnel/Lintrove/Outbox/";
  const outlook::RdoStores stores = form.RSession.Stores();
  ASSERT_EQ(stores.Count(), 2);
  QStringList users;
  for (int s = 1; s <= 2; ++s) {
    const RdoStore store = stores.Item(s);
    const RdoFolder calendar = store.GetDefaultFolder(kCalendar);
    RdoMail item = calendar.Items().Add("IPM.Appointment");
    item.SetSubject("to be deleted");
    item.Save();
    const QString e = item.EntryID(), f = calendar.EntryID();
    form.ExportItem(item);
    QDir(outbox).removeRecursively();
    form.MonitoredFolders.Add(f);
    item.Delete(0);

    TVariantArray args{Variant(e), Variant(f)};
    form.HandleStoreEvent(Variant(store.Dispatch()), "OnMessageDeletedEx", 0, args);
    XmlStorage info("Info");
    info.SetFileName(outbox + GetMD5(f) + "/info.xml");
    EXPECT_EQ(info.ReadString("DeletedItems", ""), GetMD5(e));
    users << info.ReadString("User", "");
  }
  EXPECT_EQ(users, QStringList({"me@pop", "me@pop"}));
}

// ---- The sinks made at start-up -----------------------------------------------------------

constexpr IID kStoreEvents = platform::com::ComGuid("{3C5E1A2B-7D4F-4B8E-9A61-2F0C8D3E5B77}");

TEST_F(StoreEventsTest, EveryStoreGetsItsOwnSinkAndAFailingStoreKeepsAnEmptyEntry) {
  using namespace testing_fakes;
  const std::vector<FakeFunction> events = {{1, "OnMessageDeletedEx"}, {2, "OnMessageModifiedEx"}};
  FakePublisher first(kStoreEvents, events), noContainer(kStoreEvents, events), itemFails(kStoreEvents, events),
      refuses(kStoreEvents, events), last(kStoreEvents, events);
  noContainer.source.containerRefusal = E_NOINTERFACE;
  refuses.point.adviseResult = CONNECT_E_ADVISELIMIT;
  FakeSourceCollection stores;
  for (FakePublisher* p : {&first, &noContainer, &itemFails, &refuses, &last}) stores.items.push_back(p->source.Dispatch());
  stores.itemFails = {false, false, true, false, false};
  FakeDispatch session;
  session.results["Stores"] = Variant(outlook::DispatchRef(&stores));

  TMainForm& form = Form();
  const outlook::RdoSession real = form.RSession;
  form.RSession = outlook::RdoSession(outlook::DispatchRef(&session));
  form.StartStoreEvents();

  ASSERT_EQ(form.REvents.size(), 5u);
  EXPECT_FALSE(form.REvents[1]);
  EXPECT_FALSE(form.REvents[2]);
  for (size_t i : {0u, 3u, 4u}) {
    ASSERT_TRUE(form.REvents[i]) << i;
    EXPECT_TRUE(bool(form.REvents[i]->OnEvent())) << i;
  }
  EXPECT_TRUE(form.REvents[0]->Sinked());
  EXPECT_FALSE(form.REvents[3]->Sinked());
  EXPECT_TRUE(form.REvents[4]->Sinked());
  EXPECT_EQ(form.REvents[0]->obj().Raw().pdispVal, first.source.Dispatch());
  EXPECT_EQ(form.REvents[4]->obj().Raw().pdispVal, last.source.Dispatch());

  // An event of a connected store reaches the routing, which traps what fails
  // there (this store has no entry identifier to open the message with).
  const QString shared = "00000000SHARED";
  form.MonitoredFolders.Add(shared);
  const qsizetype logged = form.aLogFile.Count();
  EXPECT_EQ(last.point.Fire(2, {Variant("00000000ITEM"), Variant(shared)}), S_OK);
  EXPECT_GT(form.aLogFile.Count(), logged);

  form.REvents.clear();
  form.RSession = real;
  EXPECT_EQ(first.point.unadvises, 1);
  EXPECT_EQ(refuses.point.unadvises, 0);
  for (FakePublisher* p : {&first, &noContainer, &itemFails, &refuses, &last}) EXPECT_EQ(p->source.refs, 1u);
}

TEST_F(StoreEventsTest, StartUpConnectsEveryStoreThatPublishesEvents) {
  TMainForm& form = Form();
  const int count = form.RSession.Stores().Count();
  ASSERT_EQ(form.REvents.size(), size_t(count));
  for (int i = 1; i <= count; ++i) {
    const outlook::ComPtr<IDispatch> store(Store(i).Dispatch().Interface());
    const bool publishes = bool(store.As<IConnectionPointContainer>(IID_IConnectionPointContainer));
    // A store without connection points keeps an empty entry.
    EXPECT_EQ(form.REvents[size_t(i - 1)] != nullptr, publishes) << i;
    if (!publishes) continue;
    EXPECT_TRUE(form.REvents[size_t(i - 1)]->Sinked()) << i;
  }
}

TEST_F(StoreEventsTest, AnEventCreatedInTheStoreIsExported) {
  const outlook::ComPtr<IDispatch> store(Store().Dispatch().Interface());
  ASSERT_TRUE(store.As<IConnectionPointContainer>(IID_IConnectionPointContainer));
  ASSERT_TRUE(Form().REvents.at(0) && Form().REvents.at(0)->Sinked());
  const QString a = Calendar().EntryID();
  Form().MonitoredFolders.Add(a);
  const RdoMail item = NewEvent(Calendar(), "from the store");
  const QString key = GetMD5(item.EntryID());
  EXPECT_TRUE(WaitFor([&] { return Messages(a).contains(key + ".msg"); }, 10000));

  item.Delete(0);
  EXPECT_TRUE(WaitFor([&] { return Info(a, "DeletedItems") == key; }, 10000));
}

// ---- Changes made by other programs reach the exchange directory ------------------------

// A mail server's delivery: written into tmp/, then renamed into new/.
void Deliver(const QString& maildir, const QString& name, const QByteArray& mail) {
  QFile f(maildir + "/tmp/" + name);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(mail);
  f.close();
  ASSERT_TRUE(QFile::rename(maildir + "/tmp/" + name, maildir + "/new/" + name));
}

QByteArray Mail(const QByteArray& subject) {
  return "From: partner@x.org\r\nTo: me@localhost\r\nSubject: " + subject +
         "\r\nMessage-ID: <" + subject.toHex() + "@x.org>\r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n\r\nBody of " + subject + "\r\n";
}

TEST_F(StoreEventsTest, AMailDeliveredIntoTheInboxGoesThroughTheCreatedMessagePath) {
  const RdoFolder inbox = Form().RSession.GetDefaultFolder(outlook::ids::olFolderInbox);
  const QString inboxDir = home_.path() + "/data/vasnik/profile/stores/personal/Inbox";
  Form().MonitoredFolders.Add(inbox.EntryID());

  Deliver(inboxDir, "1900000000.M1P1.mx", Mail("Minutes"));
  ASSERT_TRUE(WaitFor([&] { return Messages(inbox.EntryID()).size() == 1; }, 10000));
  const QString exported = FolderDir(inbox.EntryID()) + Messages(inbox.EntryID()).at(0);
  EXPECT_EQ(Form().RSession.GetMessageFromMsgFile(exported, false).Subject(), "Minutes");

  // An update mail is the intake's, never exported, wherever it lands.
  Deliver(inboxDir, "1900000000.M2P1.mx", Mail("Pendrix Update Email"));
  Deliver(inboxDir, "1900000000.M3P1.mx", Mail("After it"));
  ASSERT_TRUE(WaitFor([&] { return Messages(inbox.EntryID()).size() >= 2; }, 10000));
  WaitFor([] { return false; }, 300);
  EXPECT_EQ(Messages(inbox.EntryID()).size(), 2);
}

TEST_F(StoreEventsTest, AFolderEventFromTheLibraryDoesNothing) {
  const QString calendar = Calendar().EntryID();
  Form().MonitoredFolders.Add(calendar);
  outlook::TComEvents& sink = *Form().REvents.at(0);
  ASSERT_TRUE(sink.Sinked());
  // Note every event on its way to the routing.
  QStringList seen;
  const outlook::TComEvent route = sink.OnEvent();
  sink.SetOnEvent([&](const Variant& sender, const QString& event, int id, TVariantArray& params) {
    seen << event;
    route(sender, event, id, params);
  });
  // The library raises its folder event for this; the program ignores it.
  ASSERT_TRUE(QDir(CalendarDir()).mkdir("Holidays"));
  ASSERT_TRUE(WaitFor([&] { return seen.contains("OnFolderCreated"); }, 10000)) << seen.join(",").toStdString();
  WaitFor([] { return false; }, 200);
  EXPECT_TRUE(OutboxEntries().isEmpty()) << OutboxEntries().join(", ").toStdString();
  EXPECT_FALSE(QFile::exists(home_.path() + "/data/Varnel/Lintrove/error.log"));
  // ...while an item event of the same store still gets through.
  const RdoMail item = NewEvent(Calendar(), "after the folder");
  EXPECT_TRUE(WaitFor([&] { return Messages(calendar).contains(GetMD5(item.EntryID()) + ".msg"); }, 10000));
}

class KhalThroughTheProgram : public StoreEventsTest {
 protected:
  void SetUp() override {
    StoreEventsTest::SetUp();
    khal_ = QStandardPaths::findExecutable("khal");
    ASSERT_FALSE(khal_.isEmpty()) << "khal is not installed (Debian package khal)";
    Form();  // creates the profile and its calendar directory
    QFile conf(home_.path() + "/khal.conf");
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[calendars]\n[[cal]]\npath = " + CalendarDir().toUtf8() +
               "\ntype = calendar\n"
               "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
               "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
               "local_timezone = UTC\ndefault_timezone = UTC\n"
               "[sqlite]\npath = " + home_.path().toUtf8() + "/khal.db\n");
  }

  void Khal(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home_.path());
    environment.insert("TZ", "UTC");
    environment.insert("LC_ALL", "C.UTF-8");
    process.setProcessEnvironment(environment);
    process.start(khal_, QStringList{"-c", home_.path() + "/khal.conf"} + arguments);
    process.write(input);
    process.closeWriteChannel();
    // The program's event loop keeps running while khal works.
    ASSERT_TRUE(WaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
  }

  QString ExportedSubject(const QString& folder) {
    const QStringList files = Messages(folder);
    if (files.size() != 1) return QString();
    return Form().RSession.GetMessageFromMsgFile(FolderDir(folder) + files[0], false).Subject();
  }

  QString khal_;
};

TEST_F(KhalThroughTheProgram, NewEditAndDeleteReachTheExchangeDirectory) {
  const QString calendar = Calendar().EntryID();
  Form().MonitoredFolders.Add(calendar);

  Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  ASSERT_TRUE(WaitFor([&] { return ExportedSubject(calendar) == "Planning meeting"; }, 10000));
  const QString key = Messages(calendar).at(0).chopped(4);
  EXPECT_EQ(Info(calendar, "FolderName"), "Calendar");

  Khal({"edit", "Planning"}, "s\nReview meeting\nn\n");
  EXPECT_TRUE(WaitFor([&] { return ExportedSubject(calendar) == "Review meeting"; }, 10000));

  Khal({"edit", "Review"}, "D\ny\n");
  EXPECT_TRUE(WaitFor([&] { return Info(calendar, "DeletedItems") == key; }, 10000));
  EXPECT_EQ(Messages(calendar).size(), 1);  // the waiting file travels with its deletion
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
