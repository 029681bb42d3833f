#include "storage/md5.h"
#include "storage/sharing.h"
#include "storage/xml_storage.h"

#include <gtest/gtest.h>

namespace {

TEST(GetMD5, KnownDigestsInUpperCaseHex) {
  EXPECT_EQ(GetMD5(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(GetMD5("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(GetMD5("0000000012AB"), "6E169501D93D5DA69B3CA3603D37A66C");
}

TEST(GetMD5, EveryUnitAbove127HashesAsQuestionMark) {
  EXPECT_EQ(GetMD5(QStringLiteral("caf") + QChar(0xE9)), "333027B148FC48B3494F9B895F9C857A");
  EXPECT_EQ(GetMD5(QString(QChar(0x20AC))), "D1457B72C3FB323A2671125AEF3EAB5D");
  // A character outside the basic plane is two units, so two question marks.
  EXPECT_EQ(GetMD5(QString::fromUcs4(U"\U0001F600")), GetMD5("??"));
}

TEST(IsPlainKey, OnlyPlainFileNamesAreKeys) {
  EXPECT_TRUE(IsPlainKey(GetMD5("x")));
  EXPECT_TRUE(IsPlainKey("K.z01"));
  for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "C:x", "a,b", "a..b", "tab\tkey"})
    EXPECT_FALSE(IsPlainKey(bad)) << bad;
}

TEST(ParseBoolean, NumbersAndWordsInAnyCase) {
  EXPECT_TRUE(ParseBoolean("True"));
  EXPECT_TRUE(ParseBoolean("true"));
  EXPECT_FALSE(ParseBoolean("FALSE"));
  EXPECT_TRUE(ParseBoolean("-1"));
  EXPECT_FALSE(ParseBoolean("0"));
  EXPECT_THROW(ParseBoolean("yes"), SharingFormatError);
  EXPECT_THROW(ParseBoolean(""), SharingFormatError);
}

class SharingModel : public ::testing::Test {
 protected:
  XmlStorage storage_{"Configuration"};
  FormStorage config_{storage_, "MainForm\\"};
  const QString folder_ = "00000000AB01";

  static SharingRow Row(QString email, bool enabled = true, QString modify = "Allow", QString read = "Allow",
                        QString write = "Allow") {
    return SharingRow{enabled, std::move(email), std::move(modify), std::move(read), std::move(write)};
  }
};

TEST_F(SharingModel, SaveWritesTheSectionInOrderAndReadsBack) {
  WriteSharingRows(config_, folder_, "Folder Settings - \\\\Personal Folders\\Calendar",
                   {Row("a@x.org"), Row("b@x.org", false, "Deny", "Allow", "Deny")});
  const QByteArray xml = storage_.Serialize();
  EXPECT_TRUE(xml.contains("<00000000AB01>\r\n        <FolderPath>Folder Settings - \\\\Personal Folders\\Calendar</FolderPath>\r\n"
                           "        <UserCount>2</UserCount>\r\n        <User0>\r\n          <Enabled>True</Enabled>\r\n"
                           "          <Email>a@x.org</Email>\r\n          <Modify>Allow</Modify>\r\n"
                           "          <Read>Allow</Read>\r\n          <Write>Allow</Write>\r\n        </User0>\r\n"))
      << xml.constData();
  const auto rows = ReadSharingRows(config_, folder_);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[1].enabled);
  EXPECT_EQ(rows[1].modify, "Deny");
  EXPECT_EQ(rows[1].write, "Deny");
}

TEST_F(SharingModel, RemovingTheMiddleEntryLeavesADeadGroupNoReaderSees) {
  WriteSharingRows(config_, folder_, "c", {Row("a"), Row("b"), Row("c")});
  WriteSharingRows(config_, folder_, "c", {Row("a"), Row("c")});
  EXPECT_EQ(config_.ReadString(SharedFolderKey(folder_, "UserCount"), ""), "2");
  EXPECT_EQ(config_.ReadString(SharedFolderKey(folder_, "User1\\Email"), ""), "c");
  EXPECT_EQ(config_.ReadString(SharedFolderKey(folder_, "User2\\Email"), ""), "c");  // dead, kept
  EXPECT_EQ(ReadSharingRows(config_, folder_).size(), 2u);
  EXPECT_EQ(ReadRecipients(config_, folder_), QStringList({"a", "c"}));
}

TEST_F(SharingModel, MailingTakesOnlyExactTrueAndAllow) {
  WriteSharingRows(config_, folder_, "c",
                   {Row("deny@x", true, "Allow", "Deny"), Row("off@x", false), Row("lower@x"), Row("allow@x", true, "Deny", "allow"),
                    Row("dup@x"), Row("dup@x")});
  config_.WriteString(SharedFolderKey(folder_, "User2\\Enabled"), "true");  // edited by hand
  EXPECT_EQ(ReadRecipients(config_, folder_), QStringList({"dup@x", "dup@x"}));
  // The editor and the import honour the lower-case "true".
  EXPECT_TRUE(ReadSharingRows(config_, folder_)[2].enabled);
  EXPECT_TRUE(FindImportRights(config_, folder_, "lower@x").has_value());
}

TEST_F(SharingModel, ImportRightsComeFromTheFirstEnabledExactMatch) {
  WriteSharingRows(config_, folder_, "c",
                   {Row("a@x", false), Row("a@x", true, "Allow", "Allow", "Deny"), Row("a@x", true, "Deny", "Allow", "Allow"),
                    Row("B@x")});
  const auto rights = FindImportRights(config_, folder_, "a@x");
  ASSERT_TRUE(rights.has_value());
  EXPECT_TRUE(rights->modify);
  EXPECT_FALSE(rights->write);
  EXPECT_FALSE(FindImportRights(config_, folder_, "b@x").has_value());  // letter case differs
  EXPECT_FALSE(FindImportRights(config_, folder_, "nobody").has_value());
  EXPECT_FALSE(FindImportRights(config_, "00000000FFFF", "a@x").has_value());  // no section
}

TEST_F(SharingModel, MissingEnabledCountsAsEnabledForTheImportOnly) {
  config_.WriteString(SharedFolderKey(folder_, "UserCount"), "1");
  config_.WriteString(SharedFolderKey(folder_, "User0\\Email"), "a@x");
  config_.WriteString(SharedFolderKey(folder_, "User0\\Read"), "Allow");
  config_.WriteString(SharedFolderKey(folder_, "User0\\Write"), "Allow");
  EXPECT_TRUE(FindImportRights(config_, folder_, "a@x")->write);
  EXPECT_FALSE(ReadSharingRows(config_, folder_)[0].enabled);
  EXPECT_TRUE(ReadRecipients(config_, folder_).isEmpty());
}

TEST_F(SharingModel, UnparsableValuesFailTheReader) {
  config_.WriteString(SharedFolderKey(folder_, "UserCount"), "two");
  EXPECT_THROW(ReadSharingRows(config_, folder_), SharingFormatError);
  EXPECT_THROW(ReadRecipients(config_, folder_), SharingFormatError);
  config_.WriteString(SharedFolderKey(folder_, "UserCount"), "1");
  config_.WriteString(SharedFolderKey(folder_, "User0\\Enabled"), "maybe");
  EXPECT_THROW(FindImportRights(config_, folder_, ""), SharingFormatError);
}

}  // namespace
