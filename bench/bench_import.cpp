// Import of a package of appointments into the stand-in calendar beside
// `cp -r` of the same message files, in the same run, for 1 000 and 10 000
// items: first as new items (Write), then the same package again over the
// items the first import created (Modify). Each size gets a program and a
// store of its own, so the smaller run does not import into the larger
// calendar. The times are wall time of one run each; new_ratio and
// replace_ratio divide them by the time of the copy, per_item_us the new
// import's time by the number of items; *_cpu_s is the processor time the
// process spent in the import, the measure a busy machine skews least.
// The cost per item must not grow with the package.
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <algorithm>
#include <ctime>
#include <vector>
#include <unistd.h>

#include "bench/controller_bench_main.h"
#include "app/main_form.h"
#include "ui/sharing_editor.h"
#include "outlook/redemption_ids.h"
#include "storage/sharing.h"
#include "storage/xml_storage.h"
#include "sync/incoming/package_origin.h"

namespace {

constexpr int kCalendar = 9;
constexpr int kMaxItems = 10000;
const QString kKey = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");
const QString kSender = QStringLiteral("partner@example.org");

// Points the program and the library at a home of their own.
void UseHome(const QString& home) {
  qputenv("XDG_DATA_HOME", (home + "/data").toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", home.toLocal8Bit());
  qunsetenv("VASNIK_PROFILE");
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The sender's package of kMaxItems distinct events, made once per run in
// a store of its own: info.xml and one message file per event.
class Package {
 public:
  Package() {
    UseHome(home_.path());
    auto form = std::make_unique<TMainForm>(QStringList{"lintrove"});
    path_ = home_.path() + "/package";
    QDir().mkpath(path_);
    {
      XmlStorage info(QStringLiteral("Info"));
      info.SetFileName(path_ + "/info.xml");
      info.WriteString("User", kSender);
      info.WriteString("FolderName", "Calendar");
      info.WriteInteger("DefaultItemType", 1);
    }
    const outlook::RdoItems items = form->RSession.GetDefaultFolder(kCalendar).Items();
    const bool batch = form->RSession.BeginBatch();
    for (int i = 0; i < kMaxItems; ++i) {
      // Written from memory: saved into the calendar and deleted again, the
      // items would leave thousands of just-freed inodes, which the file
      // system skips when it allocates the ones timed next.
      const outlook::RdoMail item = items.Add("IPM.Appointment");
      item.SetSubject(QStringLiteral("Meeting %1").arg(i));
      item.SetBody(QString(400, QChar(u'x')));
      item.SaveAs(path_ + u'/' + FileName(i), outlook::ids::olMSG);
    }
    if (batch) form->RSession.EndBatch();
  }

  // A package directory of the first n files (hard links).
  QString Subset(int n) const {
    const QString dir = home_.path() + QStringLiteral("/package-%1").arg(n);
    if (QFileInfo(dir).isDir()) return dir;
    QDir().mkpath(dir);
    const auto link = [&](const QString& name) {
      ::link(QFile::encodeName(path_ + u'/' + name).constData(), QFile::encodeName(dir + u'/' + name).constData());
    };
    link("info.xml");
    for (int i = 0; i < n; ++i) link(FileName(i));
    return dir;
  }

 private:
  static QString FileName(int i) { return QStringLiteral("K%1.msg").arg(i, 31, 10, QChar(u'0')); }

  QTemporaryDir home_;
  QString path_;
};

Package& ThePackage() {
  static Package package;
  return package;
}

// One program with an empty calendar mapped to the package's key.
struct Receiver {
  QTemporaryDir home;
  std::unique_ptr<TMainForm> form;
  QString folder;

  Receiver() {
    UseHome(home.path());
    form = std::make_unique<TMainForm>(QStringList{"lintrove"});
    const outlook::RdoFolder calendar = form->RSession.GetDefaultFolder(kCalendar);
    folder = calendar.EntryID();
    form->zEXML.WriteString("DEN\\Folders\\" + kKey, folder);
    form->zEXML.WriteString("DEN\\FoldersSID\\" + kKey, calendar.StoreID());
  }

  void Grant(bool modify, bool write) {
    form->SharingList->Model().Clear();
    form->SharingList->AppendRow(SharingRow{true, kSender, modify ? "Allow" : "Deny", "Allow", write ? "Allow" : "Deny"});
    form->SaveFolderSettings(folder);
  }

  // Delivers the package as the intake leaves it and imports it; the wall
  // and processor seconds of the import.
  std::pair<double, double> Import(const QString& package) {
    QProcess::execute("cp", {"-r", package, form->InboxDir + kKey});
    // As the intake leaves it: the sender's update mails brought it now.
    package_origin::RecordUnpacked(form->InboxDir + kKey,
                                   MailOrigin{kSender, kSender, QDateTime::currentDateTimeUtc()});
    ::sync();
    const double cpu = CpuSeconds();
    QElapsedTimer timer;
    timer.start();
    form->ImportPackage(form->InboxDir + kKey);
    return {double(timer.nsecsElapsed()) / 1e9, CpuSeconds() - cpu};
  }

  int CalendarCount() const { return form->RSession.GetDefaultFolder(kCalendar).Items().Count(); }
};

// cp -r of the package to target0..2; the copies stay until the caller
// removes them, so that no removal lies between a copy and the import it
// is compared with. Each timed part starts with nothing dirty in the page
// cache, so that neither pays for writing back what the other wrote; cp's
// time swings with the machine's other work, so it is the middle one of
// three copies.
double CopySeconds(const QString& package, const QString& target) {
  std::vector<double> seconds;
  for (int copy = 0; copy < 3; ++copy) {
    const QString into = target + QString::number(copy);
    ::sync();
    QElapsedTimer timer;
    timer.start();
    QProcess::execute("cp", {"-r", package, into});
    seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[1];
}

std::vector<QString>& Leftovers() {
  static std::vector<QString> homes;
  return homes;
}

void BM_Import(benchmark::State& state) {
  const int n = int(state.range(0));
  const QString package = ThePackage().Subset(n);
  for (auto _ : state) {
    Receiver r;
    r.Grant(false, true);
    const double copy = CopySeconds(package, r.home.path() + "/copy");
    const auto [added, addedCpu] = r.Import(package);
    const int afterAdd = r.CalendarCount();
    r.Grant(true, false);
    const auto [replaced, replacedCpu] = r.Import(package);
    const int afterReplace = r.CalendarCount();
    // Removed only at the end, so that the next size does not start among
    // thousands of just-freed inodes.
    r.form.reset();
    r.home.setAutoRemove(false);
    Leftovers().push_back(r.home.path());
    state.SetIterationTime(added);
    state.counters["items"] = n;
    state.counters["new_s"] = added;
    state.counters["replace_s"] = replaced;
    state.counters["cp_s"] = copy;
    state.counters["new_ratio"] = added / copy;
    state.counters["replace_ratio"] = replaced / copy;
    state.counters["new_cpu_s"] = addedCpu;
    state.counters["replace_cpu_s"] = replacedCpu;
    state.counters["per_item_us"] = added * 1e6 / n;
    if (afterAdd != n || afterReplace != n) {
      static std::string error;
      error = QStringLiteral("%1 items after the new import, %2 after the replacing one")
                  .arg(afterAdd)
                  .arg(afterReplace)
                  .toStdString();
      state.SkipWithError(error.c_str());
    }
  }
}
BENCHMARK(BM_Import)->Arg(1000)->Arg(kMaxItems)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  return RunControllerBenchmarks(argc, argv, [] {
    for (const QString& home : Leftovers()) QDir(home).removeRecursively();
  });
}
