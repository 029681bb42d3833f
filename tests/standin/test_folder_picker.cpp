// The folder picker dialog, driven headless.

#include "tests/standin/vasnik_fixture.h"

#include "standin/store/folder_picker.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

using namespace vasnik;

namespace {

TEST_F(VasnikTest, PickerShowsStoresAndPreselectsTheDefaultFolder) {
  Logon("[Store1]\nName=Personal\nKind=2\n[Store2]\nName=Mailbox\nKind=3\n");
  FolderPickerDialog dialog(session_, kItemAppointment);
  QTreeWidget* tree = dialog.Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->text(0), "Personal");
  EXPECT_EQ(tree->topLevelItem(1)->text(0), "Mailbox");
  EXPECT_EQ(tree->topLevelItem(0)->childCount(), 8);
  ASSERT_TRUE(dialog.SelectedFolder());
  EXPECT_EQ(dialog.SelectedFolder()->EntryID(), Default(kFolderCalendar)->EntryID());
  EXPECT_TRUE(dialog.OkButton()->isEnabled());

  // A store's top node cannot be chosen but can hold a new folder.
  ASSERT_TRUE(dialog.SelectFolder(session_->StoreAt(2)->RootFolder()->EntryID()));
  EXPECT_FALSE(dialog.SelectedFolder());
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(dialog.NewFolderButton()->isEnabled());
}

TEST_F(VasnikTest, PickerNewFolderButtonCreatesAndSelects) {
  Logon();
  FolderPickerDialog dialog(session_, kItemAppointment);
  dialog.SetNamePrompt([](QWidget*) { return QStringLiteral("From Peer"); });
  dialog.NewFolderButton()->click();
  auto created = dialog.SelectedFolder();
  ASSERT_TRUE(created);
  EXPECT_EQ(created->Name(), "From Peer");
  EXPECT_EQ(created->DefaultItemType(), kItemAppointment);
  EXPECT_EQ(created->Parent()->EntryID(), Default(kFolderCalendar)->EntryID());
  EXPECT_TRUE(QFileInfo(created->Directory()).isDir());
  // A name that is taken is refused.
  dialog.SelectFolder(Default(kFolderCalendar)->EntryID());
  EXPECT_THROW(dialog.CreateFolder("from peer"), StoreError);
  // An empty answer creates nothing.
  dialog.SetNamePrompt([](QWidget*) { return QString(); });
  dialog.NewFolderButton()->click();
  EXPECT_EQ(Default(kFolderCalendar)->Folders().size(), 1u);
}

TEST_F(VasnikTest, PickFolderReturnsChoiceOrNothing) {
  Logon();
  QTimer::singleShot(0, [] {
    if (auto* dialog = qobject_cast<FolderPickerDialog*>(QApplication::activeModalWidget()))
      dialog->reject();
  });
  EXPECT_EQ(PickFolder(session_, kItemAppointment), nullptr);
  QTimer::singleShot(0, [this] {
    if (auto* dialog = qobject_cast<FolderPickerDialog*>(QApplication::activeModalWidget())) {
      dialog->SelectFolder(Default(kFolderInbox)->EntryID());
      dialog->OkButton()->click();
    }
  });
  auto chosen = PickFolder(session_, kItemAppointment);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->Name(), "Inbox");
}

}  // namespace

int main(int argc, char** argv) {
  // Headless also when ctest lists the tests, which runs without the
  // environment the test runs get.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
