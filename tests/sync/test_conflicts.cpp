// The same item changed on several sides before the changes meet: the rule
// that picks one winner everywhere (in process, table-driven), and running
// programs that change one event a fifth of a second and four seconds apart,
// change and delete it, and change it on three sides at once.
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <iostream>

#include "sync/incoming/conflict.h"
#include "tests/support/mail_server.h"
#include "tests/support/peer.h"
#include "tests/support/test_main.h"

namespace {

using conflict::Decision;
using conflict::Local;
using conflict::Stamps;
using conflict::Version;

QByteArray Event(const QByteArray& properties) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:u1\r\nSUMMARY:S\r\n" + properties +
         "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

TEST(ConflictRule, StampsComeFromThePrimaryComponentOnly) {
  struct Case {
    const char* what;
    QByteArray calendar;
    Stamps expected;
  };
  const Case cases[] = {
      {"nothing", Event(""), {-1, ""}},
      {"DTSTAMP with a parameter", Event("DTSTAMP;VALUE=DATE-TIME:20261209T230320Z\r\n"), {-1, "20261209T230320"}},
      {"LAST-MODIFIED before DTSTAMP",
       Event("LAST-MODIFIED:20270101T000000Z\r\nDTSTAMP:20261209T230320Z\r\nSEQUENCE:2\r\n"), {2, "20270101T000000"}},
      {"folded, lower case, LF only", "BEGIN:VEVENT\nsequence:1\n 2\nEND:VEVENT\n", {12, ""}},
      {"an alarm's and a second event's stamps do not count",
       Event("SEQUENCE:0\r\nBEGIN:VALARM\r\nSEQUENCE:9\r\nDTSTAMP:20990101T000000Z\r\nEND:VALARM\r\n") +
           "BEGIN:VEVENT\r\nSEQUENCE:5\r\nEND:VEVENT\r\n",
       {0, ""}},
      {"a negative or broken SEQUENCE is none", Event("SEQUENCE:-3\r\n"), {-1, ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(conflict::ReadStamps(c.calendar), c.expected) << c.what;
}

TEST(ConflictRule, TheCalendarPartOfAMessageFile) {
  const QByteArray calendar = Event("SEQUENCE:4\r\n");
  const QByteArray file = "X-Vasnik-Message-File: 1\r\nSubject: S\r\nContent-Type: multipart/mixed;\r\n"
                          " boundary=\"=-b1\"\r\nMIME-Version: 1.0\r\n\r\n--=-b1\r\nContent-Type: text/plain\r\n"
                          "X-Vasnik-Part: body\r\n\r\nSEQUENCE:7 in the body\r\n--=-b1\r\nContent-Type: text/calendar\r\n"
                          "Content-Transfer-Encoding: base64\r\nX-Vasnik-Part: calendar\r\n\r\n" +
                          calendar.toBase64() + "\r\n--=-b1--\r\n";
  EXPECT_EQ(conflict::CalendarText(file), calendar);
  EXPECT_EQ(conflict::ReadVersion(file, "a@x").stamps.sequence, 4);
  // A side's own item key is no difference between two versions.
  const QByteArray keyed = Event("SEQUENCE:4\r\nX-VASNIK-LOCAL-PROPERTY;X-NAME=VarnelItemKey:K1\r\n");
  EXPECT_EQ(conflict::ReadVersion("Content-Type: text/calendar\r\n\r\n" + keyed, "b@x").calendar,
            conflict::ReadVersion(file, "a@x").calendar);
  // Nor is the form another store writes the same lines in (khal's and
  // libical's), while a parameter's value still is.
  const auto calendarOf = [](const QByteArray& properties) {
    return conflict::ReadVersion("Content-Type: text/calendar\r\n\r\n" + Event(properties), "a@x").calendar;
  };
  EXPECT_EQ(calendarOf("DTSTART;VALUE=DATE-TIME:20310705T120000Z\r\nATTENDEE;RSVP=TRUE;CN=\"Ann\":mailto:a@x\r\n"),
            calendarOf("dtstart:20310705T120000Z\r\nATTENDEE;cn=Ann;RSVP=TRUE:mailto:a@x\r\n"));
  EXPECT_NE(calendarOf("DTSTART;TZID=Europe/Berlin:20310705T120000\r\n"),
            calendarOf("DTSTART;TZID=Europe/Paris:20310705T120000\r\n"));
  EXPECT_TRUE(conflict::CalendarText("Subject: a mail\r\n\r\nbody\r\n").isEmpty());
  EXPECT_TRUE(conflict::CalendarText(QByteArray()).isEmpty());
}

Version V(int sequence, const char* author, const char* summary, const char* modified = "20261209T230320") {
  return {{sequence, modified}, author, "SUMMARY:" + QByteArray(summary)};
}

TEST(ConflictRule, DecisionTable) {
  enum { kNone, kUnsent, kOwn, kImported };  // what the local copy carries
  struct Case {
    const char* what;
    int local;
    Version mine, incoming;
    Decision expected;
  };
  const Case cases[] = {
      {"nothing changed here lately: applied", kNone, V(5, "z@x", "mine"), V(0, "a@x", "in"), Decision::kReplace},
      {"same edit base, the greater address wins there", kOwn, V(0, "a@x", "mine"), V(0, "b@x", "in"),
       Decision::kReplaceKeepCopy},
      {"same edit base, the smaller address loses here", kOwn, V(0, "b@x", "mine"), V(0, "a@x", "in"), Decision::kKeep},
      {"address letter case is ignored", kOwn, V(0, "B@x", "mine"), V(0, "a@X", "in"), Decision::kKeep},
      {"a higher SEQUENCE was made on top of the sent one", kOwn, V(0, "b@x", "mine"), V(1, "a@x", "in"),
       Decision::kReplace},
      {"LAST-MODIFIED before the address", kOwn, V(0, "b@x", "mine", "20260101T000000"),
       V(0, "a@x", "in", "20260101T000001"), Decision::kReplaceKeepCopy},
      {"a lower SEQUENCE never replaces a recent version", kOwn, V(3, "a@x", "mine"), V(2, "z@x", "in"),
       Decision::kKeep},
      {"an unsent change the sender cannot have seen is kept as a copy", kUnsent, V(0, "a@x", "mine"),
       V(1, "b@x", "in"), Decision::kReplaceKeepCopy},
      {"an unsent change that wins stays and goes out", kUnsent, V(0, "b@x", "mine"), V(0, "a@x", "in"),
       Decision::kKeep},
      {"an unsent change with a higher SEQUENCE wins; the other side cannot tell, so its version is copied here",
       kUnsent, V(2, "a@x", "mine"), V(1, "b@x", "in"), Decision::kKeepCopyIncoming},
      {"without stamps a recent version is no conflict", kOwn, Version{{}, "b@x", {}}, Version{{}, "a@x", {}},
       Decision::kReplace},
      {"without stamps an unsent change is, by address", kUnsent, Version{{}, "b@x", {}}, Version{{}, "a@x", {}},
       Decision::kKeepCopyIncoming},
      {"the same text again is no conflict", kUnsent, V(0, "b@x", "same"), V(0, "a@x", "same"), Decision::kReplace},
      {"third side: a loser after the winner is not applied", kImported, V(0, "c@x", "mine"), V(0, "b@x", "in"),
       Decision::kKeep},
      {"third side: the winner after a loser is applied, no copy", kImported, V(0, "b@x", "mine"),
       V(0, "c@x", "in"), Decision::kReplace},
      {"one author's versions follow each other", kImported, V(0, "a@x", "mine"), V(0, "A@x", "in"),
       Decision::kReplace},
  };
  for (const Case& c : cases) {
    Local local;
    local.version = c.mine;
    local.unsent = c.local == kUnsent;
    local.own = c.local == kOwn;
    local.recent = c.local == kOwn || c.local == kImported;
    EXPECT_EQ(conflict::Decide(local, c.incoming), c.expected) << c.what;
  }
}

// Two sides that both sent their change, made from one version: both end
// with the same version and exactly one of them keeps the loser's copy.
TEST(ConflictRule, BothSidesKeepTheSameWinnerAndOneCopy) {
  const std::pair<Version, Version> pairs[] = {
      {V(0, "a@x", "x"), V(0, "b@x", "y")},
      {V(-1, "b@x", "x"), V(-1, "a@x", "y")},
      {V(2, "a@x", "x", "20260101T000002"), V(2, "b@x", "y", "20260101T000001")},
      {V(1, "A@x", "x"), V(1, "a@y", "y")},
  };
  for (const auto& [x, y] : pairs) {
    Local onX{x, false, true, true}, onY{y, false, true, true};
    const Decision atX = conflict::Decide(onX, y), atY = conflict::Decide(onY, x);
    const Version& heldByX = atX == Decision::kKeep ? x : y;
    const Version& heldByY = atY == Decision::kKeep ? y : x;
    EXPECT_EQ(heldByX.calendar, heldByY.calendar) << x.calendar.constData() << " / " << y.calendar.constData();
    EXPECT_EQ(int(atX == Decision::kReplaceKeepCopy) + int(atY == Decision::kReplaceKeepCopy), 1)
        << x.calendar.constData() << " / " << y.calendar.constData();
  }
}

// ---- Running programs ------------------------------------------------------------------------

using namespace peers;

// Every side shares its calendar with all the others; A's calendar travels
// under its own key, which the others map to theirs in both directions.
class ConflictPeersTest : public ::testing::Test {
 protected:
  void StartPeers(const std::vector<Peer*>& sides) {
    sides_ = sides;
    ASSERT_TRUE(root_.isValid());
    ASSERT_FALSE(QStandardPaths::findExecutable("khal").isEmpty()) << "khal is not installed (Debian package khal)";
    ASSERT_NO_FATAL_FAILURE(PreparePeers(root_.path(), server_, sides));
    const QString k = a_.FolderKey();
    for (Peer* p : sides) {
      QStringList others;
      for (Peer* q : sides)
        if (q != p) others << q->address;
      ASSERT_NO_FATAL_FAILURE(Share(*p, others, "Allow"));
      std::vector<std::pair<QString, QString>> rows{{"DEN\\Folders\\" + k, p->folderId},
                                                    {"DEN\\FoldersSID\\" + k, p->storeId}};
      if (p != &a_) rows.push_back({"END\\Folders\\" + p->folderId, k});
      ASSERT_NO_FATAL_FAILURE(MapRows(*p, rows));
    }
    for (Peer* p : sides) ASSERT_TRUE(p->Start());
  }

  void TearDown() override {
    for (Peer* p : sides_)
      if (p->process && p->process->state() != QProcess::NotRunning) p->Kill();
    server_.Stop();
  }

  // Waits until every side holds exactly these summaries.
  void AllHold(QStringList expected, const char* step, int timeoutMs = kHopMs) {
    expected.sort();
    QElapsedTimer clock;
    clock.start();
    const bool converged = Eventually(
        [&] {
          for (const Peer* p : sides_)
            if (p->Summaries() != expected) return false;
          return true;
        },
        timeoutMs);
    std::cout << "[ peers    ] " << step << ": " << clock.elapsed() / 1000.0 << " s"
              << (converged ? "" : " (did not converge)") << std::endl;
    for (const Peer* p : sides_)
      EXPECT_EQ(p->Summaries().join(" | ").toStdString(), expected.join(" | ").toStdString()) << step << ": " << p->name.toStdString() << "\n" << p->Output().toStdString();
  }

  // Nothing an import wrote is sent back: no side exports anything once all
  // agree, and every side ends in order with nothing on stderr.
  void NothingEchoedAndStop() {
    for (const Peer* p : sides_)
      EXPECT_FALSE(Eventually([&] { return !p->OutboxEntries().isEmpty(); }, 3000))
          << p->name.toStdString() << " exports " << p->OutboxEntries().join(", ").toStdString();
    for (Peer* p : sides_) {
      std::cout << "[ peers    ] " << p->name.toStdString() << ": " << p->SentMails() << " update mails; log:\n  "
                << p->ErrorLog().join("\n  ").toStdString() << std::endl;
      EXPECT_TRUE(p->Stop());
      EXPECT_TRUE(p->Complaints().isEmpty()) << p->name.toStdString() << " said:\n"
                                             << p->Complaints().join('\n').toStdString();
    }
  }

  QTemporaryDir root_;
  MailServer server_;
  Peer a_{"a", "a@peers.test", {}, {}, {}, {}, 0};
  Peer b_{"b", "b@peers.test", {}, {}, {}, {}, 0};
  Peer c_{"c", "c@peers.test", {}, {}, {}, {}, 0};
  std::vector<Peer*> sides_;
};

// A fifth of a second apart both changes are sent before either arrives.
// With equal SEQUENCE and DTSTAMP the greater address wins: B over A, C over
// both. A deletion loses against a change: B's side adds the change again
// and sends it on to the sides that took the deletion.
TEST_F(ConflictPeersTest, ChangedOnThreeSidesAtOnceEverySideKeepsOneWinner) {
  ASSERT_NO_FATAL_FAILURE(StartPeers({&a_, &b_, &c_}));
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:00", "Near"});
  a_.Khal({"new", "-a", "cal", "2031-03-05", "10:00", "11:00", "Gone"});
  a_.Khal({"new", "-a", "cal", "2031-03-06", "10:00", "11:00", "All"});
  AllHold({"All", "Gone", "Near"}, "A's events reach B and C");

  ASSERT_TRUE(a_.EditEvent("Near", "Near on A"));
  ASSERT_TRUE(a_.EditEvent("Gone", "Gone on A"));
  ASSERT_TRUE(a_.EditEvent("All", "All on A"));
  QThread::msleep(200);
  ASSERT_TRUE(b_.EditEvent("Near", "Near on B"));
  ASSERT_TRUE(b_.DeleteEvent("Gone"));
  ASSERT_TRUE(b_.EditEvent("All", "All on B"));
  ASSERT_TRUE(c_.EditEvent("All", "All on C"));

  AllHold({"Near on B", "Near on A (conflict)", "Gone on A", "All on C", "All on A (conflict)", "All on B (conflict)"},
          "every side holds the winners and one copy per loser", 2 * kHopMs);
  NothingEchoedAndStop();
}

// Four seconds apart B's change still waits to be sent when A's arrives: B
// keeps its own (it wins) and A keeps its lost one as a copy once B's comes.
// A's deletion arrives while B's change of the event waits: the change wins.
TEST_F(ConflictPeersTest, ChangedFourSecondsApartAndDeletedWhileChanged) {
  ASSERT_NO_FATAL_FAILURE(StartPeers({&a_, &b_}));
  a_.Khal({"new", "-a", "cal", "2031-03-04", "10:00", "11:00", "Apart"});
  a_.Khal({"new", "-a", "cal", "2031-03-05", "10:00", "11:00", "Erased"});
  AllHold({"Apart", "Erased"}, "A's events reach B");

  ASSERT_TRUE(a_.EditEvent("Apart", "Apart on A"));
  ASSERT_TRUE(a_.DeleteEvent("Erased"));
  QThread::msleep(4000);
  ASSERT_TRUE(b_.EditEvent("Apart", "Apart on B"));
  ASSERT_TRUE(b_.EditEvent("Erased", "Erased on B"));

  AllHold({"Apart on B", "Apart on A (conflict)", "Erased on B"}, "both hold B's version and A's copy", 2 * kHopMs);
  NothingEchoedAndStop();
}

}  // namespace

int main(int argc, char** argv) { return RunTests<QApplication>(argc, argv, /*failOnMessageBox=*/true); }
