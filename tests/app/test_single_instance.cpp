#include "app/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <thread>

#include <csignal>
#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/test_main.h"

#include "tests/support/wait.h"

namespace {

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime_.isValid());
    ASSERT_TRUE(data_.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
  }
  QString DataDir(const QString& name) const { return data_.path() + u'/' + name; }

  QTemporaryDir runtime_;
  QTemporaryDir data_;
};

TEST_F(SingleInstance, SecondCopyNotifiesTheFirstAndIsRefused) {
  AppInstances first(nullptr, "key-a", DataDir("a"));
  ASSERT_TRUE(first.Register({"lintrove"}));
  QSignalSpy spy(&first, &AppInstances::InstanceCreated);

  // The second copy's Register blocks until the first answers, so the first
  // copy's side runs on a helper thread's event loop here.
  AppInstances second(nullptr, "key-a", DataDir("a"));
  bool secondIsFirst = true;
  std::thread t([&] { secondIsFirst = second.Register({"lintrove", "gui"}); });
  EXPECT_TRUE(WaitFor([&] { return spy.count() == 1; }));
  t.join();
  EXPECT_FALSE(secondIsFirst);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.at(0).at(1).toStringList(), QStringList({"lintrove", "gui"}));
}

TEST_F(SingleInstance, OtherKeysAreIndependentOnlyOnOtherDataDirectories) {
  AppInstances a(nullptr, "key-a", DataDir("a"));
  AppInstances b(nullptr, "key-b", DataDir("b"));
  EXPECT_TRUE(a.Register({}));
  EXPECT_TRUE(b.Register({}));

  // Another session on a's data directory: refused, and a is asked to show.
  QSignalSpy spy(&a, &AppInstances::InstanceCreated);
  AppInstances c(nullptr, "key-c", DataDir("a"));
  bool cIsFirst = true;
  std::thread t([&] { cIsFirst = c.Register({"gui"}); });
  EXPECT_TRUE(WaitFor([&] { return spy.count() == 1; }));
  t.join();
  EXPECT_FALSE(cIsFirst);
}

TEST_F(SingleInstance, StaleSocketOfACrashedCopyIsTakenOver) {
  {
    AppInstances crashed(nullptr, "key-a", DataDir("a"));
    ASSERT_TRUE(crashed.Register({}));
  }
  // A socket file nobody listens on, as a killed copy leaves behind.
  AppInstances probe(nullptr, "key-a", DataDir("a"));
  QFile stale(probe.ServerName());
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  AppInstances next(nullptr, "key-a", DataDir("a"));
  EXPECT_TRUE(next.Register({}));
}

// The program itself: a copy started from a terminal of one desktop session
// and one started by the service manager (another runtime directory, no
// session id) on the same data directory.
class OneDataDirectory : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.isValid()); }

  std::unique_ptr<QProcess> Launch(const QString& runtime, const QString& session, QStringList args = {}) {
    // A runtime directory must be private, or Qt picks another one.
    QDir().mkpath(home_.path() + u'/' + runtime);
    QFile::setPermissions(home_.path() + u'/' + runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home_.path() + "/data");
    env.insert("XDG_RUNTIME_DIR", home_.path() + u'/' + runtime);
    if (session.isEmpty())
      env.remove("XDG_SESSION_ID");
    else
      env.insert("XDG_SESSION_ID", session);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(LINTROVE_EXE, args);
    EXPECT_TRUE(p->waitForStarted());
    return p;
  }

  QString DataDir() const { return home_.path() + "/data/Varnel/Lintrove"; }
  // The copy that holds the data directory names its socket in the lock file.
  bool WaitHeldFrom(const QString& runtime) {
    const QByteArray prefix = (home_.path() + u'/' + runtime + u'/').toUtf8();
    const bool held = WaitFor([&] { return ReadAll(DataDir() + "/instance.lock").startsWith(prefix); }, 15000);
    EXPECT_TRUE(held) << "lock file: " << ReadAll(DataDir() + "/instance.lock").toStdString();
    return held;
  }

  QTemporaryDir home_;
};

TEST_F(OneDataDirectory, SecondCopyOfAnotherSessionEndsAndAKilledCopyBlocksNothing) {
  auto terminal = Launch("run1", "7");
  ASSERT_TRUE(WaitHeldFrom("run1"));
  ASSERT_TRUE(WaitFor([&] { return QFileInfo(DataDir() + "/Outbox").isDir(); }, 15000));

  auto service = Launch("run2", QString(), {"gui"});
  ASSERT_TRUE(service->waitForFinished(15000));
  EXPECT_EQ(service->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(service->exitCode(), 0);
  EXPECT_EQ(terminal->state(), QProcess::Running);
  EXPECT_TRUE(ReadAll(DataDir() + "/instance.lock").startsWith((home_.path() + "/run1/").toUtf8()));

  // Killed, the first copy leaves its lock file and socket behind; the next
  // start, of the other session, runs.
  ::kill(terminal->processId(), SIGKILL);
  ASSERT_TRUE(terminal->waitForFinished(15000));
  auto next = Launch("run2", QString());
  ASSERT_TRUE(WaitHeldFrom("run2"));
  EXPECT_FALSE(next->waitForFinished(1000));
  EXPECT_EQ(next->state(), QProcess::Running);
  ::kill(next->processId(), SIGTERM);
  ASSERT_TRUE(next->waitForFinished(15000));
  EXPECT_EQ(next->exitCode(), 0);
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QCoreApplication>(argc, argv); }
