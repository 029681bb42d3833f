// Change capture through the controller against the stand-in library on a
// temporary profile and data directory.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <gtest/gtest.h>
#include <iostream>

#include "app/main_form.h"
#include "outlook/redemption_ids.h"
#include "storage/md5.h"
#include "sync/outgoing/exporter.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/files.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"

namespace {

constexpr int kCalendar = 9;

class ExportTest : public ControllerTest {
 protected:
  outlook::RdoMail NewEvent(const QString& subject) {
    outlook::RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    return item;
  }
};

TEST_F(ExportTest, FirstExportCreatesTheDirectoryTheFilesAndTheRows) {
  outlook::RdoMail item = NewEvent("Planning");
  const QString f = Calendar().EntryID();
  const QString e = item.EntryID();
  const QString k = GetMD5(f);
  const QString key = GetMD5(e);
  TMainForm& form = Form();
  ASSERT_FALSE(form.zTimer->isActive());

  form.ExportItem(item);

  const QString dir = Outbox() + k + "/";
  EXPECT_TRUE(QFile::exists(dir + key + ".msg"));
  XmlStorage info("Info");
  info.SetFileName(dir + "info.xml");
  EXPECT_EQ(info.ReadString("User", "?"), form.RSession.CurrentUser().SMTPAddress());
  EXPECT_EQ(info.ReadString("FolderName", "?"), "Calendar");
  EXPECT_EQ(info.ReadInteger("DefaultItemType", -5), 1);
  EXPECT_EQ(info.ReadString("DeletedItems", "none"), "none");

  EXPECT_EQ(form.zEXML.ReadString(f + "\\" + key, ""), e);
  EXPECT_EQ(form.zEXML.ReadString(f + "\\" + e, ""), key);
  EXPECT_EQ(form.zEXML.ReadString("DEN\\Folders\\" + k, ""), f);
  EXPECT_EQ(form.zEXML.ReadString("DEN\\FoldersSID\\" + k, ""), item.Store().EntryID());
  EXPECT_EQ(form.zEXML.ReadString("END\\Folders\\" + f, ""), k);
  EXPECT_TRUE(form.zTimer->isActive());
  EXPECT_TRUE(form.StatusText().startsWith("Items last exported on "));
}

TEST_F(ExportTest, ThreeChangesLeaveOneFileWithTheLastState) {
  outlook::RdoMail item = NewEvent("v1");
  for (const char* subject : {"v1", "v2", "v3"}) {
    item.SetSubject(subject);
    item.Save();
    Form().ExportItem(item);
  }
  const QString dir = Outbox() + GetMD5(Calendar().EntryID()) + "/";
  const QStringList files = QDir(dir).entryList({"*.msg"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  EXPECT_EQ(Form().RSession.GetMessageFromMsgFile(dir + files[0], false).Subject(), "v3");
}

TEST_F(ExportTest, UpdateMailsDummiesAndTheImportsOwnWritesAreSkipped) {
  for (const char* subject : {"Pendrix Update Email", "Dummy"}) Form().ExportItem(NewEvent(subject));
  outlook::RdoMail imported = NewEvent("imported");
  Form().UpdatedItems.Add(imported.EntryID());
  Form().ExportItem(imported);
  EXPECT_FALSE(QDir(Outbox()).exists(GetMD5(Calendar().EntryID())));
  EXPECT_FALSE(Form().zTimer->isActive());

  // "dummy" in lower case is an ordinary subject; an imported item changed
  // after the echo window has closed is exported.
  Form().ExportItem(NewEvent("dummy"));
  Form().zTimer2Timer();
  Form().ExportItem(imported);
  EXPECT_EQ(QDir(Outbox() + GetMD5(Calendar().EntryID())).entryList({"*.msg"}).size(), 2);
}

// The calendar's event file whose summary is the given one.
QString EventFile(const QString& calendarDir, const QString& summary) {
  for (const QString& name : QDir(calendarDir).entryList({"*.ics"}, QDir::Files))
    if (ReadAll(calendarDir + "/" + name).contains("SUMMARY:" + summary.toUtf8() + "\r\n"))
      return calendarDir + "/" + name;
  return QString();
}

// Regression: only store events started an export, so what khal or a sync
// tool changed in a shared calendar while the program was stopped never went.
TEST_F(ExportTest, ChangesMadeWhileStoppedAreSentAtTheNextStart) {
  const QString f = Calendar().EntryID();
  Form().MonitoredFolders.Add(f);
  NewEvent("here before the share");
  QString gone;
  for (const char* subject : {"kept", "edited", "gone"}) {
    const outlook::RdoMail item = NewEvent(subject);
    Form().ExportItem(item);
    if (item.Subject() == "gone") gone = item.EntryID();
  }
  Form().Exit1Click();
  form_.reset();
  QDir(Outbox()).removeRecursively();  // packed and sent

  // While stopped, as another program writes the calendar.
  const QString calendar = home_.path() + "/data/vasnik/profile/stores/personal/Calendar";
  const QString edited = EventFile(calendar, "edited");
  ASSERT_FALSE(edited.isEmpty());
  QByteArray text = ReadAll(edited);
  WriteAll(edited, text.replace("SUMMARY:edited", "SUMMARY:edited while stopped"));
  WriteAll(calendar + "/added-while-stopped.ics",
           ReadAll(EventFile(calendar, "kept")).replace("SUMMARY:kept", "SUMMARY:added while stopped")
               .replace("UID:", "UID:x"));
  ASSERT_TRUE(QFile::remove(EventFile(calendar, "gone")));

  Form();  // the next start
  const QString dir = Outbox() + GetMD5(f) + "/";
  QStringList sent;
  for (const QString& file : QDir(dir).entryList({"*.msg"}, QDir::Files))
    sent << Form().RSession.GetMessageFromMsgFile(dir + file, false).Subject();
  sent.sort();
  EXPECT_EQ(sent, QStringList({"added while stopped", "edited while stopped"}));
  XmlStorage info("Info");
  info.SetFileName(dir + "info.xml");
  EXPECT_EQ(info.ReadString("DeletedItems", ""), GetMD5(gone));
  EXPECT_TRUE(Form().zTimer->isActive());
}

// Regression: an item added while the catch-up yielded was exported by its
// store event and then taken for one deleted while the program was stopped:
// the other side received it and its deletion in one package.
TEST_F(ExportTest, AnItemAddedWhileTheCatchUpRunsIsNoDeletion) {
  const QString f = Calendar().EntryID();
  Form().MonitoredFolders.Add(f);
  for (int i = 0; i < 150; ++i) NewEvent(QStringLiteral("early %1").arg(i));
  Form().aExporter->CatchUp(f);  // the baseline
  QDir(Outbox()).removeRecursively();

  QString late;
  QTimer::singleShot(0, [&] {
    const outlook::RdoMail item = NewEvent("added during the catch-up");
    Form().ExportItem(item);  // as its store event does
    late = item.EntryID();
  });
  Form().aExporter->CatchUp(f);
  ASSERT_FALSE(late.isEmpty()) << "the catch-up never yielded";
  XmlStorage info("Info");
  info.SetFileName(Outbox() + GetMD5(f) + "/info.xml");
  EXPECT_EQ(info.ReadString("DeletedItems", ""), "");
  EXPECT_FALSE(Form().Identity.MappedItemKey(f, late).isEmpty());
}

TEST_F(ExportTest, DeletingANeverExportedItemWritesNothing) {
  outlook::RdoMail item = NewEvent("local only");
  Form().RecordDeletion(item.EntryID(), Calendar().EntryID(), "me@x");
  EXPECT_FALSE(QDir(Outbox()).exists(GetMD5(Calendar().EntryID())));
  EXPECT_FALSE(Form().zTimer->isActive());
}

TEST_F(ExportTest, TwoDeletionsGiveSortedKeysAndRemoveFourRows) {
  outlook::RdoMail a = NewEvent("a");
  outlook::RdoMail b = NewEvent("b");
  TMainForm& form = Form();
  const QString f = Calendar().EntryID();
  form.ExportItem(a);
  form.ExportItem(b);
  const QString ka = GetMD5(a.EntryID()), kb = GetMD5(b.EntryID());
  const QString dir = Outbox() + GetMD5(f) + "/";
  // The packing pass would have taken the files; start from an empty directory.
  QDir(dir).removeRecursively();
  form.zTimer->stop();

  form.RecordDeletion(b.EntryID(), f, "owner@x");
  form.RecordDeletion(a.EntryID(), f, "owner@x");
  form.RecordDeletion(a.EntryID(), f, "owner@x");  // already gone: nothing more

  XmlStorage info("Info");
  info.SetFileName(dir + "info.xml");
  const QString expected = ka.compare(kb, Qt::CaseInsensitive) < 0 ? ka + "," + kb : kb + "," + ka;
  EXPECT_EQ(info.ReadString("DeletedItems", ""), expected);
  EXPECT_EQ(info.ReadString("User", ""), "owner@x");
  EXPECT_EQ(info.ReadString("FolderName", "none"), "none");
  for (const QString& row : {f + "\\" + ka, f + "\\" + kb, f + "\\" + a.EntryID(), f + "\\" + b.EntryID()})
    EXPECT_EQ(form.zEXML.ReadString(row, "gone"), "gone") << row.toStdString();
  EXPECT_TRUE(form.zTimer->isActive());
}

TEST_F(ExportTest, AWaitingFileTravelsWithItsDeletion) {
  outlook::RdoMail item = NewEvent("short-lived");
  const QString f = Calendar().EntryID();
  const QString key = GetMD5(item.EntryID());
  Form().ExportItem(item);
  Form().RecordDeletion(item.EntryID(), f, "me@x");
  const QString dir = Outbox() + GetMD5(f) + "/";
  EXPECT_TRUE(QFile::exists(dir + key + ".msg"));
  XmlStorage info("Info");
  info.SetFileName(dir + "info.xml");
  EXPECT_EQ(info.ReadString("DeletedItems", ""), key);
  EXPECT_EQ(info.ReadString("FolderName", ""), "Calendar");
}

TEST_F(ExportTest, AnAdoptedFolderKeyIsUsed) {
  const QString f = Calendar().EntryID();
  Form().zEXML.WriteString("END\\Folders\\" + f, "0123456789ABCDEF0123456789ABCDEF");
  Form().zEXML.WriteString(f + "\\00000000KNOWN", "FEDCBA9876543210FEDCBA9876543210");
  Form().ExportItem(NewEvent("under the partner's key"));
  EXPECT_TRUE(QDir(Outbox()).exists("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_FALSE(QDir(Outbox()).exists(GetMD5(f)));
  EXPECT_EQ(Form().zEXML.ReadString("DEN\\Folders\\0123456789ABCDEF0123456789ABCDEF", ""), f);
}

TEST_F(ExportTest, KeysThatAreNoPlainNamesNeverBecomePaths) {
  const QString f = Calendar().EntryID();
  outlook::RdoMail item = NewEvent("hostile");
  Form().zEXML.WriteString("END\\Folders\\" + f, "../../escaped");
  Form().ExportItem(item);
  Form().RecordDeletion(item.EntryID(), f, "me@x");
  Form().zEXML.WriteString("END\\Folders\\" + f, "SAFEKEY");
  Form().zEXML.WriteString(f + "\\" + item.EntryID(), "../item");
  Form().ExportItem(item);
  Form().RecordDeletion(item.EntryID(), f, "me@x");
  EXPECT_FALSE(QFileInfo::exists(home_.path() + "/data/escaped"));
  EXPECT_FALSE(QFileInfo::exists(Outbox() + "item.msg"));
  EXPECT_FALSE(QFileInfo::exists(Outbox() + "SAFEKEY/info.xml"));
  EXPECT_TRUE(QDir(Outbox()).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
  EXPECT_FALSE(Form().zTimer->isActive());
  EXPECT_EQ(Form().zEXML.ReadString(f + "\\" + item.EntryID(), ""), "../item");  // nothing removed
}

// ---- The owner address of each kind of store --------------------------------

TEST(StoreOwnerAddress, EveryBranch) {
  QTemporaryDir home;
  UseHome(home.path());
  QSettings profile(home.path() + "/data/vasnik/profile/profile.ini", QSettings::IniFormat);
  profile.setValue("Profile/UserAddress", "me@home");
  const struct {
    const char* kind;
    const char* account;
  } stores[] = {{"2", "0"}, {"2", "1"}, {"1", "2"}, {"3", "3"}, {"4", "3"}, {"5", "3"}, {"2", "4"}, {"2", "6"}};
  for (int i = 0; i < 8; ++i) {
    const QString s = QStringLiteral("Store%1/").arg(i + 1);
    profile.setValue(s + "Kind", stores[i].kind);
    profile.setValue(s + "AccountType", stores[i].account);
    profile.setValue(s + "AccountAddress", QStringLiteral("account%1@x").arg(i + 1));
    profile.setValue(s + "OwnerAddress", QStringLiteral("owner%1@x").arg(i + 1));
  }
  profile.sync();

  TMainForm form({"lintrove"});
  ASSERT_FALSE(form.Terminated());
  const outlook::RdoStores all = form.RSession.Stores();
  ASSERT_EQ(all.Count(), 8);
  QStringList got;
  for (int i = 1; i <= 8; ++i) got << form.StoreOwnerAddress(all.Item(i));
  EXPECT_EQ(got, QStringList({"account1@x", "account2@x", "account3@x", "owner4@x", "owner5@x", "me@home", "me@home",
                              "me@home"}));
}

// Packages declare the address their update mails go out from, whatever
// the shared folder's store: receivers take a package only from that address.
TEST(UpdateSenderAddress, IsTheAddressTheUpdateMailsAreSentFrom) {
  const struct {
    const char* name;
    const char* store1;  // the default store's settings
  } cases[] = {
      {"account", "AccountType=1\nAccountAddress=account@x\nOwnerAddress=owner@x\n"},
      {"owner", "OwnerAddress=owner@x\n"},
      {"session user", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir home;
    UseHome(home.path());
    // A delegate store with an owner of its own comes second.
    WriteAll(home.path() + "/data/vasnik/profile/profile.ini",
             QByteArray("[Profile]\nUserAddress=me@home\n[Store1]\nKind=2\n") + c.store1 +
                 "[Store2]\nKind=3\nAccountType=3\nAccountAddress=delegate@x\nOwnerAddress=boss@x\n");
    TMainForm form({"lintrove"});
    ASSERT_FALSE(form.Terminated());
    const outlook::RdoMail mail = form.RSession.GetDefaultFolder(outlook::ids::olFolderDrafts).Items().Add("IPM.Note");
    mail.Recipients().Add("partner@x.org");
    mail.Recipients().ResolveAll();
    mail.Send();
    EXPECT_FALSE(mail.SenderEmailAddress().isEmpty());
    EXPECT_EQ(UpdateSenderAddress(form.RSession), mail.SenderEmailAddress());
  }
}

// ---- A crash right after a burst loses no mapping and no setting ------------

TEST(Persistence, SigkillAfterABurstOfExportsLosesNothing) {
  QTemporaryDir home;
  QProcess driver;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_DATA_HOME", home.path() + "/data");
  env.insert("XDG_RUNTIME_DIR", home.path());
  env.remove("VASNIK_PROFILE");
  driver.setProcessEnvironment(env);
  driver.start(QCoreApplication::applicationFilePath(), {"--export-driver", "50"});
  ASSERT_TRUE(driver.waitForStarted());
  ASSERT_TRUE(WaitFor([&] { return driver.readAllStandardOutput().contains("saved") || driver.state() != QProcess::Running; },
                      60000));
  ASSERT_EQ(driver.state(), QProcess::Running);
  ::kill(driver.processId(), SIGKILL);
  driver.waitForFinished();

  UseHome(home.path());
  TMainForm form({"lintrove"});
  ASSERT_FALSE(form.Terminated());
  const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
  const outlook::RdoItems items = calendar.Items();
  ASSERT_EQ(items.Count(), 50);
  for (int i = 1; i <= items.Count(); ++i) {
    const QString e = items.Item(i).EntryID();
    EXPECT_EQ(form.zEXML.ReadString(calendar.EntryID() + "\\" + e, ""), GetMD5(e));
  }
  EXPECT_EQ(form.MonitoredFolders.Items(), QStringList({calendar.EntryID()}));
  EXPECT_EQ(ReadRecipients(form.aFormStorage, calendar.EntryID()), QStringList({"partner@x"}));
}

// Regression: a folder shared while the program ran notes its items at the
// first export; a stop before the next save lost that note with the item's
// rows, the next start noted the item as one that was there before the
// share, and its later deletion was never sent.
TEST(Persistence, AStopRightAfterTheFirstExportKeepsTheItemsRows) {
  QTemporaryDir home;
  QProcess driver;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_DATA_HOME", home.path() + "/data");
  env.insert("XDG_RUNTIME_DIR", home.path());
  env.remove("VASNIK_PROFILE");
  driver.setProcessEnvironment(env);
  driver.start(QCoreApplication::applicationFilePath(), {"--export-driver", "first"});
  ASSERT_TRUE(driver.waitForFinished(60000));
  ASSERT_EQ(driver.exitCode(), 86) << driver.readAllStandardError().toStdString();

  UseHome(home.path());
  TMainForm form({"lintrove"});
  ASSERT_FALSE(form.Terminated());
  const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
  const QString f = calendar.EntryID();
  const QString dir = home.path() + "/data/Varnel/Lintrove/Outbox/" + GetMD5(f) + "/";
  QString e;
  for (int i = 1; i <= calendar.Items().Count(); ++i)
    if (calendar.Items().Item(i).Subject() == "shared") e = calendar.Items().Item(i).EntryID();
  ASSERT_FALSE(e.isEmpty());
  // The file still goes, and the item is known as sent...
  EXPECT_TRUE(QFile::exists(dir + GetMD5(e) + ".msg"));
  EXPECT_EQ(form.zEXML.ReadString(f + "\\" + e, ""), GetMD5(e));
  // ...while what was there before the share stays unsent.
  EXPECT_EQ(QDir(dir).entryList({"*.msg"}, QDir::Files).size(), 1);
  // So its deletion is sent.
  form.RecordDeletion(e, f, "me@x");
  XmlStorage info("Info");
  info.SetFileName(dir + "info.xml");
  EXPECT_EQ(info.ReadString("DeletedItems", ""), GetMD5(e));
}

// The other side of the test above: share the calendar, export a burst of
// new events, report once everything is on disk, then wait to be killed.
int RunExportDriver(int count) {
  TMainForm form({"lintrove"});
  if (form.Terminated()) return 2;
  const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
  ShowRows(form, {SharingRow{true, "partner@x"}});
  form.MonitoredFolders.Add(calendar.EntryID());
  form.SaveFolderSettings(calendar.EntryID());
  form.ScheduleSave();
  for (int i = 0; i < count; ++i) {
    outlook::RdoMail item = calendar.Items().Add("IPM.Appointment");
    item.SetSubject(QStringLiteral("event %1").arg(i));
    item.Save();
    form.ExportItem(item);
  }
  WaitFor([&] { return !form.SavePending(); }, 10000);
  std::cout << "saved" << std::endl;
  WaitFor([] { return false; }, 60000);
  return 0;
}

// The other side of the stop after a first export: one event there before
// the share, the calendar shared and saved, one new event exported, and the
// process ends at once, before the debounced save.
int RunFirstExportDriver() {
  TMainForm form({"lintrove"});
  if (form.Terminated()) return 2;
  const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
  outlook::RdoMail before = calendar.Items().Add("IPM.Appointment");
  before.SetSubject(QStringLiteral("there before the share"));
  before.Save();
  ShowRows(form, {SharingRow{true, "partner@x"}});
  form.MonitoredFolders.Add(calendar.EntryID());
  form.SaveFolderSettings(calendar.EntryID());
  form.SaveNow();
  outlook::RdoMail item = calendar.Items().Add("IPM.Appointment");
  item.SetSubject(QStringLiteral("shared"));
  item.Save();
  form.ExportItem(item);
  std::_Exit(86);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--export-driver") {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (std::string(argv[2]) == "first") return RunFirstExportDriver();
    return RunExportDriver(std::atoi(argv[2]));
  }
  return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true);
}
