// The store engine: profile, stores, folders, identifiers, items and their
// life cycle on disk.

#include "tests/standin/vasnik_fixture.h"

#include "standin/store/profile.h"

#include <QRegularExpression>

using namespace vasnik;

namespace {

bool IsEntryId(const QString& id) {
  static const QRegularExpression hex(QStringLiteral("^00000000[0-9A-F]+$"));
  return hex.match(id).hasMatch();
}

// The program's rule for the address a store's changes are sent under.
QString OwnerAddressByRule(const Session& session, const Store& store) {
  QString address = session.CurrentUserSmtpAddress();
  const auto account = store.Account();
  if (!account) throw StoreError(QStringLiteral("no StoreAccount"));
  if (account->accountType < kAccountExchange) return account->smtpAddress;
  if (account->accountType == kAccountExchange &&
      (store.StoreKind() == kStorePrimaryExchange || store.StoreKind() == kStoreDelegateExchange))
    return store.OwnerSmtpAddress();
  return address;
}

TEST_F(VasnikTest, FirstLogonCreatesDefaultProfile) {
  Logon();
  EXPECT_TRUE(session_->LoggedOn());
  EXPECT_TRUE(QFileInfo::exists(ProfileDir() + "/profile.ini"));
  ASSERT_EQ(session_->StoreCount(), 1);
  auto store = session_->StoreAt(1);
  EXPECT_EQ(store->StoreKind(), kStorePstUnicode);
  ASSERT_TRUE(store->Account());
  EXPECT_EQ(store->Account()->accountType, kAccountPop3);
  EXPECT_EQ(session_->CurrentUserSmtpAddress(), DefaultUserAddress());
  EXPECT_TRUE(session_->CurrentUserSmtpAddress().endsWith("@localhost"));
  EXPECT_EQ(store->OwnerSmtpAddress(), session_->CurrentUserSmtpAddress());

  QStringList names;
  for (const auto& folder : store->RootFolder()->Folders())
    names << folder->Name() + ":" + QString::number(folder->DefaultItemType());
  EXPECT_EQ(names.join(","), "Calendar:1,Contacts:2,Deleted Items:0,Drafts:0,Inbox:0,Outbox:0,"
                             "Sent Items:0,Tasks:3");
  EXPECT_EQ(Default(kFolderInbox)->Name(), "Inbox");
  EXPECT_EQ(Default(kFolderDrafts)->Name(), "Drafts");
  EXPECT_EQ(store->GetDefaultFolder(kFolderDeletedItems)->Name(), "Deleted Items");
  EXPECT_EQ(store->GetDefaultFolder(kFolderCalendar)->Name(), "Calendar");
  // Mail folders are Maildirs, the calendar a vdir.
  for (const char* sub : {"cur", "new", "tmp"})
    EXPECT_TRUE(QFileInfo(Default(kFolderInbox)->Directory() + "/" + sub).isDir());
  EXPECT_FALSE(QFileInfo::exists(Default(kFolderCalendar)->Directory() + "/cur"));
  EXPECT_EQ(Default(kFolderCalendar)->FolderPath(), "\\\\Personal Folders\\Calendar");
  EXPECT_EQ(session_->OutlookVersion(), "16.0.0.0");
  EXPECT_FALSE(session_->Offline());
}

TEST_F(VasnikTest, ProfileLocationFollowsEnvironment) {
  const QByteArray oldProfile = qgetenv("VASNIK_PROFILE");
  const QByteArray oldData = qgetenv("XDG_DATA_HOME");
  qputenv("VASNIK_PROFILE", TempPath("elsewhere").toUtf8());
  EXPECT_EQ(DefaultProfileDirectory(), TempPath("elsewhere"));
  qunsetenv("VASNIK_PROFILE");
  qputenv("XDG_DATA_HOME", TempPath("data").toUtf8());
  EXPECT_EQ(DefaultProfileDirectory(), TempPath("data") + "/vasnik/profile");
  // Log-on without a directory uses that location.
  auto session = Session::Create();
  session->Logon();
  EXPECT_EQ(session->Profile().directory, TempPath("data") + "/vasnik/profile");
  session->Logoff();
  qputenv("VASNIK_PROFILE", oldProfile);
  if (oldProfile.isEmpty()) qunsetenv("VASNIK_PROFILE");
  qputenv("XDG_DATA_HOME", oldData);
  if (oldData.isEmpty()) qunsetenv("XDG_DATA_HOME");
}

TEST_F(VasnikTest, ProfileThatCannotBeReadFailsAtLogon) {
  struct Case {
    QByteArray ini;
    const char* expected;
  };
  const Case cases[] = {
      {"[Profile]\nUserAddress=a@b\n", "names no store"},
      {"[Store1]\nKind=9\n", "Kind=9"},
      {"[Store1]\nAccountType=exchange\n", "AccountType=exchange"},
      {"[Profile]\nOffline=maybe\n[Store1]\nName=A\n", "Offline=maybe"},
      {"[Profile]\nDefaultStore=Store7\n[Store1]\nName=A\n", "DefaultStore=Store7"},
      {"[Store1]\nDirectory=x\n[Store2]\nDirectory=x\n", "uses the directory"},
  };
  for (const Case& c : cases) {
    WriteBytes(ProfileDir() + "/profile.ini", c.ini);
    auto session = Session::Create();
    try {
      session->Logon(ProfileDir());
      ADD_FAILURE() << "logged on with " << c.ini.toStdString();
    } catch (const StoreError& error) {
      EXPECT_TRUE(error.Message().contains(c.expected)) << S(error.Message());
      EXPECT_TRUE(error.Message().contains("profile.ini")) << S(error.Message());
    }
    EXPECT_FALSE(session->LoggedOn());
  }
  // A profile.ini that is not a file.
  QFile::remove(ProfileDir() + "/profile.ini");
  QDir().mkpath(ProfileDir() + "/profile.ini");
  auto session = Session::Create();
  EXPECT_THROW(session->Logon(ProfileDir()), StoreError);
  EXPECT_THROW(session->StoreCount(), StoreError);
}

TEST_F(VasnikTest, StoreKindsAndOwnerAddressBranches) {
  Logon("[Profile]\nUserAddress=me@home.test\nDefaultStore=Store2\n"
        "[Store1]\nName=Archive, 2024\nKind=1\nAccountType=1\nAccountAddress=imap@mail.test\n"
        "[Store2]\nName=Personal\nKind=2\nAccountType=0\nAccountAddress=pop@mail.test\n"
        "[Store3]\nName=Mailbox\nKind=3\nOwnerAddress=boss@corp.test\n"
        "[Store4]\nName=Delegate\nKind=4\nAccountType=3\nOwnerAddress=assistant@corp.test\n"
        "[Store5]\nName=Public\nKind=5\n"
        "[Store6]\nName=Exchange PST\nKind=2\nAccountType=3\nOwnerAddress=unused@corp.test\n"
        "[Store7]\nName=Mapi\nKind=2\nAccountType=4\n"
        "[Store8]\nName=Bare\nKind=2\nAccountType=none\n");
  ASSERT_EQ(session_->StoreCount(), 8);
  EXPECT_EQ(session_->DefaultStore()->Name(), "Personal");
  EXPECT_EQ(session_->StoreAt(1)->Name(), "Archive, 2024");  // unquoted comma in the INI file
  EXPECT_EQ(Default(kFolderInbox)->GetStore()->Name(), "Personal");
  const char* expected[] = {"imap@mail.test",      "pop@mail.test", "boss@corp.test",
                            "assistant@corp.test", "me@home.test",  "me@home.test",
                            "me@home.test"};
  for (int i = 1; i <= 7; ++i) {
    auto store = session_->StoreAt(i);
    EXPECT_EQ(store->StoreKind(), i <= 5 ? i : 2);
    EXPECT_EQ(OwnerAddressByRule(*session_, *store), expected[i - 1]) << S(store->Name());
  }
  // Exchange stores default to an Exchange account; a public-folders store
  // has no default folders.
  EXPECT_EQ(session_->StoreAt(3)->Account()->accountType, kAccountExchange);
  EXPECT_THROW(session_->StoreAt(5)->GetDefaultFolder(kFolderInbox), StoreError);
  EXPECT_TRUE(session_->StoreAt(5)->RootFolder()->Folders().empty());
  EXPECT_NO_THROW(session_->StoreAt(3)->GetDefaultFolder(kFolderCalendar));
  EXPECT_FALSE(session_->StoreAt(8)->Account());
  EXPECT_THROW(OwnerAddressByRule(*session_, *session_->StoreAt(8)), StoreError);
  EXPECT_THROW(session_->StoreAt(9), StoreError);
  EXPECT_THROW(session_->StoreAt(0), StoreError);
}

TEST_F(VasnikTest, IdentifiersAreStableAcrossSessionsAndResolve) {
  Logon();
  auto store = session_->DefaultStore();
  auto calendar = Default(kFolderCalendar);
  EXPECT_TRUE(IsEntryId(store->EntryID())) << S(store->EntryID());
  EXPECT_TRUE(IsEntryId(calendar->EntryID()));
  EXPECT_EQ(calendar->StoreID(), store->EntryID());
  EXPECT_TRUE(calendar->EntryID().startsWith(store->EntryID()));

  const QString storeId = store->EntryID();
  const QString folderId = calendar->EntryID();
  session_->Logoff();
  EXPECT_THROW(calendar->Items(), StoreError);  // objects of a closed session
  EXPECT_EQ(calendar->EntryID(), folderId);
  session_->Logon(ProfileDir());
  EXPECT_EQ(session_->DefaultStore()->EntryID(), storeId);
  auto again = session_->GetFolderFromID(folderId, storeId);
  EXPECT_EQ(again->Name(), "Calendar");
  EXPECT_EQ(session_->GetFolderFromID(folderId.toLower())->EntryID(), folderId);
  EXPECT_EQ(session_->GetStoreFromID(storeId)->Name(), "Personal Folders");

  // Not found, wrong kind, wrong store: errors that name the identifier.
  const QString missing = storeId + "0123456789ABCDEF";
  try {
    session_->GetFolderFromID(missing);
    ADD_FAILURE();
  } catch (const StoreError& error) {
    EXPECT_TRUE(error.Message().contains(missing));
  }
  EXPECT_THROW(session_->GetFolderFromID("12345678"), StoreError);
  EXPECT_THROW(session_->GetMessageFromID(folderId), StoreError);
  EXPECT_THROW(session_->GetFolderFromID(folderId, "00000000FFFFFFFFFFFFFFFF"), StoreError);
  EXPECT_THROW(session_->GetMessageFromID(folderId + "41424344"), StoreError);
}

TEST_F(VasnikTest, ItemIdentifierStableAcrossEditsNewAfterMove) {
  Logon();
  auto drafts = Default(kFolderDrafts);
  auto item = drafts->AddItem("IPM.Note");
  EXPECT_EQ(item->EntryID(), "");
  item->SetSubject("First");
  item->Save();
  const QString id = item->EntryID();
  EXPECT_TRUE(IsEntryId(id));
  EXPECT_TRUE(id.startsWith(drafts->EntryID()));

  item->SetSubject("Second");
  item->Save();
  EXPECT_EQ(item->EntryID(), id);
  EXPECT_EQ(MaildirFiles(drafts), 1);
  EXPECT_EQ(session_->GetMessageFromID(id)->Subject(), "Second");

  // A Maildir client marks it read and replied: same identifier.
  const QDir cur(drafts->Directory() + "/cur");
  const QString name = cur.entryList(QDir::Files).value(0);
  ASSERT_TRUE(name.endsWith(":2,S"));
  ASSERT_TRUE(QFile::rename(cur.filePath(name), cur.filePath(name.chopped(1) + "RS")));
  auto reopened = session_->GetMessageFromID(id, session_->DefaultStore()->EntryID());
  EXPECT_EQ(reopened->Subject(), "Second");
  reopened->SetBody("edited");
  reopened->Save();
  EXPECT_EQ(reopened->EntryID(), id);
  EXPECT_TRUE(QFileInfo::exists(cur.filePath(name.chopped(1) + "RS")));  // flags kept

  // Moving to Deleted Items gives a new identifier; the old one is gone.
  reopened->Delete(kDeleteMoveToDeleted);
  auto deleted = Default(kFolderDeletedItems)->Items();
  ASSERT_EQ(deleted.Count(), 1);
  auto moved = deleted.At(1);
  EXPECT_NE(moved->EntryID(), id);
  EXPECT_EQ(moved->Body(), "edited");
  EXPECT_THROW(session_->GetMessageFromID(id), StoreError);
  EXPECT_EQ(session_->GetMessageFromID(moved->EntryID())->Subject(), "Second");
}

TEST_F(VasnikTest, RestrictBySubject) {
  Logon();
  auto inbox = Default(kFolderInbox);
  for (const char* subject : {"Pendrix Update Email", "pendrix update email", "Other",
                              "Pendrix Update Email and more", "it's"}) {
    auto item = inbox->AddItem("IPM.Note");
    item->SetSubject(subject);
    item->Save();
  }
  auto items = inbox->Items();
  EXPECT_EQ(items.Count(), 5);
  auto updates = items.Restrict("Subject = 'Pendrix Update Email'");
  EXPECT_EQ(updates.Count(), 2);
  EXPECT_EQ(items.Restrict("  [subject]='PENDRIX UPDATE EMAIL'  ").Count(), 2);
  EXPECT_EQ(items.Restrict("[Subject] = 'it''s'").Count(), 1);
  EXPECT_EQ(items.Restrict("Subject = \"Other\"").Count(), 1);
  EXPECT_EQ(items.Restrict("Subject = 'none'").Count(), 0);
  for (const char* bad : {"Body = 'x'", "Subject <> 'x'", "Subject = x", "Subject = 'x",
                          "Subject = 'x' AND Body = 'y'", ""}) {
    try {
      items.Restrict(bad);
      ADD_FAILURE() << bad;
    } catch (const StoreError& error) {
      EXPECT_TRUE(error.Message().contains("unsupported filter")) << S(error.Message());
    }
  }
  // The collection is a snapshot: deleting while walking keeps positions.
  updates.At(1)->Delete(kDeleteSoft);
  EXPECT_EQ(updates.Count(), 2);
  EXPECT_NO_THROW(updates.At(2));
  EXPECT_THROW(updates.At(1), StoreError);
  EXPECT_THROW(updates.At(3), StoreError);
  EXPECT_EQ(inbox->Items().Restrict("Subject = 'Pendrix Update Email'").Count(), 1);
}

TEST_F(VasnikTest, DeleteFlags) {
  Logon();
  auto inbox = Default(kFolderInbox);
  auto deletedItems = Default(kFolderDeletedItems);
  auto make = [&](const QString& subject) {
    auto item = inbox->AddItem("IPM.Note");
    item->SetSubject(subject);
    WriteBytes(TempPath("list.txt"), "K.zip\r\n");
    item->AddAttachment(TempPath("list.txt"), "K.txt");
    item->Save();
    return item;
  };
  auto soft = make("soft");
  auto move = make("move");
  auto hard = make("hard");
  soft->Delete(kDeleteSoft);
  EXPECT_EQ(inbox->Items().Count(), 2);
  EXPECT_EQ(deletedItems->Items().Count(), 0);
  EXPECT_EQ(QDir(session_->DefaultStore()->Directory() + "/.vasnik-recoverable")
                .entryList(QDir::Files)
                .size(),
            1);
  // The deleted object still answers from memory; disk operations fail.
  EXPECT_EQ(soft->AttachmentAt(1).fileName, "list.txt");
  EXPECT_EQ(soft->AttachmentAt(1).displayName, "K.txt");
  EXPECT_THROW(soft->Save(), StoreError);
  EXPECT_THROW(soft->Delete(kDeleteSoft), StoreError);

  move->Delete(kDeleteMoveToDeleted);
  EXPECT_EQ(inbox->Items().Count(), 1);
  ASSERT_EQ(deletedItems->Items().Count(), 1);
  EXPECT_EQ(deletedItems->Items().At(1)->Subject(), "move");

  EXPECT_THROW(hard->Delete(3), StoreError);
  EXPECT_FALSE(hard->IsDeleted());
  hard->Delete(kDeleteHard);
  EXPECT_EQ(inbox->Items().Count(), 0);
  EXPECT_EQ(deletedItems->Items().Count(), 1);

  // Deleting in Deleted Items deletes for good.
  deletedItems->Items().At(1)->Delete(kDeleteMoveToDeleted);
  EXPECT_EQ(deletedItems->Items().Count(), 0);
  EXPECT_EQ(MaildirFiles(deletedItems), 0);

  // A new item that was never saved leaves nothing behind.
  auto unsaved = inbox->AddItem("IPM.Note");
  unsaved->Delete(kDeleteMoveToDeleted);
  EXPECT_EQ(deletedItems->Items().Count(), 0);
}

TEST_F(VasnikTest, SoftDeletedItemsArePurgedAfterTwoWeeks) {
  Logon();
  auto item = Default(kFolderInbox)->AddItem("IPM.Note");
  item->Save();
  item->Delete(kDeleteSoft);
  const QString recoverable = session_->DefaultStore()->Directory() + "/.vasnik-recoverable";
  const qint64 old = QDateTime::currentSecsSinceEpoch() - 15 * 24 * 3600;
  WriteBytes(recoverable + QString("/%1.0123456789ABCDEF.old:2,S").arg(old), "Subject: old\n\n");
  ASSERT_EQ(QDir(recoverable).entryList(QDir::Files).size(), 2);
  session_->Logoff();
  session_->Logon(ProfileDir());
  const QStringList left = QDir(recoverable).entryList(QDir::Files);
  ASSERT_EQ(left.size(), 1);
  EXPECT_FALSE(left[0].contains(".old:"));
}

TEST_F(VasnikTest, SendQueuesInOutbox) {
  Logon("[Profile]\nUserAddress=me@home.test\nUserName=Me\n"
        "[Store1]\nKind=2\nAccountType=0\nAccountAddress=sender@mail.test\n");
  auto drafts = Default(kFolderDrafts);
  auto outbox = session_->DefaultStore()->GetDefaultFolder(kFolderOutbox);
  auto mail = drafts->Items().Add("IPM.Note");
  EXPECT_THROW(mail->Send(), StoreError);  // no recipients
  mail->AddRecipient("peer@far.test");
  mail->AddRecipient("Second Peer <second@far.test>");
  EXPECT_TRUE(mail->ResolveAll());
  EXPECT_EQ(mail->RecipientAt(2).name, "Second Peer");
  mail->SetSubject("Pendrix Update Email");
  mail->SetBody("line one \r\nline two");
  WriteBytes(TempPath("K.zip"), QByteArray("PK00\x01\x02", 6));
  mail->AddAttachment(TempPath("K.zip"), "K.zip");
  mail->SetProperty("Varnel", "Outgoing");
  mail->Save();
  ASSERT_EQ(drafts->Items().Count(), 1);
  mail->Send();
  EXPECT_EQ(drafts->Items().Count(), 0);
  ASSERT_EQ(outbox->Items().Count(), 1);
  EXPECT_EQ(mail->Parent(), outbox);
  auto queued = session_->GetMessageFromID(mail->EntryID());
  EXPECT_EQ(queued->SenderAddress(), "sender@mail.test");
  EXPECT_EQ(queued->Body(), "line one \r\nline two");
  EXPECT_EQ(queued->Property("Varnel").value_or(""), "Outgoing");
  EXPECT_EQ(queued->AttachmentAt(1).data, QByteArray("PK00\x01\x02", 6));
  // The queued file carries what the transport needs; the named property is
  // marked local-only, so the transport can strip it.
  const QDir cur(outbox->Directory() + "/cur");
  const QByteArray file = ReadBytes(cur.filePath(cur.entryList(QDir::Files).value(0)));
  EXPECT_TRUE(file.contains("From: Me <sender@mail.test>")) << file.toStdString();
  EXPECT_TRUE(file.contains("peer@far.test"));
  EXPECT_TRUE(file.contains("\nDate: "));
  EXPECT_TRUE(file.contains("\nMessage-ID: <"));
  EXPECT_TRUE(file.contains("\nX-Vasnik-Local-Property: Varnel=Outgoing"));

  // Unresolvable recipients.
  auto other = drafts->AddItem("IPM.Note");
  other->AddRecipient("not an address");
  EXPECT_FALSE(other->ResolveAll());
  EXPECT_FALSE(other->RecipientAt(1).resolved);
}

TEST_F(VasnikTest, BadFilesAreSkippedAndHideNothing) {
  Logon();
  auto inbox = Default(kFolderInbox);
  auto calendar = Default(kFolderCalendar);
  auto good = inbox->AddItem("IPM.Note");
  good->SetSubject("good mail");
  good->Save();
  auto event = calendar->AddItem("IPM.Appointment");
  event->SetSubject("good event");
  event->Save();

  WriteBytes(inbox->Directory() + "/cur/1.empty:2,S", "");
  WriteBytes(inbox->Directory() + "/new/2.binary", QByteArray("\x00\x01\x02\xff\n\n", 6));
  WriteBytes(inbox->Directory() + "/tmp/3.partial", "Subject: half delivered\n\nbody\n");
  WriteBytes(inbox->Directory() + "/cur/.hidden", "Subject: hidden\n\nbody\n");
  WriteBytes(calendar->Directory() + "/broken.ics", "BEGIN:VCALENDAR\nthis is not\n");
  WriteBytes(calendar->Directory() + "/notes.txt", "a stray file\n");
  WriteBytes(calendar->Directory() + "/.pending.ics", "BEGIN:VCALENDAR\n");

  auto mail = inbox->Items();
  ASSERT_EQ(mail.Count(), 1);
  EXPECT_EQ(mail.At(1)->Subject(), "good mail");
  auto events = calendar->Items();
  ASSERT_EQ(events.Count(), 1);
  EXPECT_EQ(events.At(1)->Subject(), "good event");
  EXPECT_EQ(log_.filter("skipping").size(), 3) << S(log_.join("\n"));
  EXPECT_EQ(log_.filter("1.empty").size(), 1);
  EXPECT_EQ(log_.filter("broken.ics").size(), 1);
  // An unchanged bad file is reported once, not at every look.
  inbox->Items();
  calendar->Items();
  EXPECT_EQ(log_.filter("skipping").size(), 3);
  // Opening one by identifier is an error, not a crash.
  const QString brokenId = calendar->EntryID() + QString::fromLatin1(QByteArray("broken.ics").toHex().toUpper());
  EXPECT_THROW(session_->GetMessageFromID(brokenId), StoreError);
}

TEST_F(VasnikTest, FoldersCreatedHereAndByOtherPrograms) {
  Logon();
  auto root = session_->DefaultStore()->RootFolder();
  auto calendar = Default(kFolderCalendar);
  const QString name = "Team/Shared, \u00fcber; \"x\"";
  auto shared = calendar->CreateFolder(name, kItemAppointment);
  EXPECT_EQ(shared->Name(), name);
  EXPECT_EQ(shared->DefaultItemType(), kItemAppointment);
  EXPECT_TRUE(shared->IsCalendarDirectory());
  EXPECT_EQ(shared->Parent(), calendar);
  EXPECT_EQ(shared->FolderPath(), "\\\\Personal Folders\\Calendar\\" + name);
  EXPECT_FALSE(QFileInfo::exists(shared->Directory() + "/cur"));
  EXPECT_THROW(calendar->CreateFolder(name.toUpper(), kItemMail), StoreError);
  auto reserved = root->CreateFolder("new", kItemMail);
  EXPECT_EQ(reserved->Name(), "new");
  EXPECT_TRUE(QFileInfo(reserved->Directory() + "/cur").isDir());

  // A Maildir that a mail program made, and a vdir that vdirsyncer made.
  QDir().mkpath(root->Directory() + "/Lists/cur");
  QDir().mkpath(root->Directory() + "/Lists/new");
  WriteBytes(root->Directory() + "/Synced/abc.ics",
             "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:abc\r\nSUMMARY:From sync\r\n"
             "DTSTART:20300101T100000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
  std::shared_ptr<Folder> lists, synced;
  for (const auto& folder : root->Folders()) {
    if (folder->Name() == "Lists") lists = folder;
    if (folder->Name() == "Synced") synced = folder;
  }
  ASSERT_TRUE(lists && synced);
  EXPECT_EQ(lists->DefaultItemType(), kItemMail);
  EXPECT_EQ(synced->DefaultItemType(), kItemAppointment);
  EXPECT_EQ(synced->Items().At(1)->Subject(), "From sync");
  const QString syncedId = synced->EntryID();

  // Identifiers and names survive a new session; a copied folder gets its
  // own identifier.
  const QString sharedId = shared->EntryID();
  session_->Logoff();
  ASSERT_TRUE(QDir().mkpath(root->Directory() + "/Copy"));
  QFile::copy(synced->Directory() + "/.vasnik-folder", root->Directory() + "/Copy/.vasnik-folder");
  session_->Logon(ProfileDir());
  EXPECT_EQ(session_->GetFolderFromID(syncedId)->Directory(), synced->Directory());
  EXPECT_EQ(session_->GetFolderFromID(sharedId)->Name(), name);
  std::shared_ptr<Folder> copy;
  for (const auto& folder : session_->DefaultStore()->RootFolder()->Folders())
    if (folder->Directory().endsWith("/Copy")) copy = folder;
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->EntryID(), syncedId);

  // A folder another program made after log-on is found by its identifier
  // once it has one; a renamed folder keeps its identifier.
  ASSERT_TRUE(QDir().rename(synced->Directory(), root->Directory() + "/Renamed"));
  auto renamed = session_->GetFolderFromID(syncedId);
  EXPECT_TRUE(renamed->Directory().endsWith("/Renamed"));
  EXPECT_EQ(renamed->Items().Count(), 1);
}

TEST_F(VasnikTest, MessageFromIdNeedsNoOtherItem) {
  Logon();
  auto inbox = Default(kFolderInbox);
  auto item = inbox->AddItem("IPM.Note");
  item->SetSubject("target");
  item->Save();
  // Unreadable neighbours are never looked at: no log line appears.
  for (int i = 0; i < 20; ++i) WriteBytes(inbox->Directory() + QString("/cur/junk%1:2,").arg(i), "");
  log_.clear();
  EXPECT_EQ(session_->GetMessageFromID(item->EntryID())->Subject(), "target");
  EXPECT_TRUE(log_.isEmpty()) << S(log_.join("\n"));
}

}  // namespace
