// The lists inside the controller: filled at start, shared through the
// window's own buttons, written by the debounced save and found again after
// a restart.
#include <QApplication>
#include <QHeaderView>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include "storage/md5.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/files.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"
#include "ui/folder_tree.h"
#include "ui/sharing_editor.h"

namespace {

class MainFormListsTest : public ControllerTest {
 protected:
  TMainForm& Started() {
    TMainForm& form = Form();
    form.SetDialogs(&dialogs_);
    return form;
  }
  VstNode* CalendarNode() { return Form().FoldersTree->FindFolder(Calendar().EntryID()); }
  QString ConfigFile() const { return home_.path() + "/data/Varnel/Lintrove/config.xml"; }

  ScriptedDialogs dialogs_;
};

TEST_F(MainFormListsTest, SharingThroughTheWindowSurvivesACrashAndARestart) {
  TMainForm& form = Started();
  const QString e = Calendar().EntryID();
  ASSERT_NE(CalendarNode(), nullptr);
  EXPECT_FALSE(form.RemoveButton->isEnabled());
  form.FoldersVST->setCurrentIndex(form.FoldersTree->Model().IndexOf(CalendarNode()));
  EXPECT_TRUE(form.ItemsPanelCaptionText().startsWith("Folder Settings - "));
  dialogs_.answers.push_back("ann@example.org");
  form.AddButton->click();
  EXPECT_TRUE(CalendarNode()->Checked);
  EXPECT_TRUE(form.MonitoredFolders.Contains(e));
  EXPECT_TRUE(form.RemoveButton->isEnabled());
  EXPECT_EQ(form.HintText(), SharingEditor::kRightsHint);
  form.ItemsVST->header()->resizeSection(0, 240);

  // The debounced save writes what an orderly exit would.
  ASSERT_TRUE(WaitFor([&] { return !form.SavePending(); }));
  form.SaveNow();
  const QString top = form.FoldersTree->FirstTopLevelNode()->Data.EntryID;
  const QByteArray saved = ReadAll(ConfigFile());
  EXPECT_TRUE(saved.contains(("<CheckedFolders-" + GetMD5(top) + ">" + GetMD5(e)).toUtf8())) << saved.data();
  EXPECT_TRUE(saved.contains("<Column0Width>240</Column0Width>"));
  EXPECT_TRUE(saved.contains(e.toUtf8() + "</MonitoredFolders>"));

  form.Exit1Click();
  form_.reset();
  TMainForm& again = Started();
  EXPECT_TRUE(CalendarNode()->Checked);
  EXPECT_TRUE(again.MonitoredFolders.Contains(e));
  EXPECT_EQ(again.ItemsVST->header()->sectionSize(0), 240);
  again.FoldersVST->setCurrentIndex(again.FoldersTree->Model().IndexOf(CalendarNode()));
  ASSERT_EQ(again.SharingList->Rows().size(), 1u);
  EXPECT_EQ(again.SharingList->Rows()[0].email, "ann@example.org");
  EXPECT_TRUE(dialogs_.answers.empty());
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, true); }
