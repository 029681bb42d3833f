#pragma once
// Test fixture: a temporary profile directory, a session logged on to it,
// and the log lines the store reported.

#include "standin/store/constants.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/session.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

class VasnikTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    vasnik::SetLogHandler([this](const QString& line) { log_.append(line); });
  }
  void TearDown() override {
    if (session_) session_->Logoff();
    vasnik::SetLogHandler({});
  }

  QString ProfileDir() const { return temp_.path() + QStringLiteral("/profile"); }
  QString TempPath(const QString& name) const { return temp_.path() + u'/' + name; }

  // Writes profile.ini first when text is given; otherwise the first log-on
  // creates the default profile.
  void Logon(const QByteArray& profileIni = {}) {
    if (!profileIni.isEmpty()) {
      QDir().mkpath(ProfileDir());
      WriteBytes(ProfileDir() + QStringLiteral("/profile.ini"), profileIni);
    }
    session_ = vasnik::Session::Create();
    session_->Logon(ProfileDir());
  }

  static void WriteBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
  }
  static QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  std::shared_ptr<vasnik::Folder> Default(int kind) const { return session_->GetDefaultFolder(kind); }

  // Files that count as items of a Maildir folder (cur/ and new/).
  static int MaildirFiles(const std::shared_ptr<vasnik::Folder>& folder) {
    const QDir dir(folder->Directory());
    return int(QDir(dir.filePath("cur")).entryList(QDir::Files).size() +
               QDir(dir.filePath("new")).entryList(QDir::Files).size());
  }

  QTemporaryDir temp_;
  std::shared_ptr<vasnik::Session> session_;
  QStringList log_;
};

inline std::string S(const QString& text) { return text.toStdString(); }
