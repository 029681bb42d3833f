// The folder tree and the sharing editor, driven through their widgets
// against the stand-in library on a temporary profile.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "outlook/dispatch_ref.h"
#include "outlook/redemption_loader.h"
#include "platform/system.h"
#include "storage/md5.h"
#include "storage/string_list.h"
#include "storage/xml_storage.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_main.h"
#include "ui/check_email.h"
#include "ui/dialogs.h"
#include "ui/folder_tree.h"
#include "ui/lists_host.h"
#include "ui/sharing_editor.h"

namespace {

const QString kPrefix = QStringLiteral("FoldersVST");

// The progress window is drawn by the time Show returns (its caller works
// on without yielding), and Cancel, or closing it, is a cancel.
TEST(ProgressWindow, IsDrawnWhenShownAndCancelledByItsButtonOrByClosing) {
  QtDialogs dialogs(QStringLiteral("Lintrove"));
  for (const bool byClosing : {false, true}) {
    QWidget owner;
    std::unique_ptr<ProgressWindow> progress = dialogs.CreateProgress(&owner, QStringLiteral("Exporting Items"));
    auto* window = owner.findChild<QDialog*>(QStringLiteral("zProgressBar"));
    ASSERT_TRUE(window);
    struct PaintCounter : QObject {
      int paints = 0;
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
      }
    } counter;
    window->installEventFilter(&counter);
    progress->Show(5, QStringLiteral("Exporting Calendar items."));
    EXPECT_TRUE(window->isVisible());
    EXPECT_GT(counter.paints, 0) << "shown but not drawn";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Exporting Items"));
    progress->StepIt();
    EXPECT_FALSE(progress->Canceled());
    if (byClosing)
      window->close();
    else
      QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("Cancel")), Qt::LeftButton);
    EXPECT_TRUE(progress->Canceled()) << byClosing;
    progress->Hide();
    EXPECT_FALSE(window->isVisible());
  }
}

TEST(CheckEmail, FollowsTheRulesInOrder) {
  const struct {
    const char16_t* address;
    bool valid;
  } cases[] = {
      {u"ann@example.org", true},
      {u"Ann.Lee_1-x@Mail.Example.COM", true},  // stored as typed
      {u"a@b.cd", true},
      {u"a@b.cd.e", true},  // only the first dot of the domain is measured
      {u"annexample.org", false},
      {u"@example.org", false},
      {u"a@b.c", false},   // one character after the first dot
      {u"a@bcd", false},   // no dot
      {u"a@.bcd", false},  // the domain begins with its dot
      {u"a@b.", false},    // three characters
      {u"a..b@example.org", false},
      {u"a@example..org", false},
      {u"a@b@example.org", false},
      {u"a b@example.org", false},
      {u"a+b@example.org", false},
      {u" a@example.org", false},
      {u"a@example.org ", false},
      {u"\u00e9@example.org", false},
      {u"a@exampl\u0101.org", false},
      {u"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckEmail(QString::fromUtf16(c.address)), c.valid) << QString::fromUtf16(c.address).toStdString();
  EXPECT_TRUE(CheckAllowed(QString()));
}

// Two stores: "Mailbox" (kind 3, loaded on demand) and "Personal Folders"
// (kind 2, loaded while filling), each with a calendar. The personal
// calendar has a mail subfolder, the mailbox's calendar a calendar "Team".
class ListsTest : public ::testing::Test, public ListsHost {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    const QString profile = temp_.path() + "/profile";
    QDir().mkpath(profile + "/stores/personal/Calendar/Replies/cur");
    QDir().mkpath(profile + "/stores/mailbox/Calendar/Team");
    for (const char* calendar : {"personal/Calendar", "mailbox/Calendar", "mailbox/Calendar/Team"})
      WriteFile(profile + "/stores/" + calendar + "/.vasnik-folder", "[Folder]\nDefaultItemType=1\n");
    WriteFile(profile + "/profile.ini",
              "[Store1]\nName=Mailbox\nKind=3\nDirectory=stores/mailbox\n"
              "[Store2]\nName=Personal Folders\nKind=2\nDirectory=stores/personal\n");
    qputenv("VASNIK_PROFILE", profile.toUtf8());
    outlook::LoaderInstance().SetDllLocation32Bit(platform::CommonFilesDir() + "/Varnel/vasnik" +
                                                  platform::ModuleSuffix());
    session_ = outlook::RdoSession(outlook::LoaderInstance().new_RDOSession());
    session_.Logon();
    Start();
  }
  void TearDown() override {
    window_.reset();
    session_.Logoff();
    session_ = outlook::RdoSession();
    qunsetenv("VASNIK_PROFILE");
  }

  static void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }

  // The controller's start-up and close, as far as the lists take part.
  void Start() {
    window_ = std::make_unique<QWidget>();
    window_->resize(700, 400);
    tree_ = new FolderTree(session_, config_, dialogs_, window_.get());
    editor_ = new SharingEditor(*tree_, session_, config_, monitored_, dialogs_, *this, window_.get());
    auto* layout = new QHBoxLayout(window_.get());
    layout->addWidget(tree_->FoldersVST());
    layout->addWidget(editor_->ItemsVST());
    tree_->LoadStores(session_.Stores());
    tree_->ReadCheckedNodes(tree_->FirstTopLevelNode(), kPrefix);
    editor_->ReadColumnWidth();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void Close() {
    editor_->WriteColumnWidth();
    tree_->WriteCheckedNodes(kPrefix);
  }
  void Restart() {
    Close();
    window_.reset();
    Start();
  }

  // ListsHost
  void ScheduleSave() override { ++saves_; }
  void SetHintText(const QString& text) override { hint_ = text; }
  QString ItemsPanelCaptionText() const override { return caption_; }
  void SetItemsPanelCaptionText(const QString& text) override { caption_ = text; }

  VstNode* Top(int i) { return tree_->Model().Root()->Children.at(size_t(i)).get(); }
  VstNode* Mailbox() { return Top(0); }
  VstNode* Personal() { return Top(1); }
  static VstNode* Child(VstNode* node, int i) { return node->Children.at(size_t(i)).get(); }
  QTreeView* Tree() { return tree_->FoldersVST(); }
  QTreeView* List() { return editor_->ItemsVST(); }
  void Focus(VstNode* node) { Tree()->setCurrentIndex(tree_->Model().IndexOf(node)); }
  void Expand(VstNode* node) { Tree()->expand(tree_->Model().IndexOf(node)); }
  void Add(const std::optional<QString>& answer) {
    dialogs_.answers.push_back(answer);
    editor_->AddButtonClick();
  }
  QString Value(const QString& entryId, const QString& rest) {
    return config_.ReadString(SharedFolderKey(entryId, rest), "<absent>");
  }
  QStringList Emails() {
    QStringList emails;
    for (const SharingRow& row : editor_->Rows()) emails << row.email;
    return emails;
  }
  void ClickCell(int row, int column) {
    const QRect r = List()->visualRect(editor_->Model().index(row, column));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, r.center());
  }
  void ClickHeader(int column) {
    QHeaderView* h = List()->header();
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                      QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2));
  }

  QTemporaryDir temp_;
  XmlStorage xml_{QStringLiteral("Configuration")};
  FormStorage config_{xml_, QStringLiteral("MainForm\\")};
  StringList monitored_{true};
  ScriptedDialogs dialogs_;
  outlook::RdoSession session_;
  std::unique_ptr<QWidget> window_;
  FolderTree* tree_ = nullptr;
  SharingEditor* editor_ = nullptr;
  int saves_ = 0;
  QString hint_;
  QString caption_;
};

TEST_F(ListsTest, KindTwoStoreIsFilledAtStartTheOtherOnItsFirstExpansionOnly) {
  // Loaded while filling: the calendars only at the first level, a
  // calendar's mail subfolder shown below it with the mail icon.
  VstNode* personal = Personal();
  ASSERT_EQ(personal->Children.size(), 1u);
  VstNode* calendar = Child(personal, 0);
  EXPECT_EQ(calendar->Data.Subject, "Calendar");
  EXPECT_EQ(calendar->Data.DefaultItemType, 1);
  ASSERT_EQ(calendar->Children.size(), 1u);
  EXPECT_EQ(Child(calendar, 0)->Data.Subject, "Replies");
  EXPECT_EQ(Child(calendar, 0)->Data.DefaultItemType, 0);
  EXPECT_TRUE(calendar->HasCheckBox && !calendar->Checked);
  const outlook::RdoFolder top = session_.GetStoreFromID(personal->StoreEntryID).IPMRootFolder();
  EXPECT_EQ(personal->Data.EntryID, top.EntryID());
  EXPECT_EQ(personal->Data.StoreID, top.StoreID());
  EXPECT_TRUE(personal->HasCheckBox);
  EXPECT_TRUE(Tree()->isExpanded(tree_->Model().IndexOf(personal)));
  const QModelIndex calendarIndex = tree_->Model().IndexOf(calendar);
  EXPECT_TRUE(calendarIndex.data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage() !=
              calendarIndex.model()->index(0, 0, calendarIndex).data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage());

  // On demand: a placeholder and the marker until expanded, no check box.
  VstNode* mailbox = Mailbox();
  EXPECT_EQ(mailbox->Data.StoreID, FolderTree::kMarker);
  EXPECT_FALSE(mailbox->HasCheckBox);
  ASSERT_EQ(mailbox->Children.size(), 1u);
  EXPECT_TRUE(Child(mailbox, 0)->Data.Subject.isEmpty());
  const quint64 before = outlook::DispatchRef::InvokeCount();
  Expand(mailbox);
  EXPECT_GT(outlook::DispatchRef::InvokeCount(), before);
  EXPECT_TRUE(mailbox->Data.StoreID.isEmpty());
  ASSERT_EQ(mailbox->Children.size(), 1u);
  EXPECT_EQ(Child(mailbox, 0)->Data.Subject, "Calendar");
  EXPECT_EQ(Child(Child(mailbox, 0), 0)->Data.Subject, "Team");
  Tree()->collapse(tree_->Model().IndexOf(mailbox));
  const quint64 loaded = outlook::DispatchRef::InvokeCount();
  Expand(mailbox);
  EXPECT_EQ(outlook::DispatchRef::InvokeCount(), loaded);
  EXPECT_EQ(mailbox->Children.size(), 1u);
}

TEST_F(ListsTest, UserCannotChangeACheckMark) {
  VstNode* calendar = Child(Personal(), 0);
  Focus(calendar);
  const QRect r = Tree()->visualRect(tree_->Model().IndexOf(calendar));
  // The check box sits at the left of the item, before the icon.
  QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 8, r.center().y()));
  QTest::keyClick(Tree(), Qt::Key_Space);
  EXPECT_FALSE(calendar->Checked);
  const QString message =
      "To share a folder, select folder and click \"Add\" to add an email to share the folder with";
  EXPECT_EQ(dialogs_.shown, QStringList({message, message}));
}

TEST_F(ListsTest, AddAndRemoveShareAndUnshareTheFocusedFolder) {
  // A store focused: the message, the hint, nothing else.
  Focus(Personal());
  editor_->AddButtonClick();
  EXPECT_EQ(dialogs_.shown, QStringList{"You can not share top Outlook folder. Select a subfolder to share."});
  EXPECT_EQ(hint_, SharingEditor::kRightsHint);
  EXPECT_TRUE(caption_.isEmpty());

  VstNode* calendar = Child(Personal(), 0);
  const QString e = calendar->Data.EntryID;
  Focus(calendar);
  EXPECT_TRUE(caption_.startsWith("Folder Settings - ") && caption_.endsWith("Calendar")) << caption_.toStdString();
  dialogs_.shown.clear();
  Add("ann@example.org");
  EXPECT_EQ(dialogs_.shown, QStringList{"Add User: Add email address to share the Calendar with"});
  ASSERT_EQ(editor_->Rows().size(), 1u);
  const SharingRow first = editor_->Rows()[0];
  EXPECT_TRUE(first.enabled);
  EXPECT_EQ(QStringList({first.modify, first.read, first.write}), QStringList({"Allow", "Allow", "Allow"}));
  EXPECT_TRUE(calendar->Checked);
  EXPECT_TRUE(monitored_.Contains(e));
  EXPECT_GT(saves_, 0);
  EXPECT_EQ(Value(e, "UserCount"), "1");
  EXPECT_EQ(Value(e, "FolderPath"), caption_);
  EXPECT_EQ(Value(e, "User0\\Email"), "ann@example.org");
  EXPECT_EQ(Value(e, "User0\\Enabled"), "True");

  Add("ann@example.org");  // the same address twice: two entries
  Add("bad address");      // rejected silently
  Add(std::nullopt);       // cancelled
  Add("Bob@Example.org");
  EXPECT_EQ(Emails(), QStringList({"ann@example.org", "ann@example.org", "Bob@Example.org"}));
  EXPECT_EQ(Value(e, "UserCount"), "3");

  List()->setCurrentIndex(editor_->Model().index(1, 0));
  editor_->RemoveButtonClick();
  EXPECT_EQ(Value(e, "UserCount"), "2");
  EXPECT_EQ(Value(e, "User1\\Email"), "Bob@Example.org");
  EXPECT_EQ(Value(e, "User2\\Email"), "Bob@Example.org");  // left behind, never read
  EXPECT_TRUE(calendar->Checked);
  for (int i = 0; i < 2; ++i) {
    List()->setCurrentIndex(editor_->Model().index(0, 0));
    editor_->RemoveButtonClick();
  }
  EXPECT_FALSE(calendar->Checked);
  EXPECT_FALSE(monitored_.Contains(e));
  EXPECT_EQ(Value(e, "UserCount"), "0");

  // Focus back on a store: the list empties and nothing can write into
  // the wrong folder's section.
  Add("ann@example.org");
  Focus(Personal());
  EXPECT_TRUE(editor_->Rows().empty());
  EXPECT_FALSE(editor_->Loaded());
  editor_->RemoveButtonClick();
  editor_->SaveFolderSettings(e);  // what the controller could still call
  Focus(calendar);
  EXPECT_EQ(Emails(), QStringList{});
}

TEST_F(ListsTest, HeaderClicksSortInOneFlippingDirectionAndSavesFollowTheOrder) {
  VstNode* calendar = Child(Personal(), 0);
  Focus(calendar);
  for (const char* address : {"bob@x.org", "Ann@x.org", "carl@x.org"}) Add(QString::fromLatin1(address));
  ClickHeader(2);
  ClickHeader(2);
  EXPECT_EQ(Emails(), QStringList({"bob@x.org", "Ann@x.org", "carl@x.org"}));
  ClickHeader(0);  // ascending, as the two clicks left it
  EXPECT_EQ(Emails(), QStringList({"Ann@x.org", "bob@x.org", "carl@x.org"}));
  ClickHeader(0);
  EXPECT_EQ(Emails(), QStringList({"carl@x.org", "bob@x.org", "Ann@x.org"}));
  // Clearing a tick writes the entries in the order shown.
  editor_->Model().setData(editor_->Model().index(2, 0), Qt::Unchecked, Qt::CheckStateRole);
  const QString e = calendar->Data.EntryID;
  EXPECT_EQ(Value(e, "User0\\Email"), "carl@x.org");
  EXPECT_EQ(Value(e, "User2\\Email"), "Ann@x.org");
  EXPECT_EQ(Value(e, "User2\\Enabled"), "False");
}

TEST_F(ListsTest, RightsEditorOffersAllowFirstEnterStoresAndMovesDownEscapeCancels) {
  VstNode* calendar = Child(Personal(), 0);
  const QString e = calendar->Data.EntryID;
  Focus(calendar);
  Add("ann@example.org");
  Add("bob@example.org");
  auto editorWidget = [this] { return List()->viewport()->findChild<QComboBox*>(); };
  auto press = [&](Qt::Key key) {
    QComboBox* edit = editorWidget();
    ASSERT_NE(edit, nullptr);
    QTest::keyClick(edit->view()->isVisible() ? static_cast<QWidget*>(edit->view()) : edit, key);
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  };
  // Set "Deny" on the first row's Read through the drop-down.
  ClickCell(0, 2);
  ASSERT_NE(editorWidget(), nullptr);
  EXPECT_EQ(editorWidget()->currentText(), "Allow");
  EXPECT_EQ(hint_, SharingEditor::kRightsHint);
  editorWidget()->setCurrentIndex(1);
  editorWidget()->hidePopup();
  press(Qt::Key_Return);
  EXPECT_EQ(Value(e, "User0\\Read"), "Deny");
  EXPECT_EQ(List()->currentIndex().row(), 1);

  // Enter at once on a "Deny" cell: "Allow", saved.
  ClickCell(0, 2);
  press(Qt::Key_Return);
  EXPECT_EQ(editor_->Rows()[0].read, "Allow");
  EXPECT_EQ(Value(e, "User0\\Read"), "Allow");

  editor_->Model().setData(editor_->Model().index(0, 2), "Deny", Qt::EditRole);
  ClickCell(0, 2);
  press(Qt::Key_Escape);
  EXPECT_EQ(editor_->Rows()[0].read, "Deny");
  EXPECT_EQ(editorWidget(), nullptr);

  // Column 0 opens nothing.
  hint_.clear();
  ClickCell(1, 0);
  EXPECT_EQ(editorWidget(), nullptr);
  EXPECT_EQ(hint_, SharingEditor::kRightsHint);
}

TEST_F(ListsTest, CheckMarksAndColumnWidthsComeBackAfterARestart) {
  Focus(Child(Personal(), 0));
  Add("ann@example.org");
  Expand(Mailbox());
  Focus(Child(Child(Mailbox(), 0), 0));  // "Team", nested below the calendar
  Add("bob@example.org");
  List()->header()->resizeSection(0, 251);
  Restart();

  // The personal store is not the first, yet its mark is back at once.
  EXPECT_TRUE(Child(Personal(), 0)->Checked);
  EXPECT_EQ(List()->header()->sectionSize(0), 251);
  EXPECT_EQ(List()->header()->sectionSize(1), 50);
  Expand(Mailbox());
  VstNode* mailboxCalendar = Child(Mailbox(), 0);
  EXPECT_TRUE(Child(mailboxCalendar, 0)->Checked);
  EXPECT_FALSE(mailboxCalendar->Checked);
  EXPECT_TRUE(Tree()->isExpanded(tree_->Model().IndexOf(mailboxCalendar)));

  // A run that never expands the mailbox keeps its stored marks.
  const QString key = kPrefix + "\\CheckedFolders-" + GetMD5(Mailbox()->Data.EntryID);
  const QString stored = config_.ReadString(key, QString());
  EXPECT_EQ(stored, GetMD5(Child(mailboxCalendar, 0)->Data.EntryID));
  Restart();
  Restart();
  EXPECT_EQ(config_.ReadString(key, QString()), stored);
  Expand(Mailbox());
  EXPECT_TRUE(Child(Child(Mailbox(), 0), 0)->Checked);
}

TEST_F(ListsTest, MarksKeptUnderAStoresOwnEntryIdAreFoundWhenItsTopFolderHasNone) {
  const QString digest = GetMD5(Child(Personal(), 0)->Data.EntryID);
  config_.WriteString(kPrefix + "\\CheckedFolders-" + GetMD5(Personal()->StoreEntryID), digest);
  window_.reset();
  Start();
  EXPECT_TRUE(Child(Personal(), 0)->Checked);
  // From now on the marks are kept under the top folder, which wins.
  Close();
  EXPECT_EQ(config_.ReadString(kPrefix + "\\CheckedFolders-" + GetMD5(Personal()->Data.EntryID), QString()), digest);
  // Clearing the mark clears it under both keys.
  Child(Personal(), 0)->Checked = false;
  Restart();
  EXPECT_FALSE(Child(Personal(), 0)->Checked);
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, true); }
