#include <gtest/gtest.h>

#include "tests/support/session_log_recorder.h"
#include "updater/engine.h"

namespace {

using testing_support::At;
using testing_support::Line;
using testing_support::LoggedLine;

struct Case {
  const char* reader;
  const char* file;
  bool same;
  bool similar;
};

TEST(FirmwareComparisonTest, PrefixOfTheReaderStringInTheFileName) {
  const Case cases[] = {
      {"FW41580-01-03", "FW41580-01-03_WR_App.bin", true, true},
      {"FW41580-01-03", "FW41580_01_03_app.bin", true, true},       // hyphen against underscore
      {"fw41580-01-03", "firmware/FW41580-01-03.BIN", true, true},  // case, and a directory part
      {"FW41580-01-03", "FW41580-01-04_app.bin", false, true},      // same part, other version
      {"FW41580-01-03", "FW41581-01-03_app.bin", false, false},
      {"FW41580-01-03-extra", "x_FW41580-01-03-other", true, true},  // only the first 14 characters
      {"FW415", "app_fw415.bin", true, true},                        // shorter than either prefix: whole
      {"", "anything.bin", true, true},                              // empty prefix occurs everywhere
      {"Not Found", "FW41108-01-09_Boot.bin", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.reader) + " / " + c.file);
    EXPECT_EQ(IsSameFirmware(RT::BaseString("%s", c.reader), RT::BaseString("%s", c.file)), c.same);
    EXPECT_EQ(IsSimilarFirmware(RT::BaseString("%s", c.reader), RT::BaseString("%s", c.file)), c.similar);
  }
}

TEST(FirmwareComparisonTest, LogLinesOfBothStyles) {
  testing_support::SessionLogRecorder log;
  const RT::BaseString reader("FW41580-01-03");
  const RT::BaseString file("FW41580-01-04.bin");
  IsSameFirmware(reader, file);
  IsSimilarFirmware(reader, file);
  const std::vector<LoggedLine> expected = {
      At("Begin", "IsSameFirmware"),
      Line("aReaderStr FW41580-01-03 - aFileName FW41580-01-04.bin"),
      At("End result = false", "End IsSameFirmware"),
      At("Begin", "IsSimilarFirmware"),
      Line("aReaderStr FW41580-01-03 - aFileName FW41580-01-04.bin"),
      At("End result = true", "End IsSimilarFirmware"),
  };
  EXPECT_EQ(log.lines(), expected);

  log.Clear();
  EXPECT_TRUE(IsSimilarFirmware(reader, file, LogStyle::kDialog));
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
