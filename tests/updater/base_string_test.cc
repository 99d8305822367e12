#include "updater/base_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using RT::BaseString;

TEST(BaseStringTest, FormattedTextIsMeasuredAndNeverCut) {
  EXPECT_EQ(BaseString().View(), "");
  EXPECT_STREQ(BaseString().c_str(), "");
  EXPECT_EQ(BaseString("nRetCode %d", -3).View(), "nRetCode -3");

  const std::string long_name(5000, 'f');
  BaseString line("m_ApplicationFile - %s", long_name.c_str());
  EXPECT_EQ(line.Length(), 20 + 5000);
  EXPECT_EQ(line.View(), "m_ApplicationFile - " + long_name);
}

TEST(BaseStringTest, AssignAndAppend) {
  BaseString text("old");
  text.Assign("FW41580-02-11", 7);
  EXPECT_EQ(text.View(), "FW41580");
  text.Assign("abc", 0);
  EXPECT_TRUE(text.IsEmpty());
  text.Assign("abc", 3);
  text.Assign("abc", -1);
  EXPECT_EQ(text.View(), "");
  text.Assign(nullptr, 5);
  EXPECT_EQ(text.View(), "");

  text.Assign("Not Found");
  text.Append(", ");
  text.Append(nullptr);
  text.Append("serial");
  EXPECT_EQ(text.View(), "Not Found, serial");
  text.Assign(nullptr);
  EXPECT_EQ(text.Length(), 0);
}

TEST(BaseStringTest, FindIsCaseSensitiveFromTheStartIndex) {
  BaseString name("files/FW41580_FW41580.bin");
  EXPECT_EQ(name.Find("FW41580"), 6);
  EXPECT_EQ(name.Find("FW41580", 7), 14);
  EXPECT_EQ(name.Find("FW41580", 15), -1);
  EXPECT_EQ(name.Find("FW41580", -1), 6);
  EXPECT_EQ(name.Find("fw41580"), -1);
  EXPECT_EQ(name.Find("bin", 1000), -1);
  EXPECT_EQ(name.Find(nullptr), -1);
  EXPECT_EQ(BaseString().Find("x"), -1);
}

TEST(BaseStringTest, CompareNoCaseGivesOnlyMinusOneZeroOrOne) {
  EXPECT_EQ(BaseString("FW41019").CompareNoCase("fw41019"), 0);
  EXPECT_EQ(BaseString("FW41019").CompareNoCase("FW41098"), -1);
  EXPECT_EQ(BaseString("FW41098").CompareNoCase("fw41019"), 1);
  EXPECT_EQ(BaseString("FW4").CompareNoCase("FW41019"), -1);
  EXPECT_EQ(BaseString("FW41019").CompareNoCase("fw4"), 1);
  EXPECT_EQ(BaseString().CompareNoCase(nullptr), 0);
  EXPECT_EQ(BaseString("a").CompareNoCase(nullptr), 1);
  // Bytes above 0x7F sort after ASCII letters, whatever the char signedness.
  EXPECT_EQ(BaseString("\xC4").CompareNoCase("z"), 1);
}

TEST(BaseStringTest, LeftTakesThePrefix) {
  BaseString boot("FW41019-01-02");
  EXPECT_EQ(boot.Left(7).View(), "FW41019");
  EXPECT_EQ(boot.Left(0).View(), "");
  EXPECT_EQ(boot.Left(-1).View(), "FW41019-01-02");
  EXPECT_EQ(boot.Left(100).View(), "FW41019-01-02");
  EXPECT_EQ(BaseString("Not Found").Left(7).View(), "Not Fou");
  EXPECT_EQ(boot.View(), "FW41019-01-02");
}

}  // namespace
