#include "app/log_file.h"

#include "platform/ansi.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

namespace {

LogFile::Record Rec(const QString& title, const QString& description = {},
                    LogFile::Severity severity = LogFile::Severity::Error) {
  return LogFile::Record{QStringLiteral("5/3/2024 13:04:05"), severity, title, description};
}

// The concatenation the file must hold for the records in memory.
QByteArray Expected(const LogFile& log) {
  QByteArray bytes;
  for (qsizetype i = 0; i < log.Count(); ++i) bytes += platform::ToAnsi(LogFile::FormatLine(log.At(i)));
  return bytes;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
  QString Path(const char* name = "error.log") const { return dir_.filePath(QString::fromLatin1(name)); }
  QTemporaryDir dir_;
};

// ---- Line format ------------------------------------------------------------

TEST_F(LogFileTest, LineFormatGoldenBytes) {
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  log.AddRecord(Rec(QStringLiteral("  Except frame-dump:")));
  log.AddRecord(Rec(QStringLiteral("a>b>>c"), QStringLiteral("d>e"), LogFile::Severity::Warning));
  log.AddRecord(Rec(QString(), QString(), LogFile::Severity::Information));
  log.AddRecord(Rec(QStringLiteral("euro \u20AC, e-acute \u00E9, not in the code page \u4E00")));
  EXPECT_EQ(ReadAll(Path()),
            QByteArray("[5/3/2024 13:04:05]Error>  Except frame-dump:>\r\n"
                       "[5/3/2024 13:04:05]Warning>a>>b>>>>c>d>e\r\n"
                       "[5/3/2024 13:04:05]Information>>\r\n"
                       "[5/3/2024 13:04:05]Error>euro \x80, e-acute \xE9, not in the code page ?>\r\n"));
}

TEST_F(LogFileTest, AddStampsErrorAndCurrentTime) {
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  const QString before = LogFile::FormatTime(QDateTime::currentDateTime(), QLocale::system());
  log.Add(QStringLiteral("x>y"));
  const QString after = LogFile::FormatTime(QDateTime::currentDateTime(), QLocale::system());
  ASSERT_EQ(log.Count(), 1);
  EXPECT_EQ(log.At(0).severity, LogFile::Severity::Error);
  EXPECT_TRUE(log.At(0).time == before || log.At(0).time == after) << log.At(0).time.toStdString();
  EXPECT_EQ(ReadAll(Path()), "[" + log.At(0).time.toLatin1() + "]Error>x>>y>\r\n");
}

TEST(LogFileTime, ShortDateLongTimeWithoutZoneAndMidnightDateOnly) {
  const QLocale us(QLocale::English, QLocale::UnitedStates);
  const QDate day(2024, 3, 5);
  EXPECT_EQ(LogFile::FormatTime(QDateTime(day, QTime(13, 4, 5)), us), QStringLiteral("3/5/24 1:04:05 PM"));
  EXPECT_EQ(LogFile::FormatTime(QDateTime(day, QTime(0, 0)), us), QStringLiteral("3/5/24"));
  // One millisecond past midnight is not midnight.
  EXPECT_EQ(LogFile::FormatTime(QDateTime(day, QTime(0, 0, 0, 1)), us), QStringLiteral("3/5/24 12:00:00 AM"));
  const QLocale de(QLocale::German, QLocale::Germany);
  EXPECT_EQ(LogFile::FormatTime(QDateTime(day, QTime(13, 4, 5)), de), QStringLiteral("05.03.24 13:04:05"));
  const QString c = LogFile::FormatTime(QDateTime(day, QTime(13, 4, 5)), QLocale::c());
  EXPECT_TRUE(c.endsWith(QStringLiteral(" 13:04:05"))) << c.toStdString();
}

// ---- Loading ----------------------------------------------------------------

TEST(LogFileParse, LoadingRules) {
  struct Case {
    const char16_t* line;
    bool parsed;
    const char16_t* time;
    LogFile::Severity severity;
    const char16_t* title;
    const char16_t* description;
  };
  using S = LogFile::Severity;
  const std::vector<Case> cases = {
      {u"no brackets at all", false, u"", S::Error, u"", u""},
      {u"[no closing bracket>Error>t>", false, u"", S::Error, u"", u""},
      {u"]wrong order[", false, u"", S::Error, u"", u""},
      {u"[t]Error>title>desc", true, u"t", S::Error, u"title", u"desc"},
      {u"[t]Warning>title>", true, u"t", S::Warning, u"title", u""},
      {u"[t]Information>title>", true, u"t", S::Information, u"title", u""},
      {u"[t]Fatal>title>", true, u"t", S::Information, u"title", u""},
      {u"[t]error>title>", true, u"t", S::Information, u"title", u""},
      {u"junk [t]Error>title>", true, u"t", S::Error, u"title", u""},
      {u"[a]b]Error>title>", true, u"a", S::Information, u"title", u""},
      {u"[t]Error>a>>b>c>d", true, u"t", S::Error, u"a>b", u"c>d"},
      {u"[t]Error>a>>>b", true, u"t", S::Error, u"a>", u"b"},
      {u"[t]Error>a>>>>", true, u"t", S::Error, u"a>>", u""},
      {u"[t]Error>>>>", true, u"t", S::Error, u">", u""},
      {u"[t]Error>no separator>>here", true, u"t", S::Error, u"no separator>here", u""},
      {u"[t]Error>", true, u"t", S::Error, u"", u""},
      {u"[t]Error", true, u"t", S::Error, u"", u""},
      {u"[]Error>>", true, u"", S::Error, u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QString::fromUtf16(c.line).toStdString());
    const std::optional<LogFile::Record> r = LogFile::ParseLine(QString::fromUtf16(c.line));
    ASSERT_EQ(r.has_value(), c.parsed);
    if (!r) continue;
    EXPECT_EQ(r->time, QString::fromUtf16(c.time));
    EXPECT_EQ(r->severity, c.severity);
    EXPECT_EQ(r->title, QString::fromUtf16(c.title));
    EXPECT_EQ(r->description, QString::fromUtf16(c.description));
  }
}

TEST_F(LogFileTest, ReloadRoundTripsTitlesWithGreaterThan) {
  {
    LogFile log;
    log.SetFileName(Path());
    log.SetAutoSave(true);
    log.Add(QStringLiteral("Exception E: a > b >> c>"));
    log.Add(QString());
    log.Add(QStringLiteral("\u20AC and \u00FC"));
  }
  LogFile reloaded;
  reloaded.SetFileName(Path());
  ASSERT_EQ(reloaded.Count(), 3);
  EXPECT_EQ(reloaded.At(0).title, QStringLiteral("Exception E: a > b >> c>"));
  EXPECT_EQ(reloaded.At(1).title, QString());
  EXPECT_EQ(reloaded.At(2).title, QStringLiteral("\u20AC and \u00FC"));
  for (qsizetype i = 0; i < 3; ++i) {
    EXPECT_EQ(reloaded.At(i).severity, LogFile::Severity::Error);
    EXPECT_TRUE(reloaded.At(i).description.isEmpty());
  }
}

TEST_F(LogFileTest, LineBreakInTitleWrittenUnchangedOnlyFirstLineSurvivesReload) {
  {
    LogFile log;
    log.SetFileName(Path());
    log.SetAutoSave(true);
    log.AddRecord(Rec(QStringLiteral("first\nsecond\r\nthird")));
    log.AddRecord(Rec(QStringLiteral("next")));
    EXPECT_EQ(ReadAll(Path()),
              QByteArray("[5/3/2024 13:04:05]Error>first\nsecond\r\nthird>\r\n"
                         "[5/3/2024 13:04:05]Error>next>\r\n"));
  }
  LogFile reloaded;
  reloaded.SetFileName(Path());
  ASSERT_EQ(reloaded.Count(), 2);
  EXPECT_EQ(reloaded.At(0).title, QStringLiteral("first"));
  EXPECT_EQ(reloaded.At(1).title, QStringLiteral("next"));
}

TEST_F(LogFileTest, LoadAcceptsBareLineFeedsAndNoFinalLineEnd) {
  WriteAll(Path(), "[a]Error>one>\n[b]Warning>two>\r\n[c]Error>three>");
  LogFile log;
  log.SetFileName(Path());
  ASSERT_EQ(log.Count(), 3);
  EXPECT_EQ(log.At(0).title, QStringLiteral("one"));
  EXPECT_EQ(log.At(1).severity, LogFile::Severity::Warning);
  EXPECT_EQ(log.At(2).title, QStringLiteral("three"));
}

TEST_F(LogFileTest, LoadReplacesRecordsInMemoryButMissingFileKeepsThem) {
  LogFile log;
  log.AddRecord(Rec(QStringLiteral("before binding")));
  log.SetFileName(Path("missing.log"));
  ASSERT_EQ(log.Count(), 1);  // nothing to load: kept
  log.SetAutoSave(true);
  log.AddRecord(Rec(QStringLiteral("after")));
  EXPECT_EQ(ReadAll(Path("missing.log")), Expected(log));
  EXPECT_EQ(log.Count(), 2);

  WriteAll(Path(), "[x]Error>from file>\r\n");
  log.SetFileName(Path());
  ASSERT_EQ(log.Count(), 1);
  EXPECT_EQ(log.At(0).title, QStringLiteral("from file"));
}

// ---- Saving -------------------------------------------------------------------

TEST_F(LogFileTest, FirstAddCreatesTheFile) {
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  EXPECT_FALSE(QFile::exists(Path()));
  log.Add(QStringLiteral("first"));
  EXPECT_TRUE(QFile::exists(Path()));
  EXPECT_EQ(ReadAll(Path()), Expected(log));
}

TEST_F(LogFileTest, AutoSaveOffWritesOnlyOnSave) {
  LogFile log;
  log.SetAutoSave(true);  // no file name yet: nothing to write to
  log.AddRecord(Rec(QStringLiteral("one")));
  EXPECT_FALSE(log.Save());
  log.SetFileName(Path());
  log.SetAutoSave(false);
  log.AddRecord(Rec(QStringLiteral("two")));
  EXPECT_FALSE(QFile::exists(Path()));
  EXPECT_TRUE(log.Save());
  EXPECT_EQ(ReadAll(Path()), Expected(log));
  EXPECT_EQ(log.Count(), 2);
}

// The same records, once appended one by one and once written whole at the end,
// give the same bytes, also across trimming.
TEST_F(LogFileTest, AppendPathEqualsFullRewrite) {
  LogFile appended(300);
  appended.SetFileName(Path("appended.log"));
  appended.SetAutoSave(true);
  LogFile whole(300);
  whole.SetFileName(Path("whole.log"));
  for (int i = 0; i < 40; ++i) {
    const LogFile::Record r = Rec(QStringLiteral("record %1 >").arg(i) + QString(i % 7, u'x'));
    appended.AddRecord(r);
    whole.AddRecord(r);
    ASSERT_EQ(ReadAll(Path("appended.log")), Expected(appended)) << i;
  }
  ASSERT_TRUE(whole.Save());
  EXPECT_EQ(ReadAll(Path("appended.log")), ReadAll(Path("whole.log")));
}

// Several records at once end exactly as one Add per record, in memory and on
// disk, also when the batch crosses the limit.
TEST_F(LogFileTest, BatchEqualsOneAddPerRecord) {
  LogFile batched(300);
  batched.SetFileName(Path("batched.log"));
  batched.SetAutoSave(true);
  LogFile single(300);
  single.SetFileName(Path("single.log"));
  single.SetAutoSave(true);
  for (int round = 0; round < 12; ++round) {
    std::vector<LogFile::Record> batch;
    for (int i = 0; i <= round % 5; ++i) batch.push_back(Rec(QStringLiteral("round %1 line %2").arg(round).arg(i)));
    batched.AddRecords(batch);
    for (const LogFile::Record& r : batch) single.AddRecord(r);
    ASSERT_EQ(batched.Count(), single.Count()) << round;
    ASSERT_EQ(ReadAll(Path("batched.log")), ReadAll(Path("single.log"))) << round;
    ASSERT_EQ(ReadAll(Path("batched.log")), Expected(batched)) << round;
  }

  batched.AddTitles({QStringLiteral("a"), QString(), QStringLiteral("b>")});
  const qsizetype n = batched.Count();
  EXPECT_EQ(batched.At(n - 1).title, QStringLiteral("b>"));
  EXPECT_EQ(batched.At(n - 3).time, batched.At(n - 1).time);
  EXPECT_EQ(batched.At(n - 2).severity, LogFile::Severity::Error);
  EXPECT_EQ(ReadAll(Path("batched.log")), Expected(batched));
}

TEST_F(LogFileTest, ReloadedFileIsContinued) {
  {
    LogFile log;
    log.SetFileName(Path());
    log.SetAutoSave(true);
    log.AddRecord(Rec(QStringLiteral("one")));
  }
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  log.AddRecord(Rec(QStringLiteral("two")));
  EXPECT_EQ(ReadAll(Path()),
            QByteArray("[5/3/2024 13:04:05]Error>one>\r\n[5/3/2024 13:04:05]Error>two>\r\n"));
}

// A file written by hand (continuation lines, junk) is not what the records
// encode to: the next Add must write it whole, not append to the junk.
TEST_F(LogFileTest, ForeignFileIsRewrittenWholeOnNextAdd) {
  WriteAll(Path(), "junk\r\n[a]Error>one\r\ncontinued>\r\n");
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  log.AddRecord(Rec(QStringLiteral("two")));
  EXPECT_EQ(ReadAll(Path()), QByteArray("[a]Error>one>\r\n[5/3/2024 13:04:05]Error>two>\r\n"));
}

TEST_F(LogFileTest, ExternallyTruncatedFileIsRewrittenWhole) {
  LogFile log;
  log.SetFileName(Path());
  log.SetAutoSave(true);
  for (int i = 0; i < 5; ++i) log.AddRecord(Rec(QStringLiteral("r%1").arg(i)));
  WriteAll(Path(), QByteArray());
  log.AddRecord(Rec(QStringLiteral("after truncation")));
  EXPECT_EQ(ReadAll(Path()), Expected(log));

  // Grown behind our back by someone else: the same.
  QFile file(Path());
  ASSERT_TRUE(file.open(QIODevice::Append));
  file.write("foreign\r\n");
  file.close();
  log.AddRecord(Rec(QStringLiteral("after growth")));
  EXPECT_EQ(ReadAll(Path()), Expected(log));
}

TEST_F(LogFileTest, UnwritableFileRaisesNothingAndKeepsRecords) {
  LogFile log;
  log.SetFileName(dir_.filePath(QStringLiteral("no/such/dir/error.log")));
  log.SetAutoSave(true);
  log.Add(QStringLiteral("one"));
  log.Add(QStringLiteral("two"));
  EXPECT_EQ(log.Count(), 2);
  EXPECT_FALSE(log.Save());

  // Once the directory exists, the next Add writes everything.
  ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("no/such/dir")));
  log.Add(QStringLiteral("three"));
  EXPECT_EQ(ReadAll(dir_.filePath(QStringLiteral("no/such/dir/error.log"))), Expected(log));
}

// ---- Trimming -----------------------------------------------------------------

// The walk as the log's rule states it: from the newest record towards the
// oldest while records remain and the sum is below the limit; the older
// records go when the limit was reached.
std::vector<qsizetype> ReferenceTrim(std::vector<qsizetype> lengths, qsizetype limit) {
  qsizetype sum = 0;
  qsizetype i = static_cast<qsizetype>(lengths.size());
  while (i > 0 && sum < limit) sum += lengths[static_cast<size_t>(--i)];
  if (sum >= limit && i > 0) lengths.erase(lengths.begin(), lengths.begin() + i);
  return lengths;
}

TEST_F(LogFileTest, TrimmingKeepsNewestRecordsJustAboveTheLimit) {
  constexpr qsizetype kLimit = 500;
  LogFile log(kLimit);
  log.SetFileName(Path());
  log.SetAutoSave(true);
  std::vector<qsizetype> reference;
  for (int i = 0; i < 200; ++i) {
    // Lengths vary so that the limit is hit, overshot and met exactly.
    const LogFile::Record r = Rec(QStringLiteral("n%1 ").arg(i, 3, 10, QChar(u'0')) + QString((i * 37) % 90, u'.'));
    reference.push_back(LogFile::FormatLine(r).size());
    reference = ReferenceTrim(reference, kLimit);
    log.AddRecord(r);

    ASSERT_EQ(log.Count(), static_cast<qsizetype>(reference.size())) << i;
    EXPECT_TRUE(log.At(log.Count() - 1).title.startsWith(QStringLiteral("n%1").arg(i, 3, 10, QChar(u'0'))));
    qsizetype total = 0;
    for (qsizetype k = 0; k < log.Count(); ++k) total += LogFile::FormatLine(log.At(k)).size();
    EXPECT_EQ(total, log.TotalChars());
    const qsizetype oldest = LogFile::FormatLine(log.At(0)).size();
    if (total >= kLimit) {
      EXPECT_LT(total, kLimit + oldest) << i;
    }
    ASSERT_EQ(ReadAll(Path()), Expected(log)) << i;
  }
}

TEST_F(LogFileTest, BelowTheLimitNothingIsDeleted) {
  LogFile log(1000);
  for (int i = 0; i < 20; ++i) log.AddRecord(Rec(QStringLiteral("x")));  // 29 characters each
  EXPECT_EQ(log.Count(), 20);
  EXPECT_EQ(log.TotalChars(), 20 * 29);
}

TEST_F(LogFileTest, OneRecordLongerThanTheLimitStays) {
  LogFile log(10);
  log.AddRecord(Rec(QStringLiteral("a")));
  log.AddRecord(Rec(QString(50, u'b')));
  ASSERT_EQ(log.Count(), 1);
  EXPECT_EQ(log.At(0).title, QString(50, u'b'));
}

// A file written under a larger limit is loaded whole and trimmed by the next
// Add, which then rewrites it.
TEST_F(LogFileTest, OversizedLoadedFileIsTrimmedByNextAdd) {
  QByteArray bytes;
  for (int i = 0; i < 100; ++i) bytes += "[t]Error>" + QByteArray::number(i).rightJustified(3, '0') + ">\r\n";
  WriteAll(Path(), bytes);  // 100 lines of 15 characters
  LogFile log(100);
  log.SetFileName(Path());
  log.SetAutoSave(true);
  ASSERT_EQ(log.Count(), 100);
  log.AddRecord(LogFile::Record{QStringLiteral("t"), LogFile::Severity::Error, QStringLiteral("new"), {}});
  ASSERT_EQ(log.Count(), 7);  // 6 * 15 + 15 = 105 >= 100, 5 * 15 + 15 < 100
  EXPECT_EQ(log.At(0).title, QStringLiteral("094"));
  EXPECT_EQ(ReadAll(Path()), Expected(log));
}

}  // namespace
