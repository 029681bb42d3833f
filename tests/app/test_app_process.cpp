// The real program as separate processes: the single-instance rule and the
// orderly exit on termination signals.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>

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

}  // namespace

int main(int argc, char** argv) { return RunTests<QCoreApplication>(argc, argv); }
