// Writes seed corpora for fuzz_split_zip_reader, fuzz_list_file and
// fuzz_message_file:
//
//   make_fuzz_seeds <zip-corpus-dir> <list-corpus-dir> [<message-corpus-dir>]
//
// The archive seeds are real archives in the target's input form
// (split_zip_input.h): single and split sets from our own writer with small
// volumes, and, when Info-ZIP `zip` is installed, a plain archive with
// directories and a `zip -s 64k` set. The list seeds are list files as the
// packing pass writes them and a few variations. The message seeds are items
// exported by the stand-in's store (SaveAs format 3): a mail with
// recipients, properties and attachments, an event as khal writes it (time
// zone, recurrence, alarm, attendees) and a task, with the event's .ics
// file beside them.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "standin/store/constants.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/session.h"
#include "sync/outgoing/split_zip_writer.h"
#include "tests/fuzz/split_zip_input.h"

namespace {

void Put(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    std::exit(1);
  }
}

QByteArray Get(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
    std::exit(1);
  }
  return f.readAll();
}

// Bytes that do not compress, the same on every run.
QByteArray Noise(int n, quint32 seed) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = char(seed >> 16);
  }
  return b;
}

// The segments (volumes first, K.zip last) of the set at dir/K as one seed.
void AddSeed(const QString& corpus, const QString& name, const QString& dir, const QStringList& segments,
             bool earlierFile = false, bool missingDestination = false) {
  fuzz::SplitZipInput in;
  in.earlierFile = earlierFile;
  in.missingDestination = missingDestination;
  for (const QString& s : segments) in.volumes.push_back(Get(dir + '/' + s));
  Put(corpus + '/' + name, fuzz::EncodeSplitZipInput(in));
}

bool RunZip(const QString& zip, const QString& workDir, const QStringList& args) {
  QProcess p;
  p.setWorkingDirectory(workDir);
  p.start(zip, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// An event as khal and vdirsyncer keep it.
const char kKhalEvent[] =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//PIMUTILS.ORG//NONSGML khal / icalendar //EN\r\n"
    "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
    "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"
    "BEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\r\n"
    "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n"
    "BEGIN:VEVENT\r\nSUMMARY:Weekly review \\, room 4\r\nDTSTART;TZID=Europe/Berlin:20261210T100000\r\n"
    "DTEND;TZID=Europe/Berlin:20261210T110000\r\nDTSTAMP:20261201T090000Z\r\nUID:khal-seed-1@example\r\n"
    "RRULE:FREQ=WEEKLY;COUNT=10\r\nEXDATE;TZID=Europe/Berlin:20261224T100000\r\n"
    "DESCRIPTION:Agenda:\\n1. numbers\\n2. Gr\xc3\xbc\xc3\x9f" "e\r\nLOCATION:Room 4\r\n"
    "ORGANIZER;CN=Alice:mailto:alice@a.test\r\nATTENDEE;CN=Bob;PARTSTAT=ACCEPTED:mailto:bob@b.test\r\n"
    "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Reminder\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
    "END:VEVENT\r\nEND:VCALENDAR\r\n";

// Items exported by the store as the program exports them.
bool WriteMessageSeeds(const QString& corpus, const QString& scratch) {
  using namespace vasnik;
  try {
    const QString profile = scratch + "/profile";
    Put(profile + "/profile.ini", "[Profile]\nUserAddress=alice@a.test\nUserName=Alice\n[Store1]\nKind=2\n");
    auto session = Session::Create();
    session->Logon(profile);
    Put(scratch + "/K.txt", "K.z01\r\nK.zip\r\n");
    Put(scratch + "/K.zip", Noise(300, 3));

    auto mail = session->GetDefaultFolder(kFolderDrafts)->AddItem(QStringLiteral("IPM.Note"));
    mail->AddRecipient(QStringLiteral("Bob <bob@b.test>"));
    mail->AddRecipient(QStringLiteral("carol@c.test"), kRecipientCc);
    mail->SetSubject(QStringLiteral("Pendrix Update Email"));
    mail->SetBody(QStringLiteral("This is an automatically generated message.\r\n.\r\nGr\u00fc\u00dfe\r\n"));
    mail->AddAttachment(scratch + "/K.txt", QStringLiteral("K.txt"));
    mail->AddAttachment(scratch + "/K.zip", QStringLiteral("K.zip"));
    mail->SetProperty(QStringLiteral("Varnel"), QStringLiteral("Outgoing"));
    mail->SetProperty(QStringLiteral("Shared"), QStringLiteral("a=b; c"), false);
    mail->Save();
    mail->SaveAs(corpus + "/mail.msg", 3);

    const auto calendar = session->GetDefaultFolder(kFolderCalendar);
    Put(calendar->Directory() + "/khal-seed-1.ics", kKhalEvent);
    Put(corpus + "/khal-event.ics", kKhalEvent);
    for (int i = 1; i <= calendar->Items().Count(); ++i) {
      auto event = calendar->Items().At(i);
      event->SetProperty(QStringLiteral("Varnel"), QStringLiteral("k"));
      event->SaveAs(corpus + QStringLiteral("/event-%1.msg").arg(i), 3);
      event->AddAttachment(scratch + "/K.txt", QStringLiteral("notes.txt"));
      event->SaveAs(corpus + QStringLiteral("/event-%1-attached.msg").arg(i), 3);
    }
    auto added = calendar->AddItem(QStringLiteral("IPM.Appointment"));
    added->SetSubject(QStringLiteral("made here"));
    added->Save();
    added->SaveAs(corpus + "/appointment.msg", 3);

    auto task = session->GetDefaultFolder(kFolderTasks)->AddItem(QStringLiteral("IPM.Task"));
    task->SetSubject(QStringLiteral("a task"));
    task->SetBody(QStringLiteral("body"));
    task->Save();
    task->SaveAs(corpus + "/task.msg", 3);
    session->Logoff();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "message seeds: %s\n", error.what());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <zip-corpus-dir> <list-corpus-dir> [<message-corpus-dir>]\n");
    return 2;
  }
  const QString zipCorpus = QString::fromLocal8Bit(argv[1]);
  const QString listCorpus = QString::fromLocal8Bit(argv[2]);
  QTemporaryDir tmp;
  if (!tmp.isValid()) return 1;
  const QString src = tmp.filePath("src"), out = tmp.filePath("out");
  QDir().mkpath(out);

  // Our writer: one segment, then three small volumes with a file running
  // across them.
  Put(src + "/K/info.xml", "<?xml version=\"1.0\"?><info User=\"a@b\"/>");
  Put(src + "/K/empty.msg", "");
  Put(src + "/K/a.msg", QByteArray("Subject: x\r\n\r\n").repeated(20));
  QStringList segments = outgoing::WriteSplitZip(src + "/K", "K", out + "/K");
  AddSeed(zipCorpus, "writer-single", out, segments);
  AddSeed(zipCorpus, "writer-single-earlier", out, segments, true);
  AddSeed(zipCorpus, "writer-single-new-dest", out, segments, false, true);
  Put(src + "/K/b.msg", Noise(700, 1));
  segments = outgoing::WriteSplitZip(src + "/K", "K", out + "/K", {400, Z_DEFAULT_COMPRESSION});
  if (segments.size() > 8) {
    std::fprintf(stderr, "writer made %d segments, more than a seed may hold\n", int(segments.size()));
    return 1;
  }
  AddSeed(zipCorpus, "writer-split", out, segments);

  const QString zip = QStandardPaths::findExecutable("zip");
  if (zip.isEmpty()) {
    std::fprintf(stderr, "zip not installed: Info-ZIP seeds skipped\n");
  } else {
    // A plain archive with directory entries, and a split set (64 KiB is the
    // smallest volume zip writes).
    QDir(src + "/K").removeRecursively();
    Put(src + "/K/info.xml", "<info/>");
    Put(src + "/K/sub/deep/x.msg", "nested");
    QDir().mkpath(src + "/K/emptydir");
    for (const QString& s : QDir(out).entryList(QDir::Files)) QFile::remove(out + '/' + s);
    if (!RunZip(zip, src, {"-q", "-r", out + "/K.zip", "K"})) return 1;
    AddSeed(zipCorpus, "infozip-plain", out, {"K.zip"});
    QFile::remove(out + "/K.zip");
    Put(src + "/K/big.msg", Noise(70000, 2));
    if (!RunZip(zip, src, {"-q", "-0", "-r", "-s", "64k", out + "/K.zip", "K"})) return 1;
    AddSeed(zipCorpus, "infozip-split", out, {"K.z01", "K.zip"});
  }

  Put(listCorpus + "/crlf", "K.z01\r\nK.z02\r\nK.zip\r\n");
  Put(listCorpus + "/lf", "K.zip\n");
  Put(listCorpus + "/blanks", "\n\r\n  K.z001  \r\n\nK.zip");
  Put(listCorpus + "/other-key", "0123456789abcdef0123456789abcdef\nK.z01\n0123456789abcdef0123456789abcdef.z01\n"
                                 "0123456789abcdef0123456789abcdef.zip\r\n");
  Put(listCorpus + "/refused", "K.zip\r\n../K.zip\r\nK.zip/../x\r\nC:K.zip\r\nK.z1\r\n");

  if (argc == 4) {
    const QString messageCorpus = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(messageCorpus);
    if (!WriteMessageSeeds(messageCorpus, tmp.filePath("messages"))) return 1;
  }
  return 0;
}
