// Start-up when the messaging library cannot be had. A test executable of its
// own: the loader is process-wide, and here it must never load a library.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/test_main.h"

#include "app/exception_hook.h"
#include "app/main_form.h"
#include "tests/support/wait.h"

namespace {

class StartupFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    qputenv("XDG_DATA_HOME", (home_.path() + "/data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home_.path().toLocal8Bit());
    qputenv("LINTROVE_COMMON_FILES_DIR", (home_.path() + "/common").toLocal8Bit());
    dataDir_ = home_.path() + "/data/Varnel/Lintrove";
  }
  QTemporaryDir home_;
  QString dataDir_;
};

TEST_F(StartupFailure, MissingLibraryTellsTheUserAndEnds) {
  // Answer the message box the way a user would, and keep its text.
  QString shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->windowTitle() + "|" + box->text();
      box->accept();
    }
  });
  closer.start(20);

  const QString expectedPath = home_.path() + "/data/Varnel/vasnik.so";
  EXPECT_EQ(TMainForm::LibraryLocation(), expectedPath);
  {
    TMainForm form({"lintrove", "gui"});
    EXPECT_TRUE(form.Terminated());
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.RSession.IsNull());
  }
  EXPECT_EQ(shown, "Lintrove|Microsoft Office Outlook is not available.");
  // The data directory and its log exist; no Inbox, no Outbox.
  const QByteArray log = ReadAll(dataDir_ + "/error.log");
  EXPECT_TRUE(log.contains(("Could not load \"" + expectedPath + "\": ").toUtf8())) << log.constData();
  EXPECT_FALSE(QFileInfo::exists(dataDir_ + "/Inbox"));
  EXPECT_FALSE(QFileInfo::exists(dataDir_ + "/Outbox"));
  EXPECT_FALSE(QFileInfo::exists(dataDir_ + "/user.uxm"));
}

TEST_F(StartupFailure, CommonFilesCopyWinsWhenItExists) {
  QDir().mkpath(home_.path() + "/common/Varnel");
  QFile f(home_.path() + "/common/Varnel/vasnik.so");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  EXPECT_EQ(TMainForm::LibraryLocation(), home_.path() + "/common/Varnel/vasnik.so");
}

TEST_F(StartupFailure, UnderTheCompanionsNameTheCompanionStartsWithoutAMessage) {
  // The program copied under the name "Hollin", and a companion on PATH that
  // leaves a mark.
  const QString bin = home_.path() + "/bin";
  QDir().mkpath(bin);
  ASSERT_TRUE(QFile::copy(LINTROVE_EXE, bin + "/Hollin"));
  const QString marker = home_.path() + "/companion-started";
  QFile companion(bin + "/Hollin-bit");
  ASSERT_TRUE(companion.open(QIODevice::WriteOnly));
  companion.write(("#!/bin/sh\ntouch '" + marker + "'\n").toUtf8());
  companion.close();
  companion.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PATH", bin + ":/usr/bin:/bin");
  env.insert("QT_QPA_PLATFORM", "offscreen");
  p.setProcessEnvironment(env);
  p.start(bin + "/Hollin", {"gui"});
  // A message box would keep the process waiting for a click.
  ASSERT_TRUE(p.waitForFinished(20000)) << "the program did not end: a message box is waiting";
  EXPECT_TRUE(WaitFor([&] { return QFile::exists(marker); }));
  EXPECT_FALSE(QFileInfo::exists(dataDir_ + "/Outbox"));
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv); }
