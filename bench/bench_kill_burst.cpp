// Ten kills during a burst, tried as a user would: two peers share their
// calendars over the test mail server, each with 2 000 events of its own;
// then both sides make new events, edit and delete with khal while side A
// is ended with SIGKILL at random moments and started again after each;
// then all is quiet. At the end both calendars hold the same events, each
// once, exactly those the changes leave, and no "Dummy" placeholder.
//
// The 2 000 events per side are written as the vdir files khal writes (one
// "<uid>.ics" per event, written beside and renamed in) while the program
// runs: khal import of 4 000 events alone would take longer than the run.
// The changes of the burst go through khal.
//
// Each event is changed by one side only (by the parity of its number,
// whichever side made it), so two edits of the same event never cross on
// the wire: what differs at the end is a loss or a duplicate, not a
// conflict of two writers.
//
// Run by hand (not by ctest; it takes many minutes):
//   build/bench/bench_kill_burst
// Environment: KILL_BURST_EVENTS (2000 per side), KILL_BURST_KILLS (10),
// KILL_BURST_SEED (random), KILL_BURST_KEEP=1 keeps the peers' homes.
#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

#include "tests/support/mail_server.h"
#include "tests/support/peer.h"
#include "tests/support/test_main.h"

namespace {

using namespace peers;

int EnvInt(const char* name, int fallback) {
  bool ok = false;
  const int value = qEnvironmentVariableIntValue(name, &ok);
  return ok ? value : fallback;
}

void Say(const QString& line) {
  std::cout << "[ burst    ] " << QTime::currentTime().toString("HH:mm:ss").toStdString() << ' ' << line.toStdString()
            << std::endl;
}

// Event n of a side: "evA0007" etc., a token no other event's title contains.
QString Token(QChar side, int n) { return QStringLiteral("ev%1%2").arg(side).arg(n, 4, 10, QChar(u'0')); }

QString Day(int n) { return QDate(2031, 3, 1).addDays(n % 270).toString(Qt::ISODate); }

// Writes the events as khal would: one file per event, renamed in.
void WriteEvents(const Peer& p, QChar side, int count, QMap<QString, QString>& model) {
  for (int n = 1; n <= count; ++n) {
    const QString token = Token(side, n);
    const QString title = token + QStringLiteral(" first");
    const QString day = QString(Day(n)).remove(u'-');
    const QString hour = QStringLiteral("%1").arg(8 + n % 10, 2, 10, QChar(u'0'));
    const QByteArray ics = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//burst//EN\r\nBEGIN:VEVENT\r\nUID:" + token +
                            "-uid\r\nDTSTAMP:20310101T000000Z\r\nDTSTART:" + day + "T" + hour + "0000Z\r\nDTEND:" +
                            day + "T" + hour + "3000Z\r\nSUMMARY:" + title + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
                               .toUtf8();
    QFile file(p.CalendarDir() + "/." + token + ".tmp");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ics);
    file.close();
    ASSERT_TRUE(QFile::rename(file.fileName(), p.CalendarDir() + u'/' + token + "-uid.ics"));
    model.insert(token, title);
  }
}

QStringList Expected(const QMap<QString, QString>& model) {
  QStringList titles = model.values();
  titles.sort();
  return titles;
}

// What differs between a side and the expected titles: missing, extra and
// doubled titles, at most a few of each.
QString Difference(const QStringList& have, const QStringList& want) {
  QMap<QString, int> count;
  for (const QString& t : have) ++count[t];
  QStringList missing, extra, doubled;
  const QSet<QString> wanted(want.begin(), want.end());
  for (const QString& t : want)
    if (!count.contains(t)) missing << t;
  for (auto it = count.begin(); it != count.end(); ++it) {
    if (!wanted.contains(it.key())) extra << it.key();
    if (it.value() > 1) doubled << it.key();
  }
  return QStringLiteral("%1 events, %2 missing (%3), %4 extra (%5), %6 doubled (%7)")
      .arg(have.size())
      .arg(missing.size())
      .arg(missing.mid(0, 8).join(", "))
      .arg(extra.size())
      .arg(extra.mid(0, 8).join(", "))
      .arg(doubled.size())
      .arg(doubled.mid(0, 8).join(", "));
}

TEST(KillBurst, TenKillsDuringABurstEndIdentical) {
  ASSERT_FALSE(QStandardPaths::findExecutable("khal").isEmpty()) << "khal is not installed";
  const int events = EnvInt("KILL_BURST_EVENTS", 2000);
  const int kills = EnvInt("KILL_BURST_KILLS", 10);
  const quint32 seed = quint32(EnvInt("KILL_BURST_SEED", int(QRandomGenerator::global()->bounded(1000000))));
  QRandomGenerator random(seed);
  Say(QStringLiteral("seed %1, %2 events per side, %3 kills").arg(seed).arg(events).arg(kills));

  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  root.setAutoRemove(qEnvironmentVariableIsEmpty("KILL_BURST_KEEP"));
  Say("homes in " + root.path());
  MailServer server;
  Peer a, b;
  a.name = "a", a.address = "a@peers.test";
  b.name = "b", b.address = "b@peers.test";
  ASSERT_NO_FATAL_FAILURE(PreparePeers(root.path(), server, {&a, &b}));
  ASSERT_NO_FATAL_FAILURE(Share(a, b.address, "Allow"));
  ASSERT_NO_FATAL_FAILURE(Share(b, a.address, "Allow"));
  const QString k = a.FolderKey();
  ASSERT_NO_FATAL_FAILURE(MapRows(a, {{"DEN\\Folders\\" + k, a.folderId}, {"DEN\\FoldersSID\\" + k, a.storeId}}));
  ASSERT_NO_FATAL_FAILURE(MapRows(
      b, {{"DEN\\Folders\\" + k, b.folderId}, {"DEN\\FoldersSID\\" + k, b.storeId}, {"END\\Folders\\" + b.folderId, k}}));
  struct Ending {
    Peer &a, &b;
    MailServer& server;
    ~Ending() {
      KillAll({&a, &b});
      server.Stop();
    }
  } ending{a, b, server};
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());

  // The starting calendars: each side's events reach the other.
  QMap<QString, QString> model;  // token -> the title it has now
  QElapsedTimer clock;
  clock.start();
  ASSERT_NO_FATAL_FAILURE(WriteEvents(a, u'A', events, model));
  ASSERT_NO_FATAL_FAILURE(WriteEvents(b, u'B', events, model));
  const QStringList start = Expected(model);
  const int settleMs = 12 * 60 * 1000;
  const bool settled = Eventually([&] { return a.Summaries() == start && b.Summaries() == start; }, settleMs);
  ASSERT_TRUE(settled) << "A: " << Difference(a.Summaries(), start).toStdString()
                       << "\nB: " << Difference(b.Summaries(), start).toStdString();
  Say(QStringLiteral("before the burst: A %1, B %2 events, converged in %3 s")
          .arg(a.Summaries().size())
          .arg(b.Summaries().size())
          .arg(clock.elapsed() / 1000.0));
  // khal builds its cache of the calendar once, outside the burst.
  a.Khal({"list", "2031-03-01", "2031-03-02"});
  b.Khal({"list", "2031-03-01", "2031-03-02"});

  // The burst: changes on both sides, one at a time, alternating; A is
  // killed at random moments and started again a moment later.
  int next[2] = {events, events};
  int made[2][3] = {};  // per side: new, edit, delete
  int kill = 0;
  bool aDown = false;
  QElapsedTimer burst;
  burst.start();
  qint64 killAt = 3000 + random.bounded(15000), restartAt = 0;
  int changes = 0;
  // Every change and kill with its time, to look up what became of an event.
  QFile journal(root.path() + "/journal.txt");
  ASSERT_TRUE(journal.open(QIODevice::WriteOnly | QIODevice::Text));
  const auto note = [&](const QString& line) {
    journal.write((QTime::currentTime().toString("HH:mm:ss.zzz ") + line + u'\n').toUtf8());
    journal.flush();
  };
  while (kill < kills || aDown || changes < 40) {
    const qint64 now = burst.elapsed();
    if (!aDown && kill < kills && now >= killAt) {
      a.Kill();
      ++kill;
      aDown = true;
      restartAt = now + random.bounded(4000);
      Say(QStringLiteral("kill %1 of A at %2 s, %3 changes made").arg(kill).arg(now / 1000.0).arg(changes));
      note(QStringLiteral("kill %1").arg(kill));
    }
    if (aDown && now >= restartAt) {
      note("start");
      ASSERT_TRUE(a.Start());
      note("started");
      aDown = false;
      killAt = burst.elapsed() + 4000 + random.bounded(20000);
    }
    const int s = changes % 2;  // 0: A, 1: B
    const Peer& p = s == 0 ? a : b;
    const QChar side = s == 0 ? u'A' : u'B';
    // The events this side changes: those of its parity that are there.
    QStringList mine;
    for (auto it = model.begin(); it != model.end(); ++it)
      if (it.key().right(4).toInt() % 2 == s) mine << it.key();
    const int roll = int(random.bounded(10));
    if (roll < 4 || mine.isEmpty()) {
      // A new event; its number's parity makes it this side's.
      int n = ++next[s];
      if (n % 2 != s) n = ++next[s];
      const QString token = Token(side, n);
      const QString title = token + QStringLiteral(" new");
      p.Khal({"new", "-a", "cal", Day(n), "12:00", "13:00", title});
      model.insert(token, title);
      note(QStringLiteral("%1 new %2").arg(side).arg(token));
      ++made[s][0];
    } else {
      const QString token = mine[int(random.bounded(qsizetype(mine.size())))];
      if (roll < 8) {
        const QString title = token + QStringLiteral(" edit %1").arg(changes);
        p.Khal({"edit", token}, ("s\n" + title + "\nn\n").toUtf8());
        model[token] = title;
        note(QStringLiteral("%1 edit %2").arg(side).arg(token));
        ++made[s][1];
      } else {
        p.Khal({"edit", token}, "D\ny\n");
        model.remove(token);
        note(QStringLiteral("%1 delete %2").arg(side).arg(token));
        ++made[s][2];
      }
    }
    ++changes;
  }
  Say(QStringLiteral("burst over after %1 s: %2 changes (A: %3 new, %4 edits, %5 deletions; B: %6 new, %7 edits, %8 "
                     "deletions), %9 kills")
          .arg(burst.elapsed() / 1000.0)
          .arg(changes)
          .arg(made[0][0])
          .arg(made[0][1])
          .arg(made[0][2])
          .arg(made[1][0])
          .arg(made[1][1])
          .arg(made[1][2])
          .arg(kill));

  // Quiet: both sides end with exactly what the changes leave.
  const QStringList end = Expected(model);
  clock.restart();
  const bool converged = Eventually([&] { return a.Summaries() == end && b.Summaries() == end; }, settleMs);
  Say(QStringLiteral("after the burst: A %1, B %2, expected %3 events; %4 in %5 s")
          .arg(a.Summaries().size())
          .arg(b.Summaries().size())
          .arg(end.size())
          .arg(converged ? "converged" : "NOT converged")
          .arg(clock.elapsed() / 1000.0));
  EXPECT_TRUE(converged) << "A: " << Difference(a.Summaries(), end).toStdString()
                         << "\nB: " << Difference(b.Summaries(), end).toStdString();
  EXPECT_EQ(a.Summaries(), b.Summaries());
  for (const Peer* p : {&a, &b}) {
    EXPECT_FALSE(p->Summaries().contains("Dummy")) << p->name.toStdString() << " keeps a placeholder";
    Say(QStringLiteral("%1: %2 update mails sent, %3 lines in error.log")
            .arg(p->name)
            .arg(p->SentMails())
            .arg(p->ErrorLog().size()));
    for (const QString& line : p->ErrorLog().mid(0, 20)) Say("  " + line);
  }
  EXPECT_TRUE(a.Stop());
  EXPECT_TRUE(b.Stop());
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
