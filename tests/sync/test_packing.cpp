// The packing pass through the controller against the stand-in library: the
// archive, the list file and the update mails it queues in the Outbox.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>

#include <gtest/gtest.h>

#include "outlook/redemption_ids.h"
#include "storage/md5.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/files.h"
#include "tests/support/mail_server.h"
#include "tests/support/random_bytes.h"
#include "tests/support/test_main.h"
#include "tests/support/wait.h"

namespace {

constexpr int kOutboxFolder = 4;

struct SentMail {
  QString subject, body, varnel;
  QStringList recipients, attachmentNames;
  QList<QByteArray> attachments;
};

class PackingTest : public ControllerTest {
 protected:
  // Shares the calendar with the given rows and exports one event into it.
  QString ShareAndExport(std::vector<SharingRow> rows, const QString& subject = "Planning") {
    const QString f = Calendar().EntryID();
    ShowRows(Form(), std::move(rows));
    Form().MonitoredFolders.Add(f);
    Form().SaveFolderSettings(f);
    outlook::RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    Form().ExportItem(item);
    // The library's own event for the save exports the item again; let it
    // come now, so it does not land in the middle of the pass under test.
    WaitFor([] { return false; }, 300);
    return GetMD5(f);
  }

  // The update mails the pass queued, in the order they were sent.
  std::vector<SentMail> Queued() {
    std::vector<SentMail> mails;
    const outlook::RdoItems items = Form().RSession.GetDefaultFolder(kOutboxFolder).Items();
    for (int i = 1; i <= items.Count(); ++i) {
      const outlook::RdoMail m = items.Item(i);
      SentMail s{m.Subject(), m.Body(), m.NamedProperty("Varnel"), {}, {}, {}};
      const outlook::RdoRecipients r = m.Recipients();
      for (int j = 1; j <= r.Count(); ++j)
        s.recipients << r.Dispatch().Get(u"Item", outlook::Variant(j)).ToDispatch().Get(u"Address").ToString();
      const outlook::RdoAttachments a = m.Attachments();
      for (int j = 1; j <= a.Count(); ++j) {
        const QString path = home_.path() + QStringLiteral("/attachment-%1-%2").arg(i).arg(j);
        a.Item(j).SaveAsFile(path);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        s.attachmentNames << a.Item(j).FileName();
        s.attachments << f.readAll();
      }
      mails.push_back(s);
    }
    std::sort(mails.begin(), mails.end(),
              [](const SentMail& x, const SentMail& y) { return x.attachmentNames.value(1) < y.attachmentNames.value(1); });
    return mails;
  }

  static SharingRow Reader(QString email) { return SharingRow{true, std::move(email)}; }
};

TEST_F(PackingTest, OneSmallChangeGivesOneArchiveOneListLineAndOneMail) {
  const QString k = ShareAndExport({Reader("partner@x.org"), Reader("second@x.org")});
  Form().zTimerTimer();
  EXPECT_FALSE(Form().zTimer->isActive());

  const std::vector<SentMail> mails = Queued();
  ASSERT_EQ(mails.size(), 1u);
  const SentMail& m = mails[0];
  EXPECT_EQ(m.subject, "Pendrix Update Email");
  EXPECT_TRUE(m.body.startsWith("This is an automatically generated message by Pendrix software ("));
  EXPECT_TRUE(m.body.contains("To read it install Pendrix on your computer. \r\nOnce it is read"));
  EXPECT_EQ(m.varnel, "Outgoing");
  EXPECT_EQ(m.recipients, QStringList({"partner@x.org", "second@x.org"}));
  EXPECT_EQ(m.attachmentNames, QStringList({k + ".txt", k + ".zip"}));
  EXPECT_EQ(m.attachments[0], (k + ".zip\r\n").toLatin1());
  EXPECT_TRUE(m.attachments[1].startsWith("PK00"));
  // Everything of the folder is gone from the Outbox directory.
  EXPECT_TRUE(QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty())
      << QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(",").toStdString();
}

TEST_F(PackingTest, TwoAndAHalfMegabytesGoOutAsThreeSegmentsInThreeMails) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  for (int i = 0; i < 5; ++i) {  // incompressible message files
    QFile f(Form().OutboxDir + k + QStringLiteral("/BIG%1.msg").arg(i));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(RandomBytes(500 * 1024, quint32(i)));
  }
  Form().zTimerTimer();

  const std::vector<SentMail> mails = Queued();
  ASSERT_EQ(mails.size(), 3u);
  const QByteArray list = (k + ".z01\r\n" + k + ".z02\r\n" + k + ".zip\r\n").toLatin1();
  const QStringList segments{k + ".z01", k + ".z02", k + ".zip"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(mails[i].attachmentNames, QStringList({k + ".txt", segments[i]}));
    EXPECT_EQ(mails[i].attachments[0], list);
  }
  EXPECT_EQ(mails[0].attachments[1].left(4), QByteArray("\x50\x4B\x07\x08"));
  EXPECT_LE(mails[0].attachments[1].size(), 1048576);
  EXPECT_LE(mails[1].attachments[1].size(), 1048576);
}

TEST_F(PackingTest, OnlyExactTrueAndAllowReadersGetMailAndAFolderWithoutReadersIsDropped) {
  ShareAndExport({SharingRow{true, "deny@x", "Allow", "Deny"}, SharingRow{false, "off@x"},
                  SharingRow{true, "lower@x", "Allow", "allow"}});
  Form().zTimerTimer();
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

TEST_F(PackingTest, NothingPendingSendsNothing) {
  Form().MonitoredFolders.Add(Calendar().EntryID());
  Form().SendButtonClick();
  EXPECT_TRUE(Form().zTimer->isActive());
  Form().zTimerTimer();
  EXPECT_FALSE(Form().zTimer->isActive());
  EXPECT_TRUE(Queued().empty());
}

TEST_F(PackingTest, AFileWrittenDuringThePassSurvivesIt) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  const QString late = Form().OutboxDir + k + "/LATE.msg";
  // Runs while the pass lets the message loop run before its mail.
  QTimer::singleShot(0, [&] {
    QFile f(late);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("written after packing");
  });
  Form().zTimerTimer();
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_TRUE(QFile::exists(late));
  EXPECT_EQ(QDir(Form().OutboxDir + k).entryList(QDir::Files), QStringList({"LATE.msg"}));
  EXPECT_FALSE(QFile::exists(Form().OutboxDir + k + ".zip"));
  EXPECT_FALSE(QFile::exists(Form().OutboxDir + k + ".txt"));
}

// Regression: a rewrite of the same size within the clock's resolution was
// taken for the packed file and deleted unsent.
TEST_F(PackingTest, ASameSizeRewriteDuringThePassSurvivesIt) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  const QStringList exported = QDir(Form().OutboxDir + k).entryList({"*.msg"}, QDir::Files);
  ASSERT_EQ(exported.size(), 1);
  const QString path = Form().OutboxDir + k + "/" + exported[0];
  QByteArray rewritten = ReadAll(path);
  rewritten.replace("Planning", "Plannin2");  // same size, another content
  QTimer::singleShot(0, [&] {
    // As the export writes: a new file renamed over the old, here with the
    // old file's time.
    const QDateTime time = QFileInfo(path).lastModified();
    WriteAll(path + ".new", rewritten);
    QFile::remove(path);
    ASSERT_TRUE(QFile::rename(path + ".new", path));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(time, QFileDevice::FileModificationTime));
  });
  Form().zTimerTimer();
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(ReadAll(path), rewritten);
}

// Regression: a stop right after a pass lost the mapping rows of what it had
// sent (they waited for the debounced save), so a later deletion of the item
// never went out.
TEST_F(PackingTest, TheMappingRowsOfWhatGoesOutAreOnDiskFirst) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  const QString e = Calendar().Items().Item(1).EntryID();
  const QString row = "<" + Form().ItemKey(Calendar().EntryID(), e) + ">" + e;
  Form().zEXML.WriteString("Marker", "after the last save");  // dirty again, not yet saved
  Form().zSaveTimer->stop();
  ASSERT_FALSE(ReadAll(Form().DataDir + "/user.uxm").contains("Marker"));
  Form().zTimerTimer();
  ASSERT_EQ(Queued().size(), 1u);
  const QByteArray onDisk = ReadAll(Form().DataDir + "/user.uxm");
  EXPECT_TRUE(onDisk.contains("Marker") && onDisk.contains(row.toUtf8())) << onDisk.constData();
}

TEST_F(PackingTest, ATickDuringAPassStartsTheNextPassAfterIt) {
  ShareAndExport({Reader("partner@x.org")});
  int passesDuring = -1;
  // While the pass lets the message loop run: a new change, and the timer's
  // tick that it armed.
  QTimer::singleShot(0, [&] {
    outlook::RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject("during the pass");
    item.Save();
    Form().ExportItem(item);
    Form().zTimerTimer();
    passesDuring = Form().RSession.GetDefaultFolder(kOutboxFolder).Items().Count();
  });
  Form().zTimerTimer();
  EXPECT_EQ(passesDuring, 0);  // the tick did not start a pass inside the running one
  EXPECT_EQ(Form().RSession.GetDefaultFolder(kOutboxFolder).Items().Count(), 1);
  // The second pass follows by itself and takes the change.
  EXPECT_TRUE(WaitFor([&] { return Form().RSession.GetDefaultFolder(kOutboxFolder).Items().Count() == 2; }, 5000));
}

TEST_F(PackingTest, PackageFilesLeftByAFailedPassAreReplaced) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  for (const QString& stale : {k + ".z01", k + ".z02", k + ".zip", k + ".txt"}) {
    QFile f(Form().OutboxDir + stale);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("left by a failed pass");
  }
  Form().zTimerTimer();
  const std::vector<SentMail> mails = Queued();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0], (k + ".zip\r\n").toLatin1());
  EXPECT_TRUE(mails[0].attachments[1].startsWith("PK00"));
  EXPECT_TRUE(QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

TEST_F(PackingTest, EveryPendingSharedFolderIsPackedAndMailedInOnePass) {
  const QString k1 = ShareAndExport({Reader("partner@x.org")});
  // A second shared folder: the Inbox, with one exported mail.
  const outlook::RdoFolder inbox = Form().RSession.GetDefaultFolder(outlook::ids::olFolderInbox);
  Form().MonitoredFolders.Add(inbox.EntryID());
  Form().SaveFolderSettings(inbox.EntryID());
  outlook::RdoMail note = inbox.Items().Add("IPM.Note");
  note.SetSubject("note");
  note.Save();
  Form().ExportItem(note);
  const QString k2 = GetMD5(inbox.EntryID());

  Form().zTimerTimer();
  const outlook::RdoItems queued = Form().RSession.GetDefaultFolder(kOutboxFolder).Items();
  ASSERT_EQ(queued.Count(), 2);
  QStringList sent;
  for (const SentMail& m : Queued()) sent << m.attachmentNames.value(1);
  std::sort(sent.begin(), sent.end());
  QStringList expected{k1 + ".zip", k2 + ".zip"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sent, expected);
}

// ---- End to end: through Send/Receive and a real SMTP server ----------------------------

class SendReceiveTest : public PackingTest {
 protected:
  // A profile that sends through a real SMTP server to two readers'
  // Inboxes; returns after the pass, with the server still running.
  QString PackWithProfile(const QString& outlookVersion, bool offline) {
    for (const char* peer : {"b", "c"}) {
      const QString maildir = home_.path() + "/peer-" + peer + "/Inbox";
      for (const char* sub : {"cur", "new", "tmp"}) EXPECT_TRUE(QDir().mkpath(maildir + "/" + sub));
      server_.AddMailbox(QStringLiteral("%1@%1.test").arg(peer), maildir);
      inboxes_ << maildir;
    }
    EXPECT_TRUE(server_.Start()) << server_.Error().toStdString();
    {
      QSettings profile(home_.path() + "/data/vasnik/profile/profile.ini", QSettings::IniFormat);
      profile.setValue("Profile/UserAddress", "a@a.test");
      profile.setValue("Profile/OutlookVersion", outlookVersion);
      profile.setValue("Profile/Offline", offline ? "true" : "false");
      profile.setValue("SMTP/Host", "127.0.0.1");
      profile.setValue("SMTP/Port", server_.Port());
      profile.setValue("Store1/Kind", 2);
    }
    const QString k = ShareAndExport({Reader("b@b.test"), Reader("c@c.test")});
    EXPECT_TRUE(Form().IsObjectActive("Outlook.Application"));
    Form().zTimerTimer();  // packs, queues, and triggers Send/Receive
    return k;
  }

  int Delivered(const QString& maildir) { return static_cast<int>(QDir(maildir + "/new").entryList(QDir::Files).size()); }

  MailServer server_;
  QStringList inboxes_;
};

TEST_F(SendReceiveTest, UpdateMailsReachEveryReadersInbox) {
  const QString k = PackWithProfile("16.0.0.0", false);  // "SendAndReceive"
  for (const QString& maildir : inboxes_) {
    ASSERT_TRUE(WaitFor([&] { return Delivered(maildir) == 1; }, 15000)) << maildir.toStdString();
    QFile mail(maildir + "/new/" + QDir(maildir + "/new").entryList(QDir::Files).at(0));
    ASSERT_TRUE(mail.open(QIODevice::ReadOnly));
    const QByteArray text = mail.readAll();
    EXPECT_TRUE(text.contains("Subject: Pendrix Update Email")) << text.left(400).constData();
    EXPECT_TRUE(text.contains((k + ".zip").toLatin1()));
    EXPECT_TRUE(text.contains((k + ".txt").toLatin1()));
    EXPECT_FALSE(text.contains("Varnel")) << "a local-only field went out";
  }
  // Sent, so nothing waits in the Outbox any more (the move follows the
  // server's answer, in the background).
  EXPECT_TRUE(WaitFor([&] { return Form().RSession.GetDefaultFolder(kOutboxFolder).Items().Count() == 0; }, 5000));
}

TEST_F(SendReceiveTest, Outlook2003UsesItsSendReceiveButton) {
  PackWithProfile("11.0.0.0", false);  // control 7095
  EXPECT_TRUE(WaitFor([&] { return Delivered(inboxes_[0]) == 1 && Delivered(inboxes_[1]) == 1; }, 15000));
}

TEST_F(SendReceiveTest, OutlookXpUsesItsSendReceiveButton) {
  PackWithProfile("10.0.0.0", false);  // control 5488
  EXPECT_TRUE(WaitFor([&] { return Delivered(inboxes_[0]) == 1 && Delivered(inboxes_[1]) == 1; }, 15000));
}

TEST_F(SendReceiveTest, OfflineTriggersNothing) {
  PackWithProfile("16.0.0.0", true);
  WaitFor([] { return false; }, 500);
  EXPECT_EQ(Delivered(inboxes_[0]) + Delivered(inboxes_[1]), 0);
  // The mails wait in the queue; the package itself is done with.
  EXPECT_EQ(Form().RSession.GetDefaultFolder(kOutboxFolder).Items().Count(), 1);
  const QStringList left = QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  EXPECT_TRUE(left.isEmpty()) << left.join(",").toStdString();
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
