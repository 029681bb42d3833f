// The stand-in library's mail transport against a real SMTP server
// (tests/support/mail_server.py, delivering into Maildirs), and Outlook's
// automation object as the program reaches it: through the running-object
// table and the typed wrappers, with the module loaded by the program's
// loader.
//
// Two peers in one process use the engine directly (each session logs on to
// a profile directory of its own); the module takes its profile from
// VASNIK_PROFILE.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "outlook/messaging.h"
#include "outlook/redemption_ids.h"
#include "outlook/redemption_loader.h"
#include "standin/store/constants.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/mime_codec.h"
#include "standin/store/session.h"
#include "standin/store/smtp_client.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"
#include "standin/store/transport.h"
#include "tests/support/mail_server.h"
#include "tests/support/wait.h"

namespace {

using namespace vasnik;

std::string S(const QString& text) { return text.toStdString(); }

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << S(path);
  file.write(bytes);
}

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Mail files a server delivered into a Maildir.
QStringList Delivered(const QString& maildir) {
  QStringList paths;
  const QDir dir(maildir + QStringLiteral("/new"));
  for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) paths.append(dir.filePath(name));
  return paths;
}

// One run to its end: the transport only starts it, the event loop brings
// its answers back.
Transport::Result RunToEnd(Transport& transport) {
  transport.SubmitQueue();
  EXPECT_TRUE(WaitFor([&] { return !transport.Running(); }, 60000)) << "the run never ended";
  return transport.LastResult();
}
Transport::Result RunToEnd(Transport&& transport) { return RunToEnd(transport); }

// profile.ini of a peer whose mail goes to the test server on port.
QByteArray PeerProfile(const QString& address, int port, const QString& profileKeys = {},
                       const QString& smtpKeys = {}) {
  return QStringLiteral("[Profile]\nUserAddress=%1\nUserName=%2\n%3"
                        "[Store1]\nName=Personal Folders\nKind=2\nAccountType=0\n"
                        "[SMTP]\nHost=127.0.0.1\nPort=%4\nRetrySeconds=0\n%5")
      .arg(address, address.section(u'@', 0, 0), profileKeys)
      .arg(port)
      .arg(smtpKeys)
      .toUtf8();
}

// ---- the engine's transport ----------------------------------------------------------------

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    SetLogHandler([this](const QString& line) { log_.append(line); });
  }
  void TearDown() override {
    server_.Stop();
    for (const auto& session : sessions_) session->Logoff();
    SetLogHandler({});
  }

  QString Path(const QString& name) const { return temp_.path() + u'/' + name; }

  std::shared_ptr<Session> Peer(const QString& name, const QByteArray& ini) {
    WriteBytes(Path(name) + QStringLiteral("/profile.ini"), ini);
    auto session = Session::Create();
    session->Logon(Path(name));
    sessions_.push_back(session);
    return session;
  }
  // A receiving peer: its Inbox is a mailbox of the test server.
  std::shared_ptr<Session> Receiver(const QString& name, const QString& address) {
    auto session = Peer(name, PeerProfile(address, 1));
    server_.AddMailbox(address, Inbox(session));
    return session;
  }
  static QString Inbox(const std::shared_ptr<Session>& session) {
    return session->GetDefaultFolder(kFolderInbox)->Directory();
  }
  static int Count(const std::shared_ptr<Session>& session, int kind) {
    return session->GetDefaultFolder(kind)->Items().Count();
  }

  // Composes a mail in Drafts, marks it as the program marks its update
  // mails, and sends it (into the Outbox).
  static std::shared_ptr<Item> Queue(const std::shared_ptr<Session>& session, const QStringList& to,
                                     const QString& subject, const QString& body = QStringLiteral("text\n")) {
    auto mail = session->GetDefaultFolder(kFolderDrafts)->AddItem(QStringLiteral("IPM.Note"));
    for (const QString& address : to) mail->AddRecipient(address);
    mail->SetSubject(subject);
    mail->SetBody(body);
    mail->SetProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
    mail->Save();
    mail->Send();
    return mail;
  }

  bool LogHas(const QString& text) const {
    for (const QString& line : log_)
      if (line.contains(text)) return true;
    return false;
  }

  QTemporaryDir temp_;
  MailServer server_;
  std::vector<std::shared_ptr<Session>> sessions_;
  QStringList log_;
};

TEST_F(TransportTest, MailWithTwoAttachmentsTravelsIntoThePeersInbox) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port()));

  // Archive bytes that hold every byte value and SMTP's own terminators.
  QByteArray archive("PK\x07\x08", 4);
  for (int i = 0; i < 256; ++i) archive.append(char(i));
  archive.append("\r\n.\r\n\n.\n\r.\r");
  WriteBytes(Path("source-list"), "K.zip\r\n");
  WriteBytes(Path("source-archive"), archive);
  const QString body = QStringLiteral("This is an automatically generated message. \r\n"
                                      "Once it is read, it should be deleted automatically.");
  auto mail = a->GetDefaultFolder(kFolderDrafts)->AddItem(QStringLiteral("IPM.Note"));
  mail->AddRecipient(QStringLiteral("bob@b.test"));
  mail->SetSubject(QStringLiteral("Pendrix Update Email"));
  mail->SetBody(body);
  mail->AddAttachment(Path("source-list"), QStringLiteral("K.txt"));
  mail->AddAttachment(Path("source-archive"), QStringLiteral("K.zip"));
  mail->SetProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
  mail->SetProperty(QStringLiteral("Shared"), QStringLiteral("travels"), false);
  mail->Save();
  mail->Send();

  Transport transport(a);
  const Transport::Result result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 1);
  EXPECT_EQ(result.failed, 0);
  EXPECT_EQ(result.waiting, 0);
  EXPECT_TRUE(log_.isEmpty()) << S(log_.join('\n'));

  // The peer's Inbox: one item, everything intact, the local field absent.
  ASSERT_EQ(Count(b, kFolderInbox), 1);
  auto received = b->GetDefaultFolder(kFolderInbox)->Items().At(1);
  EXPECT_EQ(received->Subject(), "Pendrix Update Email");
  EXPECT_EQ(received->Body(), body);
  EXPECT_EQ(received->SenderAddress(), "alice@a.test");
  ASSERT_EQ(received->AttachmentCount(), 2);
  EXPECT_EQ(received->AttachmentAt(1).fileName, "K.txt");
  EXPECT_EQ(received->AttachmentAt(1).data, QByteArray("K.zip\r\n"));
  EXPECT_EQ(received->AttachmentAt(2).fileName, "K.zip");
  EXPECT_EQ(received->AttachmentAt(2).data, archive);
  EXPECT_FALSE(received->Property(QStringLiteral("Varnel")).has_value());
  EXPECT_EQ(received->Property(QStringLiteral("Shared")).value_or(""), "travels");
  EXPECT_EQ(b->GetDefaultFolder(kFolderInbox)->Items().Restrict("Subject = 'Pendrix Update Email'").Count(), 1);

  // On the wire: CR LF only (the server stores LF), so no CR may be left.
  const QByteArray file = ReadBytes(Delivered(Inbox(b)).value(0));
  EXPECT_FALSE(file.contains('\r'));
  EXPECT_FALSE(file.contains("Varnel"));
  EXPECT_FALSE(file.contains("X-Vasnik-Local"));

  // The sender's copy moved to Sent Items with its local field.
  EXPECT_EQ(Count(a, kFolderOutbox), 0);
  ASSERT_EQ(Count(a, kFolderSentItems), 1);
  auto sent = a->GetDefaultFolder(kFolderSentItems)->Items().At(1);
  EXPECT_EQ(sent->Property(QStringLiteral("Varnel")).value_or(""), "Outgoing");
  EXPECT_EQ(sent->AttachmentAt(2).data, archive);
}

TEST_F(TransportTest, ThreeRecipientsGetOneDeliveryEachAndBccStaysHidden) {
  server_.SetMaildirRoot(Path("mail"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port()));
  auto mail = a->GetDefaultFolder(kFolderDrafts)->AddItem(QStringLiteral("IPM.Note"));
  mail->AddRecipient(QStringLiteral("one@x.test"));
  mail->AddRecipient(QStringLiteral("two@x.test"), kRecipientCc);
  mail->AddRecipient(QStringLiteral("three@x.test"), kRecipientBcc);
  mail->AddRecipient(QStringLiteral("One <ONE@x.test>"));  // named twice: one copy
  mail->SetSubject(QStringLiteral("three"));
  // Lines SMTP would take for the end of the data unless they are stuffed.
  const QString body = QStringLiteral("first\n.\n..two dots\n.\n");
  mail->SetBody(body);
  mail->Save();
  mail->Send();

  Transport transport(a);
  EXPECT_EQ(RunToEnd(transport).submitted, 1);
  for (const char* address : {"one@x.test", "two@x.test", "three@x.test"}) {
    const QStringList files = Delivered(Path("mail/") + QLatin1String(address));
    ASSERT_EQ(files.size(), 1) << address;
    const QByteArray file = ReadBytes(files[0]);
    const ItemContent content = mime::Read(file, false, files[0]);
    EXPECT_EQ(content.body, body) << address;
    // Only the Bcc recipient's own delivery line names it.
    EXPECT_EQ(file.count("three@x.test"), QByteArray(address) == "three@x.test" ? 1 : 0) << file.constData();
    EXPECT_FALSE(file.contains("\nBcc:"));
  }
  EXPECT_EQ(QDir(Path("mail")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3);
}

TEST_F(TransportTest, ServerDownKeepsMailInTheOutboxUntilItIsBackThenDeliversOnce) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  const int port = server_.Port();
  server_.Stop();
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), port));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("first"));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("second"));

  Transport transport(a);
  Transport::Result result = RunToEnd(transport);
  // The run stops at the dead connection instead of trying every mail.
  EXPECT_EQ(result.submitted, 0);
  EXPECT_EQ(result.failed, 1);
  EXPECT_EQ(result.waiting, 2);
  EXPECT_TRUE(LogHas(QStringLiteral("127.0.0.1:%1").arg(port))) << S(log_.join('\n'));
  EXPECT_EQ(Count(a, kFolderOutbox), 2);
  EXPECT_EQ(Count(a, kFolderSentItems), 0);

  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  ASSERT_EQ(server_.Port(), port);
  result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 2);
  EXPECT_EQ(result.waiting, 0);
  EXPECT_EQ(RunToEnd(transport).submitted, 0);
  ASSERT_EQ(Count(b, kFolderInbox), 2);
  EXPECT_EQ(b->GetDefaultFolder(kFolderInbox)->Items().Restrict("Subject = 'first'").Count(), 1);
  EXPECT_EQ(b->GetDefaultFolder(kFolderInbox)->Items().Restrict("Subject = 'second'").Count(), 1);
  EXPECT_EQ(Count(a, kFolderSentItems), 2);
}

TEST_F(TransportTest, PeriodicRetryDeliversWhenTheServerComesBack) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  const int port = server_.Port();
  server_.Stop();
  QByteArray ini = PeerProfile(QStringLiteral("alice@a.test"), port);
  ini.replace("RetrySeconds=0", "RetrySeconds=1");
  auto a = Peer(QStringLiteral("a"), ini);
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("retried"));

  Transport transport(a);
  ASSERT_TRUE(WaitFor([&] { return !log_.isEmpty(); }, 5000)) << "the retry never ran";
  EXPECT_EQ(Count(a, kFolderOutbox), 1);

  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  ASSERT_TRUE(WaitFor([&] { return Delivered(Inbox(b)).size() == 1; }, 10000));
  // Further retries find nothing to send.
  WaitFor([] { return false; }, 2500);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 1);
  EXPECT_EQ(Count(a, kFolderOutbox), 0);
  EXPECT_EQ(Count(a, kFolderSentItems), 1);
}

TEST_F(TransportTest, RefusedRecipientKeepsItsMailAndTheNextMailGoes) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port()));
  Queue(a, {QStringLiteral("bob@b.test"), QStringLiteral("nobody@b.test")}, QStringLiteral("refused"));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("accepted"));

  Transport transport(a);
  Transport::Result result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 1);
  EXPECT_EQ(result.failed, 1);
  EXPECT_EQ(result.waiting, 1);
  EXPECT_TRUE(LogHas(QStringLiteral("\"refused\""))) << S(log_.join('\n'));
  EXPECT_TRUE(LogHas(QStringLiteral("550"))) << S(log_.join('\n'));
  // Bob got the second mail only, not a share of the refused one.
  ASSERT_EQ(Count(b, kFolderInbox), 1);
  EXPECT_EQ(b->GetDefaultFolder(kFolderInbox)->Items().At(1)->Subject(), "accepted");

  result = RunToEnd(transport);
  EXPECT_EQ(result.failed, 1);
  EXPECT_EQ(Count(b, kFolderInbox), 1);
  auto waiting = a->GetDefaultFolder(kFolderOutbox)->Items().At(1);
  EXPECT_EQ(waiting->Subject(), "refused");
}

TEST_F(TransportTest, AcceptedMailWhoseMoveFailedIsNeverSubmittedAgain) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port()));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("once"));
  // Sent Items cannot take the mail: its cur/ is a file.
  const QString sentCur = a->GetDefaultFolder(kFolderSentItems)->Directory() + QStringLiteral("/cur");
  ASSERT_TRUE(QDir(sentCur).removeRecursively());
  WriteBytes(sentCur, "in the way");

  Transport transport(a);
  Transport::Result result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 1);
  EXPECT_EQ(result.waiting, 1);
  EXPECT_TRUE(LogHas(QStringLiteral("will not be sent again"))) << S(log_.join('\n'));
  EXPECT_EQ(RunToEnd(transport).submitted, 0);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 1);

  // Once Sent Items works again, the mail moves there, still unsent twice.
  ASSERT_TRUE(QFile::remove(sentCur));
  ASSERT_TRUE(QDir().mkpath(sentCur));
  result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 0);
  EXPECT_EQ(result.waiting, 0);
  EXPECT_EQ(Count(a, kFolderSentItems), 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 1);
  EXPECT_FALSE(QFileInfo::exists(a->GetDefaultFolder(kFolderOutbox)->Directory() + "/.vasnik-submitted"));
}

TEST_F(TransportTest, QueueThatAnotherProcessSubmitsIsLeftToIt) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port()));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("locked"));
  Transport transport(a);

  QLockFile other(a->GetDefaultFolder(kFolderOutbox)->Directory() + QStringLiteral("/.vasnik-submit.lock"));
  ASSERT_TRUE(other.tryLock(0));
  EXPECT_EQ(RunToEnd(transport).waiting, 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 0);
  other.unlock();
  EXPECT_EQ(RunToEnd(transport).submitted, 1);
}

TEST_F(TransportTest, OfflineProfileSubmitsNothing) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port(),
                                                 QStringLiteral("Offline=true\n")));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("offline"));
  Transport transport(a);
  const Transport::Result result = RunToEnd(transport);
  EXPECT_EQ(result.submitted, 0);
  EXPECT_EQ(result.waiting, 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 0);
}

TEST_F(TransportTest, AuthenticationWithAPasswordFileOfItsOwnerOnly) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  WriteBytes(Path("server-password"), "s3cret\n");
  server_.RequireAuth(QStringLiteral("alice"), Path("server-password"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());
  auto a = Peer(QStringLiteral("a"),
                PeerProfile(QStringLiteral("alice@a.test"), server_.Port(), {},
                            QStringLiteral("User=alice\nPasswordFile=smtp-password\n")));
  const QString passwordFile = Path("a/smtp-password");
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("authenticated"));
  Transport transport(a);

  // Readable by others: refused before anything is sent.
  WriteBytes(passwordFile, "s3cret\n");
  ASSERT_EQ(::chmod(QFile::encodeName(passwordFile).constData(), 0644), 0);
  EXPECT_EQ(RunToEnd(transport).waiting, 1);
  EXPECT_TRUE(LogHas(passwordFile) && LogHas(QStringLiteral("chmod 600"))) << S(log_.join('\n'));

  // The owner's only, but the wrong password: the server says no.
  WriteBytes(passwordFile, "wrong\n");
  ASSERT_EQ(::chmod(QFile::encodeName(passwordFile).constData(), 0600), 0);
  log_.clear();
  EXPECT_EQ(RunToEnd(transport).waiting, 1);
  EXPECT_EQ(log_.size(), 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 0);

  WriteBytes(passwordFile, "s3cret\n");
  EXPECT_EQ(RunToEnd(transport).submitted, 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 1);
}

TEST_F(TransportTest, StartTlsIsRequiredNotTried) {
  auto b = Receiver(QStringLiteral("b"), QStringLiteral("bob@b.test"));
  ASSERT_TRUE(server_.Start()) << S(server_.Error());  // offers no STARTTLS
  auto a = Peer(QStringLiteral("a"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port(), {},
                                                 QStringLiteral("Security=starttls\n")));
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("not in clear"));
  Transport transport(a);
  EXPECT_EQ(RunToEnd(transport).waiting, 1);
  EXPECT_EQ(Delivered(Inbox(b)).size(), 0);
  EXPECT_EQ(log_.size(), 1);
}

TEST_F(TransportTest, StartTlsAndSmtpsWithTheServersCertificate) {
  const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
  ASSERT_FALSE(openssl.isEmpty()) << "openssl is not installed (scripts/install-deps.sh installs it)";
  const QString certificate = Path("cert.pem");
  const QString key = Path("key.pem");
  QProcess make;
  make.start(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                       "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate});
  ASSERT_TRUE(make.waitForFinished(60000) && make.exitCode() == 0) << make.readAllStandardError().constData();

  for (const QString& security : {QStringLiteral("starttls"), QStringLiteral("smtps")}) {
    SCOPED_TRACE(S(security));
    MailServer server;
    server.AddMailbox(QStringLiteral("bob@b.test"), Path(security + "-inbox"));
    server.SetTls(security, certificate, key);
    ASSERT_TRUE(server.Start()) << S(server.Error());
    const QString keys = QStringLiteral("Security=%1\n").arg(security);
    auto trusting = Peer(security + "-a", PeerProfile(QStringLiteral("alice@a.test"), server.Port(), {},
                                                      keys + QStringLiteral("CAFile=../cert.pem\n")));
    auto doubting = Peer(security + "-c", PeerProfile(QStringLiteral("carol@c.test"), server.Port(), {}, keys));
    Queue(trusting, {QStringLiteral("bob@b.test")}, QStringLiteral("trusted"));
    Queue(doubting, {QStringLiteral("bob@b.test")}, QStringLiteral("unverified"));
    log_.clear();
    EXPECT_EQ(RunToEnd(Transport(trusting)).submitted, 1) << S(log_.join('\n'));
    // Without the certificate the server cannot be verified: nothing goes.
    EXPECT_EQ(RunToEnd(Transport(doubting)).waiting, 1);
    EXPECT_EQ(Delivered(Path(security + "-inbox")).size(), 1);
  }
}

TEST_F(TransportTest, SettingsComeFromTheProfileAndBadOnesFailTheStart) {
  auto session = Peer(QStringLiteral("s"),
                      "[Profile]\nUserAddress=me@a.test\n"
                      "[Store1]\nKind=2\n"
                      "[Store2]\nKind=2\nSMTPHost=::1\n"
                      "[SMTP]\nHost=mail.a.test\nSecurity=STARTTLS\nUser=me\nPasswordFile=pw\n"
                      "CAFile=/etc/ca.pem\nRetrySeconds=0\nConnectTimeoutSeconds=3\n");
  const TransportSettings settings = Transport(session).Settings();
  const SmtpServer& first = settings.ForStore(QStringLiteral("Store1"));
  EXPECT_EQ(first.Url(), "smtp://mail.a.test:587");
  EXPECT_EQ(first.security, SmtpSecurity::kStartTls);
  EXPECT_EQ(first.user, "me");
  EXPECT_EQ(first.passwordFile, Path("s/pw"));
  EXPECT_EQ(first.caFile, "/etc/ca.pem");
  EXPECT_EQ(first.connectTimeoutSeconds, 3);
  EXPECT_EQ(settings.retrySeconds, 0);
  // A store's own server takes no credentials written for another.
  const SmtpServer& second = settings.ForStore(QStringLiteral("Store2"));
  EXPECT_EQ(second.Url(), "smtp://[::1]:25");
  EXPECT_TRUE(second.user.isEmpty());
  EXPECT_TRUE(second.passwordFile.isEmpty());
  EXPECT_EQ(second.connectTimeoutSeconds, 3);

  for (const char* bad : {"Security=tls\n", "Port=0\n", "Port=70000\n", "RetrySeconds=-1\n", "TimeoutSeconds=x\n"}) {
    auto other = Peer(QStringLiteral("bad"), QByteArray("[Profile]\nUserAddress=me@a.test\n[Store1]\nKind=2\n[SMTP]\n"
                                                         "Host=h\n") + bad);
    try {
      Transport transport(other);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const StoreError& error) {
      EXPECT_TRUE(error.Message().contains("profile.ini")) << S(error.Message());
      EXPECT_TRUE(error.Message().contains(QString::fromLatin1(bad).section(u'=', 0, 0))) << S(error.Message());
    }
    other->Logoff();
  }
}

TEST_F(TransportTest, NoServerConfiguredKeepsTheMail) {
  auto a = Peer(QStringLiteral("a"), "[Profile]\nUserAddress=me@a.test\n[Store1]\nKind=2\n");
  Queue(a, {QStringLiteral("bob@b.test")}, QStringLiteral("nowhere"));
  EXPECT_EQ(RunToEnd(Transport(a)).waiting, 1);
  EXPECT_TRUE(LogHas(QStringLiteral("[SMTP] Host"))) << S(log_.join('\n'));
}

// ---- wire form and password files ------------------------------------------------------

TEST(WireMail, StripsLocalPropertiesAndBccNamesAttachmentsByDisplayNameUsesCrLf) {
  ItemContent content;
  content.messageClass = QStringLiteral("IPM.Note");
  content.subject = QStringLiteral("s");
  content.body = QStringLiteral("one\ntwo\n");
  content.recipients = {{QStringLiteral("To"), QStringLiteral("to@x.test"), kRecipientTo},
                        {QString(), QStringLiteral("hidden@x.test"), kRecipientBcc}};
  content.properties = {{QStringLiteral("Varnel"), QStringLiteral("Outgoing"), true},
                        {QStringLiteral("Kept"), QStringLiteral("yes"), false}};
  content.attachments = {{QStringLiteral("source.bin"), QStringLiteral("K.zip"),
                          QStringLiteral("application/zip"), QByteArray("PK")}};
  content.headers = {{QStringLiteral("X-Vasnik-Local-Note"), QStringLiteral("private")}};

  const WireMail mail = MakeWireMail(content, QStringLiteral("me@a.test"), QStringLiteral("Me"));
  EXPECT_EQ(mail.sender, "me@a.test");
  EXPECT_EQ(mail.recipients, (QStringList{"to@x.test", "hidden@x.test"}));
  EXPECT_FALSE(mail.data.contains("hidden@x.test"));
  EXPECT_FALSE(mail.data.contains("Varnel"));
  EXPECT_FALSE(mail.data.contains("private"));
  EXPECT_TRUE(mail.data.contains("Kept=yes"));
  EXPECT_TRUE(mail.data.contains("From: Me <me@a.test>\r\n"));
  EXPECT_TRUE(mail.data.contains("\r\nMessage-ID: <"));
  EXPECT_FALSE(mail.data.contains("source.bin"));
  // As a server stores it: with the system's line ends.
  const ItemContent back = mime::Read(QByteArray(mail.data).replace("\r\n", "\n"), false, QStringLiteral("wire"));
  ASSERT_EQ(back.attachments.size(), 1u);
  EXPECT_EQ(back.attachments[0].fileName, "K.zip");
  EXPECT_EQ(back.body, content.body);
  for (qsizetype i = 0; i < mail.data.size(); ++i) {
    if (mail.data[i] == '\n') {
      ASSERT_TRUE(i > 0 && mail.data[i - 1] == '\r') << "bare LF at " << i;
    }
    if (mail.data[i] == '\r') {
      ASSERT_TRUE(i + 1 < mail.data.size() && mail.data[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  EXPECT_TRUE(mail.data.endsWith("\r\n"));

  EXPECT_EQ(ToCrLf("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd\r\n");
  content.recipients = {{QString(), QStringLiteral("not an address"), kRecipientTo}};
  EXPECT_THROW(MakeWireMail(content, QStringLiteral("me@a.test")), StoreError);
  content.recipients.clear();
  EXPECT_THROW(MakeWireMail(content, QStringLiteral("me@a.test")), StoreError);
}

TEST(PasswordFile, OnlyItsOwnerMayReadIt) {
  QTemporaryDir temp;
  const QString path = temp.filePath("pw");
  WriteBytes(path, "first line\r\nsecond\n");
  for (mode_t mode : {0600, 0400}) {
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    EXPECT_EQ(ReadPasswordFile(path), "first line");
  }
  for (mode_t mode : {0640, 0604, 0620}) {
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    EXPECT_THROW(ReadPasswordFile(path), StoreError) << std::oct << mode;
  }
  EXPECT_THROW(ReadPasswordFile(temp.filePath("missing")), StoreError);
  EXPECT_THROW(ReadPasswordFile(temp.path()), StoreError);
}

// ---- Outlook's automation object in the module -----------------------------------------

namespace ids = outlook::ids;

// What the program's Send/Receive trigger does with Outlook's namespace:
// nothing offline; the Send/Receive button in versions 10 and 11; else
// SendAndReceive without a progress dialog.
void ExecuteSendReceive(const outlook::OutlookNameSpace& ns) {
  if (ns.Offline()) return;
  const QString version = ns.Application().Version().left(2);
  const int id = version == u"10" ? 5488 : version == u"11" ? 7095 : 0;
  if (id == 0) {
    ns.SendAndReceive(false);
    return;
  }
  const outlook::OutlookCommandBarControl control =
      ns.Application().ActiveExplorer().CommandBars().FindControl(ids::msoControlButton, id);
  if (control) control.Execute();
}

class AutomationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    qputenv("VASNIK_PROFILE", Path("profile").toUtf8());
    outlook::LoaderInstance().SetDllLocation32Bit(QStringLiteral(VASNIK_MODULE));
    session_ = outlook::RdoSession(outlook::LoaderInstance().new_RDOSession());
    server_.AddMailbox(QStringLiteral("bob@b.test"), Path("bob"));
    ASSERT_TRUE(server_.Start()) << S(server_.Error());
  }
  void TearDown() override {
    if (!session_.IsNull() && session_.LoggedOn()) session_.Logoff();
    session_ = outlook::RdoSession();
    qunsetenv("VASNIK_PROFILE");
    server_.Stop();
  }

  QString Path(const QString& name) const { return temp_.path() + u'/' + name; }

  void Logon(const QString& profileKeys = {}) {
    WriteBytes(Path("profile/profile.ini"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port(), profileKeys));
    session_.Logon();
  }

  // An update mail as the program composes it, sent into the Outbox.
  void QueueUpdateMail() {
    WriteBytes(Path("K.txt"), "K.zip\r\n");
    const outlook::RdoMail mail =
        session_.GetDefaultFolder(ids::olFolderDrafts).Items().Add(QStringLiteral("IPM.Note"));
    mail.Recipients().Add(QStringLiteral("bob@b.test"));
    mail.Recipients().ResolveAll();
    mail.SetSubject(QStringLiteral("Pendrix Update Email"));
    mail.SetBody(QStringLiteral("body"));
    mail.Attachments().Add(Path("K.txt"), ids::olByValue, 1, QStringLiteral("K.txt"));
    mail.SetNamedProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
    mail.Send();
  }

  int Outbox() const { return session_.Stores().Item(1).GetDefaultFolder(kFolderOutbox).Items().Count(); }

  // The program's pass, step by step: is Outlook running, connect, log on,
  // trigger, log off.
  void SendReceiveAsTheProgramDoes() {
    ASSERT_TRUE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
    const outlook::OutlookApplication application = outlook::OutlookApplication::Connect();
    const outlook::OutlookNameSpace ns = application.GetNameSpace(QStringLiteral("MAPI"));
    ns.Logon(QString(), QString(), false, false);
    ExecuteSendReceive(ns);
    ns.Logoff();
  }

  QTemporaryDir temp_;
  MailServer server_;
  outlook::RdoSession session_;
};

TEST_F(AutomationTest, RunningWhileLoggedOnAndSendAndReceiveFlushesTheQueue) {
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
  Logon();
  QueueUpdateMail();
  ASSERT_EQ(Outbox(), 1);

  const outlook::OutlookNameSpace ns =
      outlook::OutlookApplication::Connect().GetNameSpace(QStringLiteral("MAPI"));
  EXPECT_FALSE(ns.Offline());
  EXPECT_EQ(ns.Application().Version(), "16.0.0.0");
  SendReceiveAsTheProgramDoes();
  ASSERT_TRUE(WaitFor([&] { return Outbox() == 0; }));

  const QStringList delivered = Delivered(Path("bob"));
  ASSERT_EQ(delivered.size(), 1);
  EXPECT_TRUE(ReadBytes(delivered[0]).contains("Subject: Pendrix Update Email"));
  EXPECT_FALSE(ReadBytes(delivered[0]).contains("Varnel"));
  EXPECT_EQ(Outbox(), 0);
  // The namespace's Logoff left the library's session alone.
  EXPECT_TRUE(session_.LoggedOn());
  EXPECT_THROW(outlook::OutlookApplication::Connect().GetNameSpace(QStringLiteral("Other")), outlook::ComError);

  session_.Logoff();
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
  EXPECT_THROW(ns.SendAndReceive(false), outlook::ComError);  // held past the log-off
}

TEST_F(AutomationTest, OlderVersionsSendThroughTheSendReceiveButton) {
  // Each version has only its own button: a caller that mixes up the ids
  // finds nothing and sends nothing.
  const struct {
    const char* version;
    int own, other;
  } cases[] = {{"10.0.6626", 5488, 7095}, {"11.0.5510", 7095, 5488}, {"16.0.0.0", 0, 7095}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    Logon(QStringLiteral("OutlookVersion=%1\n").arg(QLatin1String(c.version)));
    const outlook::OutlookCommandBars bars =
        outlook::OutlookApplication::Connect().ActiveExplorer().CommandBars();
    EXPECT_FALSE(bars.FindControl(ids::msoControlButton, c.other));
    EXPECT_FALSE(bars.FindControl(ids::msoControlButton, 1234));
    if (c.own != 0) {
      EXPECT_FALSE(bars.FindControl(2, c.own));
      QueueUpdateMail();
      const int before = int(Delivered(Path("bob")).size());
      SendReceiveAsTheProgramDoes();
      EXPECT_TRUE(WaitFor([&] { return Outbox() == 0; }));
      EXPECT_EQ(Delivered(Path("bob")).size(), before + 1);
    }
    session_.Logoff();
  }
}

// A server that takes the connection and never says a word: Send/Receive
// returns, the program's event loop goes on, Logoff cuts the run short, and
// the mail goes once when a working server is there.
TEST_F(AutomationTest, StalledServerFreezesNeitherSendReceiveNorLogoffAndTheMailGoesOnceLater) {
  QTcpServer stalled;
  ASSERT_TRUE(stalled.listen(QHostAddress::LocalHost));
  std::vector<std::unique_ptr<QTcpSocket>> held;  // open, and never answered
  QObject::connect(&stalled, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* socket = stalled.nextPendingConnection()) held.emplace_back(socket);
  });
  WriteBytes(Path("profile/profile.ini"), PeerProfile(QStringLiteral("alice@a.test"), stalled.serverPort(), {},
                                                      QStringLiteral("TimeoutSeconds=3600\n")));
  session_.Logon();
  QueueUpdateMail();

  bool ticked = false;
  QTimer::singleShot(0, [&] { ticked = true; });
  SendReceiveAsTheProgramDoes();  // a run that blocked would hang here for an hour
  outlook::OutlookApplication::Connect().GetNameSpace(QStringLiteral("MAPI")).SendAndReceive(false);
  ASSERT_TRUE(WaitFor([&] { return ticked && !held.empty(); }, 10000));
  EXPECT_EQ(held.size(), 1u) << "the second Send/Receive started a run beside the first";
  EXPECT_EQ(held[0]->state(), QAbstractSocket::ConnectedState);
  EXPECT_EQ(Outbox(), 1);

  QElapsedTimer logoff;
  logoff.start();
  session_.Logoff();
  EXPECT_LT(logoff.elapsed(), 10000) << "Logoff waited for the stalled run";
  EXPECT_EQ(Delivered(Path("bob")).size(), 0);

  Logon();  // the working server
  ASSERT_EQ(Outbox(), 1);
  SendReceiveAsTheProgramDoes();
  ASSERT_TRUE(WaitFor([&] { return Outbox() == 0; }));
  SendReceiveAsTheProgramDoes();
  WaitFor([] { return false; }, 300);
  EXPECT_EQ(Delivered(Path("bob")).size(), 1);
}

TEST_F(AutomationTest, OfflineTriggersNothing) {
  Logon(QStringLiteral("Offline=true\n"));
  QueueUpdateMail();
  const outlook::OutlookNameSpace ns =
      outlook::OutlookApplication::Connect().GetNameSpace(QStringLiteral("MAPI"));
  EXPECT_TRUE(ns.Offline());
  SendReceiveAsTheProgramDoes();
  ns.SendAndReceive(false);
  EXPECT_EQ(Delivered(Path("bob")).size(), 0);
  EXPECT_EQ(Outbox(), 1);
}

TEST_F(AutomationTest, BadTransportSettingsFailTheLogonAndRegisterNothing) {
  WriteBytes(Path("profile/profile.ini"), PeerProfile(QStringLiteral("alice@a.test"), server_.Port(), {},
                                                      QStringLiteral("Security=sometimes\n")));
  try {
    session_.Logon();
    ADD_FAILURE() << "log-on succeeded";
  } catch (const outlook::ComError& error) {
    EXPECT_TRUE(error.Message().contains("Security=sometimes")) << S(error.Message());
  }
  EXPECT_FALSE(session_.LoggedOn());
  EXPECT_FALSE(outlook::IsObjectActive(QStringLiteral("Outlook.Application")));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
