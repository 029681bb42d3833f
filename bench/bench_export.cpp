// Export of changed items of one folder into its exchange directory, beside
// copying the same message files with cp. The mapping table is filled
// beforehand with 0, 20 000 and 200 000 rows: the cost per item must not
// grow with it.
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "bench/controller_bench_main.h"
#include "app/main_form.h"

namespace {

constexpr int kCalendar = 9;
constexpr int kItems = 1000;

struct Fixture {
  QTemporaryDir home;
  std::unique_ptr<TMainForm> form;
  std::vector<outlook::RdoMail> items;

  Fixture() {
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    form = std::make_unique<TMainForm>(QStringList{"lintrove"});
    const outlook::RdoItems calendar = form->RSession.GetDefaultFolder(kCalendar).Items();
    for (int i = 0; i < kItems; ++i) {
      outlook::RdoMail item = calendar.Add("IPM.Appointment");
      item.SetSubject(QStringLiteral("Meeting %1").arg(i));
      item.SetBody(QString(400, QChar(u'x')));
      item.Save();
      items.push_back(item);
    }
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_ExportItem(benchmark::State& state) {
  Fixture& f = Shared();
  const QString folder = f.form->RSession.GetDefaultFolder(kCalendar).EntryID();
  // Rows of other items of the same folder, as a long-shared folder has.
  for (int i = 0; i < state.range(0); ++i) {
    const QString e = QStringLiteral("00000000%1").arg(i, 40, 16, QChar(u'0')).toUpper();
    f.form->zEXML.WriteString(folder + u'\\' + e, QStringLiteral("K%1").arg(i));
  }
  size_t next = 0;
  for (auto _ : state) {
    f.form->ExportItem(f.items[next]);
    next = (next + 1) % f.items.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["rows"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ExportItem)->Arg(0)->Arg(20000)->Arg(200000)->Unit(benchmark::kMicrosecond)->Iterations(3 * kItems);

void BM_CopyWithCp(benchmark::State& state) {
  Fixture& f = Shared();
  QDir outbox(f.form->OutboxDir);
  const QString source = f.form->OutboxDir + outbox.entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0);
  const QString target = f.home.path() + "/copy";
  const int files = static_cast<int>(QDir(source).entryList(QDir::Files).size());
  for (auto _ : state) {
    QDir(target).removeRecursively();
    QProcess::execute("cp", {"-r", source, target});
  }
  state.SetItemsProcessed(state.iterations() * files);
  state.counters["files"] = files;
}
BENCHMARK(BM_CopyWithCp)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  return RunControllerBenchmarks(argc, argv, [] { Shared().form.reset(); });
}
