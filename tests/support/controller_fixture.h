#pragma once
// A fixture for tests that run the controller against the stand-in library:
// a temporary home for the program's data and the library's profile, and the
// controller, made on first use.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <memory>

#include "app/main_form.h"
#include "ui/sharing_editor.h"

// Puts the rows into the sharing list in place of its own, as the entries
// that the next SaveFolderSettings writes.
inline void ShowRows(TMainForm& form, const std::vector<SharingRow>& rows) {
  form.SharingList->Model().Clear();
  for (const SharingRow& row : rows) form.SharingList->AppendRow(row);
}

// Points the program and the library at a directory of their own.
inline void UseHome(const QString& home) {
  qputenv("XDG_DATA_HOME", (home + "/data").toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", home.toLocal8Bit());
  qunsetenv("VASNIK_PROFILE");
}

class ControllerTest : public ::testing::Test {
 protected:
  static constexpr int kCalendar = 9;

  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    UseHome(home_.path());
  }

  TMainForm& Form() {
    if (!form_) {
      form_ = std::make_unique<TMainForm>(QStringList{"lintrove"});
      EXPECT_FALSE(form_->Terminated());
    }
    return *form_;
  }

  outlook::RdoFolder Calendar() { return Form().RSession.GetDefaultFolder(kCalendar); }
  QString Outbox() const { return home_.path() + "/data/Varnel/Lintrove/Outbox/"; }

  QTemporaryDir home_;
  std::unique_ptr<TMainForm> form_;
};
