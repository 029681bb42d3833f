// Sharing from zero through the controller against the stand-in library:
// the invitation that a package of an unknown folder key raises, and the
// resync that sends a whole folder. Every dialog is answered by the script.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>
#include <optional>
#include <vector>

#include "outlook/redemption_ids.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "sync/echo_guard.h"
#include "sync/outgoing/exporter.h"
#include "sync/incoming/package_origin.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"
#include "ui/folder_tree.h"

namespace {

using outlook::RdoFolder;
using outlook::RdoMail;

constexpr int kDrafts = 16;
const QString kKey = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
const QString kSender = QStringLiteral("partner@example.org");
const QString kQuestion =
    QStringLiteral("? partner@example.org would like to share Team folder with you.\r\nDo you accept?");
const QString kWhere =
    QStringLiteral("Please select folder to save Team to.\r\nYou can also create a new folder to save it to.");

class ShareTest : public ControllerTest {
 protected:
  TMainForm& Started() {
    TMainForm& form = Form();
    form.SetDialogs(&dialogs_);
    return form;
  }
  QString F() { return Calendar().EntryID(); }
  QString Row(const QString& path) { return Form().zEXML.ReadString(path, ""); }
  QString PackageDir() { return Form().InboxDir + kKey; }

  RdoMail NewItem(const RdoFolder& folder, const QString& subject) {
    RdoMail item = folder.Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    return item;
  }
  // The store events of what a test made itself have passed by.
  void Settle() { WaitFor([] { return false; }, 300); }

  // A package of kKey from kSender, as the intake leaves it, with one item.
  void ReceivePackage(const QString& subject) {
    ASSERT_TRUE(QDir().mkpath(PackageDir()));
    {  // unbound before the import, which removes the directory
      XmlStorage info("Info");
      info.SetFileName(PackageDir() + "/info.xml");
      info.WriteString("User", kSender);
      info.WriteString("FolderName", "Team");
      info.WriteInteger("DefaultItemType", 1);
      ASSERT_TRUE(info.Flush());
    }
    package_origin::RecordUnpacked(PackageDir(), MailOrigin{kSender, {}, {}});
    const RdoFolder scratch = Form().RSession.GetDefaultFolder(kDrafts);
    RdoMail item = NewItem(scratch, subject);
    item.SaveAs(PackageDir() + "/" + GetMD5(subject) + ".msg", outlook::ids::olMSG);
    item.Delete(2);
    Form().ImportPackage(PackageDir());
  }

  QStringList Subjects(const RdoFolder& folder) {
    QStringList subjects;
    const outlook::RdoItems items = folder.Items();
    for (int i = 1; i <= items.Count(); ++i) subjects << items.Item(i).Subject();
    return subjects;
  }

  VstNode* CalendarNode() { return Form().FoldersTree->FindFolder(F()); }
  void Focus(VstNode* node) { Form().FoldersVST->setCurrentIndex(Form().FoldersTree->Model().IndexOf(node)); }
  void Share(VstNode* node) {
    Form().FoldersTree->SetChecked(node, true);
    Form().MonitoredFolders.Add(node->Data.EntryID);
    Focus(node);
  }

  QString Dir() { return Outbox() + GetMD5(F()) + "/"; }
  QStringList Files() { return QDir(Dir()).entryList({"*.msg"}, QDir::Files, QDir::Name); }

  ScriptedDialogs dialogs_;
};

// ---- The invitation --------------------------------------------------------

TEST_F(ShareTest, DeclinedOrCancelledRecordsNothingAndTheNextPackageAsksAgain) {
  struct Case {
    const char* name;
    bool yes;
  };
  for (const Case& c : {Case{"No", false}, Case{"Yes, then Cancel in the picker", true}}) {
    SCOPED_TRACE(c.name);
    TMainForm& form = Started();
    const size_t rowsBefore = form.SharingList->Rows().size();
    dialogs_.shown.clear();
    dialogs_.confirms = {c.yes};
    if (c.yes) dialogs_.picks.push_back([] { return RdoFolder(); });
    ReceivePackage(c.name);
    EXPECT_EQ(dialogs_.shown.value(0), kQuestion);
    EXPECT_EQ(dialogs_.shown.size(), c.yes ? 3 : 1) << dialogs_.shown.join(" | ").toStdString();
    EXPECT_EQ(Row("DEN\\Folders\\" + kKey), "");
    EXPECT_EQ(Row("DEN\\FoldersSID\\" + kKey), "");
    EXPECT_EQ(Row("END\\Folders\\" + F()), "");
    EXPECT_FALSE(form.MonitoredFolders.Contains(F()));
    EXPECT_TRUE(ReadSharingRows(form.aFormStorage, F()).empty());
    EXPECT_EQ(form.SharingList->Rows().size(), rowsBefore);
    EXPECT_FALSE(QFile::exists(PackageDir()));
    EXPECT_FALSE(Subjects(Calendar()).contains(c.name));
  }
  // Nothing was remembered: the next package asks once more.
  dialogs_.shown.clear();
  dialogs_.confirms = {false};
  ReceivePackage("third");
  EXPECT_EQ(dialogs_.shown, QStringList{kQuestion});
}

TEST_F(ShareTest, AcceptedIntoASharedFolderAppendsTheSenderAndAdoptsTheKey) {
  TMainForm& form = Started();
  const QString f = F();
  const QString s = Calendar().StoreID();
  // Already shared with ann under a key of its own.
  const QString otherKey = GetMD5(f);
  form.zEXML.WriteString("DEN\\Folders\\" + otherKey, f);
  form.zEXML.WriteString("DEN\\FoldersSID\\" + otherKey, s);
  form.zEXML.WriteString("END\\Folders\\" + f, otherKey);
  ShowRows(form, {SharingRow{true, "ann@example.org", "Deny", "Allow", "Deny"}});
  form.SaveFolderSettings(f);
  ShowRows(form, {});

  dialogs_.picks.push_back([this] { return Calendar(); });
  ReceivePackage("from the partner");

  EXPECT_EQ(dialogs_.shown, (QStringList{kQuestion, kWhere, "pick 1"}));
  EXPECT_EQ(Row("DEN\\Folders\\" + kKey), f);
  EXPECT_EQ(Row("DEN\\FoldersSID\\" + kKey), s);
  EXPECT_EQ(Row("END\\Folders\\" + f), kKey);
  EXPECT_EQ(Row("DEN\\Folders\\" + otherKey), f);

  VstNode* node = CalendarNode();
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(node->Checked);
  EXPECT_EQ(form.FoldersTree->FocusedNode(), node);
  EXPECT_TRUE(form.ItemsPanelCaptionText().startsWith("Folder Settings - "));
  EXPECT_TRUE(form.MonitoredFolders.Contains(f));
  for (const auto& rows : {form.SharingList->Rows(), ReadSharingRows(form.aFormStorage, f)}) {
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].email, "ann@example.org");
    EXPECT_EQ(rows[0].modify, "Deny");
    EXPECT_TRUE(rows[1].enabled);
    EXPECT_EQ(rows[1].email, kSender);
    EXPECT_EQ(QStringList({rows[1].modify, rows[1].read, rows[1].write}), QStringList({"Allow", "Allow", "Allow"}));
  }
  EXPECT_TRUE(Subjects(Calendar()).contains("from the partner"));
  EXPECT_FALSE(QFile::exists(PackageDir()));

  // The share is permanent: the next package goes straight in.
  dialogs_.shown.clear();
  ReceivePackage("second");
  EXPECT_TRUE(dialogs_.shown.isEmpty());
  EXPECT_TRUE(Subjects(Calendar()).contains("second"));
}

TEST_F(ShareTest, AFolderTheTreeDoesNotShowIsSharedAllTheSame) {
  TMainForm& form = Started();
  const RdoFolder drafts = form.RSession.GetDefaultFolder(kDrafts);
  const QString f = drafts.EntryID();
  ASSERT_EQ(form.FoldersTree->FindFolder(f), nullptr);
  dialogs_.picks.push_back([drafts] { return drafts; });
  ReceivePackage("into drafts");
  EXPECT_EQ(Row("DEN\\Folders\\" + kKey), f);
  EXPECT_EQ(Row("END\\Folders\\" + f), kKey);
  EXPECT_TRUE(form.MonitoredFolders.Contains(f));
  const auto rows = ReadSharingRows(form.aFormStorage, f);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].email, kSender);
  EXPECT_TRUE(Subjects(drafts).contains("into drafts"));
}

// ---- The resync ------------------------------------------------------------

TEST_F(ShareTest, ResyncOfAFolderThatIsNotSharedWritesNothing) {
  TMainForm& form = Started();
  Focus(CalendarNode());
  form.ResyncButton->click();
  EXPECT_EQ(dialogs_.shown, QStringList{"Please highlight folder to Resync first."});
  EXPECT_FALSE(QFile::exists(Dir()));
  EXPECT_EQ(Row("END\\Folders\\" + F()), "");
  EXPECT_FALSE(form.zTimer->isActive());
}

TEST_F(ShareTest, ResyncSendsEveryItemUnderItsKeyWithTheRowsAndTheDescription) {
  TMainForm& form = Started();
  const QString f = F();
  QStringList ids;
  for (const char* subject : {"one", "Dummy", "two"}) ids << NewItem(Calendar(), subject).EntryID();
  // The first came from another computer: it keeps the key it arrived with.
  const QString arrived = QStringLiteral("FEDCBA9876543210FEDCBA9876543210");
  form.zEXML.WriteString(f + "\\" + ids[0], arrived);
  form.zEXML.WriteString(f + "\\" + arrived, ids[0]);
  Settle();
  Share(CalendarNode());
  // Pressed again while the resync yields: no second one inside it.
  QTimer::singleShot(0, [&] { form.ResyncButton->click(); });

  form.ResyncButton->click();

  EXPECT_EQ(dialogs_.shown, QStringList{"progress Exporting Items of 3: Exporting Calendar items."});
  EXPECT_FALSE(dialogs_.progressVisible);
  EXPECT_EQ(dialogs_.steps, 3);
  const QStringList keys = {arrived, GetMD5(ids[1]), GetMD5(ids[2])};
  QStringList expected;
  for (const QString& key : keys) expected << key + ".msg";
  expected.sort();
  EXPECT_EQ(Files(), expected);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Row(f + "\\" + ids[i]), keys[i]);
    EXPECT_EQ(Row(f + "\\" + keys[i]), ids[i]);
    EXPECT_FALSE(form.Identity.StateOf(f, ids[i]).isEmpty());
  }
  const QString k = GetMD5(f);
  EXPECT_EQ(Row("DEN\\Folders\\" + k), f);
  EXPECT_EQ(Row("DEN\\FoldersSID\\" + k), Calendar().StoreID());
  EXPECT_EQ(Row("END\\Folders\\" + f), k);
  EXPECT_TRUE(form.Identity.HasBaseline(f));
  XmlStorage info("Info");
  info.SetFileName(Dir() + "info.xml");
  EXPECT_EQ(info.ReadString("User", "?"), form.RSession.CurrentUser().SMTPAddress());
  EXPECT_EQ(info.ReadString("FolderName", "?"), "Calendar");
  EXPECT_EQ(info.ReadInteger("DefaultItemType", -1), 1);
  EXPECT_TRUE(form.zTimer->isActive());
  EXPECT_TRUE(form.StatusText().startsWith("Items last exported on "));
}

// The states are recorded after the loop (once the files are on disk); an
// export or a deletion of the user's while the resync ran has the last word.
TEST_F(ShareTest, ResyncKeepsWhatTheUserDidWhileItRan) {
  TMainForm& form = Started();
  const QString f = F();
  std::vector<RdoMail> items;
  for (const char* subject : {"kept", "changed", "deleted"}) items.push_back(NewItem(Calendar(), subject));
  const QString deleted = items[2].EntryID();
  Settle();
  Share(CalendarNode());
  dialogs_.onStep = [&](int step) {
    if (step != 3) return;
    EXPECT_TRUE(form.Identity.StateOf(f, items[0].EntryID()).isEmpty());  // not before the flush
    items[1].SetBody(QString(300, QChar(u'y')));
    items[1].Save();
    form.ExportItem(items[1]);
    items[2].Delete(2);
    form.RecordDeletion(deleted, f, kSender);
  };

  form.ResyncButton->click();

  EXPECT_EQ(dialogs_.steps, 3);
  EXPECT_EQ(form.Identity.StateOf(f, items[0].EntryID()), CurrentState(items[0]).ToText());
  EXPECT_EQ(form.Identity.StateOf(f, items[1].EntryID()), CurrentState(items[1]).ToText());
  EXPECT_EQ(form.Identity.StateOf(f, deleted), "");
  EXPECT_EQ(Row(f + "\\" + deleted), "");
}

TEST_F(ShareTest, ResyncCancelledOrEmpty) {
  struct Case {
    const char* name;
    int items;
    std::optional<int> cancelAfter;
    int files;
    bool described;  // description written and timer armed
  };
  for (const Case& c : {Case{"Cancel after 2 of 5", 5, 2, 2, true}, Case{"empty folder", 0, {}, 0, false}}) {
    SCOPED_TRACE(c.name);
    form_.reset();
    QTemporaryDir home;  // a profile and data directory of its own
    UseHome(home.path());
    TMainForm& form = Started();
    for (int i = 0; i < c.items; ++i) NewItem(Calendar(), QString("item %1").arg(i));
    Settle();
    Share(CalendarNode());
    dialogs_.steps = 0;
    dialogs_.cancelAfterSteps = c.cancelAfter;
    form.ResyncButton->click();
    const QString dir = home.path() + "/data/Varnel/Lintrove/Outbox/" + GetMD5(F()) + "/";
    EXPECT_TRUE(QDir(dir).exists());
    EXPECT_EQ(QDir(dir).entryList({"*.msg"}, QDir::Files).size(), c.files);
    EXPECT_EQ(QFile::exists(dir + "info.xml"), c.described);
    EXPECT_EQ(form.zTimer->isActive(), c.described);
    EXPECT_EQ(Row("END\\Folders\\" + F()), GetMD5(F()));
    EXPECT_EQ(Row("DEN\\Folders\\" + GetMD5(F())), F());
    form_.reset();
  }
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, true); }
