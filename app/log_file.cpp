#include "app/log_file.h"

#include <QFile>

#include "platform/ansi.h"

namespace {

// Qt's long time formats end in a time-zone token ("t", "tt"...); the log's
// "long time" is the h:mm:ss style of the user's settings, so the token goes,
// together with the blank that separated it. Quoted literals are kept as they
// are.
QString StripTimeZone(const QString& format) {
  QString out;
  out.reserve(format.size());
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format.at(i);
    if (c == u'\'') {
      quoted = !quoted;
      out += c;
      continue;
    }
    if (quoted || c != u't') {
      out += c;
      continue;
    }
    while (i + 1 < format.size() && format.at(i + 1) == u't') ++i;
    // Drop the blank before the token; a token at the start takes the blank
    // after it instead.
    if (!out.isEmpty() && out.back().isSpace()) {
      while (!out.isEmpty() && out.back().isSpace()) out.chop(1);
    } else {
      while (i + 1 < format.size() && format.at(i + 1).isSpace()) ++i;
    }
  }
  return out;
}

QString FormatWith(const QDateTime& time, const QLocale& locale, const QString& dateFormat,
                   const QString& timeFormat) {
  QString text = locale.toString(time.date(), dateFormat);
  const QTime t = time.time();
  if (t != QTime(0, 0)) {
    text += u' ';
    text += locale.toString(t, timeFormat);
  }
  return text;
}

QString DoubleGreaterThan(const QString& text) {
  if (!text.contains(u'>')) return text;
  QString out = text;
  out.replace(QStringLiteral(">"), QStringLiteral(">>"));
  return out;
}

}  // namespace

LogFile::LogFile(qsizetype maxChars)
    : maxChars_(maxChars),
      dateFormat_(QLocale::system().dateFormat(QLocale::ShortFormat)),
      timeFormat_(StripTimeZone(QLocale::system().timeFormat(QLocale::LongFormat))),
      locale_(QLocale::system()) {}

QString LogFile::SeverityWord(Severity severity) {
  switch (severity) {
    case Severity::Error:
      return QStringLiteral("Error");
    case Severity::Warning:
      return QStringLiteral("Warning");
    case Severity::Information:
      break;
  }
  return QStringLiteral("Information");
}

QString LogFile::FormatTime(const QDateTime& time, const QLocale& locale) {
  return FormatWith(time, locale, locale.dateFormat(QLocale::ShortFormat),
                    StripTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString LogFile::FormatLine(const Record& record) {
  QString line;
  line.reserve(record.time.size() + record.title.size() + record.description.size() + 20);
  line += u'[';
  line += record.time;
  line += u']';
  line += SeverityWord(record.severity);
  line += u'>';
  line += DoubleGreaterThan(record.title);
  line += u'>';
  line += record.description;
  line += QStringLiteral("\r\n");
  return line;
}

std::optional<LogFile::Record> LogFile::ParseLine(QStringView line) {
  const qsizetype open = line.indexOf(u'[');
  if (open < 0) return std::nullopt;
  const qsizetype close = line.indexOf(u']', open + 1);
  if (close < 0) return std::nullopt;

  Record record;
  record.time = line.mid(open + 1, close - open - 1).toString();
  QStringView rest = line.mid(close + 1);
  const qsizetype severityEnd = rest.indexOf(u'>');
  const QStringView word = severityEnd < 0 ? rest : rest.left(severityEnd);
  if (word == u"Error")
    record.severity = Severity::Error;
  else if (word == u"Warning")
    record.severity = Severity::Warning;
  else
    record.severity = Severity::Information;
  if (severityEnd < 0) return record;  // no title at all

  rest = rest.mid(severityEnd + 1);
  qsizetype separator = -1;
  for (qsizetype i = 0; i < rest.size(); ++i) {
    if (rest.at(i) != u'>') continue;
    if (i + 1 < rest.size() && rest.at(i + 1) == u'>') {
      ++i;  // a doubled ">" belongs to the title
      continue;
    }
    separator = i;
    break;
  }
  const QStringView title = separator < 0 ? rest : rest.left(separator);
  record.title = title.toString();
  record.title.replace(QStringLiteral(">>"), QStringLiteral(">"));
  if (separator >= 0) record.description = rest.mid(separator + 1).toString();
  return record;
}

void LogFile::SetFileName(const QString& fileName) {
  fileName_ = fileName;
  diskSize_ = -1;
  if (!fileName_.isEmpty()) Load();
}

void LogFile::Load() {
  QFile file(fileName_);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return;
  const QString text = platform::FromAnsi(bytes);

  std::deque<Entry> entries;
  QByteArray lines;
  lines.reserve(bytes.size());
  for (QStringView line : QStringView(text).split(u'\n')) {
    if (line.endsWith(u'\r')) line.chop(1);
    std::optional<Record> record = ParseLine(line);
    if (!record) continue;
    const QByteArray encoded = platform::ToAnsi(FormatLine(*record));
    lines += encoded;
    entries.push_back(Entry{std::move(*record), encoded.size()});
  }
  entries_ = std::move(entries);
  lines_ = std::move(lines);
  linesStart_ = 0;
  // A file this class wrote reads back to the very same bytes; then the next
  // record can simply be appended.
  if (lines_ == bytes) diskSize_ = bytes.size();
}

void LogFile::Add(const QString& title, const QString& description) noexcept {
  try {
    Record record;
    record.time = FormatWith(QDateTime::currentDateTime(), locale_, dateFormat_, timeFormat_);
    record.severity = Severity::Error;
    record.title = title;
    record.description = description;
    AddRecords({record});
  } catch (...) {
    // Out of memory while raising an exception: the record is lost, the
    // program goes on.
  }
}

void LogFile::AddTitles(const std::vector<QString>& titles) noexcept {
  try {
    const QString time = FormatWith(QDateTime::currentDateTime(), locale_, dateFormat_, timeFormat_);
    std::vector<Record> records;
    records.reserve(titles.size());
    for (const QString& title : titles) records.push_back(Record{time, Severity::Error, title, {}});
    AddRecords(records);
  } catch (...) {
  }
}

void LogFile::AddRecord(const Record& record) noexcept {
  try {
    AddRecords({record});
  } catch (...) {
  }
}

void LogFile::AddRecords(const std::vector<Record>& records) noexcept {
  if (records.empty()) return;
  const qsizetype sizeBefore = lines_.size();
  try {
    for (const Record& record : records) Append(record);
    const qsizetype appended = lines_.size() - sizeBefore;
    const qsizetype countBefore = Count();
    Trim();
    if (autoSave_ && !fileName_.isEmpty()) Flush(Count() != countBefore, appended);
  } catch (...) {
    // Some records may be in memory but not in the file: the next write must
    // be a whole one.
    diskSize_ = -1;
  }
}

void LogFile::Append(const Record& record) {
  const QByteArray encoded = platform::ToAnsi(FormatLine(record));
  lines_ += encoded;
  try {
    entries_.push_back(Entry{record, encoded.size()});
  } catch (...) {
    lines_.chop(encoded.size());
    throw;
  }
}

// Walking from the newest record towards the oldest and summing line lengths
// until the sum reaches the limit keeps exactly the records whose newer
// neighbours alone stay below the limit. The same set results from dropping
// the oldest record for as long as the records after it reach the limit,
// which costs nothing per kept record.
void LogFile::Trim() {
  qsizetype live = TotalChars();
  while (entries_.size() > 1 && live - entries_.front().lineLength >= maxChars_) {
    live -= entries_.front().lineLength;
    linesStart_ += entries_.front().lineLength;
    entries_.pop_front();
  }
  if (linesStart_ > 0 && linesStart_ >= lines_.size() - linesStart_) {
    lines_.remove(0, linesStart_);
    linesStart_ = 0;
  }
}

void LogFile::Flush(bool trimmed, qsizetype appended) {
  // Untrimmed, the new lines are the last `appended` bytes of the buffer.
  if (!trimmed && diskSize_ >= 0 && appended > 0) {
    if (AppendToFile(lines_.constData() + lines_.size() - appended, appended)) return;
  }
  WriteWhole();
}

bool LogFile::AppendToFile(const char* data, qsizetype size) {
  QFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) return false;
  // Someone else changed the file (truncated, appended, replaced): only a
  // whole rewrite gives the promised content again.
  if (file.size() != diskSize_) return false;
  const qint64 written = file.write(data, size);
  if (written != size) {
    diskSize_ = -1;
    return false;
  }
  diskSize_ += size;
  return true;
}

bool LogFile::WriteWhole() {
  diskSize_ = -1;
  QFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) return false;
  const qsizetype size = TotalChars();
  if (file.write(LinesData(), size) != size) return false;
  diskSize_ = size;
  return true;
}

bool LogFile::Save() noexcept {
  if (fileName_.isEmpty()) return false;
  return WriteWhole();
}
