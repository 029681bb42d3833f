// libFuzzer target: the log loader on any file content, and the record line
// round trip: a title without line breaks comes back from its own line.
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

#include "app/log_file.h"
#include "platform/ansi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

  // Loading a file.
  static const QString path = QDir::tempPath() + QStringLiteral("/lintrove-fuzz-log-%1.log").arg(getpid());
  {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    f.write(bytes);
  }
  LogFile log(4096);
  log.SetFileName(path);
  for (qsizetype i = 0; i < log.Count(); ++i) LogFile::FormatLine(log.At(i));

  // A title that the program writes comes back unchanged.
  QString title = platform::FromAnsi(bytes);
  title.remove(u'\r');
  title.remove(u'\n');
  LogFile::Record record;
  record.time = QStringLiteral("9.12.2026 10:00:00");
  record.title = title;
  QString line = LogFile::FormatLine(record);
  while (line.endsWith(u'\n') || line.endsWith(u'\r')) line.chop(1);
  const std::optional<LogFile::Record> back = LogFile::ParseLine(line);
  if (!back || back->title != title || !back->description.isEmpty()) std::abort();
  return 0;
}
