// The packing pass through the controller against the stand-in library: the
// archive, the list file and the update mails it queues in the Outbox.
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <gtest/gtest.h>

#include "outlook/redemption_ids.h"
#include "storage/md5.h"
#include "tests/support/controller_fixture.h"
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
    Form().SharingRows = std::move(rows);
    Form().MonitoredFolders.Add(f);
    Form().SaveFolderSettings(f);
    outlook::RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    Form().ExportItem(item);
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
  EXPECT_TRUE(QDir(Form().OutboxDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

TEST_F(PackingTest, TwoAndAHalfMegabytesGoOutAsThreeSegmentsInThreeMails) {
  const QString k = ShareAndExport({Reader("partner@x.org")});
  for (int i = 0; i < 5; ++i) {  // incompressible message files
    QFile f(Form().OutboxDir + k + QStringLiteral("/BIG%1.msg").arg(i));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    QByteArray data(500 * 1024, Qt::Uninitialized);
    QRandomGenerator(i).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    f.write(data);
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

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
