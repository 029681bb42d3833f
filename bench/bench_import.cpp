// Import of one package of 10 000 appointments into the stand-in calendar,
// beside copying the same 10 000 message files: first as new items (Write),
// then the same package again over the items the first import created
// (Modify). The package is built once per run from 10 000 distinct events.
// Each case runs once; the time is wall time, and per_item_us divides it by
// the number of files. The cost per new item must not grow with the folder
// (listing the folder's items for every new item once made it 64 ms).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "bench/controller_bench_main.h"
#include "app/main_form.h"
#include "ui/sharing_editor.h"
#include "outlook/redemption_ids.h"
#include "storage/sharing.h"

namespace {

constexpr int kCalendar = 9;
constexpr int kItems = 10000;
const QString kKey = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
const QString kSender = QStringLiteral("partner@example.org");

struct Fixture {
  QTemporaryDir home;
  std::unique_ptr<TMainForm> form;
  QString package;  // the template: info.xml and the message files
  QString folder;

  Fixture() {
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    form = std::make_unique<TMainForm>(QStringList{"lintrove"});
    const outlook::RdoFolder calendar = form->RSession.GetDefaultFolder(kCalendar);
    folder = calendar.EntryID();
    form->zEXML.WriteString("DEN\\Folders\\" + kKey, folder);
    form->zEXML.WriteString("DEN\\FoldersSID\\" + kKey, calendar.StoreID());

    package = home.path() + "/package";
    QDir().mkpath(package);
    {
      XmlStorage info(QStringLiteral("Info"));
      info.SetFileName(package + "/info.xml");
      info.WriteString("User", kSender);
      info.WriteString("FolderName", "Calendar");
      info.WriteInteger("DefaultItemType", 1);
    }
    // The sender's events: made in the calendar, saved as files, removed.
    const outlook::RdoItems items = calendar.Items();
    for (int i = 0; i < kItems; ++i) {
      const outlook::RdoMail item = items.Add("IPM.Appointment");
      item.SetSubject(QStringLiteral("Meeting %1").arg(i));
      item.SetBody(QString(400, QChar(u'x')));
      item.Save();
      item.SaveAs(package + QStringLiteral("/K%1.msg").arg(i, 31, 10, QChar(u'0')), outlook::ids::olMSG);
      item.Delete(2);
    }
  }

  void Grant(bool modify, bool write) {
    form->SharingList->Model().Clear();
    form->SharingList->AppendRow(SharingRow{true, kSender, modify ? "Allow" : "Deny", "Allow", write ? "Allow" : "Deny"});
    form->SaveFolderSettings(folder);
  }

  // The package as the intake leaves it.
  void Deliver() { QProcess::execute("cp", {"-r", package, form->InboxDir + kKey}); }

  int CalendarCount() const { return form->RSession.GetDefaultFolder(kCalendar).Items().Count(); }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void Report(benchmark::State& state, qint64 ns) {
  state.SetIterationTime(double(ns) / 1e9);
  state.counters["per_item_us"] = double(ns) / 1e3 / kItems;
  state.counters["items"] = kItems;
}

// One delivery of the package imported under the given rights; the calendar
// must hold exactly kItems items afterwards.
void ImportOnce(benchmark::State& state, bool modify, bool write, const char* failure) {
  Fixture& f = Shared();
  f.Grant(modify, write);
  for (auto _ : state) {
    f.Deliver();
    QElapsedTimer timer;
    timer.start();
    f.form->ImportPackage(f.form->InboxDir + kKey);
    Report(state, timer.nsecsElapsed());
  }
  if (f.CalendarCount() != kItems) state.SkipWithError(failure);
  f.form->UpdatedItems.Clear();
}

// Write alone: every item is new.
void BM_ImportNew(benchmark::State& state) { ImportOnce(state, false, true, "not every item was added"); }
BENCHMARK(BM_ImportNew)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// Modify alone, after BM_ImportNew: every item replaces its local copy.
void BM_ImportReplace(benchmark::State& state) { ImportOnce(state, true, false, "items were added or lost"); }
BENCHMARK(BM_ImportReplace)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

void BM_CopyWithQFile(benchmark::State& state) {
  Fixture& f = Shared();
  const QStringList files = QDir(f.package).entryList(QDir::Files);
  const QString target = f.home.path() + "/copy";
  for (auto _ : state) {
    QDir(target).removeRecursively();
    QElapsedTimer timer;
    timer.start();
    QDir().mkpath(target);
    for (const QString& file : files) QFile::copy(f.package + u'/' + file, target + u'/' + file);
    Report(state, timer.nsecsElapsed());
  }
}
BENCHMARK(BM_CopyWithQFile)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_CopyWithCp(benchmark::State& state) {
  Fixture& f = Shared();
  const QString target = f.home.path() + "/copy";
  for (auto _ : state) {
    QDir(target).removeRecursively();
    QElapsedTimer timer;
    timer.start();
    QProcess::execute("cp", {"-r", f.package, target});
    Report(state, timer.nsecsElapsed());
  }
}
BENCHMARK(BM_CopyWithCp)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return RunControllerBenchmarks(argc, argv, [] { Shared().form.reset(); });
}
