// Sharing from zero, as three new users would do it: nobody writes a
// setting by hand. A's program runs in this process with its real window and
// real dialogs, clicked and typed into with QTest; B and C are lintrove
// processes on an X display of the test's own, whose invitations are
// answered from outside with keys (screen.h). Every file in the data
// directories comes from the programs.
#include <QApplication>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include <ctime>
#include <iostream>

#include "app/main_form.h"
#include "tests/support/mail_server.h"
#include "tests/support/peer.h"
#include "tests/support/screen.h"
#include "tests/support/test_main.h"
#include "ui/folder_tree.h"

namespace {

using namespace peers;

constexpr int kEvents = 50;
// The titles of the invitation's windows: the two message boxes carry the
// program's name, the folder picker its own.
const QString kMessage = QStringLiteral("^Lintrove$");
const QString kPicker = QStringLiteral("^Select Folder$");

QString Title(int i) { return QStringLiteral("Road event %1").arg(i, 2, 10, QLatin1Char('0')); }

// The events of A's calendar, made with khal from one calendar file.
QByteArray EventsFile() {
  QByteArray ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//road test//EN\r\n";
  for (int i = 1; i <= kEvents; ++i)
    ics += QString::asprintf("BEGIN:VEVENT\r\nUID:road-%d\r\nDTSTAMP:20240101T000000Z\r\n"
                             "DTSTART:203103%02dT%02d0000Z\r\nDTEND:203103%02dT%02d0000Z\r\nSUMMARY:%s\r\n"
                             "END:VEVENT\r\n",
                             i, 1 + i % 28, 8 + i % 8, 1 + i % 28, 9 + i % 8, qPrintable(Title(i)))
               .toUtf8();
  return ics + "END:VCALENDAR\r\n";
}

// A user's click on a row of a list.
void ClickRow(QTreeView* view, const QModelIndex& index) {
  view->scrollTo(index);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// Types into the next text prompt that opens, once it is the modal window,
// and confirms it with Enter; the caller then does what opens it.
void TypeIntoNextPrompt(const QString& text, bool* typed) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, text, typed] {
    auto* prompt = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    if (!prompt) return;
    poll->deleteLater();
    poll->stop();
    auto* edit = prompt->findChild<QLineEdit*>();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
    *typed = true;
  });
  poll->start(50);
}

class ShareFromZeroTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    ASSERT_FALSE(QStandardPaths::findExecutable("khal").isEmpty()) << "khal is not installed (Debian package khal)";
    ASSERT_FALSE(QStandardPaths::findExecutable("xdotool").isEmpty()) << "xdotool is not installed";
    ASSERT_TRUE(screen_.Start()) << screen_.Error().toStdString();
    ASSERT_NO_FATAL_FAILURE(PreparePeers(root_.path(), server_, {&a_, &b_, &c_}, /*logOnHere=*/false));
    b_.display = c_.display = screen_.Display();
    qputenv("TZ", "UTC");
    ::tzset();
  }

  void TearDown() override {
    if (HasFailure()) {
      const QString shot = screen_.Shot(QDir::currentPath() + "/share_from_zero_failure");
      std::cout << "[ road     ] screen at the failure: " << shot.toStdString() << std::endl;
    }
    KillAll({&b_, &c_});
    a_form_.reset();
    server_.Stop();
  }

  // Waits for a side's calendar to hold exactly these titles, answering
  // the invitation's windows as they come; prints how long it took.
  bool Arrives(const Peer& p, QStringList expected, const char* step, DialogScript* answers = nullptr) {
    expected.sort();
    QElapsedTimer clock;
    clock.start();
    const bool arrived = Eventually(
        [&] {
          if (answers) answers->Poll();
          return p.Summaries() == expected;
        },
        2 * kHopMs);
    std::cout << "[ road     ] " << step << ": " << clock.elapsed() / 1000.0 << " s" << std::endl;
    const QStringList held = p.Summaries();
    EXPECT_TRUE(arrived) << step << ": " << p.name.toStdString() << " holds " << held.size() << " events, "
                         << (answers ? answers->Answered(kPicker) : 0) << " pickers answered\n"
                         << p.Output().toStdString();
    return arrived;
  }

  // A at its window: the calendar focused with a click (its store opened
  // with the keyboard when it is closed), "Add", the address typed into the
  // prompt, then "Resync All".
  void InviteFromA(const QString& address) {
    QTreeView* tree = a_form_->FoldersVST;
    const VstNode* calendar = a_form_->FoldersTree->FindFolder(a_.folderId);
    ASSERT_TRUE(calendar) << "A's calendar is not in the folder tree";
    const QModelIndex index = a_form_->FoldersTree->Model().IndexOf(const_cast<VstNode*>(calendar));
    if (!tree->isExpanded(index.parent())) {
      ClickRow(tree, index.parent());
      QTest::keyClick(tree, Qt::Key_Right);
    }
    ClickRow(tree, index);
    ASSERT_EQ(a_form_->FoldersTree->FocusedNode(), calendar);

    bool typed = false;
    TypeIntoNextPrompt(address, &typed);
    QTest::mouseClick(a_form_->AddButton, Qt::LeftButton);
    ASSERT_TRUE(typed) << "no prompt for the address";
    ASSERT_TRUE(calendar->Checked) << "adding a user does not mark the folder shared";

    QTest::mouseClick(a_form_->ResyncButton, Qt::LeftButton);
    EXPECT_TRUE(a_form_->StatusText().startsWith("Items last exported on")) << a_form_->StatusText().toStdString();
  }

  QTemporaryDir root_;
  Screen screen_;
  MailServer server_;
  Peer a_{.name = "a", .address = "a@peers.test"};
  Peer b_{.name = "b", .address = "b@peers.test"};
  Peer c_{.name = "c", .address = "c@peers.test"};
  std::unique_ptr<TMainForm> a_form_;
};

TEST_F(ShareFromZeroTest, InvitedPeersGetTheCalendarAndChangesTravelBothWays) {
  QElapsedTimer total;
  total.start();

  // A's first start makes its store; its events are made with khal.
  a_.UseHere();
  a_form_ = std::make_unique<TMainForm>(QStringList{"lintrove", "gui"});
  ASSERT_FALSE(a_form_->Terminated());
  const outlook::RdoFolder calendar = a_form_->RSession.GetDefaultFolder(kCalendar);
  a_.folderId = calendar.EntryID();
  a_.storeId = calendar.StoreID();
  QFile events(a_.home + "/events.ics");
  ASSERT_TRUE(events.open(QIODevice::WriteOnly));
  events.write(EventsFile());
  events.close();
  a_.Khal({"import", "--batch", "-a", "cal", events.fileName()});
  QStringList expected;
  for (int i = 1; i <= kEvents; ++i) expected << Title(i);
  expected.sort();
  ASSERT_EQ(a_.KhalTitles().join(", "), expected.join(", "));

  ASSERT_TRUE(b_.Start());
  ASSERT_TRUE(c_.Start());

  // B: Yes to the question, OK to the note, and the picker's preselected
  // calendar taken with Enter.
  ASSERT_NO_FATAL_FAILURE(InviteFromA(b_.address));
  DialogScript bAnswers{screen_, {{kMessage, {"Return"}}, {kPicker, {"Return"}}}};
  ASSERT_TRUE(Arrives(b_, expected, "A's calendar reaches B", &bAnswers));
  EXPECT_EQ(bAnswers.Answered(kPicker), 1);
  EXPECT_EQ(b_.KhalTitles().join(", "), expected.join(", "));

  // B's edit goes back to A under A's folder key; A's deletion reaches B.
  b_.Khal({"edit", Title(7)}, "s\nRoad event 07 moved\nn\n");
  expected.replaceInStrings(Title(7), "Road event 07 moved");
  ASSERT_TRUE(Arrives(a_, expected, "B's edit reaches A"));
  a_.Khal({"edit", Title(13)}, "D\ny\n");
  expected.removeOne(Title(13));
  ASSERT_TRUE(Arrives(b_, expected, "A's deletion reaches B"));

  // C is invited later. Its user first ends the program while the picker
  // is open: it ends in order and records nothing, so when A presses
  // "Resync All" again C is asked again, and chooses its calendar in the
  // picker by typing.
  ASSERT_NO_FATAL_FAILURE(InviteFromA(c_.address));
  DialogScript cLeaves{screen_, {{kMessage, {"Return"}}}};
  ASSERT_TRUE(Eventually(
      [&] {
        cLeaves.Poll();
        return !screen_.Windows(kPicker).isEmpty();
      },
      2 * kHopMs))
      << "C shows no picker\n" << c_.Output().toStdString();
  ASSERT_TRUE(c_.Stop());
  ASSERT_TRUE(c_.Start());
  QTest::mouseClick(a_form_->ResyncButton, Qt::LeftButton);
  DialogScript cAnswers{screen_, {{kMessage, {"Return"}}, {kPicker, {"type:Calendar", "Return"}}}};
  ASSERT_TRUE(Arrives(c_, expected, "A's calendar reaches C", &cAnswers));
  // Nothing was kept from the first time: the picker came again.
  EXPECT_EQ(cAnswers.Answered(kPicker), 1);
  EXPECT_EQ(c_.KhalTitles().join(", "), expected.join(", "));
  // B got the second resync as well: its events were replaced, not doubled.
  EXPECT_FALSE(Eventually([&] { return b_.Summaries() != expected; }, 3000)) << b_.Summaries().size();

  EXPECT_TRUE(b_.Stop());
  EXPECT_TRUE(c_.Stop());
  a_form_.reset();
  for (const Peer* p : {&a_, &b_, &c_}) {
    EXPECT_TRUE(p->ErrorLog().isEmpty()) << p->name.toStdString() << "'s error.log:\n"
                                         << p->ErrorLog().join('\n').toStdString();
    EXPECT_TRUE(QFile::exists(p->DataDir() + "/config.xml")) << p->name.toStdString();
  }
  for (const Peer* p : {&b_, &c_})
    EXPECT_TRUE(p->Complaints().isEmpty()) << p->name.toStdString() << " said:\n"
                                           << p->Complaints().join('\n').toStdString();
  std::cout << "[ road     ] whole road: " << total.elapsed() / 1000.0 << " s" << std::endl;
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
