// "Resync All" of a calendar of 1 000 and of 10 000 appointments into its
// exchange directory, beside cp of the same message files (the middle of
// three copies), in one run: the ratio to cp and the cost per item at both
// sizes (which must stay about the same: the resync grows linearly). Beside
// the wall times, the processor time of each (user + system, of the process
// and of cp's child): on a machine busy with other work, the measure that
// others' load skews least.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <tuple>
#include <unistd.h>
#include <vector>
#include <sys/resource.h>

#include "app/exception_hook.h"
#include "app/main_form.h"
#include "sync/outgoing/resync.h"

namespace {

constexpr int kCalendar = 9;

struct NoWindow : Resync::Progress {
  void Show(int, const QString&) override {}
  void StepIt() override {}
  bool Canceled() const override { return false; }
  void Hide() override {}
};

struct Result {
  double resyncMs = 0;
  double cpMs = 0;
  double resyncCpuMs = 0;
  double cpCpuMs = 0;
};

double CpuMs(int who) {
  rusage usage{};
  getrusage(who, &usage);
  const auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

Result Measure(int items) {
  QTemporaryDir home;
  qputenv("XDG_DATA_HOME", (home.path() + "/data").toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
  qunsetenv("VASNIK_PROFILE");
  TMainForm form(QStringList{"lintrove"});
  const outlook::RdoFolder calendar = form.RSession.GetDefaultFolder(kCalendar);
  const outlook::RdoItems all = calendar.Items();
  for (int i = 0; i < items; ++i) {
    outlook::RdoMail item = all.Add("IPM.Appointment");
    item.SetSubject(QStringLiteral("Meeting %1").arg(i));
    item.SetBody(QString(400, QChar(u'x')));
    item.Save();
  }
  // The store events of the items made here pass before the folder is
  // shared, so that only the resync writes into the directory.
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  const QString f = calendar.EntryID();
  form.MonitoredFolders.Add(f);

  NoWindow window;
  // Each timed part starts with nothing dirty in the page cache, so that
  // neither pays for writing back what the other wrote.
  ::sync();
  QElapsedTimer timer;
  double cpu = CpuMs(RUSAGE_SELF);
  timer.start();
  form.aResync->Run(f, calendar.StoreID(), window);
  Result result;
  result.resyncMs = double(timer.nsecsElapsed()) / 1e6;
  result.resyncCpuMs = CpuMs(RUSAGE_SELF) - cpu;

  const QString source = form.OutboxDir + form.FolderKey(f);
  const int files = int(QDir(source).entryList({"*.msg"}, QDir::Files).size());
  if (files != items) std::printf("  (only %d of %d message files written)\n", files, items);
  // cp's time swings with the machine's other work: the middle one of
  // three copies.
  std::vector<std::pair<double, double>> copies;
  for (int copy = 0; copy < 3; ++copy) {
    const QString target = home.path() + QStringLiteral("/copy%1").arg(copy);
    ::sync();
    cpu = CpuMs(RUSAGE_CHILDREN);
    timer.restart();
    QProcess::execute("cp", {"-r", source, target});
    copies.emplace_back(double(timer.nsecsElapsed()) / 1e6, CpuMs(RUSAGE_CHILDREN) - cpu);
  }
  std::sort(copies.begin(), copies.end());
  std::tie(result.cpMs, result.cpCpuMs) = copies[1];
  form.zTimer->stop();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("LINTROVE_COMMON_FILES_DIR")) qputenv("LINTROVE_COMMON_FILES_DIR", LINTROVE_BUILD_LIB);
  EnableExceptionTracking();
  QApplication app(argc, argv);
  std::printf("%8s %12s %12s %8s %14s %14s %10s %10s\n", "items", "resync ms", "cp ms", "ratio", "resync us/item",
              "resync cpu ms", "cp cpu ms", "cpu ratio");
  double perItem[2] = {0, 0};
  int row = 0;
  for (int items : {1000, 10000}) {
    const Result r = Measure(items);
    perItem[row++] = r.resyncMs * 1000 / items;
    std::printf("%8d %12.1f %12.1f %8.2f %14.1f %14.1f %10.1f %10.2f\n", items, r.resyncMs, r.cpMs,
                r.resyncMs / r.cpMs, r.resyncMs * 1000 / items, r.resyncCpuMs, r.cpCpuMs, r.resyncCpuMs / r.cpCpuMs);
  }
  std::printf("cost per item at 10 000 / at 1 000: %.2f\n", perItem[1] / perItem[0]);
  return 0;
}
