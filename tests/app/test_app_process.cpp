// The real program as separate processes: the single-instance rule and the
// orderly exit on termination signals.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>

#include "storage/sharing.h"
#include "storage/xml_storage.h"
#include "sync/incoming/package_origin.h"
#include "tests/support/files.h"
#include "tests/support/test_main.h"

#include "tests/support/wait.h"

namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.isValid()); }

  // Starts the program with its own data directory `name` and the shared
  // runtime directory (one desktop session).
  std::unique_ptr<QProcess> Launch(const QString& name, QStringList args = {}) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home_.path() + "/" + name);
    env.insert("XDG_RUNTIME_DIR", home_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("VASNIK_PROFILE");
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(LINTROVE_EXE, args);
    EXPECT_TRUE(p->waitForStarted());
    return p;
  }

  QString DataDir(const QString& name) const { return home_.path() + "/" + name + "/Varnel/Lintrove"; }

  // The first copy has finished its start-up once its Outbox exists.
  bool WaitStarted(const QString& name) {
    return WaitFor([&] { return QFileInfo(DataDir(name) + "/Outbox").isDir(); }, 15000);
  }

  QTemporaryDir home_;
};

TEST_F(ProgramTest, SecondCopyEndsWithCodeZeroBeforeAnyStartUpWork) {
  auto first = Launch("a");
  ASSERT_TRUE(WaitStarted("a"));

  auto second = Launch("b", {"gui"});
  ASSERT_TRUE(second->waitForFinished(15000));
  EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second->exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(home_.path() + "/b/Varnel")) << "the second copy touched its data directory";
  EXPECT_EQ(first->state(), QProcess::Running);

  ::kill(first->processId(), SIGTERM);
  ASSERT_TRUE(first->waitForFinished(15000));
  EXPECT_EQ(first->exitCode(), 0);
}

TEST_F(ProgramTest, TerminationSignalsEndInAnOrderlyExit) {
  for (int sig : {SIGTERM, SIGINT}) {
    const QString name = QStringLiteral("sig%1").arg(sig);
    auto p = Launch(name);
    ASSERT_TRUE(WaitStarted(name));
    EXPECT_FALSE(QFile::exists(DataDir(name) + "/config.xml"));
    ::kill(p->processId(), sig);
    ASSERT_TRUE(p->waitForFinished(15000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p->exitCode(), 0);
    // The close saved the monitored folders, destruction wrote both files.
    EXPECT_TRUE(ReadAll(DataDir(name) + "/config.xml").contains("<MonitoredFolders/>")) << "signal " << sig;
    EXPECT_TRUE(ReadAll(DataDir(name) + "/user.uxm").startsWith("<?xml version=\"1.0\""));
  }
}

TEST_F(ProgramTest, CopiesOfOtherSessionsRunSideBySide) {
  auto a = Launch("a");
  ASSERT_TRUE(WaitStarted("a"));
  auto p = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QTemporaryDir otherRuntime;
  env.insert("XDG_DATA_HOME", home_.path() + "/c");
  env.insert("XDG_RUNTIME_DIR", otherRuntime.path());
  env.insert("XDG_SESSION_ID", "other-session");
  env.insert("QT_QPA_PLATFORM", "offscreen");
  p->setProcessEnvironment(env);
  p->start(LINTROVE_EXE, {});
  ASSERT_TRUE(WaitStarted("c"));
  EXPECT_EQ(p->state(), QProcess::Running);
  for (QProcess* proc : {a.get(), p.get()}) {
    ::kill(proc->processId(), SIGTERM);
    EXPECT_TRUE(proc->waitForFinished(15000));
  }
}

// The package of an earlier run's import, stopped with kill -9 in the
// middle and imported again at the next start: every item once, no
// placeholder left.
TEST_F(ProgramTest, AnImportKilledInTheMiddleEndsWithEveryItemOnce) {
  constexpr int kItems = 2000;
  const QString key = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
  const QString sender = QStringLiteral("partner@example.org");
  // A first start makes the profile, the store and the data files.
  {
    auto p = Launch("k");
    ASSERT_TRUE(WaitStarted("k"));
    ::kill(p->processId(), SIGTERM);
    ASSERT_TRUE(p->waitForFinished(15000));
  }
  const QString store = home_.path() + "/k/vasnik/profile/stores/personal";
  const QString calendarDir = store + "/Calendar";
  const QString storeUid = QSettings(store + "/.vasnik-store", QSettings::IniFormat).value("Store/Uid").toString();
  const QString folderUid = QSettings(calendarDir + "/.vasnik-folder", QSettings::IniFormat).value("Folder/Uid").toString();
  ASSERT_FALSE(storeUid.isEmpty());
  ASSERT_FALSE(folderUid.isEmpty());
  const QString storeId = "00000000" + storeUid.toUpper(), folderId = storeId + folderUid.toUpper();
  {
    XmlStorage user("Info");
    user.SetFileName(DataDir("k") + "/user.uxm");
    user.WriteString("DEN\\Folders\\" + key, folderId);
    user.WriteString("DEN\\FoldersSID\\" + key, storeId);
    XmlStorage config("Configuration");
    config.SetFileName(DataDir("k") + "/config.xml");
    FormStorage form(config, "MainForm\\");
    WriteSharingRows(form, folderId, "Calendar", {SharingRow{true, sender, "Allow", "Allow", "Allow"}});
  }
  // The package as the intake leaves it: message files without an event of
  // their own, so each new appointment keeps the one it was made with.
  const QString package = DataDir("k") + "/Inbox/" + key;
  ASSERT_TRUE(QDir().mkpath(package));
  {
    XmlStorage info("Info");
    info.SetFileName(package + "/info.xml");
    info.WriteString("User", sender);
  }
  package_origin::RecordUnpacked(package, MailOrigin{sender, {}, {}});  // its mail came from the sender
  for (int i = 0; i < kItems; ++i) {
    QFile file(package + QStringLiteral("/K%1.msg").arg(i, 5, 10, QChar(u'0')));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("X-Vasnik-Message-File: 1\r\nSubject: Event %1\r\nX-Vasnik-Message-Class: "
                              "IPM.Appointment\r\n\r\nbody\r\n")
                   .arg(i)
                   .toUtf8());
  }
  const auto events = [&] { return QDir(calendarDir).entryList({"*.ics"}, QDir::Files).size(); };

  auto p = Launch("k");
  ASSERT_TRUE(WaitFor([&] { return events() >= kItems / 2; }, 40000)) << events() << " events";
  ::kill(p->processId(), SIGKILL);
  ASSERT_TRUE(p->waitForFinished(15000));
  const qsizetype atKill = events();
  ASSERT_LT(atKill, kItems) << "the import was over before the kill";
  ASSERT_TRUE(QFileInfo(package).isDir());

  p = Launch("k");
  EXPECT_TRUE(WaitFor([&] { return !QFileInfo::exists(package); }, 40000)) << events() << " events";
  ::kill(p->processId(), SIGTERM);
  ASSERT_TRUE(p->waitForFinished(15000));

  QStringList subjects;
  static const QRegularExpression summary(QStringLiteral("^SUMMARY:(.*?)\\r?$"), QRegularExpression::MultilineOption);
  for (const QString& name : QDir(calendarDir).entryList({"*.ics"}, QDir::Files))
    subjects << summary.match(QString::fromUtf8(ReadAll(calendarDir + "/" + name))).captured(1);
  subjects.sort();
  QStringList expected;
  for (int i = 0; i < kItems; ++i) expected << QStringLiteral("Event %1").arg(i);
  expected.sort();
  EXPECT_TRUE(subjects == expected) << subjects.size() << " events, "
                                    << QSet<QString>(subjects.begin(), subjects.end()).size() << " distinct, "
                                    << atKill << " at the kill";
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QCoreApplication>(argc, argv); }
