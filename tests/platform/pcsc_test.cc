#include "platform/pcsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;
using namespace std::string_literals;

TEST(PcscTest, ReaderNamesEndAtTheEmptyNameOrTheEndOfTheText) {
  using platform::pcsc::SplitReaderNames;
  EXPECT_EQ(SplitReaderNames("A 00 00\0B 01 00\0\0"s), (Names{"A 00 00", "B 01 00"}));
  EXPECT_EQ(SplitReaderNames("A\0\0B\0\0"s), Names{"A"});
  EXPECT_EQ(SplitReaderNames("A\0B"s), (Names{"A", "B"}));
  EXPECT_EQ(SplitReaderNames("\0"s), Names{});
  EXPECT_EQ(SplitReaderNames(""), Names{});
}

}  // namespace
