#pragma once
// Test helper: one side of a sharing test, a running lintrove process with
// its own home (data directory, profile, runtime directory, khal set-up),
// talking to the others through a real SMTP server (mail_server.h).
//
//   Peer a{"a", "a@peers.test"};
//   PreparePeers(root, server, {&a, &b});   // homes, mailboxes, server, first log-on
//   ASSERT_TRUE(a.Start());
//   a.Khal({"new", ...});  ...  a.Summaries()  ...  a.Stop();
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "app/main_form.h"
#include "storage/md5.h"
#include "storage/sharing.h"
#include "storage/xml_storage.h"
#include "tests/support/mail_server.h"

#ifndef LINTROVE_EXECUTABLE
#error "LINTROVE_EXECUTABLE must name the built program"
#endif
#ifndef LINTROVE_BUILD_LIB
#error "LINTROVE_BUILD_LIB must name the build's lib directory"
#endif

namespace peers {

constexpr int kCalendar = 9;
// One hop is the packing delay (10 s), the mail and the intake; the margin
// is for a loaded machine.
constexpr int kHopMs = 45000;
constexpr int kStartMs = 20000;

// Polls a condition until it holds or time is up; the conditions read a few
// small files, so a fifth of a second between looks costs nothing.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents();  // the child processes' state comes through the loop
    QThread::msleep(200);
  }
  return true;
}

inline QString ReadText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// The inode numbers a process watches through inotify: its store watcher's
// folders once the store events are attached.
inline QSet<quint64> WatchedInodes(qint64 pid) {
  QSet<quint64> inodes;
  const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
  static const QRegularExpression watch(QStringLiteral("inotify wd:\\S+ ino:([0-9a-f]+)"));
  for (const QString& fd : QDir(fds).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
    char target[64] = {};
    const QByteArray link = QFile::encodeName(fds + u'/' + fd);
    if (::readlink(link.constData(), target, sizeof target - 1) <= 0 || qstrcmp(target, "anon_inode:inotify") != 0)
      continue;
    const QString info = ReadText(QStringLiteral("/proc/%1/fdinfo/").arg(pid) + fd);
    for (const QRegularExpressionMatch& m : watch.globalMatch(info)) inodes.insert(m.captured(1).toULongLong(nullptr, 16));
  }
  return inodes;
}

inline quint64 Inode(const QString& path) {
  struct stat s = {};
  return ::stat(QFile::encodeName(path).constData(), &s) == 0 ? quint64(s.st_ino) : 0;
}

// One side: its home with data, profile, runtime directory and khal set-up,
// the ids of its calendar, and the running program.
struct Peer {
  QString name;
  QString address;
  QString home{};
  QString folderId{}, storeId{};
  std::unique_ptr<QProcess> process{};
  int starts = 0;
  QString stopAt{};  // the step the next start ends the program at, if any
  QString display{};  // an X display (screen.h) to show the windows on; none: offscreen

  QString Data() const { return home + "/data"; }
  QString Run() const { return home + "/run"; }
  QString DataDir() const { return Data() + "/Varnel/Lintrove"; }
  QString Profile() const { return Data() + "/vasnik/profile"; }
  QString Store() const { return Profile() + "/stores/personal"; }
  QString CalendarDir() const { return Store() + "/Calendar"; }
  QString InboxMaildir() const { return Store() + "/Inbox"; }
  QString FolderKey() const { return GetMD5(folderId); }

  // The process environment of this side, for the program and for khal.
  QProcessEnvironment Environment() const {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("HOME", home);
    e.insert("XDG_DATA_HOME", Data());
    e.insert("XDG_RUNTIME_DIR", Run());
    e.remove("VASNIK_PROFILE");
    if (display.isEmpty()) {
      e.insert("QT_QPA_PLATFORM", "offscreen");
    } else {
      e.insert("QT_QPA_PLATFORM", "xcb");
      e.insert("DISPLAY", display);
    }
    e.insert("TZ", "UTC");
    e.insert("LC_ALL", "C.UTF-8");
    if (e.value("LINTROVE_COMMON_FILES_DIR").isEmpty()) e.insert("LINTROVE_COMMON_FILES_DIR", LINTROVE_BUILD_LIB);
    e.remove("LINTROVE_STOP_AT");
    return e;
  }

  // Points this test process at the side's home, for the set-up through the
  // library.
  void UseHere() const {
    qputenv("XDG_DATA_HOME", Data().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", Run().toLocal8Bit());
    qunsetenv("VASNIK_PROFILE");
    if (qEnvironmentVariableIsEmpty("LINTROVE_COMMON_FILES_DIR")) qputenv("LINTROVE_COMMON_FILES_DIR", LINTROVE_BUILD_LIB);
  }

  // Starts the program without a window and waits until its store watcher
  // watches the calendar and the Inbox: from then on khal's changes and
  // delivered mail raise events.
  ::testing::AssertionResult Start(const QStringList& arguments = {}) {
    process = std::make_unique<QProcess>();
    QProcessEnvironment environment = Environment();
    if (!stopAt.isEmpty()) environment.insert("LINTROVE_STOP_AT", stopAt);
    process->setProcessEnvironment(environment);
    ++starts;
    process->setStandardOutputFile(home + QStringLiteral("/stdout-%1.txt").arg(starts));
    process->setStandardErrorFile(home + QStringLiteral("/stderr-%1.txt").arg(starts));
    process->start(QStringLiteral(LINTROVE_EXECUTABLE), arguments);
    if (!process->waitForStarted(kStartMs)) return ::testing::AssertionFailure() << "cannot start " << LINTROVE_EXECUTABLE;
    const bool watching = Eventually(
        [&] {
          if (process->state() != QProcess::Running) return true;
          // Looked up each time: on a first start the library makes them.
          const quint64 calendar = Inode(CalendarDir()), inbox = Inode(InboxMaildir() + "/new");
          const QSet<quint64> watched = WatchedInodes(process->processId());
          return calendar && inbox && watched.contains(calendar) && watched.contains(inbox);
        },
        kStartMs);
    if (process->state() != QProcess::Running)
      return ::testing::AssertionFailure() << name.toStdString() << " ended at start: " << Output().toStdString();
    if (!watching) return ::testing::AssertionFailure() << name.toStdString() << " does not watch its store";
    return ::testing::AssertionSuccess();
  }

  // Ends the program with SIGTERM, in order; true when it exited with 0.
  ::testing::AssertionResult Stop() {
    if (!process || process->state() == QProcess::NotRunning) return ::testing::AssertionSuccess();
    ::kill(pid_t(process->processId()), SIGTERM);
    if (!process->waitForFinished(20000)) {
      ::kill(pid_t(process->processId()), SIGKILL);
      process->waitForFinished(5000);
      return ::testing::AssertionFailure() << name.toStdString() << " did not end on SIGTERM";
    }
    if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0)
      return ::testing::AssertionFailure() << name.toStdString() << " exited with " << process->exitCode() << ": "
                                           << Output().toStdString();
    return ::testing::AssertionSuccess();
  }

  // Waits for the program to end at its stop point.
  ::testing::AssertionResult Stopped() {
    if (!process->waitForFinished(kHopMs)) return ::testing::AssertionFailure() << name.toStdString() << " did not stop";
    if (process->exitCode() != 86)
      return ::testing::AssertionFailure() << name.toStdString() << " exited with " << process->exitCode();
    stopAt.clear();
    return ::testing::AssertionSuccess();
  }

  // Ends the program as a power cut would.
  void Kill() {
    ::kill(pid_t(process->processId()), SIGKILL);
    process->waitForFinished(5000);
  }

  QString Output() const {
    return ReadText(home + QStringLiteral("/stderr-%1.txt").arg(starts)) +
           ReadText(home + QStringLiteral("/stdout-%1.txt").arg(starts));
  }

  // Lines the program wrote to stderr in any of its runs, but for Qt's
  // categorised diagnostics ("qt.").
  QStringList Complaints() const {
    QStringList lines;
    for (int i = 1; i <= starts; ++i)
      for (const QString& line : ReadText(home + QStringLiteral("/stderr-%1.txt").arg(i)).split(u'\n', Qt::SkipEmptyParts))
        if (!line.startsWith(QStringLiteral("qt."))) lines << line;
    return lines;
  }

  // khal on this side's calendar; its standard output.
  QString Khal(const QStringList& arguments, const QByteArray& input = {}) const {
    QProcess khal;
    khal.setProcessEnvironment(Environment());
    khal.start(QStringLiteral("khal"), QStringList{"-c", home + "/khal.conf"} + arguments);
    khal.write(input);
    khal.closeWriteChannel();
    if (!khal.waitForFinished(60000)) {
      ADD_FAILURE() << "khal " << arguments.join(' ').toStdString() << " hangs";
      khal.kill();
      khal.waitForFinished();
      return QString();
    }
    EXPECT_EQ(khal.exitCode(), 0) << "khal " << arguments.join(' ').toStdString() << ": "
                                  << khal.readAllStandardError().toStdString();
    return QString::fromUtf8(khal.readAllStandardOutput());
  }

  // The titles khal lists for the days of the test's events, sorted.
  QStringList KhalTitles() const {
    QStringList titles = Khal({"list", "--format", "{title}", "--day-format", "", "2031-03-01", "2031-03-31"})
                             .split(u'\n', Qt::SkipEmptyParts);
    titles.sort();
    return titles;
  }

  // The summaries of the calendar's event files, sorted: what khal will
  // list, read without starting khal.
  QStringList Summaries() const {
    QStringList summaries;
    const QDir dir(CalendarDir());
    for (const QString& file : dir.entryList({"*.ics"}, QDir::Files)) {
      const QString text = ReadText(dir.filePath(file));
      static const QRegularExpression summary(QStringLiteral("^SUMMARY:(.*?)\\r?$"),
                                              QRegularExpression::MultilineOption);
      const QRegularExpressionMatch m = summary.match(text);
      if (m.hasMatch()) summaries << m.captured(1);
    }
    summaries.sort();
    return summaries;
  }

  // The descriptions of the calendar's events, unfolded.
  QList<QByteArray> Descriptions() const {
    QList<QByteArray> descriptions;
    const QDir dir(CalendarDir());
    for (const QString& name : dir.entryList({"*.ics"}, QDir::Files)) {
      QFile f(dir.filePath(name));
      if (!f.open(QIODevice::ReadOnly)) continue;
      const QByteArray text = f.readAll().replace("\r\n ", "").replace("\n ", "");
      for (const QByteArray& line : text.split('\n'))
        if (line.startsWith("DESCRIPTION:")) descriptions << line.mid(12).trimmed();
    }
    return descriptions;
  }

  // Changes an event as "khal edit" does, without khal's start-up time, so
  // that two sides can change one event a fifth of a second apart: the
  // summary is replaced, SEQUENCE goes from none to 0 and then up by one
  // (khal leaves DTSTAMP and LAST-MODIFIED alone), and the file is written
  // beside the old one and renamed over it.
  ::testing::AssertionResult EditEvent(const QString& summary, const QString& newSummary) const {
    const QString path = EventFile(summary);
    if (path.isEmpty()) return ::testing::AssertionFailure() << name.toStdString() << " has no \"" << summary.toStdString() << '"';
    QByteArray text = ReadText(path).toUtf8();
    text.replace("SUMMARY:" + summary.toUtf8() + "\r\n", "SUMMARY:" + newSummary.toUtf8() + "\r\n");
    static const QRegularExpression sequence(QStringLiteral("\\r\\nSEQUENCE:(\\d+)\\r\\n"));
    const QRegularExpressionMatch m = sequence.match(QString::fromUtf8(text));
    if (m.hasMatch())
      text.replace(m.captured(0).toUtf8(), QStringLiteral("\r\nSEQUENCE:%1\r\n").arg(m.captured(1).toInt() + 1).toUtf8());
    else
      text.replace("\r\nEND:VEVENT", "\r\nSEQUENCE:0\r\nEND:VEVENT");
    QFile temp(CalendarDir() + "/.edit.tmp");
    if (!temp.open(QIODevice::WriteOnly) || temp.write(text) != text.size()) return ::testing::AssertionFailure() << "cannot write";
    temp.close();
    if (::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
      return ::testing::AssertionFailure() << "cannot rename";
    return ::testing::AssertionSuccess();
  }

  // Deletes an event's file, as "khal edit ... D" does.
  ::testing::AssertionResult DeleteEvent(const QString& summary) const {
    const QString path = EventFile(summary);
    if (path.isEmpty() || !QFile::remove(path))
      return ::testing::AssertionFailure() << name.toStdString() << " cannot delete \"" << summary.toStdString() << '"';
    return ::testing::AssertionSuccess();
  }

  // The calendar file whose summary is this one; empty when there is none.
  QString EventFile(const QString& summary) const {
    const QDir dir(CalendarDir());
    for (const QString& file : dir.entryList({"*.ics"}, QDir::Files))
      if (ReadText(dir.filePath(file)).contains(QStringLiteral("\nSUMMARY:") + summary + QStringLiteral("\r\n")))
        return dir.filePath(file);
    return QString();
  }

  // The program's exchange directories and package files waiting to go.
  QStringList OutboxEntries() const {
    return QDir(DataDir() + "/Outbox").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  }

  // Mails the server delivered into the Inbox that the program has not taken.
  int Delivered() const {
    return int(QDir(InboxMaildir() + "/new").entryList(QDir::Files).size() +
               QDir(InboxMaildir() + "/cur").entryList(QDir::Files).size());
  }

  // Update mails the transport handed to the server.
  int SentMails() const {
    const QString sent = Store() + "/Sent Items/";
    return int(QDir(sent + "cur").entryList(QDir::Files).size() + QDir(sent + "new").entryList(QDir::Files).size());
  }

  // The lines of error.log, if any.
  QStringList ErrorLog() const { return ReadText(DataDir() + "/error.log").split(u'\n', Qt::SkipEmptyParts); }
};

// Makes each peer's home and Inbox, gives the server a mailbox per address,
// starts the server, and logs each side on once with its profile so that its
// store and calendar exist (their ids are what the other side names); then
// writes the side's khal configuration. Without logOnHere the sides are left
// as a new user's: a profile.ini and nothing else, the store made by the
// program's first start, and no folder ids known.
inline void PreparePeers(const QString& root, MailServer& server, const std::vector<Peer*>& sides,
                         bool logOnHere = true) {
  for (Peer* p : sides) {
    p->home = root + u'/' + p->name;
    ASSERT_TRUE(QDir().mkpath(p->Run()));
    ASSERT_EQ(::chmod(QFile::encodeName(p->Run()).constData(), 0700), 0);
    for (const char* sub : {"cur", "new", "tmp"}) ASSERT_TRUE(QDir().mkpath(p->InboxMaildir() + u'/' + sub));
    server.AddMailbox(p->address, p->InboxMaildir());
  }
  ASSERT_TRUE(server.Start()) << server.Error().toStdString();
  for (Peer* p : sides) {
    {
      QSettings profile(p->Profile() + "/profile.ini", QSettings::IniFormat);
      profile.setValue("Profile/UserAddress", p->address);
      profile.setValue("Store1/Name", "Personal Folders");
      profile.setValue("Store1/Directory", "stores/personal");
      profile.setValue("SMTP/Host", "127.0.0.1");
      profile.setValue("SMTP/Port", server.Port());
    }
    if (logOnHere) {
      p->UseHere();
      {
        TMainForm form(QStringList{"lintrove"});
        ASSERT_FALSE(form.Terminated());
        const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
        p->folderId = calendar.EntryID();
        p->storeId = calendar.StoreID();
      }
      ASSERT_TRUE(QFile::exists(p->CalendarDir()));
    }
    QFile conf(p->home + "/khal.conf");
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[calendars]\n[[cal]]\npath = " + p->CalendarDir().toUtf8() +
               "\ntype = calendar\n"
               "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
               "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
               "local_timezone = UTC\ndefault_timezone = UTC\n"
               "[sqlite]\npath = " + p->home.toUtf8() + "/khal.db\n");
  }
}

// Writes the peer's sharing of its calendar with these addresses, with the
// given Modify right (Read and Write allowed), and marks it monitored.
inline void Share(const Peer& p, const QStringList& with, const QString& modify) {
  XmlStorage config(QStringLiteral("Configuration"));
  config.SetFileName(p.DataDir() + "/config.xml");
  FormStorage form(config, QStringLiteral("MainForm\\"));
  std::vector<SharingRow> rows;
  for (const QString& address : with) rows.push_back(SharingRow{true, address, modify, "Allow", "Allow"});
  WriteSharingRows(form, p.folderId, QStringLiteral("Personal Folders\\Calendar"), rows);
  form.WriteString(QStringLiteral("MonitoredFolders"), p.folderId);
  ASSERT_TRUE(config.Flush());
}

inline void MapRows(const Peer& p, const std::vector<std::pair<QString, QString>>& rows) {
  XmlStorage mapping(QStringLiteral("Info"));
  mapping.SetFileName(p.DataDir() + "/user.uxm");
  for (const auto& [key, value] : rows) mapping.WriteString(key, value);
  ASSERT_TRUE(mapping.Flush());
}

inline void Share(const Peer& p, const QString& with, const QString& modify) { Share(p, QStringList{with}, modify); }

// Ends every side that still runs, as a power cut would.
inline void KillAll(std::initializer_list<Peer*> sides) {
  for (Peer* p : sides)
    if (p->process && p->process->state() != QProcess::NotRunning) p->Kill();
}

}  // namespace peers
