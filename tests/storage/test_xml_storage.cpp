// Tests of the XML storage. The rule numbers (R1, R2, ...) are those of
// doc/xml_storage_format.md; every rule names the tests that pin it.

#include "storage/xml_storage.h"
#include "tests/support/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <vector>

namespace {

QString DataDir() { return QStringLiteral(LINTROVE_TEST_DATA); }

std::string Printable(const QByteArray& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 32 || c >= 127) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Byte-for-byte comparison with a readable report around the first difference.
::testing::AssertionResult SameBytes(const QByteArray& actual, const QByteArray& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  qsizetype at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const qsizetype from = std::max<qsizetype>(0, at - 60);
  return ::testing::AssertionFailure() << "first difference at byte " << at << " (sizes " << actual.size() << " and "
                                       << expected.size() << ")\n--- expected from byte " << from << ":\n"
                                       << Printable(expected.mid(from, 160)) << "\n--- actual from byte " << from
                                       << ":\n"
                                       << Printable(actual.mid(from, 160));
}

// ---------------------------------------------------------------------------
// Golden files (above all R10-R14): <case>.recipe, optionally with
// <case>.input.xml loaded first, and <case>.expected.xml, the exact bytes of
// the file after the recipe's writes and a Flush.
//
// Recipe lines: "root NAME", "prefix PREFIX" (later writes go through a
// FormStorage), "write PATH = VALUE", "int PATH = N", "delete PATH",
// "expect PATH = VALUE" (a read), "# comment". VALUE knows the escapes \\ \t
// \r \n \xHH and \u{HEX}; paths are taken as written.

QString Unescape(QStringView s) {
  QString out;
  for (qsizetype i = 0; i < s.size(); ++i) {
    if (s[i] != u'\\' || i + 1 == s.size()) {
      out.append(s[i]);
      continue;
    }
    const QChar kind = s[++i];
    if (kind == u'\\') {
      out.append(u'\\');
    } else if (kind == u't') {
      out.append(u'\t');
    } else if (kind == u'r') {
      out.append(u'\r');
    } else if (kind == u'n') {
      out.append(u'\n');
    } else if (kind == u'x') {
      out.append(QChar(static_cast<char16_t>(s.mid(i + 1, 2).toUInt(nullptr, 16))));
      i += 2;
    } else if (kind == u'u') {
      const qsizetype close = s.indexOf(u'}', i);
      const char32_t code = s.mid(i + 2, close - i - 2).toUInt(nullptr, 16);
      if (code < 0x10000)
        out.append(QChar(static_cast<char16_t>(code)));
      else
        out.append(QString::fromUcs4(&code, 1));
      i = close;
    } else {
      ADD_FAILURE() << "unknown escape in recipe: " << s.toString().toStdString();
    }
  }
  return out;
}

std::vector<std::string> GoldenCases() {
  std::vector<std::string> names;
  const QStringList recipes = QDir(DataDir()).entryList({QStringLiteral("*.recipe")}, QDir::Files, QDir::Name);
  for (const QString& recipe : recipes) names.push_back(recipe.chopped(7).toStdString());
  return names;
}

class GoldenFile : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenFile, MatchesByteForByte) {
  const QString name = QString::fromStdString(GetParam());
  const QString base = DataDir() + u'/' + name;
  const QByteArray expected = ReadAll(base + QStringLiteral(".expected.xml"));
  ASSERT_FALSE(expected.isEmpty()) << "missing " << name.toStdString() << ".expected.xml";
  const QStringList lines = QString::fromUtf8(ReadAll(base + QStringLiteral(".recipe"))).split(u'\n');

  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("doc.xml"));
  if (QFileInfo::exists(base + QStringLiteral(".input.xml"))) {
    ASSERT_TRUE(QFile::copy(base + QStringLiteral(".input.xml"), file));
  }

  QString root = QStringLiteral("Configuration");
  for (const QString& line : lines)
    if (line.startsWith(QStringLiteral("root "))) root = line.mid(5);

  {
    XmlStorage storage(root);
    ASSERT_NO_THROW(storage.SetFileName(file));
    QString prefix;
    for (const QString& line : lines) {
      if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(QStringLiteral("root "))) continue;
      const qsizetype space = line.indexOf(u' ');
      const QString command = line.left(space);
      const QString rest = line.mid(space + 1);
      if (command == u"prefix") {
        prefix = rest;
        continue;
      }
      FormStorage view(storage, prefix);
      const qsizetype eq = rest.indexOf(QStringLiteral(" ="));
      const QString path = eq < 0 ? rest : rest.left(eq);
      QString value = eq < 0 ? QString() : rest.mid(eq + 2);
      if (value.startsWith(u' ')) value.remove(0, 1);
      if (command == u"write") {
        view.WriteString(path, Unescape(value));
      } else if (command == u"int") {
        view.WriteInteger(path, value.toInt());
      } else if (command == u"delete") {
        storage.DeleteValue(prefix + path);
      } else if (command == u"expect") {
        EXPECT_EQ(view.ReadString(path, QStringLiteral("<missing>")), Unescape(value)) << line.toStdString();
      } else {
        FAIL() << "unknown recipe line: " << line.toStdString();
      }
    }
    storage.Flush();
    const QByteArray written = ReadAll(file);
    EXPECT_TRUE(SameBytes(written, expected));
    EXPECT_TRUE(SameBytes(storage.Serialize(), written)) << "Serialize differs from the flushed file";
  }

  // The reader takes back exactly what the writer wrote.
  XmlStorage again(root);
  ASSERT_NO_THROW(again.SetFileName(file));
  EXPECT_TRUE(SameBytes(again.Serialize(), expected)) << "written file does not survive a reload";
}

INSTANTIATE_TEST_SUITE_P(XmlStorageFormat, GoldenFile, ::testing::ValuesIn(GoldenCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A storage bound to a file in its own temporary directory.
class TempStorage : public ::testing::Test {
 protected:
  QString Path(const QString& name = QStringLiteral("config.xml")) const { return dir_.filePath(name); }
  QTemporaryDir dir_;
};

// ---------------------------------------------------------------------------
// R1-R4: paths and names

TEST(XmlStoragePaths, NormalisationDropsEmptyAndDotComponents) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.WriteString(QStringLiteral("a\\b\\c"), QStringLiteral("v"));
  for (const char* path : {"\\a\\\\b\\c\\", ".\\a\\.\\b\\c", "a\\x\\..\\b\\c", "a\\x\\y\\...\\b\\c",
                           "..\\..\\..\\a\\b\\c", "a\\b\\c\\d\\..", "..\\Configuration\\a\\b\\c"})
    EXPECT_EQ(s.ReadString(QString::fromLatin1(path), QStringLiteral("def")), QStringLiteral("v")) << path;
}

TEST(XmlStoragePaths, PathThatNormalisesToNothingIsIgnored) {
  XmlStorage s(QStringLiteral("Configuration"));
  int changes = 0;
  s.SetOnChange([&] { ++changes; });
  // "..." removes the root component as well: nothing is left to address.
  s.WriteString(QStringLiteral("..."), QStringLiteral("v"));
  s.DeleteValue(QStringLiteral("x\\...."));
  EXPECT_EQ(s.ReadString(QStringLiteral("..."), QStringLiteral("def")), QStringLiteral("def"));
  EXPECT_EQ(changes, 0);
  EXPECT_TRUE(s.Serialize().endsWith("<Configuration/>\r\n"));
}

TEST(XmlStoragePaths, LookupFoldsAsciiLettersOnly) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.WriteString(QStringLiteral("SharedFolders\\00AbCdEf\\User0\\Email"), QStringLiteral("a@example.org"));
  EXPECT_EQ(s.ReadString(QStringLiteral("sharedfolders\\00abcdef\\user0\\email"), {}), QStringLiteral("a@example.org"));
  EXPECT_EQ(s.ReadString(QStringLiteral("SHAREDFOLDERS\\00ABCDEF\\USER0\\EMAIL"), {}), QStringLiteral("a@example.org"));
  // "_" and "-" are not letters: no folding between them or with others.
  s.WriteString(QStringLiteral("a_b"), QStringLiteral("underscore"));
  EXPECT_EQ(s.ReadString(QStringLiteral("a-b"), QStringLiteral("def")), QStringLiteral("def"));
  EXPECT_EQ(s.ReadString(QStringLiteral("A_B"), QStringLiteral("def")), QStringLiteral("underscore"));
  s.WriteString(QStringLiteral("k\u00C9"), QStringLiteral("e acute"));  // non-ASCII: replaced by the name rule
  EXPECT_EQ(s.ReadString(QStringLiteral("K_"), QStringLiteral("def")), QStringLiteral("e acute"));
}

TEST(XmlStoragePaths, NameRuleMakesVariantsOneKey) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.WriteString(QStringLiteral("My Key{1}\\tab\there"), QStringLiteral("v"));
  EXPECT_EQ(s.ReadString(QStringLiteral("My_Key_1_\\tab_here"), {}), QStringLiteral("v"));
  EXPECT_EQ(s.ReadString(QStringLiteral("my}key 1{\\TAB\nHERE"), {}), QStringLiteral("v"));
}

TEST_F(TempStorage, HexIdsAndColonNamesSurviveReload) {
  const QString id = QStringLiteral("0000000038A1BB1005E5101AA1BB08002B2A56C2");
  {
    XmlStorage s(QStringLiteral("Configuration"));
    s.SetFileName(Path());
    s.WriteInteger(QStringLiteral("SharedFolders\\") + id + QStringLiteral("\\UserCount"), 3);
    s.WriteString(QStringLiteral("ns:key"), QStringLiteral("colon"));
  }
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  EXPECT_EQ(s.ReadInteger(QStringLiteral("SharedFolders\\") + id.toLower() + QStringLiteral("\\UserCount"), 0), 3);
  // Regression: a name with a colon must not be split into prefix and name.
  EXPECT_EQ(s.ReadString(QStringLiteral("ns:key"), {}), QStringLiteral("colon"));
}

// ---------------------------------------------------------------------------
// R5-R7: values

TEST_F(TempStorage, EmptyAndBlankValues) {
  {
    XmlStorage s(QStringLiteral("Configuration"));
    s.SetFileName(Path());
    s.WriteString(QStringLiteral("Empty"), QString());
    s.WriteString(QStringLiteral("Blanks"), QStringLiteral("  \t "));
    EXPECT_EQ(s.ReadString(QStringLiteral("Empty"), QStringLiteral("def")), QString());
    EXPECT_EQ(s.ReadString(QStringLiteral("Missing"), QStringLiteral("def")), QStringLiteral("def"));
    // In memory the blanks are still there ...
    EXPECT_EQ(s.ReadString(QStringLiteral("Blanks"), QStringLiteral("def")), QStringLiteral("  \t "));
  }
  const QByteArray bytes = ReadAll(Path());
  EXPECT_TRUE(bytes.contains("  <Empty/>\r\n"));
  EXPECT_TRUE(bytes.contains("  <Blanks>  \t </Blanks>\r\n"));
  // ... but white-space-only text is layout to the reader.
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  EXPECT_EQ(s.ReadString(QStringLiteral("Blanks"), QStringLiteral("def")), QString());
  EXPECT_EQ(s.ReadString(QStringLiteral("Empty"), QStringLiteral("def")), QString());
}

TEST(XmlStorageValues, ReadIntegerParsesStrictDecimal) {
  XmlStorage s(QStringLiteral("Configuration"));
  const struct {
    const char* text;
    int expected;
  } cases[] = {{"0", 0},   {"42", 42},         {"-17", -17},           {"+5", 5},
               {"abc", -1}, {"", -1},          {"12abc", -1},          {" 5", -1},
               {"5 ", -1},  {"0x10", -1},      {"2147483647", 2147483647}, {"2147483648", -1},
               {"-2147483648", std::numeric_limits<int>::min()},       {"-2147483649", -1},
               {"-", -1},   {"99999999999999999999", -1}};
  for (const auto& c : cases) {
    s.WriteString(QStringLiteral("n"), QString::fromLatin1(c.text));
    EXPECT_EQ(s.ReadInteger(QStringLiteral("n"), 7), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(s.ReadInteger(QStringLiteral("missing"), 7), 7);
  s.WriteInteger(QStringLiteral("w"), -12);
  EXPECT_EQ(s.ReadString(QStringLiteral("w"), {}), QStringLiteral("-12"));
}

TEST(XmlStorageValues, DeleteLeavesKeyElements) {
  XmlStorage s(QStringLiteral("Info"));
  s.WriteString(QStringLiteral("F\\I1"), QStringLiteral("K1"));
  s.WriteString(QStringLiteral("F\\K1"), QStringLiteral("I1"));
  s.DeleteValue(QStringLiteral("f\\i1"));
  s.DeleteValue(QStringLiteral("F\\K1"));
  EXPECT_EQ(s.ReadString(QStringLiteral("F\\I1"), QStringLiteral("def")), QStringLiteral("def"));
  EXPECT_EQ(s.ReadString(QStringLiteral("F"), QStringLiteral("def")), QString());  // the key is still there
  EXPECT_TRUE(s.Serialize().endsWith("<Info>\r\n  <F/>\r\n</Info>\r\n"));
}

// ---------------------------------------------------------------------------
// R15-R19: reading and binding

TEST_F(TempStorage, BindingAppendsXmlOnlyWithoutExtension) {
  XmlStorage s(QStringLiteral("Info"));
  s.SetFileName(Path(QStringLiteral("config")));
  EXPECT_EQ(s.FileName(), Path(QStringLiteral("config.xml")));
  s.SetFileName(Path(QStringLiteral("user.uxm")));
  EXPECT_EQ(s.FileName(), Path(QStringLiteral("user.uxm")));
}

TEST_F(TempStorage, BindingTheSameNameAgainDoesNothing) {
  WriteAll(Path(), "<Configuration><A>file</A></Configuration>");
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  s.WriteString(QStringLiteral("A"), QStringLiteral("memory"));
  s.SetFileName(Path(QStringLiteral("config")));  // the same file once ".xml" is added
  EXPECT_EQ(s.ReadString(QStringLiteral("A"), {}), QStringLiteral("memory"));
}

// Found by fuzzing: a declared code page we cannot read was written back as
// it stood, so the program's own file failed to load on every later start.
TEST_F(TempStorage, UnknownEncodingIsWrittenBackAsTheOneItWasReadAs) {
  WriteAll(Path(), "<?xml standalone=\"yes\" encoding=\"winfows-1250\"?>\r\n<Configuration>\r\n  <City>x</City>\r\n</Configuration>\r\n");
  {
    XmlStorage s(QStringLiteral("Configuration"));
    EXPECT_THROW(s.SetFileName(Path()), XmlStorageError);
    EXPECT_EQ(s.ReadString(QStringLiteral("City"), {}), QStringLiteral("x"));
    EXPECT_TRUE(s.Serialize().startsWith("<?xml version=\"1.0\" standalone=\"yes\" encoding=\"Windows-1252\"?>\r\n"));
    s.WriteString(QStringLiteral("City"), QStringLiteral("y"));
  }
  XmlStorage again(QStringLiteral("Configuration"));
  EXPECT_NO_THROW(again.SetFileName(Path()));
  EXPECT_EQ(again.ReadString(QStringLiteral("City"), {}), QStringLiteral("y"));
}

// Found by fuzzing too: a UTF-16 file whose declaration names another
// encoding was written back as ANSI under that name.
TEST_F(TempStorage, DeclarationThatContradictsTheByteOrderMarkIsCorrected) {
  const QString text = QStringLiteral("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<Info>\r\n  <A>\u044F</A>\r\n</Info>\r\n");
  QByteArray bytes("\xFF\xFE");
  bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
  WriteAll(Path(), bytes);
  {
    XmlStorage s(QStringLiteral("Info"));
    s.SetFileName(Path());
    s.WriteString(QStringLiteral("B"), QStringLiteral("b"));
  }
  XmlStorage again(QStringLiteral("Info"));
  EXPECT_NO_THROW(again.SetFileName(Path()));
  EXPECT_EQ(again.ReadString(QStringLiteral("A"), {}), QString(QChar(0x044F)));
  EXPECT_TRUE(ReadAll(Path()).startsWith("\xFF\xFE<\0?\0x\0m\0l\0"));
}

// Found by fuzzing: a name read through a reference to a character that ends
// a name ("&#32;") was written back with the character itself, so the
// program's own file no longer loaded.
TEST_F(TempStorage, NameWithReferencedDelimitersSurvivesReload) {
  WriteAll(Path(), "<?xml version=\"1.0\" my&#32;attr=\"v\"?>\r\n<Configuration>\r\n"
                   "  <a&#32;b&#x2F;c&#x3F;d&#x3D;e&#9;>x</a&#32;b&#x2F;c&#x3F;d&#x3D;e&#9;>\r\n"
                   "  <o&#x3D;k/>\r\n  <z&#x21;>y</z&#x21;>\r\n</Configuration>\r\n");
  QByteArray first;
  {
    XmlStorage s(QStringLiteral("Configuration"));
    s.SetFileName(Path());
    first = s.Serialize();
    EXPECT_TRUE(first.contains("my&#x20;attr=\"v\"")) << Printable(first);
    EXPECT_TRUE(first.contains("<a&#x20;b&#x2F;c&#x3F;d&#x3D;e&#x09;>x</a&#x20;b&#x2F;c&#x3F;d&#x3D;e&#x09;>"))
        << Printable(first);
    s.WriteString(QStringLiteral("Later"), QStringLiteral("1"));
  }
  XmlStorage again(QStringLiteral("Configuration"));
  ASSERT_NO_THROW(again.SetFileName(Path()));
  EXPECT_EQ(again.ReadString(QStringLiteral("Later"), {}), QStringLiteral("1"));
  again.DeleteValue(QStringLiteral("Later"));
  EXPECT_TRUE(SameBytes(again.Serialize(), first));
  again.SetFileName(QString());
}

// A name beginning with "!" must not become markup: "<!--" opens a comment.
TEST_F(TempStorage, NameBeginningWithAnExclamationMarkStaysAnElement) {
  WriteAll(Path(), "<Configuration><&#x21;--k>v</&#x21;--k><After>1</After></Configuration>");
  {
    XmlStorage s(QStringLiteral("Configuration"));
    s.SetFileName(Path());
    s.WriteString(QStringLiteral("Later"), QStringLiteral("2"));
  }
  XmlStorage again(QStringLiteral("Configuration"));
  ASSERT_NO_THROW(again.SetFileName(Path()));
  EXPECT_EQ(again.ReadString(QStringLiteral("After"), {}), QStringLiteral("1"));
  EXPECT_TRUE(ReadAll(Path()).contains("<&#x21;--k>v</&#x21;--k>"));
  again.SetFileName(QString());
}

TEST(XmlStorageBinding, AnEmptyNameEmptiesEvenAnUnboundDocument) {
  XmlStorage s(QStringLiteral("Info"));
  s.WriteString(QStringLiteral("User"), QStringLiteral("kept in memory"));
  s.SetFileName(QString());
  EXPECT_EQ(s.ReadString(QStringLiteral("User"), QStringLiteral("def")), QStringLiteral("def"));
}

TEST_F(TempStorage, RebindingLoadsTheExistingFile) {
  // The description file of an exchange directory grows over several binds.
  XmlStorage s(QStringLiteral("Info"));
  s.SetFileName(Path(QStringLiteral("info.xml")));
  s.WriteString(QStringLiteral("User"), QStringLiteral("a@example.org"));
  s.Flush();
  s.SetFileName(QString());
  EXPECT_EQ(s.ReadString(QStringLiteral("User"), QStringLiteral("def")), QStringLiteral("def"));

  s.SetFileName(Path(QStringLiteral("info.xml")));
  EXPECT_EQ(s.ReadString(QStringLiteral("User"), {}), QStringLiteral("a@example.org"));
  s.WriteString(QStringLiteral("DeletedItems"), QStringLiteral("K1,K2"));
  s.Flush();
  s.SetFileName(QString());
  EXPECT_EQ(ReadAll(Path(QStringLiteral("info.xml"))),
            QByteArray("<?xml version=\"1.0\" encoding=\"Windows-1252\" standalone=\"no\"?>\r\n<Info>\r\n"
                       "  <User>a@example.org</User>\r\n  <DeletedItems>K1,K2</DeletedItems>\r\n</Info>\r\n"));
}

TEST_F(TempStorage, BindingDoesNotWriteTheOldDocument) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path(QStringLiteral("first.xml")));
  s.WriteString(QStringLiteral("A"), QStringLiteral("1"));
  s.SetFileName(Path(QStringLiteral("second.xml")));
  EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("first.xml"))));
  EXPECT_EQ(s.Serialize(),
            QByteArray("<?xml version=\"1.0\" encoding=\"Windows-1252\" standalone=\"no\"?>\r\n<Configuration/>\r\n"));
  s.SetFileName(QString());
  s.Flush();  // unbound: nothing to write
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
}

TEST_F(TempStorage, LoadingReplacesTheRootName) {
  WriteAll(Path(), "<Settings><A>1</A></Settings>");
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  EXPECT_EQ(s.ReadString(QStringLiteral("A"), {}), QStringLiteral("1"));
  // The path's root component is the loaded root's name now.
  EXPECT_EQ(s.ReadString(QStringLiteral("..\\Settings\\A"), {}), QStringLiteral("1"));
  EXPECT_TRUE(s.Serialize().endsWith("<Settings>\r\n  <A>1</A>\r\n</Settings>\r\n"));
  // A new document takes the storage's own root name again.
  s.SetFileName(Path(QStringLiteral("new.xml")));
  EXPECT_TRUE(s.Serialize().endsWith("<Configuration/>\r\n"));
}

TEST_F(TempStorage, DuplicateNamesFromAFileFirstOneWins) {
  // With few siblings and with enough of them to be indexed.
  for (const int fillers : {0, 20}) {
    QByteArray filler;
    for (int i = 0; i < fillers; ++i) filler += "<f" + QByteArray::number(i) + "/>";
    WriteAll(Path(), "<Info>" + filler + "<a>1</a><A>2</A><x/><a>3</a></Info>");
    XmlStorage s(QStringLiteral("Info"));
    s.SetFileName(Path());
    EXPECT_EQ(s.ReadString(QStringLiteral("A"), {}), QStringLiteral("1"));
    s.DeleteValue(QStringLiteral("a"));
    EXPECT_EQ(s.ReadString(QStringLiteral("a"), {}), QStringLiteral("2"));
    s.DeleteValue(QStringLiteral("a"));
    EXPECT_EQ(s.ReadString(QStringLiteral("a"), {}), QStringLiteral("3"));
    s.DeleteValue(QStringLiteral("a"));
    EXPECT_EQ(s.ReadString(QStringLiteral("a"), QStringLiteral("def")), QStringLiteral("def"));
    s.WriteString(QStringLiteral("a"), QStringLiteral("4"));
    s.WriteString(QStringLiteral("A"), QStringLiteral("5"));
    EXPECT_TRUE(s.Serialize().endsWith("  <x/>\r\n  <a>5</a>\r\n</Info>\r\n")) << fillers;
    s.SetFileName(QString());
  }
}

TEST(XmlStorageReader, Utf16WithoutByteOrderMark) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("x.xml"));
  const QString text = QStringLiteral("<Info><a>\u00E9</a></Info>");
  QByteArray bytes;
  for (QChar c : text) bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
  WriteAll(path, bytes);
  XmlStorage s(QStringLiteral("Info"));
  s.SetFileName(path);
  EXPECT_EQ(s.ReadString(QStringLiteral("a"), {}), QStringLiteral("\u00E9"));
  // Written back as UTF-16 in the byte order it was read, now with a mark.
  EXPECT_TRUE(s.Serialize().startsWith(QByteArray("\xFF\xFE<\0?\0x\0m\0l\0", 12)));
}

// Each input is broken in one way; the storage keeps what came before the
// fault and reports the fault to the caller.
TEST_F(TempStorage, MalformedFilesThrowAndKeepWhatWasRead) {
  const struct {
    const char* input;
    const char* keptPath;  // a value read before the fault, or null
    const char* keptValue;
  } cases[] = {
      {"", nullptr, nullptr},
      {"just text", nullptr, nullptr},
      {"<Configuration><A>1</A><B>2", "B", "2"},
      {"<Configuration><A>1</A><B>2</C></Configuration>", "A", "1"},
      {"<Configuration><A>1</A></Configuration>trailing", "A", "1"},
      {"<Configuration><A>1</A></Configuration><Second/>", "A", "1"},
      {"<Configuration><A>1</A><!-- open comment", "A", "1"},
      {"<Configuration><A>1</A><B flag></B></Configuration>", "A", "1"},
      {"<Configuration><A>1</A><B a=\"1></B></Configuration>", "A", "1"},
      {"<Configuration><A>1</A><![CDATA[x</Configuration>", "A", "1"},
      {"<Configuration><A>1</A><!ELEMENT x></Configuration>", "A", "1"},
      {"<Configuration><A>1</A><!DOCTYPE x></Configuration>", "A", "1"},
      {"<?xml version=\"1.0\" encoding=\"x-no-such-code-page\"?><Configuration><A>1</A></Configuration>", "A", "1"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><Configuration><A>1</A><B>\xC3(</B></Configuration>", "A", "1"},
  };
  for (const auto& c : cases) {
    WriteAll(Path(), QByteArray(c.input));
    XmlStorage s(QStringLiteral("Configuration"));
    EXPECT_THROW(s.SetFileName(Path()), XmlStorageError) << c.input;
    EXPECT_EQ(s.FileName(), Path());
    if (c.keptPath) {
      EXPECT_EQ(s.ReadString(QString::fromLatin1(c.keptPath), QStringLiteral("<missing>")),
                QString::fromLatin1(c.keptValue))
          << c.input;
    }
    s.SetFileName(QString());  // leave the file as it is for the next case
  }
}

TEST_F(TempStorage, ErrorNamesFileAndLine) {
  WriteAll(Path(), "<Configuration>\r\n  <A>1</A>\r\n  <B>2</C>\r\n</Configuration>\r\n");
  XmlStorage s(QStringLiteral("Configuration"));
  try {
    s.SetFileName(Path());
    FAIL() << "no error";
  } catch (const XmlStorageError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("config.xml"), std::string::npos) << what;
    EXPECT_NE(what.find("line 3"), std::string::npos) << what;
  }
  s.SetFileName(QString());
}

TEST_F(TempStorage, DeepNestingNeedsNoRecursion) {
  constexpr int kDepth = 200000;
  QByteArray bytes;
  bytes.reserve(kDepth * 7 + 16);
  for (int i = 0; i < kDepth; ++i) bytes.append("<a>");
  bytes.append("<v>x</v>");
  for (int i = 0; i < kDepth; ++i) bytes.append("</a>");
  WriteAll(Path(), bytes);
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  QString path;
  for (int i = 1; i < kDepth; ++i) path.append(QStringLiteral("a\\"));
  EXPECT_EQ(s.ReadString(path + u'v', {}), QStringLiteral("x"));
  s.SetFileName(QString());  // frees the tree without writing it
}

// ---------------------------------------------------------------------------
// R20-R22: damaged files, flushing, read-only files

TEST_F(TempStorage, DamagedFileIsKeptAsideBeforeTheFirstFlush) {
  const QByteArray damaged = "<Configuration>\r\n  <Kept>yes</Kept>\r\n  <Lost>";
  WriteAll(Path(), damaged);
  XmlStorage s(QStringLiteral("Configuration"));
  EXPECT_THROW(s.SetFileName(Path()), XmlStorageError);
  EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("config.xml.damaged"))));  // nothing written on load
  s.WriteString(QStringLiteral("New"), QStringLiteral("1"));
  s.Flush();
  EXPECT_EQ(ReadAll(Path(QStringLiteral("config.xml.damaged"))), damaged);
  XmlStorage reread(QStringLiteral("Configuration"));
  ASSERT_NO_THROW(reread.SetFileName(Path()));
  EXPECT_EQ(reread.ReadString(QStringLiteral("Kept"), {}), QStringLiteral("yes"));
  EXPECT_EQ(reread.ReadString(QStringLiteral("New"), {}), QStringLiteral("1"));
  reread.SetFileName(QString());

  // Once written, the file is sound: later flushes leave the copy alone.
  WriteAll(Path(QStringLiteral("config.xml.damaged")), "marker");
  s.Flush();
  EXPECT_EQ(ReadAll(Path(QStringLiteral("config.xml.damaged"))), QByteArray("marker"));
}

TEST_F(TempStorage, UnreadableFileIsNeverReplaced) {
  // A directory where the file should be: it cannot be read nor copied aside.
  ASSERT_TRUE(QDir().mkpath(Path()));
  XmlStorage s(QStringLiteral("Configuration"));
  EXPECT_THROW(s.SetFileName(Path()), XmlStorageError);
  s.WriteString(QStringLiteral("A"), QStringLiteral("1"));
  s.Flush();
  EXPECT_TRUE(QFileInfo(Path()).isDir());
}

TEST_F(TempStorage, FlushCreatesTheDirectory) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path(QStringLiteral("a/b/config.xml")));
  s.Flush();
  EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("a/b/config.xml"))));
}

TEST_F(TempStorage, FlushFailureIsSwallowedWhenTheDirectoryCannotBeMade) {
  WriteAll(Path(QStringLiteral("plain")), "a file, not a directory");
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path(QStringLiteral("plain/config.xml")));
  s.WriteString(QStringLiteral("A"), QStringLiteral("1"));
  EXPECT_NO_THROW(s.Flush());
  EXPECT_EQ(ReadAll(Path(QStringLiteral("plain"))), QByteArray("a file, not a directory"));
  EXPECT_EQ(s.ReadString(QStringLiteral("A"), {}), QStringLiteral("1"));  // still in memory
}

// Fails the write itself, as a full disk would: the file-size limit applies
// to root too, unlike permission bits.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t oldHandler_;
};

TEST_F(TempStorage, FailedWriteKeepsTheOldFile) {
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  s.WriteString(QStringLiteral("Old"), QStringLiteral("value"));
  s.Flush();
  const QByteArray old = ReadAll(Path());
  s.WriteString(QStringLiteral("Big"), QString(200000, u'x'));
  {
    FileSizeLimit limit(4096);
    bool written = true;
    EXPECT_NO_THROW(written = s.Flush());
    EXPECT_FALSE(written);  // the caller learns it must try again
  }
  EXPECT_EQ(ReadAll(Path()), old);
  // No temporary file is left behind.
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{QStringLiteral("config.xml")});
  EXPECT_TRUE(s.Flush());  // the document was kept in memory
  EXPECT_TRUE(ReadAll(Path()).contains("<Big>xxx"));
}

TEST_F(TempStorage, ReadOnlyFileIgnoresWritesDeletesAndFlush) {
  const QByteArray original = "<Configuration><A>1</A><B>2</B></Configuration>";
  WriteAll(Path(), original);
  ASSERT_TRUE(QFile::setPermissions(Path(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
  XmlStorage s(QStringLiteral("Configuration"));
  int changes = 0;
  s.SetOnChange([&] { ++changes; });
  s.SetFileName(Path());
  EXPECT_TRUE(s.IsReadOnly());
  s.WriteString(QStringLiteral("A"), QStringLiteral("changed"));
  s.WriteInteger(QStringLiteral("C"), 3);
  s.DeleteValue(QStringLiteral("B"));
  EXPECT_EQ(s.ReadString(QStringLiteral("A"), {}), QStringLiteral("1"));
  EXPECT_EQ(s.ReadString(QStringLiteral("B"), {}), QStringLiteral("2"));
  EXPECT_EQ(s.ReadInteger(QStringLiteral("C"), -5), -5);
  s.Flush();
  EXPECT_EQ(ReadAll(Path()), original);
  EXPECT_EQ(changes, 0);
}

TEST_F(TempStorage, FileMadeReadOnlyAfterBindingIsNotOverwritten) {
  WriteAll(Path(), "<Configuration><A>1</A></Configuration>");
  XmlStorage s(QStringLiteral("Configuration"));
  s.SetFileName(Path());
  EXPECT_FALSE(s.IsReadOnly());
  s.WriteString(QStringLiteral("A"), QStringLiteral("2"));
  ASSERT_TRUE(QFile::setPermissions(Path(), QFile::ReadOwner));
  s.Flush();
  EXPECT_EQ(ReadAll(Path()), QByteArray("<Configuration><A>1</A></Configuration>"));
}

// ---------------------------------------------------------------------------
// R8: change notification

TEST(XmlStorageChange, CalledForEveryChangeOnly) {
  XmlStorage s(QStringLiteral("Configuration"));
  int changes = 0;
  s.SetOnChange([&] { ++changes; });
  s.WriteString(QStringLiteral("A\\B"), QStringLiteral("1"));
  EXPECT_EQ(changes, 1);
  s.WriteString(QStringLiteral("a\\b"), QStringLiteral("1"));  // same value
  EXPECT_EQ(changes, 1);
  s.WriteInteger(QStringLiteral("A\\B"), 2);
  EXPECT_EQ(changes, 2);
  s.WriteString(QStringLiteral("A\\Empty"), QString());  // a new element, even if empty
  EXPECT_EQ(changes, 3);
  s.DeleteValue(QStringLiteral("A\\Missing"));
  EXPECT_EQ(changes, 3);
  s.DeleteValue(QStringLiteral("A\\B"));
  EXPECT_EQ(changes, 4);
  s.ReadString(QStringLiteral("A"), {});
  EXPECT_EQ(changes, 4);
}

// ---------------------------------------------------------------------------
// R9: the prefix view

TEST(FormStorage, PutsThePrefixInFront) {
  XmlStorage s(QStringLiteral("Configuration"));
  FormStorage form(s, QStringLiteral("MainForm\\"));
  form.WriteString(QStringLiteral("SharedFolders\\00AB\\UserCount"), QStringLiteral("2"));
  form.WriteInteger(QStringLiteral("ItemsVST\\Column0Width"), 120);
  EXPECT_EQ(s.ReadString(QStringLiteral("MainForm\\SharedFolders\\00AB\\UserCount"), {}), QStringLiteral("2"));
  EXPECT_EQ(form.ReadInteger(QStringLiteral("SharedFolders\\00ab\\UserCount"), 0), 2);
  EXPECT_EQ(form.ReadInteger(QStringLiteral("ItemsVST\\Column0Width"), 0), 120);
  EXPECT_EQ(form.ReadString(QStringLiteral("Missing"), QStringLiteral("def")), QStringLiteral("def"));
  EXPECT_EQ(s.ReadString(QStringLiteral("ItemsVST\\Column0Width"), QStringLiteral("def")), QStringLiteral("def"));
}

// ---------------------------------------------------------------------------
// R23: the child index

QString ItemId(int i) { return QStringLiteral("00000000%1").arg(i * 2654435761u, 8, 16, QLatin1Char('0')).toUpper(); }

// With an index, names are hashed several units at a time: every position
// of names of every length must fold, and only the letters.
TEST(XmlStorageIndex, IndexedLookupFoldsEveryPosition) {
  XmlStorage s(QStringLiteral("Info"));
  const QString letters = QStringLiteral("AZaz09_-.:QRSTUVWXYZabc");
  for (qsizetype n = 1; n <= letters.size(); ++n) s.WriteString(QStringLiteral("F\\") + letters.left(n), QString::number(n));
  for (qsizetype n = 1; n <= letters.size(); ++n) {
    EXPECT_EQ(s.ReadString(QStringLiteral("F\\") + letters.left(n).toLower(), {}), QString::number(n)) << n;
    EXPECT_EQ(s.ReadString(QStringLiteral("F\\") + letters.left(n).toUpper(), {}), QString::number(n)) << n;
  }
  // Only letters fold: the 7th name ends in "_", not in "-".
  EXPECT_EQ(s.ReadString(QStringLiteral("F\\AZaz09-"), QStringLiteral("none")), QStringLiteral("none"));
  EXPECT_EQ(s.ReadString(QStringLiteral("F\\azAZ09_"), QStringLiteral("none")), QStringLiteral("7"));
}

// Regression: the names ReadKeys returned shared the elements' own
// characters, so deleting the values they named (as the start-up catch-up
// does for every item that went) left the caller's list pointing at freed
// memory, and the next allocations wrote other names into it.
TEST(XmlStorageIndex, KeysOutliveTheValuesTheyName) {
  XmlStorage s(QStringLiteral("Info"));
  QStringList expected;
  for (int i = 0; i < 50; ++i) {
    s.WriteString(QStringLiteral("STATES\\F\\") + ItemId(i), QStringLiteral("state"));
    expected << ItemId(i);
  }
  const QStringList keys = s.ReadKeys(QStringLiteral("STATES\\F"));
  for (const QString& key : keys) {
    s.DeleteValue(QStringLiteral("STATES\\F\\") + key);
    // Elements of names as long take the memory just freed.
    s.WriteString(QStringLiteral("OTHER\\") + QString(key.size(), u'Z') + QString::number(keys.indexOf(key)), "x");
  }
  EXPECT_EQ(keys.join(u',').toStdString(), expected.join(u',').toStdString());
}

TEST(XmlStorageIndex, TwoHundredThousandChildrenStayFindableAfterDeletes) {
  constexpr int kCount = 200000;
  XmlStorage s(QStringLiteral("Info"));
  for (int i = 0; i < kCount; ++i) s.WriteString(QStringLiteral("F\\") + ItemId(i), QString::number(i));
  for (int i = 0; i < kCount; i += 3) s.DeleteValue(QStringLiteral("F\\") + ItemId(i).toLower());
  // Re-created names go to the end and are found again.
  for (int i = 0; i < kCount; i += 30) s.WriteString(QStringLiteral("F\\") + ItemId(i), QStringLiteral("again"));
  for (int i = 0; i < kCount; ++i) {
    const QString value = s.ReadString(QStringLiteral("f\\") + ItemId(i).toLower(), QStringLiteral("none"));
    const QString expected = i % 30 == 0 ? QStringLiteral("again") : i % 3 == 0 ? QStringLiteral("none") : QString::number(i);
    ASSERT_EQ(value, expected) << i;
  }
  const QByteArray bytes = s.Serialize();
  EXPECT_EQ(bytes.count("\r\n"), 1 + 2 + 2 + (kCount - (kCount + 2) / 3) + (kCount + 29) / 30);
  EXPECT_TRUE(bytes.contains("  <F>\r\n    <" + ItemId(1).toLatin1() + ">1</"));
  EXPECT_TRUE(bytes.endsWith("    <" + ItemId(199980).toLatin1() + ">again</" + ItemId(199980).toLatin1() +
                             ">\r\n  </F>\r\n</Info>\r\n"));
}

}  // namespace
