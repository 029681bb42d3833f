// The controller headless against a temporary data directory.
#include "app/main_form.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/test_main.h"

#include "app/about_form.h"
#include "app/exception_hook.h"
#include "app/product.h"
#include "tests/support/wait.h"

namespace {

[[gnu::noinline]] void ThrowRuntimeError(const char* text) { throw std::runtime_error(text); }

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    qputenv("XDG_DATA_HOME", (home_.path() + "/data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home_.path().toLocal8Bit());
    dataDir_ = home_.path() + "/data/Varnel/Lintrove";
  }

  std::unique_ptr<TMainForm> Start(QStringList args = {"lintrove"}) {
    auto form = std::make_unique<TMainForm>(args);
    EXPECT_FALSE(form->IsSecondInstance());
    return form;
  }

  QString Config() const { return dataDir_ + "/config.xml"; }

  QTemporaryDir home_;
  QString dataDir_;
};

TEST_F(MainFormTest, StartUpMakesTheDataDirectoryAndStaysInTheTray) {
  auto form = Start();
  EXPECT_EQ(form->AppName, "Lintrove");
  EXPECT_EQ(form->DataDir, dataDir_);
  EXPECT_TRUE(QFileInfo(dataDir_ + "/Inbox").isDir());
  EXPECT_TRUE(QFileInfo(dataDir_ + "/Outbox").isDir());
  EXPECT_EQ(form->InboxDir, dataDir_ + "/Inbox/");
  EXPECT_EQ(form->OutboxDir, dataDir_ + "/Outbox/");
  EXPECT_EQ(form->aXMLStorage.FileName(), dataDir_ + "/config.xml");
  EXPECT_EQ(form->zEXML.FileName(), dataDir_ + "/user.uxm");
  EXPECT_FALSE(form->FirstShow);
  EXPECT_TRUE(form->HintText().startsWith("To sync follow these example steps : <b>1) </b>Select folder"));
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->zTimer->isActive());
  EXPECT_TRUE(form->zTimerSup->isActive());
  EXPECT_FALSE(form->zTimer2->isActive());
  // Start-up changes nothing, so nothing is written, however long it runs.
  WaitFor([] { return false; }, 300);
  EXPECT_FALSE(QFile::exists(Config()));
  EXPECT_FALSE(QFile::exists(dataDir_ + "/user.uxm"));
}

TEST_F(MainFormTest, OnlyTheExactArgumentGuiShowsTheWindow) {
  EXPECT_TRUE(Start({"lintrove", "gui"})->isVisible());
  EXPECT_FALSE(Start({"lintrove", "GUI"})->isVisible());
  EXPECT_FALSE(Start({"lintrove", "x", "gui"})->isVisible());
}

TEST_F(MainFormTest, MonitoredFoldersAreLoadedAtStartAndWrittenAtClose) {
  WriteAll(Config(),
           "<?xml version=\"1.0\" encoding=\"Windows-1252\" standalone=\"no\"?>\r\n<Configuration>\r\n  <MainForm>\r\n"
           "    <MonitoredFolders>00000000BB,00000000aa</MonitoredFolders>\r\n  </MainForm>\r\n</Configuration>\r\n");
  {
    auto form = Start({"lintrove", "gui"});
    EXPECT_EQ(form->MonitoredFolders.Items(), QStringList({"00000000aa", "00000000BB"}));
    form->MonitoredFolders.Add("00000000CC");
    form->close();  // hides; the list goes to the configuration
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->aFormStorage.ReadString("MonitoredFolders", "?"), "00000000aa,00000000BB,00000000CC");
  }
  // Destroying the window wrote "config.xml".
  const QByteArray config = ReadAll(Config());
  EXPECT_TRUE(config.contains("<MonitoredFolders>00000000aa,00000000BB,00000000CC</MonitoredFolders>\r\n"));
  EXPECT_TRUE(config.contains("<NormPos>"));
  EXPECT_TRUE(config.contains("<FoldersPanel_Width>"));
}

TEST_F(MainFormTest, MissingMonitoredFoldersStartsEmpty) {
  auto form = Start();
  EXPECT_TRUE(form->MonitoredFolders.IsEmpty());
}

TEST_F(MainFormTest, ExitWritesUserDataAndConfiguration) {
  {
    auto form = Start();
    form->zEXML.WriteString("END\\Folders\\00000000AB", "0123456789ABCDEF0123456789ABCDEF");
    form->MonitoredFolders.Add("00000000AB");
    form->Exit1Click();  // window never shown: FormClose still saves the list
  }
  EXPECT_TRUE(ReadAll(dataDir_ + "/user.uxm").contains("<00000000AB>0123456789ABCDEF0123456789ABCDEF</00000000AB>"));
  EXPECT_TRUE(ReadAll(Config()).contains("<MonitoredFolders>00000000AB</MonitoredFolders>"));
  // A window that was never displayed leaves any stored placement alone.
  EXPECT_FALSE(ReadAll(Config()).contains("<NormPos>"));
}

// Regression: a config.xml that did not parse was replaced at exit by one
// without the sharing sections it held, and packages were taken meanwhile.
TEST_F(MainFormTest, DamagedSettingsPauseSharingAndAreNeverWrittenOver) {
  const QByteArray damaged =
      "<?xml version=\"1.0\" encoding=\"Windows-1252\" standalone=\"no\"?>\r\n<Configuration>\r\n  <MainForm>\r\n"
      "    <MonitoredFolders>00000000AA</MonitoredFolders>\r\n    <SharedFolders>\r\n      <00000000AA>\r\n"
      "        <UserCount>1</UserCount>\r\n        <User0><Email>partner@x.org</Em";
  WriteAll(Config(), damaged);
  {
    auto form = Start();
    EXPECT_EQ(form->DamagedSettings, QStringList({Config()}));
    EXPECT_TRUE(form->StatusText().startsWith("Sharing is paused: config.xml could not be read"))
        << form->StatusText().toStdString();
    form->MonitoredFolders.Add("00000000BB");
    form->SaveNow();
    form->Exit1Click();
  }
  EXPECT_EQ(ReadAll(Config()), damaged);
  EXPECT_EQ(ReadAll(Config() + ".damaged"), damaged);
  const QByteArray log = ReadAll(dataDir_ + "/error.log");
  EXPECT_TRUE(log.contains("could not be read") && log.contains("config.xml.damaged")) << log.constData();
}

TEST_F(MainFormTest, TheGuardTickEmptiesTheGuardAndStops) {
  auto form = Start();
  form->UpdatedItems.Add("A");
  form->UpdatedItems.Add("A");
  form->zTimer2->start();
  form->zTimer2Timer();
  EXPECT_FALSE(form->zTimer2->isActive());
  EXPECT_TRUE(form->UpdatedItems.IsEmpty());
}

TEST_F(MainFormTest, SendRequestsInABurstLeadToATickNotToAnEndlessDelay) {
  // Each press of "Send Receive" arms the packing timer; one that runs keeps
  // its interval, so presses faster than the interval still see it fire.
  auto form = Start();
  form->zTimer->setInterval(200);
  int ticks = 0;
  QObject::connect(form->zTimer, &QTimer::timeout, [&] { ++ticks; });
  for (int press = 0; press < 150 && ticks == 0; ++press) {
    form->SendButtonClick();
    WaitFor([] { return false; }, 20);
  }
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(form->zTimer->isActive()) << "the pass stops its timer";
}

TEST_F(MainFormTest, TrayToggleAndAnotherCopyShowTheWindow) {
  auto form = Start();
  form->HideShowItemClick();
  EXPECT_TRUE(form->isVisible());
  form->TrayIconDblClick();
  EXPECT_FALSE(form->isVisible());
  form->aAppInstancesInstanceCreated(1234);
  EXPECT_TRUE(form->isVisible());
}

TEST_F(MainFormTest, EveryRaisedExceptionIsLoggedWhileTheFormLives) {
  {
    auto form = Start();
    try {
      ThrowRuntimeError("boom > bang");
    } catch (const std::exception&) {
      // swallowed, as the synchronisation code does
    }
  }
  const QByteArray log = ReadAll(dataDir_ + "/error.log");
  EXPECT_TRUE(log.contains("]Error>Exception std::runtime_error: boom >> bang>\r\n")) << log.constData();
  EXPECT_TRUE(log.contains("handles exception)"));

  // After FormDestroy the hook no longer writes to this log.
  const qint64 size = log.size();
  try {
    ThrowRuntimeError("after");
  } catch (...) {
  }
  EXPECT_EQ(ReadAll(dataDir_ + "/error.log").size(), size);
}

TEST_F(MainFormTest, ExceptionsOfHandlersAreTrappedAndLogged) {
  auto form = Start();
  bool ran = false;
  form->Trap([&] {
    ran = true;
    ThrowRuntimeError("handler failed");
  });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(ReadAll(dataDir_ + "/error.log").contains("handler failed"));
}

TEST_F(MainFormTest, DamagedConfigurationIsKeptAsideAndStartUpGoesOn) {
  WriteAll(Config(), "<?xml version=\"1.0\"?>\r\n<Configuration>\r\n  <MainForm>\r\n    <MonitoredFolders>00A</Monit");
  {
    auto form = Start();
    EXPECT_TRUE(QFileInfo(dataDir_ + "/Inbox").isDir());
    EXPECT_FALSE(ReadAll(dataDir_ + "/error.log").isEmpty());
  }
  EXPECT_TRUE(ReadAll(Config() + ".damaged").endsWith("</Monit"));
  EXPECT_TRUE(ReadAll(Config()).startsWith("<?xml"));
}

// ---- Error report through a stand-in for xdg-email -------------------------

class ErrorReportTest : public MainFormTest {
 protected:
  void SetUp() override {
    MainFormTest::SetUp();
    oldPath_ = qgetenv("PATH");
    bin_ = home_.path() + "/bin";
    QDir().mkpath(bin_);
    // Only our stand-in client is on the path, never the machine's own.
    qputenv("PATH", bin_.toLocal8Bit());
  }
  void TearDown() override { qputenv("PATH", oldPath_); }

  void InstallMailClient(int exitCode) {
    const QString script = bin_ + "/xdg-email";
    WriteAll(script, QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n--\\n' \"$a\"; done > '%1/args'\nexit %2\n")
                         .arg(home_.path())
                         .arg(exitCode)
                         .toLocal8Bit());
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }

  QStringList Arguments() {
    QStringList args = QString::fromUtf8(ReadAll(home_.path() + "/args")).split("\n--\n");
    args.removeAll(QString());
    return args;
  }

  std::unique_ptr<TAboutForm> About(TMainForm& form) {
    auto about = std::make_unique<TAboutForm>(
        [&form] {
          return TAboutForm::ReportSource{form.AppName, "16.0.0.0", form.DataDir + "/error.log",
                                          form.DataDir + "/config.xml"};
        },
        &form);
    form.SetAboutForm(about.get());
    return about;
  }

  QByteArray oldPath_;
  QString bin_;
};

TEST_F(ErrorReportTest, ReportGoesToTheMailClientWithLogAndConfiguration) {
  InstallMailClient(0);
  WriteAll(Config(), "<?xml version=\"1.0\" encoding=\"Windows-1252\" standalone=\"no\"?>\r\n<Configuration/>\r\n");
  auto form = Start();
  auto about = About(*form);
  try {
    ThrowRuntimeError("something to report");  // creates error.log
  } catch (...) {
  }
  form->SendErrorReportClick();
  const QStringList args = Arguments();
  const QString subject = "Lintrove " + product::Version() + " support request";
  ASSERT_GE(args.size(), 9) << args.join('|').toStdString();
  EXPECT_EQ(args.mid(0, 3), QStringList({"--utf8", "--subject", subject}));
  EXPECT_EQ(args[3], "--body");
  EXPECT_TRUE(args[4].startsWith("Please describe your problem here.\r\n\r\nWindows version: "));
  EXPECT_TRUE(args[4].endsWith("\r\nOffice version: 16.0.0.0"));
  EXPECT_EQ(args.mid(5), QStringList({"--attach", dataDir_ + "/error.log", "--attach", Config(), product::kSupportAddress}));
}

TEST_F(ErrorReportTest, WithoutFilesTheReportHasNoAttachments) {
  InstallMailClient(0);
  auto form = Start();
  auto about = About(*form);
  // Whatever start-up may have logged, the report looks at the files as they are.
  QFile::remove(dataDir_ + "/error.log");
  ASSERT_FALSE(QFile::exists(Config()));
  about->SendErrorReportButtonClick();
  const QStringList args = Arguments();
  EXPECT_FALSE(args.contains("--attach"));
  EXPECT_EQ(args.last(), product::kSupportAddress);
}

TEST_F(ErrorReportTest, MissingOrFailingClientRaisesTheMessages) {
  auto form = Start();
  auto about = About(*form);
  try {
    about->SendErrorReportButtonClick();
    FAIL() << "no client must fail";
  } catch (const MailClientError& e) {
    EXPECT_STREQ(e.what(), "No Simple MAPI client installed, cannot send the message");
  }
  InstallMailClient(4);
  try {
    about->SendErrorReportButtonClick();
    FAIL() << "a failing client must fail";
  } catch (const MailClientError& e) {
    EXPECT_STREQ(e.what(), "MAPI Error: (4) \"The action failed\"");
  }
  // Both were logged by the hook.
  const QByteArray log = ReadAll(dataDir_ + "/error.log");
  EXPECT_TRUE(log.contains("No Simple MAPI client installed"));
  EXPECT_TRUE(log.contains("MAPI Error: (4)"));
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
