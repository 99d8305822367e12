#include "updater/base_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using RT::BaseString;

TEST(BaseStringTest, FormatAssignAppendAndLeft) {
  const std::string long_name(5000, 'f');
  EXPECT_EQ(BaseString("m_ApplicationFile - %s", long_name.c_str()).View(), "m_ApplicationFile - " + long_name);
  BaseString text;
  text.Assign("FW41580-02-11", 7);
  EXPECT_EQ(text.View(), "FW41580");
  text.Assign("abc", -1);
  EXPECT_STREQ(text.c_str(), "");
  text.Assign(nullptr, 5);
  text.Append("Not Found");
  text.Append(nullptr);
  EXPECT_EQ(text.View(), "Not Found");
  EXPECT_EQ(text.Left(7).View(), "Not Fou");
  EXPECT_EQ(text.Left(-1).View(), "Not Found");
  EXPECT_EQ(text.Left(100).View(), "Not Found");
}

TEST(BaseStringTest, FindAndCompareNoCase) {
  const BaseString name("files/FW41580_FW41580.bin");
  EXPECT_EQ(name.Find("FW41580"), 6);
  EXPECT_EQ(name.Find("FW41580", 7), 14);
  EXPECT_EQ(name.Find("FW41580", 15), -1);
  EXPECT_EQ(name.Find("FW41580", -1), 6);
  EXPECT_EQ(name.Find("fw41580"), -1);
  EXPECT_EQ(name.Find(nullptr), -1);
  EXPECT_EQ(BaseString("FW41019").CompareNoCase("fw41019"), 0);
  EXPECT_EQ(BaseString("FW41019").CompareNoCase("FW41098"), -1);
  EXPECT_EQ(BaseString("FW41098").CompareNoCase("fw41019"), 1);
  EXPECT_EQ(BaseString("FW4").CompareNoCase("FW41019"), -1);
  EXPECT_EQ(BaseString("a").CompareNoCase(nullptr), 1);
  // Bytes above 0x7F sort after ASCII letters, whatever the char signedness.
  EXPECT_EQ(BaseString("\xC4").CompareNoCase("z"), 1);
}

}  // namespace
