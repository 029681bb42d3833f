// Two peers end to end: two running lintrove processes, each with its own
// data directory, profile and runtime directory, share their calendars with
// each other through a real SMTP server. Events made, changed and deleted
// with khal on one side appear, change and go on the other, under the rights
// each side granted the other.
//
// Each peer's set-up is what an accepted invitation leaves behind: A's
// calendar travels under its own folder key K_A = GetMD5(F_A); B maps K_A to
// its calendar in both directions, so B's changes travel back under K_A.
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

#include "tests/support/mail_server.h"
#include "tests/support/peer.h"
#include "tests/support/update_mails.h"
#include "tests/support/test_main.h"

namespace {

using namespace peers;

class TwoPeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    ASSERT_FALSE(QStandardPaths::findExecutable("khal").isEmpty()) << "khal is not installed (Debian package khal)";
    ASSERT_NO_FATAL_FAILURE(PreparePeers(root_.path(), server_, {&a_, &b_}));

    // Each side shares its calendar with the other, all rights.
    ASSERT_NO_FATAL_FAILURE(Share(a_, b_.address, "Allow"));
    ASSERT_NO_FATAL_FAILURE(Share(b_, a_.address, "Allow"));
    // A's calendar travels under its own key; B receives it into its
    // calendar and sends its changes back under A's key.
    const QString k = a_.FolderKey();
    ASSERT_NO_FATAL_FAILURE(MapRows(a_, {{"DEN\\Folders\\" + k, a_.folderId}, {"DEN\\FoldersSID\\" + k, a_.storeId}}));
    ASSERT_NO_FATAL_FAILURE(MapRows(b_, {{"DEN\\Folders\\" + k, b_.folderId},
                 {"DEN\\FoldersSID\\" + k, b_.storeId},
                 {"END\\Folders\\" + b_.folderId, k}}));

    ASSERT_TRUE(a_.Start());
    ASSERT_TRUE(b_.Start());
  }

  void TearDown() override {
    KillAll({&a_, &b_});
    server_.Stop();
  }

  // Waits until the side's calendar holds exactly these summaries, prints
  // how long it took, and checks that khal lists the same and that nothing
  // is sent back. With atOnce the test goes on the moment the items are
  // there, as a user who edits what just came in (the mail counts at the
  // end still show whether anything was sent back).
  void Arrives(const Peer& p, QStringList expected, const char* step, bool atOnce = false) {
    expected.sort();
    QElapsedTimer clock;
    clock.start();
    const bool arrived = Eventually([&] { return p.Summaries() == expected; }, kHopMs);
    std::cout << "[ peers    ] " << step << ": " << clock.elapsed() / 1000.0 << " s" << std::endl;
    EXPECT_TRUE(arrived) << step << ": " << p.name.toStdString() << " holds \""
                         << p.Summaries().join("\", \"").toStdString() << "\"\n"
                         << p.Output().toStdString();
    if (atOnce) return;
    EXPECT_EQ(p.KhalTitles(), expected) << step;
    // What the import wrote is not exported back: the store events it
    // caused (a few milliseconds later) find the guard list.
    EXPECT_FALSE(Eventually([&] { return !p.OutboxEntries().isEmpty(); }, 2000))
        << step << ": " << p.name.toStdString() << " exports " << p.OutboxEntries().join(", ").toStdString();
  }

  // Stops both sides and checks their logs: nothing was raised in either,
  // and neither the library nor the transport complained on stderr (Qt's
  // own notes about the headless platform aside). After a stop in the
  // middle the log tells what the next start picked up.
  void StopBoth(bool afterAStop = false) {
    EXPECT_TRUE(a_.Stop());
    EXPECT_TRUE(b_.Stop());
    if (!afterAStop)
      for (const Peer* p : {&a_, &b_})
        EXPECT_TRUE(p->ErrorLog().isEmpty()) << p->name.toStdString() << "'s error.log:\n"
                                            << p->ErrorLog().join('\n').toStdString();
    for (const Peer* p : {&a_, &b_}) {
      const QStringList complaints = p->Complaints();
      EXPECT_TRUE(complaints.isEmpty()) << p->name.toStdString() << " said:\n" << complaints.join('\n').toStdString();
    }
  }

  QTemporaryDir root_;
  MailServer server_;
  Peer a_{"a", "a@peers.test", {}, {}, {}, {}, 0};
  Peer b_{"b", "b@peers.test", {}, {}, {}, {}, 0};
};

TEST_F(TwoPeersTest, NewEditAndDeleteTravelBothWays) {
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  // Regression: an edit within a second of the import stayed on B for good.
  Arrives(b_, {"Planning meeting"}, "new on A reaches B", /*atOnce=*/true);

  b_.Khal({"edit", "Planning"}, "s\nReview meeting\nn\n");
  Arrives(a_, {"Review meeting"}, "edit on B reaches A");
  // The import on A is not sent back: B keeps its own version alone.
  EXPECT_EQ(b_.Summaries(), QStringList{"Review meeting"});

  a_.Khal({"edit", "Review"}, "D\ny\n");
  Arrives(b_, {}, "deletion on A reaches B");
  EXPECT_EQ(a_.Summaries(), QStringList{});
  // One update mail per change, none for what was received.
  EXPECT_EQ(a_.SentMails(), 2);
  EXPECT_EQ(b_.SentMails(), 1);

  StopBoth();
}

// Both sides change what arrives the moment it is there, as fast as khal
// goes: every change arrives, and nothing an import wrote is sent back.
TEST_F(TwoPeersTest, EditsMadeTheMomentEventsArriveAreAllKept) {
  QStringList created, onB, last;
  for (int i = 1; i <= 8; ++i) {
    const QString title = QString("Event %1").arg(i);
    a_.Khal({"new", "-a", "cal", QString("2031-03-%1").arg(i + 1, 2, 10, QChar(u'0')), "10:00", "11:00", title});
    created << title;
    onB << title + " on B";
  }
  Arrives(b_, created, "eight new events reach B", /*atOnce=*/true);
  for (const QString& title : created) b_.Khal({"edit", title}, ("s\n" + title + " on B\nn\n").toUtf8());
  Arrives(a_, onB, "B's edits of all eight reach A", /*atOnce=*/true);
  for (int i = 1; i <= 8; ++i) {
    const QString title = QString("Event %1 on B").arg(i);
    if (i <= 2) {
      a_.Khal({"edit", title}, "D\ny\n");
    } else {
      a_.Khal({"edit", title}, ("s\n" + title + " and A\nn\n").toUtf8());
      last << title + " and A";
    }
  }
  Arrives(b_, last, "A's edits and deletions reach B");
  EXPECT_EQ(a_.Summaries(), b_.Summaries());
  std::cout << "[ peers    ] update mails sent: A " << a_.SentMails() << ", B " << b_.SentMails() << std::endl;
  StopBoth();
}

// ---- Stopped at any moment, started again -------------------------------------------------

// Regression: a package whose mail was taken but not yet unpacked waited in
// the Inbox directory until the next package of its key overwrote it.
TEST_F(TwoPeersTest, StoppedAfterTheMailWasTakenTheNextStartImportsIt) {
  ASSERT_TRUE(b_.Stop());
  b_.stopAt = "intake-deleted";
  ASSERT_TRUE(b_.Start());
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  ASSERT_TRUE(b_.Stopped()) << b_.Output().toStdString();
  EXPECT_TRUE(b_.Summaries().isEmpty());
  ASSERT_TRUE(b_.Start());
  Arrives(b_, {"Planning meeting"}, "a package taken before a stop is imported at the next start");
  StopBoth(/*afterAStop=*/true);
}

// Regression: a pass that stopped after its mail was handed over sent the
// same files again with the next change and overwrote what the other side
// had changed since.
TEST_F(TwoPeersTest, StoppedAfterItsMailWentAPassIsNotSentAgain) {
  ASSERT_TRUE(a_.Stop());
  a_.stopAt = "packed-sent";
  ASSERT_TRUE(a_.Start());
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  ASSERT_TRUE(a_.Stopped()) << a_.Output().toStdString();
  ASSERT_TRUE(a_.Start());
  Arrives(b_, {"Planning meeting"}, "the mail of the stopped pass arrives");
  b_.Khal({"edit", "Planning"}, "s\nReview meeting\nn\n");
  Arrives(a_, {"Review meeting"}, "B's edit reaches A");
  a_.Khal({"new", "-a", "cal", "2031-03-05", "09:00", "10:00", "Second"});
  Arrives(b_, {"Review meeting", "Second"}, "the next change goes alone");
  EXPECT_EQ(a_.SentMails(), 2);
  StopBoth(/*afterAStop=*/true);
}

// Regression: a stop while the exported message file was written lost the
// change for good.
TEST_F(TwoPeersTest, StoppedWhileTheChangeWasExportedItGoesAfterTheNextStart) {
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  Arrives(b_, {"Planning meeting"}, "the first change reaches B");
  ASSERT_TRUE(a_.Stop());
  a_.stopAt = "export-saving";
  ASSERT_TRUE(a_.Start());
  a_.Khal({"new", "-a", "cal", "2031-03-05", "10:00", "11:00", "Second"});
  ASSERT_TRUE(a_.Stopped()) << a_.Output().toStdString();
  ASSERT_TRUE(a_.Start());
  Arrives(b_, {"Planning meeting", "Second"}, "the change being exported at the stop goes after the start");
  StopBoth(/*afterAStop=*/true);
}

// Regression: a change made just before a stop waited for the next change.
TEST_F(TwoPeersTest, KilledBeforeThePassAChangeGoesAfterTheNextStart) {
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  ASSERT_TRUE(Eventually([&] { return !a_.OutboxEntries().isEmpty(); }, kHopMs));
  a_.Kill();
  ASSERT_TRUE(a_.Start());
  Arrives(b_, {"Planning meeting"}, "a change exported before a kill goes after the start");
  StopBoth(/*afterAStop=*/true);
}

// Regression: only store events started an export, so what khal changed
// while the program was stopped never reached the other side.
TEST_F(TwoPeersTest, ChangesMadeWhileStoppedGoAfterTheNextStart) {
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  a_.Khal({"new", "-a", "cal", "2031-03-05", "10:00", "11:00", "Kept"});
  Arrives(b_, {"Kept", "Planning meeting"}, "A's events reach B");
  ASSERT_TRUE(a_.Stop());
  a_.Khal({"edit", "Planning"}, "s\nReview meeting\nn\n");
  a_.Khal({"new", "-a", "cal", "2031-03-06", "09:00", "10:00", "Added while stopped"});
  a_.Khal({"edit", "Kept"}, "D\ny\n");
  ASSERT_TRUE(a_.Start());
  Arrives(b_, {"Added while stopped", "Review meeting"}, "what changed while A was stopped reaches B");
  StopBoth(/*afterAStop=*/true);
}

TEST_F(TwoPeersTest, WithWriteOnlyNewItemsAreAddedAndChangesIgnored) {
  a_.Khal({"new", "-a", "cal", "2031-03-05", "09:00", "10:00", "Kept as it was"});
  Arrives(b_, {"Kept as it was"}, "new on A reaches B");

  // B takes A's Modify right away while it is not running; A's next
  // changes wait in B's Inbox meanwhile.
  ASSERT_TRUE(b_.Stop());
  ASSERT_NO_FATAL_FAILURE(Share(b_, a_.address, "Deny"));
  a_.Khal({"edit", "Kept"}, "s\nChanged on A\nn\n");
  a_.Khal({"new", "-a", "cal", "2031-03-06", "09:00", "10:00", "Added later"});
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(Eventually([&] { return a_.OutboxEntries().isEmpty() && b_.Delivered() == a_.SentMails() - 1; },
                         kHopMs))
      << "A sent " << a_.SentMails() << ", B's Inbox holds " << b_.Delivered();
  std::cout << "[ peers    ] change and new item delivered to the stopped B: " << clock.elapsed() / 1000.0 << " s"
            << std::endl;

  // The intake tick finds them once B runs again. The mapping of the
  // received item survived B's restart, so A's change finds its copy and
  // is refused; the new item is added. The change went out no later than
  // the new item, so when the new item is there the change has been seen.
  ASSERT_TRUE(b_.Start());
  Arrives(b_, {"Added later", "Kept as it was"}, "write-only: new item added, change ignored");
  EXPECT_EQ(b_.Delivered(), 0);
  EXPECT_EQ(a_.Summaries(), QStringList({"Added later", "Changed on A"}));

  StopBoth();
}

// An event too large for one archive volume goes out as several update
// mails; the last one to be taken completes the package.
TEST_F(TwoPeersTest, ALargeEventTravelsInSeveralMailsWhole) {
  // About 1.5 MB of description that deflate cannot shrink much: the
  // message file carries it twice (body and calendar text).
  QByteArray description;
  QRandomGenerator random(7);
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < 1500000; ++i) description += kDigits[random.bounded(62)];
  QByteArray ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//peers test//EN\r\nBEGIN:VEVENT\r\n"
                   "UID:large-event\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20310310T090000Z\r\n"
                   "DTEND:20310310T100000Z\r\nSUMMARY:Large event\r\n";
  const QByteArray line = "DESCRIPTION:" + description;
  ics += line.left(75) + "\r\n";
  for (qsizetype i = 75; i < line.size(); i += 74) ics += ' ' + line.mid(i, 74) + "\r\n";
  ics += "END:VEVENT\r\nEND:VCALENDAR\r\n";
  // Written beside the calendar's files and renamed in, as vdirsyncer does.
  QFile file(a_.CalendarDir() + "/.large-event.tmp");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(ics);
  file.close();
  ASSERT_TRUE(QFile::rename(file.fileName(), a_.CalendarDir() + "/large-event.ics"));

  Arrives(b_, {"Large event"}, "large event, several mails");
  EXPECT_GE(a_.SentMails(), 2);
  EXPECT_EQ(b_.Descriptions(), QList<QByteArray>{description});
  StopBoth();
}

// A package in A's name from someone else, through the real server: B
// takes nothing of it, whether the From or only the envelope gives it away.
TEST_F(TwoPeersTest, APackageForgedInThePeersNameChangesNothing) {
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting"});
  Arrives(b_, {"Planning meeting"}, "new on A reaches B");

  // Every name B maps in its calendar — the item keys among them — deleted
  // in A's name.
  PackageContent forged;
  {
    XmlStorage mapping(QStringLiteral("Info"));
    mapping.SetFileName(b_.DataDir() + "/user.uxm");
    forged.deleted = mapping.ReadKeys(b_.folderId);
    mapping.SetFileName(QString());
  }
  ASSERT_FALSE(forged.deleted.isEmpty());
  const Attachments mail = BuildPackage(a_.FolderKey(), a_.address, forged).front();
  const QDateTime now = QDateTime::currentDateTimeUtc();
  ASSERT_TRUE(server_.Submit("mallory@evil.test", b_.address, RawMail(mail, {"mallory@evil.test", now})));
  ASSERT_TRUE(server_.Submit("mallory@evil.test", b_.address, RawMail(mail, {a_.address, now})));
  EXPECT_TRUE(Eventually([&] { return b_.ErrorLog().join('\n').count("Refusing the package") == 2; }, kHopMs))
      << b_.ErrorLog().join('\n').toStdString();
  EXPECT_EQ(b_.Summaries(), QStringList{"Planning meeting"});
  EXPECT_TRUE(b_.ErrorLog().join('\n').contains("(envelope sender mallory@evil.test)"));

  // A's own deletion still goes through.
  a_.Khal({"edit", "Planning"}, "D\ny\n");
  Arrives(b_, {}, "deletion on A reaches B");
  StopBoth(/*afterAStop=*/true);
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
