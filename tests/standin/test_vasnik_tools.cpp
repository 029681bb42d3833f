// Real outside programs on the store's files: khal on the calendar vdir, and
// a mail delivered into the Inbox Maildir the way a mail server does it.

#include "tests/standin/vasnik_fixture.h"

#include <QProcess>
#include <QStandardPaths>

using namespace vasnik;

namespace {

class KhalTest : public VasnikTest {
 protected:
  void SetUp() override {
    VasnikTest::SetUp();
    khal_ = QStandardPaths::findExecutable("khal");
    ASSERT_FALSE(khal_.isEmpty()) << "khal is not installed (Debian package khal)";
    Logon();
    calendar_ = Default(kFolderCalendar);
    const QByteArray config =
        "[calendars]\n[[cal]]\npath = " + calendar_->Directory().toUtf8() +
        "\ntype = calendar\n"
        "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
        "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
        "local_timezone = UTC\ndefault_timezone = UTC\n"
        "[sqlite]\npath = " + TempPath("khal.db").toUtf8() + "\n";
    WriteBytes(TempPath("khal.conf"), config);
  }

  QString Khal(const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", temp_.path());
    environment.insert("TZ", "UTC");
    environment.insert("LC_ALL", "C.UTF-8");
    process.setProcessEnvironment(environment);
    process.start(khal_, QStringList{"-c", TempPath("khal.conf")} + arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
  }

  QString khal_;
  std::shared_ptr<Folder> calendar_;
};

TEST_F(KhalTest, EventWrittenByKhalIsAnItem) {
  Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:30", "Planning meeting", "::",
        "Bring the numbers"});
  auto items = calendar_->Items();
  ASSERT_EQ(items.Count(), 1);
  auto event = items.At(1);
  EXPECT_EQ(event->Subject(), "Planning meeting");
  EXPECT_EQ(event->Body(), "Bring the numbers");
  EXPECT_EQ(event->MessageClass(), "IPM.Appointment");
  EXPECT_EQ(event->Start().value_or(QDateTime()), QDateTime(QDate(2031, 3, 4), QTime(10, 0), Qt::UTC));
  EXPECT_EQ(event->End().value_or(QDateTime()), QDateTime(QDate(2031, 3, 4), QTime(11, 30), Qt::UTC));
  // Edited here, khal sees the edit.
  const QString id = event->EntryID();
  event->SetSubject("Planning meeting, moved");
  event->Save();
  EXPECT_EQ(event->EntryID(), id);
  EXPECT_TRUE(Khal({"list", "2031-03-04", "1d"}).contains("Planning meeting, moved"));
}

TEST_F(KhalTest, KhalListsEventTheLibraryCreated) {
  auto event = calendar_->AddItem("IPM.Appointment");
  event->SetSubject("Library event");
  event->SetBody("made by the store");
  event->SetStart(QDateTime(QDate(2031, 6, 7), QTime(14, 0), Qt::UTC));
  event->SetEnd(QDateTime(QDate(2031, 6, 7), QTime(15, 0), Qt::UTC));
  event->SetProperty("Varnel", "Outgoing");
  event->Save();
  const QString listing = Khal({"list", "2031-06-07", "1d"});
  EXPECT_TRUE(listing.contains("14:00-15:00 Library event")) << S(listing);
  EXPECT_TRUE(listing.contains("made by the store")) << S(listing);
  // No temporary file was left behind for khal to trip over.
  EXPECT_EQ(QDir(calendar_->Directory()).entryList(QDir::Files | QDir::Hidden).filter(".vasnik-tmp").size(), 0);
}

const char kDelivered[] =
    "Return-Path: <peer@far.test>\n"
    "Received: from mx.far.test by mail.home.test; Tue, 4 Mar 2031 10:00:00 +0000\n"
    "From: Peer <peer@far.test>\n"
    "To: me@home.test\n"
    "Subject: =?UTF-8?Q?Pendrix_Update_Email?=\n"
    "Date: Tue, 4 Mar 2031 10:00:00 +0000\n"
    "Message-ID: <abc@far.test>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
    "\n"
    "--XYZ\n"
    "Content-Type: multipart/alternative; boundary=\"ALT\"\n"
    "\n"
    "--ALT\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Gr=FC=DFe from the other side.\n"
    "--ALT\n"
    "Content-Type: text/html\n"
    "\n"
    "<p>Gr&uuml;&szlig;e</p>\n"
    "--ALT--\n"
    "--XYZ\n"
    "Content-Type: text/plain; name=\"K.txt\"\n"
    "Content-Disposition: attachment; filename=\"K.txt\"\n"
    "\n"
    "K.zip\r\n"
    "\n"
    "--XYZ\n"
    "Content-Type: application/zip\n"
    "Content-Disposition: attachment; filename=\"K.zip\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "UEswMAECAwQ=\n"
    "--XYZ--\n";

TEST_F(VasnikTest, MailDeliveredIntoInboxNewIsAnItem) {
  Logon();
  auto inbox = Default(kFolderInbox);
  // The Maildir delivery protocol: write into tmp/, rename into new/.
  const QString name = "1930000000.M1P99.mx";
  WriteBytes(inbox->Directory() + "/tmp/" + name, kDelivered);
  ASSERT_TRUE(QFile::rename(inbox->Directory() + "/tmp/" + name, inbox->Directory() + "/new/" + name));

  auto updates = inbox->Items().Restrict("Subject = 'Pendrix Update Email'");
  ASSERT_EQ(updates.Count(), 1);
  auto mail = updates.At(1);
  EXPECT_EQ(mail->MessageClass(), "IPM.Note");
  EXPECT_EQ(mail->Subject(), "Pendrix Update Email");
  // The line break before a boundary belongs to the boundary (RFC 2046).
  EXPECT_EQ(mail->Body(), "Gr\u00fc\u00dfe from the other side.");
  EXPECT_EQ(mail->SenderAddress(), "peer@far.test");
  EXPECT_FALSE(mail->Property("Varnel"));
  ASSERT_EQ(mail->AttachmentCount(), 2);
  EXPECT_EQ(mail->AttachmentAt(1).fileName, "K.txt");
  EXPECT_EQ(mail->AttachmentAt(2).fileName, "K.zip");
  mail->SaveAttachment(1, TempPath("K.txt"));
  mail->SaveAttachment(2, TempPath("K.zip"));
  EXPECT_EQ(ReadBytes(TempPath("K.txt")), "K.zip\r\n");
  EXPECT_EQ(ReadBytes(TempPath("K.zip")), QByteArray("PK00\x01\x02\x03\x04", 8));

  // Marking it keeps its identifier, moves it to cur/ and keeps the headers
  // the server wrote.
  const QString id = mail->EntryID();
  mail->SetProperty("Varnel", "Outgoing");
  mail->Save();
  EXPECT_EQ(mail->EntryID(), id);
  EXPECT_FALSE(QFileInfo::exists(inbox->Directory() + "/new/" + name));
  EXPECT_TRUE(QFileInfo::exists(inbox->Directory() + "/cur/" + name + ":2,"));
  auto again = session_->GetMessageFromID(id);
  EXPECT_EQ(again->Property("Varnel").value_or(""), "Outgoing");
  EXPECT_EQ(again->Content().Header("Message-ID"), "<abc@far.test>");
  EXPECT_EQ(again->AttachmentAt(2).data, QByteArray("PK00\x01\x02\x03\x04", 8));
  mail->Delete(kDeleteSoft);
  EXPECT_EQ(inbox->Items().Count(), 0);
}

}  // namespace
