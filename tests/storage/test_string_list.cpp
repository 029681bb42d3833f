#include "storage/string_list.h"

#include <gtest/gtest.h>

namespace {

TEST(StringList, SortedListIsACaseInsensitiveSet) {
  StringList list(true);
  list.Add("0000B");
  list.Add("0000a");
  list.Add("0000A");  // same as "0000a": ignored
  list.Add("0000c");
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.CommaText(), "0000a,0000B,0000c");
  EXPECT_EQ(list.IndexOf("0000b"), 1);
  EXPECT_TRUE(list.Remove("0000C"));
  EXPECT_FALSE(list.Contains("0000c"));
}

TEST(StringList, UnsortedListKeepsDuplicatesAndSearchesFromTheFront) {
  StringList list(false);
  list.Add("b");
  list.Add("a");
  list.Add("B");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.IndexOf("b"), 0);
  EXPECT_TRUE(list.Remove("b"));
  EXPECT_EQ(list.CommaText(), "a,B");
}

TEST(StringList, CommaTextQuotesOnlyWhatNeedsIt) {
  StringList list(false);
  list.Add("plain");
  list.Add("with blank");
  list.Add("with,comma");
  list.Add("with\"quote");
  EXPECT_EQ(list.CommaText(), "plain,\"with blank\",\"with,comma\",\"with\"\"quote\"");

  StringList back(false);
  back.SetCommaText(list.CommaText());
  EXPECT_EQ(back.Items(), list.Items());
}

TEST(StringList, SetCommaTextReplacesAndSortsAndSplitsOnBlanks) {
  StringList list(true);
  list.Add("old");
  list.SetCommaText("C,a, b  d,A");
  EXPECT_EQ(list.Items(), QStringList({"a", "b", "C", "d"}));
  list.SetCommaText("");
  EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
