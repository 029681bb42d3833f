// Packing a large exchange directory: 2 000 files of about 50 MB in all, half
// mail-like text, half incompressible, into 1 MiB volumes by our writer and,
// in the same rounds on the same directory, by Info-ZIP's `zip -r -s 1m`.
// After all rounds: minimum and median of both, their ratios ours/zip, and
// the ratio of total archive sizes.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "sync/outgoing/split_zip_writer.h"

namespace {

constexpr int kFiles = 2000;
constexpr qint64 kAverage = 25000;

QTemporaryDir* g_root = nullptr;
// Seconds of each round, ours and zip's, and the archive sizes.
std::vector<double> g_ours, g_zip, g_oursCpu, g_zipCpu;
qint64 g_oursBytes = 0, g_zipBytes = 0;

QString Source() { return g_root->path() + "/K"; }

// Processor seconds so far, user and system, of this process (all threads)
// or of its waited-for children.
double CpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void MakeSource() {
  QDir().mkpath(Source());
  QRandomGenerator g(2024);
  const QByteArray line = "From: someone@example.org; Subject: minutes of the weekly meeting, item 7.\r\n";
  for (int i = 0; i < kFiles; ++i) {
    const qint64 n = g.bounded(kAverage / 2, kAverage * 3 / 2);
    QByteArray data(n, Qt::Uninitialized);
    if (i % 2) {
      g.fillRange(reinterpret_cast<quint32*>(data.data()), n / 4);
    } else {
      data.clear();
      while (data.size() < n) data += line + QByteArray::number(g.generate()) + "\r\n";
      data.truncate(n);
    }
    QFile f(Source() + QStringLiteral("/item%1.msg").arg(i, 4, 10, QLatin1Char('0')));
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != n) std::abort();
  }
}

qint64 TotalSize(const QString& dir, const QString& base) {
  qint64 total = 0;
  for (const QFileInfo& fi : QDir(dir).entryInfoList({base + ".z*"}, QDir::Files)) total += fi.size();
  return total;
}

// One round packs the tree with our writer and then with `zip -r -s 1m`,
// so that both meet the same load from whatever else the machine runs.
void BM_PackSideBySide(benchmark::State& state) {
  const QString ours = g_root->path() + "/ours", infozip = g_root->path() + "/infozip";
  QDir().mkpath(ours);
  QDir().mkpath(infozip);
  for (auto _ : state) {
    QElapsedTimer t;
    const double cpu = CpuSeconds();
    t.start();
    const QStringList names = outgoing::WriteSplitZip(Source(), "K", ours + "/K");
    const double oursSeconds = t.nsecsElapsed() / 1e9;
    g_oursCpu.push_back(CpuSeconds() - cpu);
    state.counters["segments"] = names.size();

    for (const QFileInfo& fi : QDir(infozip).entryInfoList(QDir::Files)) QFile::remove(fi.filePath());
    const double zipCpu = CpuSeconds(RUSAGE_CHILDREN);
    t.start();
    QProcess zip;
    zip.setWorkingDirectory(g_root->path());
    zip.start("zip", {"-q", "-r", "-s", "1m", infozip + "/K.zip", "K"});
    if (!zip.waitForFinished(-1) || zip.exitCode() != 0) {
      state.SkipWithError("zip failed (is Info-ZIP installed?)");
      return;
    }
    g_zip.push_back(t.nsecsElapsed() / 1e9);
    g_zipCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - zipCpu);
    g_ours.push_back(oursSeconds);
    state.SetIterationTime(oursSeconds);
  }
  g_oursBytes = TotalSize(ours, "K");
  g_zipBytes = TotalSize(infozip, "K");
  state.counters["archive_MB"] = g_oursBytes / 1e6;
}
BENCHMARK(BM_PackSideBySide)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);

double Min(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  QTemporaryDir root;
  g_root = &root;
  MakeSource();
  benchmark::RunSpecifiedBenchmarks();
  if (!g_ours.empty()) {
    std::printf("%zu rounds, each ours then zip -r -s 1m on the same tree\n", g_ours.size());
    std::printf("ours: min %.3f s, median %.3f s; zip: min %.3f s, median %.3f s\n", Min(g_ours), Median(g_ours),
                Min(g_zip), Median(g_zip));
    // Under load the processor time says more than the wall time: a busy
    // machine gives our two threads a larger share than zip's one.
    std::printf("processor time per round (median): ours %.3f s (%.2f cores busy), zip %.3f s: ratio %.2f\n",
                Median(g_oursCpu), Median(g_oursCpu) / Median(g_ours), Median(g_zipCpu),
                Median(g_oursCpu) / Median(g_zipCpu));
    std::printf("time ratio ours/zip: of the minima %.2f, of the medians %.2f\n", Min(g_ours) / Min(g_zip),
                Median(g_ours) / Median(g_zip));
    std::printf("ours %lld bytes, zip %lld bytes: size ratio ours/zip %.4f\n", (long long)g_oursBytes,
                (long long)g_zipBytes, double(g_oursBytes) / double(g_zipBytes));
  }
  benchmark::Shutdown();
  return 0;
}
