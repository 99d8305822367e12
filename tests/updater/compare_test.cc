#include <gtest/gtest.h>

#include "tests/support/session_log_recorder.h"
#include "updater/engine.h"

namespace {

using namespace testing_support;

TEST(FirmwareComparisonTest, PrefixOfTheReaderStringInTheFileName) {
  // clang-format off
  struct Case { const char *reader, *file; bool same, similar; };
  const Case cases[] = {
      {"FW41580-01-03", "FW41581-01-03_app.bin", false, false},
      {"FW41580-01-03", "FW41580_01_03_app.bin", true, true},       // hyphen against underscore
      {"fw41580-01-03", "firmware/FW41580-01-03.BIN", true, true},  // case, and a directory part
      {"FW41580-01-03-extra", "x_FW41580-01-03-other", true, true},  // only the first 14 characters
      {"FW415", "app_fw415.bin", true, true},                        // shorter than either prefix: whole
      {"", "anything.bin", true, true},                              // empty prefix: everywhere
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.reader) + " / " + c.file);
    EXPECT_EQ(IsSameFirmware(RT::BaseString("%s", c.reader), RT::BaseString("%s", c.file)), c.same);
    EXPECT_EQ(IsSimilarFirmware(RT::BaseString("%s", c.reader), RT::BaseString("%s", c.file)), c.similar);
  }
}

// Same part, other version: not the same, but similar.
TEST(FirmwareComparisonTest, LogLinesOfBothStyles) {
  SessionLogRecorder log;
  const RT::BaseString reader("FW41580-01-03"), file("FW41580-01-04.bin");
  IsSameFirmware(reader, file);
  IsSimilarFirmware(reader, file);
  const auto names = Line("aReaderStr FW41580-01-03 - aFileName FW41580-01-04.bin");
  EXPECT_EQ(log.lines(),
            (std::vector<LoggedLine>{At("Begin", "IsSameFirmware"), names,
                                     At("End result = false", "End IsSameFirmware"), At("Begin", "IsSimilarFirmware"),
                                     names, At("End result = true", "End IsSimilarFirmware")}));
  log.Clear();
  EXPECT_TRUE(IsSimilarFirmware(reader, file, LogStyle::kDialog) && log.lines().empty());  // dialog style: no lines
}

}  // namespace
