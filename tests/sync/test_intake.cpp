// The update-mail intake through the controller against the stand-in library:
// real packages made by the sending side (or written here, for hostile ones),
// delivered into the Inbox, taken by ProcessUpdateMail, by the intake tick and
// by the created-message routing, and imported into the calendar.
#include <oleauto.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTimeZone>
#include <QTimer>

#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "outlook/redemption_ids.h"
#include "platform/com/com_object.h"
#include "sync/incoming/package_origin.h"
#include "sync/outgoing/exporter.h"
#include "tests/support/controller_fixture.h"
#include "tests/support/files.h"
#include "tests/support/test_main.h"
#include "tests/support/update_mails.h"
#include "tests/support/wait.h"
#include "tests/support/zip_builder.h"

// Readable failure messages for lists of names.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

using outlook::RdoFolder;
using outlook::RdoMail;

constexpr int kOutboxFolder = 4;


// ---- A mail object that answers some members itself ------------------------------------

// Forwards every call to an object of the library, except those `answer`
// answers itself (it returns nothing for the calls it leaves alone). The
// stand-in library names every attachment it reads ("attachment-<n>" when
// the mail gives none); the messaging library on Windows reports an empty
// file name for such a part, which this object lets a test hand over.
class Forwarder final : public platform::com::ComObject<IDispatch> {
 public:
  using Answer =
      std::function<std::optional<outlook::Variant>(const QString& member, const std::vector<outlook::Variant>& args)>;

  static outlook::DispatchRef Wrap(outlook::DispatchRef target, Answer answer) {
    return outlook::DispatchRef::Adopt(new Forwarder(std::move(target), std::move(answer)));
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return E_INVALIDARG;
    const QString name = QString::fromUtf16(names[0]);
    auto at = std::find(names_.begin(), names_.end(), name);
    if (at == names_.end()) at = names_.insert(names_.end(), name);
    ids[0] = DISPID(at - names_.begin() + 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    if (id < 1 || size_t(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
    const QString name = names_[size_t(id - 1)];
    const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    std::vector<outlook::Variant> args;  // declaration order, without a put's value
    for (UINT i = params->cArgs; i > (put ? 1u : 0u); --i) args.push_back(outlook::Variant::Copy(params->rgvarg[i - 1]));
    try {
      if (put) {
        const outlook::Variant value = outlook::Variant::Copy(params->rgvarg[0]);
        if (args.empty())
          target_.Put(name, value);
        else
          target_.PutIndexed(name, args, value);
        return S_OK;
      }
      std::optional<outlook::Variant> answered = answer_(name, args);
      const outlook::Variant value = answered ? *answered : target_.Invoke(name, flags, args);
      if (result) VariantCopy(result, &value.Raw());
      return S_OK;
    } catch (const outlook::ComError& e) {
      if (!exception) return e.Status();
      *exception = EXCEPINFO{};
      const QString text = e.Message();
      exception->bstrDescription = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.utf16()), UINT(text.size()));
      exception->scode = e.Status();
      return DISP_E_EXCEPTION;
    }
  }

 private:
  Forwarder(outlook::DispatchRef target, Answer answer)
      : ComObject(IID_IDispatch), target_(std::move(target)), answer_(std::move(answer)) {}

  outlook::DispatchRef target_;
  Answer answer_;
  std::vector<QString> names_;
};

// The mail as the messaging library would hand it over if the attachment
// at `position` (from 1) had no file name.
RdoMail WithNamelessAttachment(const RdoMail& mail, int position) {
  const outlook::DispatchRef attachments = mail.Attachments().Dispatch();
  return RdoMail(Forwarder::Wrap(mail.Dispatch(), [attachments, position](const QString& member, const auto&)
                                     -> std::optional<outlook::Variant> {
    if (member != u"Attachments") return std::nullopt;
    return outlook::Variant(Forwarder::Wrap(attachments, [attachments, position](const QString& member,
                                                                                 const auto& args)
                                                             -> std::optional<outlook::Variant> {
      if (member != u"Item" || args.empty() || args[0].ToInt() != position) return std::nullopt;
      return outlook::Variant(Forwarder::Wrap(attachments.Get(u"Item", position).ToDispatch(),
                                              [](const QString& member, const auto&) -> std::optional<outlook::Variant> {
                                                if (member != u"FileName") return std::nullopt;
                                                return outlook::Variant(QString());
                                              }));
    }));
  }));
}


class IntakeTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    // Mails are taken only when a test asks: no tick of the 20 s timer, and no
    // store events until a test starts them.
    Form().zTimerSup->stop();
    Form().REvents.clear();
  }

  RdoFolder Folder(int kind) { return Form().RSession.GetDefaultFolder(kind); }
  RdoFolder Inbox() { return Folder(outlook::ids::olFolderInbox); }
  int Count(int kind) { return Folder(kind).Items().Count(); }
  QString InboxMaildir() const { return home_.path() + "/data/vasnik/profile/stores/personal/Inbox"; }
  QString ErrorLog() { return Form().DataDir + "/error.log"; }

  // What waits in InboxDir; the records of who sent it (".from", ".origin")
  // only when asked for.
  QStringList InboxDirEntries(bool withRecords = false) {
    QStringList entries = QDir(Form().InboxDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (!withRecords)
      entries.removeIf([](const QString& name) { return name.endsWith(".from") || name.endsWith(".origin"); });
    entries.sort();
    return entries;
  }

  QStringList CalendarSubjects() {
    QStringList subjects;
    const outlook::RdoItems items = Calendar().Items();
    for (int i = 1; i <= items.Count(); ++i) subjects << items.Item(i).Subject();
    subjects.sort();
    return subjects;
  }

  QByteArray Log() {
    QFile f(ErrorLog());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  // The calendar is shared with this user's own address, with every right,
  // and the sender's folder key of it maps to it on the receiving side: the
  // packages the calendar sends come back into it.
  QString ShareCalendar() {
    const QString f = Calendar().EntryID();
    owner_ = Form().StoreOwnerAddress(Form().RSession.GetStoreFromID(Calendar().StoreID()));
    ShowRows(Form(), {SharingRow{true, owner_}});
    Form().MonitoredFolders.Add(f);
    Form().SaveFolderSettings(f);
    const QString k = Form().FolderKey(f);
    Form().zEXML.WriteString("DEN\\Folders\\" + k, f);
    Form().zEXML.WriteString("DEN\\FoldersSID\\" + k, Calendar().StoreID());
    return k;
  }

  // The sending side: one new event exported and packed; its update mails
  // taken out of the Outbox, sorted by volume name. The event itself is then
  // removed, so that importing the package creates it anew.
  std::vector<Attachments> Pack(const QString& k, const QString& subject, qsizetype padding = 0) {
    RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    Form().ExportItem(item);
    if (padding > 0) {  // incompressible, and no message file: the import passes over it
      QFile f(Form().OutboxDir + k + "/padding.bin");
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      QByteArray data(padding, Qt::Uninitialized);
      QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
      f.write(data);
    }
    Form().zTimerTimer();
    std::vector<Attachments> mails;
    const outlook::RdoItems queued = Folder(kOutboxFolder).Items();
    for (int i = 1; i <= queued.Count(); ++i) {
      const RdoMail m = queued.Item(i);
      Attachments a;
      for (int j = 1; j <= m.Attachments().Count(); ++j) {
        const QString path = home_.path() + "/saved-attachment";
        m.Attachments().Item(j).SaveAsFile(path);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        a.Add(m.Attachments().Item(j).FileName(), f.readAll());
      }
      mails.push_back(a);
      m.Delete(2);
    }
    std::sort(mails.begin(), mails.end(),
              [](const Attachments& x, const Attachments& y) { return x.names.value(1) < y.names.value(1); });
    item.Delete(2);
    EXPECT_TRUE(CalendarSubjects().isEmpty());
    return mails;
  }

  // An update mail made through the library in the given folder.
  RdoMail Deliver(const Attachments& a, int kind = outlook::ids::olFolderInbox, const QString& marker = QString()) {
    return DeliverInto(Folder(kind), a, marker);
  }
  RdoMail DeliverInto(const RdoFolder& folder, const Attachments& a, const QString& marker = QString()) {
    RdoMail mail = folder.Items().Add("IPM.Note");
    mail.SetSubject(kUpdateSubject);
    // Received from the address the packages declare, each mail sent after
    // the one before.
    mail.SetSenderEmailAddress(Sender());
    mail.SetSentOn(NextDate().toMSecsSinceEpoch() / 86400000.0 + 25569.0);
    if (!marker.isEmpty()) mail.SetNamedProperty("Varnel", marker);
    const QString dir = home_.path() + QStringLiteral("/attachments-%1/").arg(++delivered_);
    EXPECT_TRUE(QDir().mkpath(dir));
    for (int i = 0; i < a.names.size(); ++i) {
      QFile f(dir + a.names[i]);
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(a.data[i]);
      f.close();
      mail.Attachments().Add(dir + a.names[i], outlook::ids::olByValue, i + 1, a.names[i]);
    }
    mail.Save();
    return mail;
  }

  // The address this side's packages declare, and so the sender of every
  // mail a test delivers unless it says otherwise.
  QString Sender() { return UpdateSenderAddress(Form().RSession); }
  // Dates of the mails delivered, one minute apart in delivery order.
  QDateTime NextDate() { return QDateTime(QDate(2026, 3, 1), QTime(9, 0), QTimeZone::utc()).addSecs(60 * ++sent_); }
  QByteArray Raw(const Attachments& a) {
    MailHeaders h;
    h.from = Sender();
    h.date = NextDate();
    return RawMail(a, h);
  }

  // A mail server's delivery into the Inbox (or another Maildir of the
  // store): written into tmp/, renamed into new/.
  void DeliverRaw(const QByteArray& mail, const QString& maildir = QString()) {
    const QString dir = maildir.isEmpty() ? InboxMaildir() : maildir;
    const QString name = QStringLiteral("1900000000.M%1P1.mx").arg(++delivered_);
    QFile f(dir + "/tmp/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(mail);
    f.close();
    ASSERT_TRUE(QFile::rename(dir + "/tmp/" + name, dir + "/new/" + name));
  }

  // A mail folder beside the Inbox, as a server-side rule files mail into:
  // a Maildir made outside the library, which adopts it when it lists the
  // store's folders. Its directory is `maildir`.
  RdoFolder MailFolder(const QString& name, QString* maildir = nullptr) {
    const QString dir = home_.path() + "/data/vasnik/profile/stores/personal/" + name;
    for (const char* sub : {"/cur", "/new", "/tmp"}) EXPECT_TRUE(QDir().mkpath(dir + sub));
    if (maildir) *maildir = dir;
    const outlook::RdoFolders folders =
        Form().RSession.GetStoreFromID(Inbox().StoreID()).IPMRootFolder().Folders();
    for (int i = 1; i <= folders.Count(); ++i)
      if (folders.Item(i).Name() == name) return folders.Item(i);
    ADD_FAILURE() << "the library does not list the folder " << name.toStdString();
    return RdoFolder();
  }

  // A file in InboxDir, as an earlier mail left it.
  void PutInInboxDir(const QString& name, const QByteArray& data) {
    QFile f(Form().InboxDir + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }

  // What an exchange directory holds for one new event: its description and
  // message file, as the entries of an archive written here. The event is
  // removed again, and the exchange directory with it.
  std::vector<ZipEntry> Exchange(const QString& k, const QString& subject) {
    RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.Save();
    Form().ExportItem(item);
    Form().zTimer->stop();
    std::vector<ZipEntry> entries;
    const QDir dir(Form().OutboxDir + k);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
      QFile f(dir.filePath(name));
      EXPECT_TRUE(f.open(QIODevice::ReadOnly));
      entries.push_back({(k + "/" + name).toUtf8(), f.readAll(), true});
    }
    EXPECT_EQ(entries.size(), 2u);
    QDir(Form().OutboxDir).removeRecursively();
    item.Delete(2);
    return entries;
  }

  static Attachments Package(const QString& k, const QByteArray& list, const QByteArray& zip) {
    Attachments a;
    a.Add(k + ".txt", list);
    a.Add(k + ".zip", zip);
    return a;
  }

  // Every file of the test's home outside InboxDir and the message store,
  // with its contents; the log, the configuration and the mapping may change.
  std::map<QString, QByteArray> FilesOutsideInbox() {
    Form().SaveNow();
    std::map<QString, QByteArray> files;
    QDirIterator it(home_.path(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      if (path.startsWith(Form().InboxDir) || path.startsWith(home_.path() + "/data/vasnik/")) continue;
      if (path == ErrorLog() || path == Form().DataDir + "/config.xml" || path == Form().DataDir + "/user.uxm")
        continue;
      if (!QFileInfo(path).isFile()) continue;
      QFile f(path);
      files[path] = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    return files;
  }

  // A hostile mail taken by a tick: refused with a line in the log naming
  // the cause, the mail gone, nothing imported, nothing left in InboxDir but
  // `remaining`, and no file outside InboxDir written or created.
  void ExpectRefused(const Attachments& mail, const QByteArray& logged, const QStringList& remaining = {}) {
    // Where the names the mail carries would lead if they were followed.
    for (const QString& sentinel : {Form().DataDir + "/x", Form().DataDir + "/evil.txt", home_.path() + "/x",
                                    home_.path() + "/data/x", Form().DataDir + "/b.txt"}) {
      QFile f(sentinel);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write("sentinel");
    }
    DeliverRaw(Raw(mail));
    ASSERT_EQ(Inbox().Items().Count(), 1);
    const outlook::RdoAttachments read = Inbox().Items().Item(1).Attachments();
    QStringList names;
    for (int i = 1; i <= read.Count(); ++i) names << read.Item(i).FileName();
    ASSERT_EQ(names, mail.names) << "the library does not hand the names over as sent";
    const std::map<QString, QByteArray> before = FilesOutsideInbox();
    const QByteArray logBefore = Log();

    Form().zTimerSupTimer();

    EXPECT_EQ(Inbox().Items().Count(), 0) << "the refused mail stays and would come back on every tick";
    EXPECT_EQ(Count(outlook::ids::olFolderDeletedItems), 0);
    EXPECT_TRUE(CalendarSubjects().isEmpty()) << CalendarSubjects().join(",").toStdString();
    EXPECT_EQ(InboxDirEntries(), remaining);
    const QByteArray added = Log().mid(logBefore.size());
    EXPECT_TRUE(added.contains(logged)) << "log: " << added.constData();
    const std::map<QString, QByteArray> after = FilesOutsideInbox();
    for (const auto& [path, data] : after) {
      const auto was = before.find(path);
      if (was == before.end())
        ADD_FAILURE() << "new file outside InboxDir: " << path.toStdString();
      else
        EXPECT_EQ(data, was->second) << "changed: " << path.toStdString();
    }
    EXPECT_EQ(after.size(), before.size());
  }

  QString owner_;
  int delivered_ = 0;
  int sent_ = 0;
};

// ---- Real packages ---------------------------------------------------------------------

TEST_F(IntakeTest, ASingleVolumePackageIsSavedDeletedUnpackedAndImported) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  ASSERT_EQ(mails[0].names, QStringList({k + ".txt", k + ".zip"}));
  const RdoMail mail = Deliver(mails[0]);
  ASSERT_EQ(Inbox().Items().Count(), 1);

  Form().ProcessUpdateMail(mail);

  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(Count(outlook::ids::olFolderDeletedItems), 0) << "deleted for good, not into Deleted Items";
  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
  // List file, archive, unpacked directory and the records of its sender
  // are all gone.
  EXPECT_EQ(InboxDirEntries(/*withRecords=*/true), QStringList());

  // The import's own item is on the guard list, for its late events, and
  // zTimer2 runs to drop it once that wait is over.
  EXPECT_TRUE(Form().zTimer2->isActive());
  ASSERT_EQ(Calendar().Items().Count(), 1);
  EXPECT_TRUE(Form().UpdatedItems.Contains(Calendar().Items().Item(1).EntryID()));
}

TEST_F(IntakeTest, AThreeVolumePackageArrivingLastVolumeFirstIsImportedOnceWhenComplete) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Big", 2560 * 1024);
  ASSERT_EQ(mails.size(), 3u);
  ASSERT_EQ(mails[0].names.value(1), k + ".z01");
  ASSERT_EQ(mails[2].names.value(1), k + ".zip");
  std::vector<RdoMail> delivered;
  for (const Attachments& m : mails) delivered.push_back(Deliver(m));

  Form().ProcessUpdateMail(delivered[2]);
  EXPECT_EQ(Inbox().Items().Count(), 2);
  EXPECT_EQ(InboxDirEntries(), QStringList({k + ".txt", k + ".zip"}));
  EXPECT_TRUE(CalendarSubjects().isEmpty());
  EXPECT_FALSE(Form().zTimer2->isActive());

  Form().ProcessUpdateMail(delivered[1]);
  EXPECT_EQ(Inbox().Items().Count(), 1);
  EXPECT_EQ(InboxDirEntries(), QStringList({k + ".txt", k + ".z02", k + ".zip"}));
  EXPECT_TRUE(CalendarSubjects().isEmpty());

  Form().ProcessUpdateMail(delivered[0]);
  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_EQ(CalendarSubjects(), QStringList({"Big"}));
  EXPECT_TRUE(Form().zTimer2->isActive());
}

TEST_F(IntakeTest, AVolumeThatCameWithoutTheListFileWaitsForTheRestOfItsPackage) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Big", 2560 * 1024);
  ASSERT_EQ(mails.size(), 3u);
  Attachments volumeOnly;
  volumeOnly.Add(mails[0].names[1], mails[0].data[1]);

  Form().ProcessUpdateMail(Deliver(volumeOnly));
  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList({k + ".z01"}));

  Form().ProcessUpdateMail(Deliver(mails[1]));
  Form().ProcessUpdateMail(Deliver(mails[2]));
  EXPECT_EQ(CalendarSubjects(), QStringList({"Big"}));
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, OneTickTakesEveryUpdateMailInTheInboxAndNothingElse) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> first = Pack(k, "First");
  const std::vector<Attachments> second = Pack(k, "Second");
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  Deliver(first[0]);
  Deliver(second[0]);
  RdoMail other = Inbox().Items().Add("IPM.Note");
  other.SetSubject("Pendrix Update Email, forwarded");
  other.Save();

  Form().zTimerSupTimer();

  EXPECT_EQ(CalendarSubjects(), QStringList({"First", "Second"}));
  const outlook::RdoItems left = Inbox().Items();
  ASSERT_EQ(left.Count(), 1);
  EXPECT_EQ(left.Item(1).Subject(), "Pendrix Update Email, forwarded");
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, TheSamePackageDeliveredTwiceIsImportedTwice) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  Deliver(mails[0]);
  Form().zTimerSupTimer();
  ASSERT_EQ(CalendarSubjects(), QStringList({"Planning"}));

  // Changed here in between, not yet sent: the second import puts the
  // sender's version back, and the change here stays as a copy.
  RdoMail local = Calendar().Items().Item(1);
  local.SetSubject("Edited here");
  local.Save();
  Deliver(mails[0]);
  Form().zTimerSupTimer();
  EXPECT_EQ(CalendarSubjects(), QStringList({"Edited here (conflict)", "Planning"}));
  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, AStaleVolumeOfALostMailIsReplacedAndTheNewPackageCompleted) {
  const QString k = ShareCalendar();
  // Of an earlier package only the mail of the first volume arrived; the
  // new one of the same key comes last volume first. With the stale volume
  // the new list is complete, the archive cannot be unpacked, and the files
  // stay for the mail that brings the new first volume.
  struct Case {
    const char* name;
    qsizetype earlierPadding, newPadding;
    size_t earlierVolumes, newVolumes;
  };
  for (const Case& c : {Case{"3 volumes, then 2", 2560 * 1024, 1536 * 1024, 3, 2},
                        Case{"2 volumes, then 3", 1536 * 1024, 2560 * 1024, 2, 3}}) {
    SCOPED_TRACE(c.name);
    const std::vector<Attachments> earlier = Pack(k, "Earlier", c.earlierPadding);
    const std::vector<Attachments> mails = Pack(k, "New", c.newPadding);
    ASSERT_EQ(earlier.size(), c.earlierVolumes);
    ASSERT_EQ(mails.size(), c.newVolumes);
    ASSERT_EQ(earlier[0].names.value(1), k + ".z01");
    ASSERT_EQ(mails[0].names.value(1), k + ".z01");
    ASSERT_NE(earlier[0].data.value(1), mails[0].data.value(1));
    Form().ProcessUpdateMail(Deliver(earlier[0]));
    ASSERT_EQ(InboxDirEntries(), QStringList({k + ".txt", k + ".z01"}));

    const QByteArray logBefore = Log();
    for (size_t i = mails.size(); i-- > 1;) Form().ProcessUpdateMail(Deliver(mails[i]));
    QStringList all{k + ".txt", k + ".z01", k + ".zip"};
    if (c.newVolumes == 3) all.insert(2, k + ".z02");
    EXPECT_EQ(InboxDirEntries(), all);
    EXPECT_TRUE(CalendarSubjects().isEmpty());
    EXPECT_GT(Log().size(), logBefore.size()) << "the archive with the stale volume was not refused";

    Form().ProcessUpdateMail(Deliver(mails[0]));
    EXPECT_EQ(CalendarSubjects(), QStringList({"New"}));
    EXPECT_EQ(InboxDirEntries(), QStringList());
    EXPECT_EQ(Inbox().Items().Count(), 0);
    for (int i = Calendar().Items().Count(); i >= 1; --i) Calendar().Items().Item(i).Delete(2);
  }
}

TEST_F(IntakeTest, AttachmentsWithoutAFileNameAreNotSavedAndTheMailIsTaken) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  // A relay's part: after the package's attachments, or before them (the
  // folder key then comes from the first attachment that has a name).
  for (const int position : {3, 1}) {
    SCOPED_TRACE(position);
    Attachments a;
    if (position == 1) a.Add("relay.txt", "Scanned by the relay.");
    a.Add(mails[0].names[0], mails[0].data[0]);
    a.Add(mails[0].names[1], mails[0].data[1]);
    if (position == 3) a.Add("relay.txt", "Scanned by the relay.");
    const RdoMail mail = WithNamelessAttachment(Deliver(a), position);
    ASSERT_EQ(mail.Attachments().Item(position).FileName(), QString());
    const QByteArray logBefore = Log();

    Form().ProcessUpdateMail(mail);

    EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
    EXPECT_EQ(Inbox().Items().Count(), 0);
    EXPECT_EQ(InboxDirEntries(), QStringList());
    EXPECT_FALSE(Log().mid(logBefore.size()).contains("Refusing")) << Log().mid(logBefore.size()).constData();
    for (int i = Calendar().Items().Count(); i >= 1; --i) Calendar().Items().Item(i).Delete(2);
  }
}

TEST_F(IntakeTest, OnlyTheListFileAndTheVolumesOfAMailAreSaved) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  Attachments a = mails[0];
  a.Add("notice.pdf", "%PDF added on the way");
  a.Add("OTHER.z01", "a volume of another package");

  Form().ProcessUpdateMail(Deliver(a));

  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
  EXPECT_EQ(InboxDirEntries(), QStringList()) << "nothing would ever delete them";
}

TEST_F(IntakeTest, APackageLeftByAnUnfinishedImportIsNotMergedIntoTheNext) {
  const QString k = ShareCalendar();
  // What an import cut short by the end of the program left: the message
  // file of another peer, whose address has no right on this folder.
  QDir().mkpath(Form().InboxDir + k);
  for (const ZipEntry& entry : Exchange(k, "From the stranger")) {
    QFile f(Form().InboxDir + QString::fromUtf8(entry.name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(entry.data);
  }
  {
    XmlStorage info("Info");
    info.SetFileName(Form().InboxDir + k + "/info.xml");
    info.WriteString("User", "stranger@peers.test");
    ASSERT_TRUE(info.Flush());
    info.SetFileName(QString());
  }
  const std::vector<Attachments> mails = Pack(k, "Planning");

  Form().ProcessUpdateMail(Deliver(mails[0]));

  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"})) << "the stranger's item came in under another's rights";
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, TheGuardTimerOfAnEarlierImportWaitsForTheNextImportToEnd) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  const RdoMail mail = Deliver(mails[0]);
  // Left from an earlier import: its tick would empty the list while this
  // import's own store events are still to come.
  Form().UpdatedItems.Add("EARLIER");
  Form().zTimer2->start();
  bool timerDuring = true, guardDuring = false;
  QTimer::singleShot(0, [&] {
    timerDuring = Form().zTimer2->isActive();
    guardDuring = Form().UpdatedItems.Contains("EARLIER");
  });

  Form().ProcessUpdateMail(mail);

  EXPECT_FALSE(timerDuring);
  EXPECT_TRUE(guardDuring);
  EXPECT_TRUE(Form().zTimer2->isActive()) << "started again once the import is over";
  EXPECT_TRUE(Form().UpdatedItems.Contains("EARLIER"));
  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
}

TEST_F(IntakeTest, AMailHandedOverDuringAnImportIsTakenRightAfterItAndTheTickWaits) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> first = Pack(k, "First");
  const std::vector<Attachments> filed = Pack(k, "Filed");
  const std::vector<Attachments> inInbox = Pack(k, "In the Inbox");
  const RdoFolder updates = MailFolder("Updates");
  const RdoMail mail = Deliver(first[0]);

  // Runs when the import yields to the message loop: a mail a rule filed
  // into another folder is handed over (by its created-message event, which
  // comes only once), and a tick finds one in the Inbox.
  bool importing = false;
  QStringList inboxDirDuring;
  int filedDuring = -1, inboxAfterTick = -1;
  QTimer::singleShot(0, [&] {
    importing = Form().Importing();
    inboxDirDuring = InboxDirEntries();
    Form().ProcessUpdateMail(DeliverInto(updates, filed[0]));
    Deliver(inInbox[0]);
    Form().zTimerSupTimer();
    filedDuring = updates.Items().Count();
    inboxAfterTick = Inbox().Items().Count();
  });
  Form().ProcessUpdateMail(mail);

  EXPECT_TRUE(importing);
  // The mail and its files are gone before the package is imported.
  EXPECT_EQ(inboxDirDuring, QStringList({k}));
  EXPECT_EQ(filedDuring, 1);
  EXPECT_EQ(inboxAfterTick, 1);
  // The filed mail was taken once the first import was over; the tick during
  // the import did nothing, so the Inbox mail waits for the next one.
  EXPECT_EQ(CalendarSubjects(), QStringList({"Filed", "First"}));
  EXPECT_EQ(updates.Items().Count(), 0);
  EXPECT_EQ(Inbox().Items().Count(), 1);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_FALSE(Form().Importing());

  Form().zTimerSupTimer();
  EXPECT_EQ(CalendarSubjects(), QStringList({"Filed", "First", "In the Inbox"}));
  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, AMailFiledOutsideTheInboxDuringAnImportIsTakenAfterItFromItsEvent) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> first = Pack(k, "First");
  const std::vector<Attachments> filed = Pack(k, "Filed");
  QString maildir;
  const RdoFolder updates = MailFolder("Updates", &maildir);
  const QString updatesId = updates.EntryID();
  const RdoMail mail = Deliver(first[0]);
  WaitFor([] { return false; }, 300);  // the events of the packing and delivery go by unheard
  Form().StartStoreEvents();
  // Note the folder of each created message once the routing has handled it.
  QStringList createdIn;
  for (auto& sink : Form().REvents) {
    if (!sink) continue;
    const outlook::TComEvent route = sink->OnEvent();
    sink->SetOnEvent([&createdIn, route](const outlook::Variant& sender, const QString& event, int id,
                                         outlook::TVariantArray& params) {
      route(sender, event, id, params);
      if (event == u"OnMessageCreatedEx" && params.size() > 1) createdIn << params[1].ToString();
    });
  }

  // A server delivers into the other folder while the import runs, and its
  // event is handled before the import ends.
  bool routedDuring = false;
  int filedDuring = -1;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(Form().Importing());
    DeliverRaw(Raw(filed[0]), maildir);
    routedDuring = WaitFor([&] { return createdIn.contains(updatesId); }, 10000);
    filedDuring = updates.Items().Count();
  });
  Form().ProcessUpdateMail(mail);

  EXPECT_TRUE(routedDuring);
  EXPECT_EQ(filedDuring, 1);
  EXPECT_EQ(CalendarSubjects(), QStringList({"Filed", "First"}));
  EXPECT_EQ(updates.Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

TEST_F(IntakeTest, AnArchiveOfAnotherWriterIsImported) {
  // The hostile cases below use this writer; here its archive is sound.
  const QString k = ShareCalendar();
  const std::vector<ZipEntry> entries = Exchange(k, "Elsewhere");
  Deliver(Package(k, (k + ".zip\n").toLatin1(), Zip(entries)));
  Form().zTimerSupTimer();
  EXPECT_EQ(CalendarSubjects(), QStringList({"Elsewhere"}));
  EXPECT_EQ(InboxDirEntries(), QStringList());
}

// ---- Mails that are not taken, or taken and dropped -------------------------------------

TEST_F(IntakeTest, OwnOutgoingMailsAndMailsInDeletedItemsAreLeftAlone) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  const RdoMail draft = Deliver(mails[0], outlook::ids::olFolderDrafts, "Outgoing");
  const RdoMail ownInInbox = Deliver(mails[0], outlook::ids::olFolderInbox, "Outgoing");
  const RdoMail deleted = Deliver(mails[0], outlook::ids::olFolderDeletedItems);

  Form().ProcessUpdateMail(draft);
  Form().ProcessUpdateMail(ownInInbox);
  Form().ProcessUpdateMail(deleted);
  Form().zTimerSupTimer();

  EXPECT_EQ(Count(outlook::ids::olFolderDrafts), 1);
  EXPECT_EQ(Count(outlook::ids::olFolderInbox), 1);
  EXPECT_EQ(Count(outlook::ids::olFolderDeletedItems), 1);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_TRUE(CalendarSubjects().isEmpty());
  // A mail of any other marker value is taken.
  const RdoMail other = Deliver(mails[0], outlook::ids::olFolderInbox, "outgoing");
  Form().ProcessUpdateMail(other);
  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
  EXPECT_EQ(Count(outlook::ids::olFolderInbox), 1);
}

TEST_F(IntakeTest, CreatedMessageEventsLeaveOwnAndDeletedMailsAlone) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  WaitFor([] { return false; }, 300);  // the events of the packing go by unheard
  Form().StartStoreEvents();
  // Note each created message once the routing has handled it.
  QStringList routed;
  for (auto& sink : Form().REvents) {
    if (!sink) continue;
    const outlook::TComEvent route = sink->OnEvent();
    sink->SetOnEvent([&routed, route](const outlook::Variant& sender, const QString& event, int id,
                                      outlook::TVariantArray& params) {
      route(sender, event, id, params);
      if (event == u"OnMessageCreatedEx" && !params.empty()) routed << params[0].ToString();
    });
  }

  const RdoMail draft = Deliver(mails[0], outlook::ids::olFolderDrafts, "Outgoing");
  const RdoMail ownInInbox = Deliver(mails[0], outlook::ids::olFolderInbox, "Outgoing");
  const RdoMail deleted = Deliver(mails[0], outlook::ids::olFolderDeletedItems);
  const QStringList ids{draft.EntryID(), ownInInbox.EntryID(), deleted.EntryID()};
  ASSERT_TRUE(WaitFor([&] { return std::all_of(ids.begin(), ids.end(), [&](const QString& id) { return routed.contains(id); }); },
                      10000))
      << routed.join(",").toStdString();

  EXPECT_EQ(Count(outlook::ids::olFolderDrafts), 1);
  EXPECT_EQ(Count(outlook::ids::olFolderInbox), 1);
  EXPECT_EQ(Count(outlook::ids::olFolderDeletedItems), 1);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_TRUE(CalendarSubjects().isEmpty());
}

TEST_F(IntakeTest, AnUpdateMailDeliveredByTheServerIsTakenWithoutATick) {
  const QString k = ShareCalendar();
  const std::vector<Attachments> mails = Pack(k, "Planning");
  ASSERT_EQ(mails.size(), 1u);
  WaitFor([] { return false; }, 300);  // the events of the packing go by unheard
  Form().StartStoreEvents();

  DeliverRaw(Raw(mails[0]));

  EXPECT_TRUE(WaitFor([&] { return CalendarSubjects() == QStringList({"Planning"}); }, 10000));
  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  // The import's own writes are not exported back.
  WaitFor([] { return false; }, 300);
  EXPECT_FALSE(QDir(Form().OutboxDir + k).exists());
}

TEST_F(IntakeTest, AMailWithoutAttachmentsIsDeletedAndNothingElse) {
  ShareCalendar();
  const RdoMail mail = Deliver(Attachments{});
  const std::map<QString, QByteArray> before = FilesOutsideInbox();

  Form().ProcessUpdateMail(mail);

  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(Count(outlook::ids::olFolderDeletedItems), 0);
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_TRUE(CalendarSubjects().isEmpty());
  EXPECT_FALSE(Form().zTimer2->isActive());
  EXPECT_EQ(FilesOutsideInbox(), before);
  EXPECT_FALSE(QFile::exists(ErrorLog())) << Log().constData();
}

// ---- Only the folder's own peers change it ----------------------------------------------

class SenderCheckTest : public IntakeTest {
 protected:
  void SetUp() override {
    IntakeTest::SetUp();
    k_ = ShareCalendar();
  }

  // An event's message file, as the library writes one.
  QByteArray EventFile(const QString& subject, const QString& body = {}) {
    RdoMail item = Calendar().Items().Add("IPM.Appointment");
    item.SetSubject(subject);
    item.SetBody(body);
    item.Save();
    const QString path = home_.path() + "/event.msg";
    item.SaveAs(path, outlook::ids::olMSG);
    item.Delete(2);
    return ReadAll(path);
  }

  // Mails of the calendar's key, as a server delivers them, taken by a tick.
  void Send(const std::vector<Attachments>& mails, const MailHeaders& h) {
    for (const Attachments& a : mails) DeliverRaw(RawMail(a, h));
    Form().zTimerSupTimer();
  }
  // Headers of a mail from `from` sent `minute` minutes into the test.
  static MailHeaders At(int minute, const QString& from, const QString& returnPath = {}) {
    return {from, QDateTime(QDate(2026, 3, 1), QTime(9, 0), QTimeZone::utc()).addSecs(60 * minute), returnPath};
  }

  QString k_;
};

TEST_F(SenderCheckTest, APackageIsTakenOnlyFromTheAddressItDeclares) {
  const QString me = Sender();
  const struct {
    const char* name;
    QString from;
    QString returnPath;
    bool taken;
  } cases[] = {
      {"forged From", "mallory@evil.test", "", false},
      {"forged envelope", me, "mallory@evil.test", false},
      {"no From", "", "", false},
      {"From and envelope in other letter case", me.toUpper(), me.toUpper(), true},
  };
  int minute = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QByteArray logBefore = Log();
    Send(BuildPackage(k_, me, {{{QStringLiteral("e%1").arg(minute), EventFile(c.name)}}, {}}),
         At(++minute, c.from, c.returnPath));
    EXPECT_EQ(CalendarSubjects().contains(c.name), c.taken);
    EXPECT_EQ(InboxDirEntries(/*withRecords=*/true), QStringList()) << "a refused package's files go";
    const QByteArray added = Log().mid(logBefore.size());
    EXPECT_EQ(added.count("Refusing the package"), c.taken ? 0 : 1) << added.constData();
    if (!c.taken) {  // both addresses named
      EXPECT_TRUE(added.contains("declares the sender \"" + me.toUtf8() + "\"")) << added.constData();
      EXPECT_TRUE(added.contains((c.from.isEmpty() ? "(no sender)" : c.from.toUtf8()))) << added.constData();
      EXPECT_TRUE(added.contains(c.returnPath.toUtf8())) << added.constData();
    }
  }
  EXPECT_EQ(CalendarSubjects(), QStringList({"From and envelope in other letter case"}));

  // A volume of a real package swapped by someone else's mail.
  QString noise;
  for (int i = 0; i < 4000; ++i) noise += QChar(u'a' + QRandomGenerator::global()->bounded(26));
  const std::vector<Attachments> volumes = BuildPackage(k_, me, {{{"big1", EventFile("Big", noise)}}, {}}, 2048);
  ASSERT_GE(volumes.size(), 2u);
  DeliverRaw(RawMail(volumes[0], At(++minute, "mallory@evil.test")));
  for (size_t i = 1; i < volumes.size(); ++i) DeliverRaw(RawMail(volumes[i], At(minute, me)));
  Form().zTimerSupTimer();
  EXPECT_FALSE(CalendarSubjects().contains("Big"));
  EXPECT_TRUE(Log().contains("came from \"" + me.toUtf8() + ", mallory@evil.test\"") ||
              Log().contains("came from \"mallory@evil.test, " + me.toUtf8() + "\""))
      << Log().constData();
  EXPECT_EQ(InboxDirEntries(/*withRecords=*/true), QStringList());
}

// One sender's packages: deltas that arrive in any order all count, but an
// older one never undoes what a newer one changed, even replayed.
TEST_F(SenderCheckTest, AnOlderPackageChangesOnlyWhatNoNewerOneChanged) {
  const QString me = Sender();
  const std::vector<Attachments> first =
      BuildPackage(k_, me, {{{"aaa1", EventFile("A v1")}, {"bbb1", EventFile("B v1")}}, {}});
  Send(first, At(10, me));
  Send(BuildPackage(k_, me, {{{"aaa1", EventFile("A v2")}}, {"bbb1"}}), At(20, me));
  EXPECT_EQ(CalendarSubjects(), QStringList({"A v2"}));

  // The first package again, as a replay of its mail.
  const QByteArray logBefore = Log();
  Send(first, At(10, me));
  EXPECT_EQ(CalendarSubjects(), QStringList({"A v2"})) << "the edit undone or the deleted event back";
  EXPECT_TRUE(Log().mid(logBefore.size()).contains("2 items of the package")) << Log().constData();

  // Out of order: the newer package first, then an older one that edits A
  // (last changed at 20: still older than this one), adds D and edits C
  // (added at 40).
  Send(BuildPackage(k_, me, {{{"ccc1", EventFile("C")}}, {}}), At(40, me));
  Send(BuildPackage(k_, me,
                    {{{"aaa1", EventFile("A v3")}, {"ccc1", EventFile("C old")}, {"ddd1", EventFile("D")}}, {}}),
       At(30, me));
  EXPECT_EQ(CalendarSubjects(), QStringList({"A v3", "C", "D"}));

  // The stamps survive a restart, and a package without a Date changes only
  // what no dated package changed.
  form_.reset();
  Form().zTimerSup->stop();
  Form().REvents.clear();
  Send(BuildPackage(k_, me, {{{"aaa1", EventFile("A undated")}, {"eee1", EventFile("E")}}, {}}), {me, {}});
  EXPECT_EQ(CalendarSubjects(), QStringList({"A v3", "C", "D", "E"}));
  EXPECT_EQ(InboxDirEntries(/*withRecords=*/true), QStringList());
}

// ---- What an earlier run left -------------------------------------------------------------

// Regression: a package directory of an import that stopped waited for the
// next package of its key, perhaps for ever.
TEST_F(IntakeTest, AtStartUnfinishedPackagesAreImportedAndLongWaitingFilesGo) {
  const QString k = ShareCalendar();
  for (const ZipEntry& e : Exchange(k, "Left unfinished")) WriteAll(Form().InboxDir + QString::fromUtf8(e.name), e.data);
  package_origin::RecordUnpacked(Form().InboxDir + k, MailOrigin{Sender(), {}, {}});
  const QString old = Form().InboxDir + "0123456789ABCDEF0123456789ABCDEF.z01";
  WriteAll(old, "waited too long");
  QFile f(old);
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addDays(-15), QFileDevice::FileModificationTime));
  f.close();
  const QString recent = Form().InboxDir + "0123456789ABCDEF0123456789ABCDEF.z02";
  WriteAll(recent, "still waiting");

  form_.reset();
  Form();

  EXPECT_EQ(CalendarSubjects(), QStringList({"Left unfinished"}));
  EXPECT_EQ(InboxDirEntries(), QStringList({"0123456789ABCDEF0123456789ABCDEF.z02"}));
  EXPECT_TRUE(Log().contains("waited more than 14 days")) << Log().constData();
}

// Regression: the volumes of a set that never unpacked lay in InboxDir for ever.
TEST_F(IntakeTest, AFailedSetGoesOnceANewerPackageOfItsKeyIsImported) {
  const QString k = ShareCalendar();
  std::vector<Attachments> big = Pack(k, "Big", 2560 * 1024);
  ASSERT_EQ(big.size(), 3u);
  big[1].data[1][100] = char(big[1].data[1][100] ^ 0x55);  // a damaged volume: its CRC fails
  for (const Attachments& a : big) Form().ProcessUpdateMail(Deliver(a));
  ASSERT_EQ(InboxDirEntries(), QStringList({k + ".txt", k + ".z01", k + ".z02", k + ".zip"}));
  EXPECT_TRUE(Log().contains("could not be unpacked")) << Log().constData();

  Form().ProcessUpdateMail(Deliver(Pack(k, "Newer")[0]));

  EXPECT_EQ(CalendarSubjects(), QStringList({"Newer"}));
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_TRUE(Log().contains("Removing \"" + (k + ".z01").toUtf8() + "\"")) << Log().constData();
}

// ---- Hostile mails ------------------------------------------------------------------------

// An archive that cannot be unpacked leaves its list file and volumes in
// InboxDir (a later mail of the key may replace a stale volume), but nothing
// of its contents.
TEST_F(IntakeTest, ArchiveEntriesLeadingOutOfThePackageAreRefused) {
  const QString k = ShareCalendar();
  std::vector<ZipEntry> entries = Exchange(k, "Planning");
  const QByteArray list = (k + ".zip\r\n").toLatin1();
  for (const QByteArray& name : {(k + "/../../x").toUtf8(), QByteArray("../x"), (k + "/../../../x").toUtf8()}) {
    SCOPED_TRACE(name.constData());
    std::vector<ZipEntry> hostile = entries;
    hostile.push_back({name, "written through the archive"});
    ExpectRefused(Package(k, list, Zip(hostile)), "refused", {k + ".txt", k + ".zip"});
  }
}

// Regression: a failed unpack left the guard's clearing tick off, and the
// items of the import before it guarded for good: the user's edits of them
// were never exported.
TEST_F(IntakeTest, AFailedUnpackLeavesTheGuardOfTheImportBeforeItWorking) {
  const QString k = ShareCalendar();
  Form().ProcessUpdateMail(Deliver(Pack(k, "Planning")[0]));
  ASSERT_EQ(CalendarSubjects(), QStringList({"Planning"}));
  std::vector<ZipEntry> hostile = Exchange(k, "Other");
  hostile.push_back({QByteArray("../x"), "written through the archive"});
  Form().ProcessUpdateMail(Deliver(Package(k, (k + ".zip\r\n").toLatin1(), Zip(hostile))));
  EXPECT_TRUE(Form().zTimer2->isActive());

  const RdoMail item = Calendar().Items().Item(1);
  item.SetSubject("edited here");
  item.Save();
  Form().ExportItem(Form().RSession.GetMessageFromID(item.EntryID(), Calendar().StoreID()));
  EXPECT_TRUE(QFile::exists(Form().OutboxDir + k + "/" + Form().ItemKey(Calendar().EntryID(), item.EntryID()) + ".msg"));
}

TEST_F(IntakeTest, ArchivesExpandingFarBeyondTheirSizeAreRefused) {
  const QString k = ShareCalendar();
  const std::vector<ZipEntry> entries = Exchange(k, "Planning");
  const QByteArray list = (k + ".zip\r\n").toLatin1();
  {
    SCOPED_TRACE("declares 2 GiB in 2 MB");
    std::vector<ZipEntry> bomb = entries;
    bomb.push_back({(k + "/zeros.bin").toUtf8(), QByteArray(1 << 20, '\0'), true, -1, 0, 2048});
    ExpectRefused(Package(k, list, Zip(bomb)), "expand beyond", {k + ".txt", k + ".zip"});
  }
  {
    SCOPED_TRACE("inflates past what it declares");
    std::vector<ZipEntry> bomb = entries;
    bomb.push_back({(k + "/zeros.bin").toUtf8(), QByteArray(4 << 20, '\0'), true, 1000});
    ExpectRefused(Package(k, list, Zip(bomb)), "expands beyond its declared size", {k + ".txt", k + ".zip"});
  }
}

TEST_F(IntakeTest, AListFileNamingAnythingButItsOwnVolumesIsRefused) {
  const QString k = ShareCalendar();
  const QByteArray zip = Zip(Exchange(k, "Planning"));
  // A package of another folder waiting for its last volume.
  const QString other = QString(k).replace(0, 1, k[0] == u'0' ? "1" : "0");
  for (const QString& name : {other + ".txt", other + ".z01"}) {
    QFile f(Form().InboxDir + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("waiting");
  }
  const QStringList waiting{other + ".txt", other + ".z01"};
  for (const QByteArray& line : {QByteArray("../x"), (other + ".z01").toLatin1(), QByteArray("../") + k.toLatin1() + ".zip",
                                 ("/tmp/" + k + ".zip").toLatin1()}) {
    SCOPED_TRACE(line.constData());
    ExpectRefused(Package(k, (k + ".zip\r\n").toLatin1() + line + "\r\n", zip), "not a volume of that package",
                  waiting);
  }
  // A refused mail that also carries a file of the waiting package neither
  // writes nor removes it.
  Attachments a = Package(k, (k + ".zip\r\n../x\r\n").toLatin1(), zip);
  a.Add(other + ".z01", "hostile");
  ExpectRefused(a, "not a volume of that package", waiting);
  QFile volume(Form().InboxDir + other + ".z01");
  ASSERT_TRUE(volume.open(QIODevice::ReadOnly));
  EXPECT_EQ(volume.readAll(), QByteArray("waiting"));
}

TEST_F(IntakeTest, AListFileWithoutTheLastVolumeIsRefused) {
  const QString k = ShareCalendar();
  const QByteArray zip = Zip(Exchange(k, "Planning"));
  // An archive from an earlier mail lies ready; the list must name it to
  // complete the package.
  for (const QByteArray& list : {QByteArray("\r\n \r\n\r\n"), QByteArray(), (k + ".z01\r\n").toLatin1()}) {
    SCOPED_TRACE(list.constData());
    PutInInboxDir(k + ".zip", zip);
    Attachments a;
    a.Add(k + ".txt", list);
    if (list.contains("z01")) a.Add(k + ".z01", "a volume");
    ExpectRefused(a, "does not name", {k + ".zip"});
  }
}

TEST_F(IntakeTest, APackageKeyNamingAWaitingFileLeavesThatFile) {
  ShareCalendar();
  // "X.txt" is the list file of the package "X", waiting for its archive;
  // "X.txt" is also the key of a package whose first attachment is
  // "X.txt.txt". Its archive is empty, so nothing is unpacked under the key.
  PutInInboxDir("X.txt", "X.zip\r\n");
  Attachments a;
  a.Add("X.txt.txt", "X.txt.zip\r\n");
  a.Add("X.txt.zip", Zip({}));
  ExpectRefused(a, "info.xml", {"X.txt"});
  QFile waiting(Form().InboxDir + "X.txt");
  ASSERT_TRUE(waiting.open(QIODevice::ReadOnly));
  EXPECT_EQ(waiting.readAll(), "X.zip\r\n");
}

TEST_F(IntakeTest, AListFileNameThatIsNoPlainFileNameRefusesTheMail) {
  const QString k = ShareCalendar();
  const QByteArray zip = Zip(Exchange(k, "Planning"));
  const QByteArray list = (k + ".zip\r\n").toLatin1();
  for (const QString& listName : {QString("../evil.txt"), QString(125, u'b') + ".txt"}) {
    SCOPED_TRACE(listName.toStdString());
    Attachments a;
    a.Add(listName, list);
    a.Add(k + ".zip", zip);
    ExpectRefused(a, "not a plain file name");
  }
}

// Regression: a relay's attachment with an odd name threw the good package
// of the same mail away.
TEST_F(IntakeTest, OddNamesBesideAGoodPackageAreSkippedAndThePackageIsTaken) {
  const QString k = ShareCalendar();
  const QStringList odd = {"a/b.txt", ".profile", "a,b.txt", "c:d", QString(125, u'a') + ".bin", "other.txt"};
  Attachments a;
  a.Add(k + ".txt", (k + ".zip\r\n").toLatin1());
  a.Add(k + ".zip", Zip(Exchange(k, "Planning")));
  for (const QString& name : odd) a.Add(name, "not ours");
  DeliverRaw(Raw(a));
  const std::map<QString, QByteArray> before = FilesOutsideInbox();

  Form().zTimerSupTimer();

  EXPECT_EQ(Inbox().Items().Count(), 0);
  EXPECT_EQ(CalendarSubjects(), QStringList({"Planning"}));
  EXPECT_EQ(InboxDirEntries(), QStringList());
  EXPECT_EQ(FilesOutsideInbox(), before);
  const QByteArray log = Log();
  for (const QString& name : odd)
    EXPECT_TRUE(log.contains(("Skipping the attachment \"" + name + "\"").toUtf8())) << name.toStdString();
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
