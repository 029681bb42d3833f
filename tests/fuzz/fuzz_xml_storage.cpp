// libFuzzer target: the XML storage reader on any file content. A document
// that loads, in part or whole, must serialise, and what it serialises must
// load again without error.
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>

#include "storage/xml_storage.h"

namespace {

QString ScratchFile(const char* name) {
  static const QString dir = [] {
    const QString d = QDir::tempPath() + QStringLiteral("/lintrove-fuzz-%1").arg(getpid());
    QDir().mkpath(d);
    return d;
  }();
  return dir + u'/' + QLatin1String(name);
}

void WriteFile(const QString& path, const char* data, size_t size) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
  f.write(data, static_cast<qint64>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString input = ScratchFile("input.xml");
  WriteFile(input, reinterpret_cast<const char*>(data), size);
  QByteArray written;
  {
    XmlStorage storage(QStringLiteral("Configuration"));
    try {
      storage.SetFileName(input);
    } catch (const XmlStorageError&) {
      // A damaged document keeps what was read; that part must still work.
    }
    storage.ReadString(QStringLiteral("MainForm\\MonitoredFolders"), QString());
    storage.ReadInteger(QStringLiteral("a\\b\\..\\c"), 0);
    storage.WriteString(QStringLiteral("Fuzz\\Value"), QStringLiteral("<&>\"'"));
    written = storage.Serialize();
    storage.SetFileName(QString());  // never write over the input
  }
  // Our own output always loads again.
  const QString again = ScratchFile("again.xml");
  WriteFile(again, written.constData(), static_cast<size_t>(written.size()));
  XmlStorage reloaded(QStringLiteral("Configuration"));
  try {
    reloaded.SetFileName(again);
  } catch (const XmlStorageError&) {
    std::abort();
  }
  if (reloaded.ReadString(QStringLiteral("Fuzz\\Value"), QString()) != QStringLiteral("<&>\"'")) std::abort();
  reloaded.SetFileName(QString());
  return 0;
}
