// Packing a large exchange directory: 2 000 files of about 50 MB in all, half
// mail-like text, half incompressible, into 1 MiB volumes by our writer and,
// in the same run on the same directory, by Info-ZIP's `zip -r -s 1m`. After
// both, the ratios ours/zip of wall time and of total archive size.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

#include "sync/outgoing/split_zip_writer.h"

namespace {

constexpr int kFiles = 2000;
constexpr qint64 kAverage = 25000;

QTemporaryDir* g_root = nullptr;
double g_oursSeconds = 0, g_zipSeconds = 0;
qint64 g_oursBytes = 0, g_zipBytes = 0;
int g_oursRuns = 0, g_zipRuns = 0;

QString Source() { return g_root->path() + "/K"; }

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

void BM_WriteSplitZip(benchmark::State& state) {
  const QString out = g_root->path() + "/ours";
  QDir().mkpath(out);
  for (auto _ : state) {
    QElapsedTimer t;
    t.start();
    const QStringList names = outgoing::WriteSplitZip(Source(), "K", out + "/K");
    g_oursSeconds += t.nsecsElapsed() / 1e9;
    ++g_oursRuns;
    state.counters["segments"] = names.size();
  }
  g_oursBytes = TotalSize(out, "K");
  state.counters["archive_MB"] = g_oursBytes / 1e6;
}
BENCHMARK(BM_WriteSplitZip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_InfoZip(benchmark::State& state) {
  const QString out = g_root->path() + "/infozip";
  QDir().mkpath(out);
  for (auto _ : state) {
    state.PauseTiming();
    for (const QFileInfo& fi : QDir(out).entryInfoList(QDir::Files)) QFile::remove(fi.filePath());
    state.ResumeTiming();
    QElapsedTimer t;
    t.start();
    QProcess zip;
    zip.setWorkingDirectory(g_root->path());
    zip.start("zip", {"-q", "-r", "-s", "1m", out + "/K.zip", "K"});
    if (!zip.waitForFinished(-1) || zip.exitCode() != 0) {
      state.SkipWithError("zip failed (is Info-ZIP installed?)");
      return;
    }
    g_zipSeconds += t.nsecsElapsed() / 1e9;
    ++g_zipRuns;
  }
  g_zipBytes = TotalSize(out, "K");
  state.counters["archive_MB"] = g_zipBytes / 1e6;
}
BENCHMARK(BM_InfoZip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  QTemporaryDir root;
  g_root = &root;
  MakeSource();
  benchmark::RunSpecifiedBenchmarks();
  if (g_oursRuns && g_zipRuns) {
    const double ours = g_oursSeconds / g_oursRuns, zip = g_zipSeconds / g_zipRuns;
    std::printf("ours %.3f s, zip %.3f s per pass: time ratio ours/zip %.2f\n", ours, zip, ours / zip);
    std::printf("ours %lld bytes, zip %lld bytes: size ratio ours/zip %.4f\n", (long long)g_oursBytes,
                (long long)g_zipBytes, double(g_oursBytes) / double(g_zipBytes));
  }
  benchmark::Shutdown();
  return 0;
}
