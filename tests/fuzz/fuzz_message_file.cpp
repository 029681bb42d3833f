// libFuzzer target: a message file as a peer's package brings it (save
// format 3, read by Import and GetMessageFromMsgFile), and every form the
// store turns the item into: the message file and the mail form written and
// read back, and for a calendar item its iCalendar text — read, synced with
// the item's fields, its times replaced. The same input is also read as a
// calendar folder's .ics file, so the iCalendar reader gets raw input too.
//
// Aborts when a reader lets anything but StoreError escape (ASan catches the
// rest), when what the store wrote cannot be read back, when a second
// write-and-read pass changes the item (the first may normalise it), or
// when the reader or writer of the store's own form and GMime's disagree.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "standin/store/ical_codec.h"
#include "standin/store/item_content.h"
#include "standin/store/mime_codec.h"
#include "standin/store/store_error.h"

namespace {

using namespace vasnik;

[[noreturn]] void Fail(const char* what, const QString& detail = {}) {
  std::fprintf(stderr, "fuzz_message_file: %s %s\n", what, qPrintable(detail));
  std::abort();
}

// Written by the store, so it must read back.
ItemContent ReadBack(const QByteArray& bytes, bool messageFile) {
  try {
    return mime::Read(bytes, messageFile, QStringLiteral("written"));
  } catch (const StoreError& error) {
    Fail("what the store wrote does not read back:", error.Message());
  }
}

void Calendar(const ItemContent& item) {
  try {
    ical::Read(item.icalendar, QStringLiteral("fuzz"));
  } catch (const StoreError&) {
  }
  (void)ical::Uid(item.icalendar);
  (void)ical::DefaultClass(item.icalendar);
  const std::optional<QDateTime> start = ical::Start(item.icalendar);
  const std::optional<QDateTime> end = ical::End(item.icalendar);
  try {
    (void)ical::Synced(item, true);
    (void)ical::Synced(item, false);
    (void)ical::WithTimes(item.icalendar, start, end);
  } catch (const StoreError&) {
  }
}

// Which part of the item a pass changed, for the crash report.
QString Difference(const ItemContent& a, const ItemContent& b) {
  QStringList parts;
  const auto text = [&](const char* name, const QString& x, const QString& y) {
    if (x != y) parts << QStringLiteral("%1: [%2] -> [%3]").arg(QLatin1String(name), x, y);
  };
  text("class", a.messageClass, b.messageClass);
  text("subject", a.subject, b.subject);
  text("body", a.body, b.body);
  text("sender name", a.senderName, b.senderName);
  text("sender address", a.senderAddress, b.senderAddress);
  if (a.recipients.size() != b.recipients.size()) parts << QStringLiteral("recipient count");
  for (size_t i = 0; i < std::min(a.recipients.size(), b.recipients.size()); ++i) {
    text("recipient name", a.recipients[i].name, b.recipients[i].name);
    text("recipient address", a.recipients[i].address, b.recipients[i].address);
    if (a.recipients[i].type != b.recipients[i].type) parts << QStringLiteral("recipient type");
  }
  if (!(a.properties == b.properties)) parts << QStringLiteral("properties");
  if (!(a.attachments == b.attachments)) parts << QStringLiteral("attachments");
  if (a.icalendar != b.icalendar) parts << QStringLiteral("icalendar");
  if (a.headers != b.headers) {
    for (size_t i = 0; i < std::max(a.headers.size(), b.headers.size()); ++i) {
      const auto x = i < a.headers.size() ? a.headers[i] : std::pair<QString, QString>();
      const auto y = i < b.headers.size() ? b.headers[i] : std::pair<QString, QString>();
      if (x != y) parts << QStringLiteral("header [%1: %2] -> [%3: %4]").arg(x.first, x.second, y.first, y.second);
    }
  }
  return parts.join(QStringLiteral("; "));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    SetLogHandler([](const QString&) {});
    return true;
  }();
  (void)quiet;
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

  try {
    const ItemContent item = ical::Read(bytes, QStringLiteral("fuzz.ics"));
    Calendar(item);
  } catch (const StoreError&) {
  }

  // The reader without GMime takes only what it reads as GMime does.
  const std::optional<ItemContent> own = mime::ReadOwnForm(bytes);
  ItemContent item;
  try {
    item = mime::ReadGeneral(bytes, true, QStringLiteral("fuzz.msg"));
  } catch (const StoreError&) {
    if (own) Fail("the reader without GMime took what GMime refuses");
    return 0;
  }
  if (own && !(*own == item)) Fail("the two readers differ:", Difference(*own, item));
  // And its writer writes what GMime writes, but for the boundary.
  if (const std::optional<QByteArray> written = mime::WriteOwnForm(item)) {
    const QByteArray general = mime::WriteGeneral(item, true);
    const auto boundaryOf = [](const QByteArray& text) {
      const qsizetype at = text.indexOf("boundary=\"");
      return at < 0 ? QByteArray() : text.mid(at + 10, text.indexOf('"', at + 10) - at - 10);
    };
    QByteArray mine = *written;
    if (!boundaryOf(mine).isEmpty()) mine.replace(boundaryOf(mine), boundaryOf(general));
    if (mine != general) Fail("the two writers differ");
  }
  if (item.IsCalendar()) Calendar(item);

  // The message file and the mail form, twice round: after the first pass
  // the item must be stable.
  const ItemContent once = ReadBack(mime::Write(item, true), true);
  const ItemContent twice = ReadBack(mime::Write(once, true), true);
  if (!(once == twice)) Fail("a second pass through the message file changed the item:", Difference(once, twice));
  ReadBack(mime::Write(item, false), false);
  return 0;
}
