// The XML storage with many values under one element (the shape of the item
// mappings: one element per folder, two rows per item), beside a plain
// QHash<QString, QString> holding the same strings. Every benchmark reports
// items per second; the cost of one operation must not grow with the number
// of siblings. At the end, each storage case is set against its hash-map
// baseline of the same run (CPU time per pass, which the load of other
// processes on the machine disturbs less than wall time):
//   WriteNew (new values into an empty storage)  vs QHashBuild
//   Write (changing existing values)             vs QHashWrite
//   Read                                         vs QHashRead

#include "storage/xml_storage.h"

#include <QHash>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kOperations = 100000;

// Entry-identifier-like names (48 hex digits, leading zeros) and key-like
// values (32 hex digits).
QString Hex(std::mt19937_64& random, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  QString text(digits, Qt::Uninitialized);
  for (int i = 0; i < digits; ++i) text[i] = QLatin1Char(kDigits[random() & 15]);
  return text;
}

struct Data {
  std::vector<QString> names;
  std::vector<QString> paths;   // "F\" + name
  std::vector<QString> values;
  std::vector<int> order;       // kOperations random indexes into names
};

const Data& MakeData(int count) {
  static QHash<int, Data*> cache;
  if (Data* d = cache.value(count)) return *d;
  auto* d = new Data;
  std::mt19937_64 random(count);
  for (int i = 0; i < count; ++i) {
    d->names.push_back(QStringLiteral("00000000") + Hex(random, 40));
    d->paths.push_back(QStringLiteral("F\\") + d->names.back());
    d->values.push_back(Hex(random, 32));
  }
  std::uniform_int_distribution<int> pick(0, count - 1);
  for (int i = 0; i < kOperations; ++i) d->order.push_back(pick(random));
  cache.insert(count, d);
  return *d;
}

void Fill(XmlStorage& storage, const Data& d) {
  for (size_t i = 0; i < d.paths.size(); ++i) storage.WriteString(d.paths[i], d.values[i]);
}

void Fill(QHash<QString, QString>& hash, const Data& d) {
  for (size_t i = 0; i < d.names.size(); ++i) hash.insert(d.names[i], d.values[i]);
}

// A file of `count` values, written once per size.
QString FileOf(int count) {
  static QTemporaryDir dir;
  static QHash<int, QString> files;
  if (files.contains(count)) return files.value(count);
  const QString path = dir.filePath(QStringLiteral("values%1.xml").arg(count));
  {
    XmlStorage storage(QStringLiteral("Info"));
    storage.SetFileName(path);
    Fill(storage, MakeData(count));
  }  // flushed here
  files.insert(count, path);
  return path;
}

void BM_Load(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const QString path = FileOf(count);
  for (auto _ : state) {
    XmlStorage storage(QStringLiteral("Info"));
    storage.SetFileName(path);
    benchmark::DoNotOptimize(storage.ReadString(QStringLiteral("x"), {}));
    state.PauseTiming();
    storage.SetFileName(QString());  // freed untimed, and not written back
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_Read(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  XmlStorage storage(QStringLiteral("Info"));
  Fill(storage, d);
  for (auto _ : state)
    for (int i : d.order) benchmark::DoNotOptimize(storage.ReadString(d.paths[i], QString()));
  state.SetItemsProcessed(state.iterations() * kOperations);
}

// Every value is new: the storage starts empty, as when a file is built.
void BM_WriteNew(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    XmlStorage storage(QStringLiteral("Info"));
    Fill(storage, d);
    benchmark::DoNotOptimize(storage.ReadString(QStringLiteral("x"), {}));
    state.PauseTiming();
    storage.SetFileName(QString());  // freed untimed, as the hash below
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Write(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  XmlStorage storage(QStringLiteral("Info"));
  Fill(storage, d);
  // Each write changes the value: the values rotate by one name.
  int round = 0;
  for (auto _ : state) {
    ++round;
    for (int i : d.order) storage.WriteString(d.paths[i], d.values[(i + round) % d.values.size()]);
  }
  state.SetItemsProcessed(state.iterations() * kOperations);
}

void BM_WriteNewAndDelete(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  XmlStorage storage(QStringLiteral("Info"));
  Fill(storage, d);
  for (auto _ : state) {
    for (int i : d.order) {
      storage.DeleteValue(d.paths[i]);
      storage.WriteString(d.paths[i], d.values[i]);  // appended at the end again
    }
  }
  state.SetItemsProcessed(state.iterations() * kOperations);
}

void BM_Serialize(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  XmlStorage storage(QStringLiteral("Info"));
  Fill(storage, MakeData(count));
  for (auto _ : state) benchmark::DoNotOptimize(storage.Serialize());
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_Flush(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  QTemporaryDir dir;
  XmlStorage storage(QStringLiteral("Info"));
  storage.SetFileName(dir.filePath(QStringLiteral("flush.xml")));
  Fill(storage, MakeData(count));
  for (auto _ : state) storage.Flush();
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_QHashBuild(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    QHash<QString, QString> hash;
    Fill(hash, d);
    benchmark::DoNotOptimize(hash.size());
    state.PauseTiming();
    hash = {};  // freed untimed, as the storage above
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_QHashRead(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  QHash<QString, QString> hash;
  Fill(hash, d);
  for (auto _ : state)
    for (int i : d.order) benchmark::DoNotOptimize(hash.value(d.names[i]));
  state.SetItemsProcessed(state.iterations() * kOperations);
}

void BM_QHashWrite(benchmark::State& state) {
  const Data& d = MakeData(static_cast<int>(state.range(0)));
  QHash<QString, QString> hash;
  Fill(hash, d);
  int round = 0;
  for (auto _ : state) {
    ++round;
    for (int i : d.order) hash.insert(d.names[i], d.values[(i + round) % d.values.size()]);
  }
  state.SetItemsProcessed(state.iterations() * kOperations);
}

#define SIZES ->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Load) SIZES;
BENCHMARK(BM_Read) SIZES;
BENCHMARK(BM_WriteNew) SIZES;
BENCHMARK(BM_Write) SIZES;
BENCHMARK(BM_WriteNewAndDelete) SIZES;
BENCHMARK(BM_Serialize) SIZES;
BENCHMARK(BM_Flush) SIZES;
BENCHMARK(BM_QHashBuild) SIZES;
BENCHMARK(BM_QHashRead) SIZES;
BENCHMARK(BM_QHashWrite) SIZES;

// Prints as usual and keeps each run's CPU time per pass for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (!run.error_occurred) cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }

  void PrintRatios() const {
    static const char* const kPairs[][2] = {
        {"BM_WriteNew", "BM_QHashBuild"}, {"BM_Write", "BM_QHashWrite"}, {"BM_Read", "BM_QHashRead"}};
    for (const char* size : {"50000", "200000"}) {
      for (const auto& pair : kPairs) {
        const auto ours = cpu_.find(std::string(pair[0]) + "/" + size);
        const auto base = cpu_.find(std::string(pair[1]) + "/" + size);
        if (ours == cpu_.end() || base == cpu_.end()) continue;
        std::printf("%-22s %8.1f ms  %-20s %8.1f ms  ratio %.2f\n", ours->first.c_str(), ours->second,
                    base->first.c_str(), base->second, ours->second / base->second);
      }
    }
  }

 private:
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
