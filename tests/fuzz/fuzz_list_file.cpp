// libFuzzer target: the list file parser and the volume name rule. Every name
// the parser accepts is a volume of its own package by a rule written here
// independently (a regular expression), so nothing else can ever be opened or
// deleted beside the package's volumes.
#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

#include "platform/ansi.h"
#include "sync/incoming/list_file.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsVolumeOf(const QString& name, const QString& key) {
  if (key.isEmpty()) return false;
  const QRegularExpression rule(QStringLiteral("\\A%1\\.(zip|z[0-9]{2,})\\z").arg(QRegularExpression::escape(key)));
  return rule.match(name).hasMatch();
}

// A key as the intake lets it through: one plain file name.
bool IsPlainName(const QString& s) {
  if (s.isEmpty() || s == u"." || s.contains(QLatin1String(".."))) return false;
  for (QChar c : s)
    if (c.unicode() < 0x20 || c == u'/' || c == u'\\' || c == u':' || c == u',') return false;
  return true;
}

// Parses text with key; what is accepted must satisfy the rule.
void ParseAndCheck(const QByteArray& text, const QString& key) {
  try {
    const QStringList names = incoming::ParseListFile(text, key);
    Check(text.size() <= incoming::kMaxListFileBytes);
    for (const QString& name : names) {
      Check(IsVolumeOf(name, key));
      Check(incoming::IsPackageVolumeName(name, key));
      if (IsPlainName(key)) Check(!name.contains(u'/') && !name.contains(u'\\') && !name.contains(u':'));
    }
  } catch (const incoming::ListFileError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

  // The whole input as the list file of package "K".
  ParseAndCheck(bytes, QStringLiteral("K"));

  // The first line as a key of its own, the second as a name to judge, and
  // the rest as that key's list file.
  const qsizetype firstEnd = bytes.indexOf('\n');
  if (firstEnd < 0) return 0;
  const QString key = platform::FromAnsi(QByteArrayView(bytes).first(firstEnd));
  const QByteArray rest = bytes.mid(firstEnd + 1);
  const qsizetype secondEnd = rest.indexOf('\n');
  const QString name = platform::FromAnsi(secondEnd < 0 ? QByteArrayView(rest) : QByteArrayView(rest).first(secondEnd));
  Check(incoming::IsPackageVolumeName(name, key) == IsVolumeOf(name, key));
  ParseAndCheck(rest, key);
  return 0;
}
