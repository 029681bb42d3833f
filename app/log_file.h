#pragma once
// LogFile: the program's text log ("error.log"), the component aLogFile.
//
// Contract:
// - Records are kept in memory in the order added, oldest first. Each record
//   is one line in the file: "[" time "]" severity ">" title ">" description
//   CR LF, with every ">" of the title doubled, in the ANSI code page
//   (platform/ansi.h; one byte per UTF-16 unit, so characters == bytes) and
//   without a byte-order mark. doc/log_format.md has the exact rules.
// - After every Add the records are trimmed to the size limit: the oldest ones
//   go as long as the newer ones alone still reach the limit. The records kept
//   total at least the limit and less than the limit plus the oldest kept line.
// - With automatic saving on and a file name set, the file after every Add is
//   exactly the concatenation of all record lines. A new line is appended when
//   nothing was trimmed and the file still has the size this object last gave
//   it; otherwise the file is truncated and written whole in one write.
// - Add and Save never throw: the exception hook calls Add while an exception
//   is being raised. A file that cannot be written leaves the records in
//   memory; the next Add or Save writes the file whole again.
// - Not thread-safe: one thread at a time (the program uses it from the UI
//   thread and from the exception hook, which serialises its calls).

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringView>
#include <deque>
#include <optional>
#include <vector>

class LogFile {
 public:
  enum class Severity { Error, Warning, Information };

  struct Record {
    QString time;  // as written between "[" and "]"
    Severity severity = Severity::Error;
    QString title;
    QString description;
  };

  static constexpr qsizetype kDefaultMaxChars = 1048576;

  explicit LogFile(qsizetype maxChars = kDefaultMaxChars);

  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Binds the log to a file. When the file exists and can be read, its
  // records replace those in memory (see ParseLine); otherwise the records in
  // memory stay and are written with the next Add or Save.
  void SetFileName(const QString& fileName);
  const QString& FileName() const { return fileName_; }

  // Automatic saving after every Add; it takes effect only while a file name
  // is set.
  void SetAutoSave(bool on) { autoSave_ = on; }
  bool AutoSave() const { return autoSave_; }

  // Adds a record with severity Error stamped with the current local time.
  void Add(const QString& title, const QString& description = {}) noexcept;
  // Adds a record as given (time text and severity included); trims and saves
  // like Add.
  void AddRecord(const Record& record) noexcept;
  // Adds one Error record per title, all stamped with the same time, then
  // trims and saves once. Memory and file end up exactly as after one Add per
  // title (trimming in between never keeps what trimming at the end drops),
  // but near the size limit the file is rewritten once instead of per title.
  void AddTitles(const std::vector<QString>& titles) noexcept;
  void AddRecords(const std::vector<Record>& records) noexcept;

  // Writes the whole file (truncate, one write). Returns false when no file
  // name is set or the file could not be written.
  bool Save() noexcept;

  qsizetype Count() const { return static_cast<qsizetype>(entries_.size()); }
  const Record& At(qsizetype index) const { return entries_.at(static_cast<size_t>(index)).record; }
  qsizetype MaxChars() const { return maxChars_; }
  // Sum of the lengths of all record lines, line ends included.
  qsizetype TotalChars() const { return lines_.size() - linesStart_; }

  static QString SeverityWord(Severity severity);
  // The record time: the locale's short date, a space and its long time
  // (without a time-zone token); only the date when the time is exactly
  // midnight.
  static QString FormatTime(const QDateTime& time, const QLocale& locale);
  // One record line, CR LF included.
  static QString FormatLine(const Record& record);
  // One physical line without its line end. Returns nothing for a line
  // without "[" or without "]" after it.
  static std::optional<Record> ParseLine(QStringView line);

 private:
  struct Entry {
    Record record;
    qsizetype lineLength;
  };

  void Append(const Record& record);
  void Trim();
  void Load();
  void Flush(bool trimmed, qsizetype appended);
  bool AppendToFile(const char* data, qsizetype size);
  bool WriteWhole();
  const char* LinesData() const { return lines_.constData() + linesStart_; }

  qsizetype maxChars_;
  QString fileName_;
  bool autoSave_ = false;
  QString dateFormat_;
  QString timeFormat_;
  QLocale locale_;

  std::deque<Entry> entries_;
  // The encoded lines of entries_, back to back from linesStart_ on: a rewrite
  // is one write of this buffer. Trimmed lines stay in front until the dead
  // part is as large as the live one, so trimming costs no copy per Add.
  QByteArray lines_;
  qsizetype linesStart_ = 0;
  // Size of the file as this object last wrote it; -1 when unknown, which
  // forces the next write to be a whole rewrite.
  qint64 diskSize_ = -1;
};
