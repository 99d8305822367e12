#include "updater/base_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using RT::BaseString;

// Other tests use these through the names and log lines they build; here
// are the edges they do not reach.
TEST(BaseStringTest, LongFormatNegativeLengthsOffsetsAndHighBytes) {
  const std::string long_name(5000, 'f');
  EXPECT_EQ(BaseString("m_ApplicationFile - %s", long_name.c_str()).View(), "m_ApplicationFile - " + long_name);
  BaseString text("Not Found");
  EXPECT_EQ(text.Left(-1).View(), "Not Found");
  EXPECT_EQ(BaseString("files/FW41580_FW41580.bin").Find("FW41580", 7), 14);
  EXPECT_EQ(BaseString("FW4").CompareNoCase("FW41019"), -1);
  // Bytes above 0x7F sort after ASCII letters, whatever the char signedness.
  EXPECT_EQ(BaseString("\xC4").CompareNoCase("z"), 1);
}

}  // namespace
