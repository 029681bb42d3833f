// From an event file that another program writes into a shared calendar to
// its message file in the folder's exchange directory, through the whole
// path: the library's store watcher, the controller's event sink and the
// export. Two shapes:
//
// - BM_SingleChange: 1 000 files, one at a time; each latency is measured
//   from the rename that puts the file in place to the moment the event loop
//   has written its message file.
// - BM_Burst: 1 000 files renamed into place as fast as possible, then the
//   event loop runs until every message file is there (or 60 s pass).
//
// The controller's sink is wrapped so that each event's start and end are
// known too: the latency splits into the wait for the event (the watcher's
// settling time) and the export, and the files of a burst, which one pass
// of the watcher exports one after the other, each get their own arrival.
//
// Every file must give exactly one message file: a lost event is a failure,
// reported on stderr and as the benchmark's error.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/controller_bench_main.h"
#include "app/main_form.h"
#include "storage/md5.h"

namespace {

constexpr int kCalendar = 9;
constexpr int kChanges = 1000;
constexpr int kBurst = 1000;
// A single change that has not arrived after this long is counted as lost.
constexpr int kSingleTimeoutMs = 5000;
constexpr int kBurstTimeoutMs = 60000;
// Message files taken away every so many single changes, as a packing pass
// would, so the exchange directory stays the size it has in use.
constexpr int kClearEvery = 100;

// The start and end of each store event the controller handled, on one clock.
struct Handled {
  QString event;
  QString itemId;
  qint64 startNs;
  qint64 endNs;
};

QElapsedTimer& Clock() {
  static QElapsedTimer clock;
  return clock;
}

std::vector<Handled>& HandledEvents() {
  static std::vector<Handled> handled;
  return handled;
}

struct Fixture {
  QTemporaryDir home;
  std::unique_ptr<TMainForm> form;
  QString calendarId;
  QString calendarDir;
  QString exchangeDir;

  Fixture() {
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    qunsetenv("VASNIK_PROFILE");
    form = std::make_unique<TMainForm>(QStringList{"lintrove"});
    if (form->Terminated()) {
      std::fprintf(stderr, "FAILURE: the program did not start (see its log in %s)\n", qPrintable(home.path()));
      std::exit(1);
    }
    calendarId = form->RSession.GetDefaultFolder(kCalendar).EntryID();
    calendarDir = home.path() + "/data/vasnik/profile/stores/personal/Calendar/";
    if (!QFileInfo(calendarDir).isDir()) {
      std::fprintf(stderr, "FAILURE: no calendar directory %s\n", qPrintable(calendarDir));
      std::exit(1);
    }
    // The default profile has one store: its sink is the first.
    if (form->REvents.empty() || !form->REvents[0]) {
      std::fprintf(stderr, "FAILURE: the program attached no store events\n");
      std::exit(1);
    }
    const outlook::TComEvent handler = form->REvents[0]->OnEvent();
    form->REvents[0]->SetOnEvent([handler](const outlook::Variant& sender, const QString& event, int id,
                                           outlook::TVariantArray& params) {
      const qint64 start = Clock().nsecsElapsed();
      handler(sender, event, id, params);
      HandledEvents().push_back({event, params.empty() ? QString() : params[0].ToString(), start, Clock().nsecsElapsed()});
    });
    form->MonitoredFolders.Add(calendarId);
    form->ScheduleSave();
    exchangeDir = form->OutboxDir + GetMD5(calendarId) + u'/';
  }

  // The message file a new event file of the calendar is exported to: an
  // item's identifier is its folder's followed by the hex UTF-8 bytes of its
  // file name, and a new item's key is the MD5 of that identifier.
  QString ItemIdOf(const QString& fileName) const {
    return calendarId + QString::fromLatin1(fileName.toUtf8().toHex().toUpper());
  }
  QString MessageFileOf(const QString& fileName) const { return GetMD5(ItemIdOf(fileName)) + QStringLiteral(".msg"); }

  void ClearExchange() const {
    for (const QString& name : QDir(exchangeDir).entryList({QStringLiteral("*.msg")}, QDir::Files))
      QFile::remove(exchangeDir + name);
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

// One event as khal would keep it.
QByteArray Event(const QString& uid, const QString& summary, int hour) {
  const QByteArray day = QByteArrayLiteral("20250310T");
  const QByteArray start = day + QByteArray::number(hour).rightJustified(2, '0') + "0000Z";
  const QByteArray end = day + QByteArray::number(hour + 1).rightJustified(2, '0') + "0000Z";
  return QByteArrayLiteral("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//store events//EN\r\nBEGIN:VEVENT\r\nUID:") +
         uid.toUtf8() + QByteArrayLiteral("\r\nDTSTAMP:20250301T080000Z\r\nDTSTART:") + start +
         QByteArrayLiteral("\r\nDTEND:") + end + QByteArrayLiteral("\r\nSUMMARY:") + summary.toUtf8() +
         QByteArrayLiteral("\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
}

// Written beside the target under a dot-name and renamed into place, as
// other calendar programs do: the watcher sees one whole file arrive.
// Returns the file name.
QString WriteEvent(const QString& dir, const QString& uid, const QString& summary, int hour) {
  const QString name = uid + QStringLiteral(".ics");
  const QString temp = dir + u'.' + name + QStringLiteral(".tmp");
  QFile file(temp);
  if (!file.open(QIODevice::WriteOnly) || file.write(Event(uid, summary, hour)) < 0) {
    std::fprintf(stderr, "FAILURE: cannot write %s\n", qPrintable(temp));
    std::exit(1);
  }
  file.close();
  if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(dir + name).constData()) != 0) {
    std::fprintf(stderr, "FAILURE: cannot rename %s\n", qPrintable(temp));
    std::exit(1);
  }
  return name;
}

// Sorted copy; nearest-rank percentile.
double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * double(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs the event loop until done() holds or the deadline passes; a short
// timer bounds each wait so done() is looked at even when nothing happens.
template <typename Done>
bool RunUntil(Done done, const QDeadlineTimer& deadline) {
  QTimer wake;
  wake.start(5);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

double Min(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}
double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

void BM_SingleChange(benchmark::State& state) {
  Fixture& f = Shared();
  f.ClearExchange();
  std::vector<double> latencies;  // milliseconds, rename to message file
  std::vector<double> waits;      // rename to the event's start
  std::vector<double> exports;    // the event's handling
  latencies.reserve(kChanges);
  int lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < kChanges; ++i) {
      if (i % kClearEvery == 0) f.ClearExchange();
      const QString uid = QStringLiteral("single-%1-lintrove-bench").arg(i, 4, 10, QChar(u'0'));
      const QString itemId = f.ItemIdOf(uid + QStringLiteral(".ics"));
      const QString target = f.exchangeDir + f.MessageFileOf(uid + QStringLiteral(".ics"));
      HandledEvents().clear();
      WriteEvent(f.calendarDir, uid, QStringLiteral("Change %1").arg(i, 4, 10, QChar(u'0')), 8 + i % 10);
      const qint64 placed = Clock().nsecsElapsed();
      const bool arrived =
          RunUntil([&] { return QFileInfo::exists(target); }, QDeadlineTimer(kSingleTimeoutMs));
      const qint64 ns = Clock().nsecsElapsed() - placed;
      for (const Handled& h : HandledEvents()) {
        if (h.itemId != itemId) continue;
        waits.push_back(double(h.startNs - placed) / 1e6);
        exports.push_back(double(h.endNs - h.startNs) / 1e6);
      }
      if (!arrived) {
        ++lost;
        std::fprintf(stderr, "FAILURE: change %d (%s) gave no message file within %d ms\n", i, qPrintable(uid),
                     kSingleTimeoutMs);
        continue;
      }
      latencies.push_back(double(ns) / 1e6);
    }
  }
  const std::vector<double> first(latencies.begin(), latencies.begin() + std::min<size_t>(100, latencies.size()));
  const std::vector<double> last(latencies.end() - std::min<size_t>(100, latencies.size()), latencies.end());
  state.counters["count"] = double(latencies.size());
  state.counters["lost"] = lost;
  state.counters["min_ms"] = Min(latencies);
  state.counters["median_ms"] = Median(latencies);
  state.counters["p99_ms"] = Percentile(latencies, 99);
  state.counters["max_ms"] = Max(latencies);
  // The two parts: waiting for the watcher's event, and the export.
  state.counters["event_median_ms"] = Median(waits);
  state.counters["event_p99_ms"] = Percentile(waits, 99);
  state.counters["export_median_ms"] = Median(exports);
  state.counters["export_p99_ms"] = Percentile(exports, 99);
  // Whether the folder's growth (1 000 more items) slows the path down.
  state.counters["first100_median_ms"] = Median(first);
  state.counters["last100_median_ms"] = Median(last);
  if (lost) {
    std::fprintf(stderr, "FAILURE: %d of %d single changes lost\n", lost, kChanges);
    state.SkipWithError("single changes lost");
  }
}
BENCHMARK(BM_SingleChange)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Burst(benchmark::State& state) {
  Fixture& f = Shared();
  // Whatever an earlier benchmark left pending is handled before the burst.
  RunUntil([] { return false; }, QDeadlineTimer(300));
  f.ClearExchange();

  QSet<QString> expectedFiles;
  QSet<QString> expectedItems;
  std::vector<double> arrivals;  // milliseconds from the burst's start to each export's end
  qint64 writeNs = 0;
  qint64 totalNs = 0;
  int found = 0;
  int unexpected = 0;
  int events = 0;
  for (auto _ : state) {
    std::vector<QString> uids;
    for (int i = 0; i < kBurst; ++i) uids.push_back(QStringLiteral("burst-%1-lintrove-bench").arg(i, 4, 10, QChar(u'0')));
    for (const QString& uid : uids) {
      expectedFiles.insert(f.MessageFileOf(uid + QStringLiteral(".ics")));
      expectedItems.insert(f.ItemIdOf(uid + QStringLiteral(".ics")));
    }

    HandledEvents().clear();
    const qint64 start = Clock().nsecsElapsed();
    for (int i = 0; i < kBurst; ++i)
      WriteEvent(f.calendarDir, uids[size_t(i)], QStringLiteral("Burst %1").arg(i, 4, 10, QChar(u'0')), 8 + i % 10);
    writeNs = Clock().nsecsElapsed() - start;

    QSet<QString> seen;
    RunUntil(
        [&] {
          for (const QString& name : QDir(f.exchangeDir).entryList({QStringLiteral("*.msg")}, QDir::Files))
            if (expectedFiles.contains(name)) seen.insert(name);
          return seen.size() >= expectedFiles.size();
        },
        QDeadlineTimer(kBurstTimeoutMs));
    totalNs = Clock().nsecsElapsed() - start;

    // Anything still on its way is let in before the files are counted, so
    // a duplicate or a stray export shows too.
    RunUntil([] { return false; }, QDeadlineTimer(200));
    for (const QString& name : QDir(f.exchangeDir).entryList({QStringLiteral("*.msg")}, QDir::Files))
      expectedFiles.contains(name) ? ++found : ++unexpected;
    for (const Handled& h : HandledEvents()) {
      if (!expectedItems.contains(h.itemId)) continue;
      ++events;
      arrivals.push_back(double(h.endNs - start) / 1e6);
    }
  }
  state.counters["count"] = found;
  state.counters["expected"] = kBurst;
  state.counters["unexpected"] = unexpected;
  state.counters["events"] = events;
  state.counters["write_ms"] = double(writeNs) / 1e6;
  state.counters["total_ms"] = double(totalNs) / 1e6;
  state.counters["per_file_ms"] = double(totalNs) / 1e6 / kBurst;
  state.counters["first_ms"] = Min(arrivals);
  state.counters["median_ms"] = Median(arrivals);
  state.counters["p99_ms"] = Percentile(arrivals, 99);
  state.counters["last_ms"] = Max(arrivals);
  if (found != kBurst || unexpected != 0 || events != kBurst) {
    std::fprintf(stderr,
                 "FAILURE: burst of %d files gave %d of their message files (%d unexpected) and %d events within %d ms\n",
                 kBurst, found, unexpected, events, kBurstTimeoutMs);
    state.SkipWithError("burst events lost");
  }
}
BENCHMARK(BM_Burst)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  Clock().start();
  return RunControllerBenchmarks(argc, argv, [] { Shared().form.reset(); });
}
