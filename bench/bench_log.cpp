// The log's cost per record with automatic saving on: near the size limit
// (every record trims the oldest and rewrites the whole file) and below it
// (every record is appended); and one exception raised, reported and caught
// with the report going into the log.

#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>

#include "app/exception_hook.h"
#include "app/log_file.h"

namespace {

constexpr int kRecords = 10000;

// A typical report line.
const QString kTitle = QStringLiteral(
    "      Module \"lintrove\", Procedure \"TMainForm::ExportItem(QString const&)\", Unit \"export.cpp\", Line 123");

void BM_AddNearLimit(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    QTemporaryDir dir;
    LogFile log;
    log.SetFileName(dir.filePath(QStringLiteral("error.log")));
    while (log.TotalChars() < LogFile::kDefaultMaxChars) log.Add(kTitle);
    log.SetAutoSave(true);
    log.Save();
    state.ResumeTiming();

    for (int i = 0; i < kRecords; ++i) log.Add(kTitle);

    state.PauseTiming();
    if (QFile(log.FileName()).size() != log.TotalChars()) state.SkipWithError("file and records differ");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.SetBytesProcessed(state.iterations() * kRecords * LogFile::kDefaultMaxChars);
}
BENCHMARK(BM_AddNearLimit)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AddBelowLimit(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    QTemporaryDir dir;
    LogFile log(1LL << 30);
    log.SetFileName(dir.filePath(QStringLiteral("error.log")));
    log.SetAutoSave(true);
    state.ResumeTiming();

    for (int i = 0; i < kRecords; ++i) log.Add(kTitle);

    state.PauseTiming();
    if (log.Count() != kRecords || QFile(log.FileName()).size() != log.TotalChars())
      state.SkipWithError("file and records differ");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_AddBelowLimit)->Unit(benchmark::kMillisecond)->Iterations(5);

volatile bool g_throw = true;

__attribute__((noinline)) void Raise() {
  if (g_throw) throw std::runtime_error("bench");
}

__attribute__((noinline)) int RaiseAndCatch() {
  try {
    Raise();
  } catch (const std::exception&) {
    return 1;
  }
  return 0;
}

void BM_ThrowLogged(benchmark::State& state) {
  QTemporaryDir dir;
  LogFile log;
  log.SetFileName(dir.filePath(QStringLiteral("error.log")));
  log.SetAutoSave(true);
  EnableExceptionTracking();
  SetExceptionNotifier([&log](const RaisedException& e) { LogException(log, e); });
  for (auto _ : state) benchmark::DoNotOptimize(RaiseAndCatch());
  ClearExceptionNotifier();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThrowLogged)->Unit(benchmark::kMicrosecond);

void BM_ThrowUnreported(benchmark::State& state) {
  ClearExceptionNotifier();
  for (auto _ : state) benchmark::DoNotOptimize(RaiseAndCatch());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThrowUnreported)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
