#include "app/single_instance.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_main.h"

#include "tests/support/wait.h"

namespace {

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime_.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
  }
  QTemporaryDir runtime_;
};

TEST_F(SingleInstance, SecondCopyNotifiesTheFirstAndIsRefused) {
  AppInstances first(nullptr, "key-a");
  ASSERT_TRUE(first.Register({"lintrove"}));
  QSignalSpy spy(&first, &AppInstances::InstanceCreated);

  // The second copy's Register blocks until the first answers, so the first
  // copy's side runs on a helper thread's event loop here.
  AppInstances second(nullptr, "key-a");
  bool secondIsFirst = true;
  std::thread t([&] { secondIsFirst = second.Register({"lintrove", "gui"}); });
  EXPECT_TRUE(WaitFor([&] { return spy.count() == 1; }));
  t.join();
  EXPECT_FALSE(secondIsFirst);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.at(0).at(1).toStringList(), QStringList({"lintrove", "gui"}));
}

TEST_F(SingleInstance, OtherKeysAreIndependent) {
  AppInstances a(nullptr, "key-a");
  AppInstances b(nullptr, "key-b");
  EXPECT_TRUE(a.Register({}));
  EXPECT_TRUE(b.Register({}));
}

TEST_F(SingleInstance, StaleSocketOfACrashedCopyIsTakenOver) {
  {
    AppInstances crashed(nullptr, "key-a");
    ASSERT_TRUE(crashed.Register({}));
  }
  // A socket file nobody listens on, as a killed copy leaves behind.
  AppInstances probe(nullptr, "key-a");
  QFile stale(probe.ServerName());
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  AppInstances next(nullptr, "key-a");
  EXPECT_TRUE(next.Register({}));
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QCoreApplication>(argc, argv); }
